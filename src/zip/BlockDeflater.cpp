#include "zip/BlockDeflater.h"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace zip {

namespace {

constexpr std::uint8_t kSyncFlushMarker[4] = {0x00, 0x00, 0xFF, 0xFF};
constexpr std::size_t kWindow = 32 * 1024;
// Runs of one byte are looked for in units of this size and split off when
// at least kMinUniformRun long.
constexpr std::size_t kUniformUnit = 4096;
constexpr std::size_t kMinUniformRun = 64 * 1024;

int isalLevel(Codec codec)
{
    switch (codec) {
    case Codec::IsalLevel1: return 1;
    case Codec::IsalLevel2: return 2;
    case Codec::IsalLevel3: return 3;
    default: return -1;
    }
}

std::size_t isalLevelBufferSize(int level)
{
    switch (level) {
    case 1: return ISAL_DEF_LVL1_DEFAULT;
    case 2: return ISAL_DEF_LVL2_DEFAULT;
    default: return ISAL_DEF_LVL3_DEFAULT;
    }
}

std::uint8_t* mutableBytes(const std::uint8_t* p)
{
    // Both engines take non-const pointers for input they only read.
    return const_cast<std::uint8_t*>(p);
}

bool isUniform(const std::uint8_t* p, std::size_t length)
{
    const std::uint64_t pattern = 0x0101010101010101ull * p[0];
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word != pattern)
            return false;
    }
    for (; i < length; ++i)
        if (p[i] != p[0])
            return false;
    return true;
}

} // namespace

struct BlockDeflater::State {
    isal_zstream isal{};
    std::vector<std::uint8_t> isalLevelBuffer;
    z_stream zlib{};
    bool zlibOpen = false;
    inflate_state inflate{};
};

BlockDeflater::BlockDeflater(Codec codec, std::size_t maxBlockSize) : m_codec(codec)
{
    try {
        m_state = std::make_unique<State>();
        m_check.resize(maxBlockSize + 1);
        const int level = isalLevel(codec);
        // Level 1 serves the uniform runs whatever the codec.
        m_state->isalLevelBuffer.resize(std::max(isalLevelBufferSize(1), isalLevelBufferSize(level)));
        if (level < 0) {
            const int zlevel = codec == Codec::ZlibLevel9 ? 9 : 6;
            const int rc = deflateInit2(&m_state->zlib, zlevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
            if (rc != Z_OK)
                m_error = std::string("cannot set up zlib deflate: ") + zError(rc);
            else
                m_state->zlibOpen = true;
        }
    } catch (const std::bad_alloc&) {
        m_error = "out of memory";
    }
}

void BlockDeflater::splitUniformRuns(const std::uint8_t* input, std::size_t length, std::vector<Segment>& segments)
{
    segments.clear();
    std::size_t covered = 0;
    std::size_t runStart = 0;
    std::size_t runEnd = 0; // empty run when equal to runStart
    auto closeRun = [&] {
        if (runEnd - runStart >= kMinUniformRun) {
            if (runStart > covered)
                segments.push_back({covered, runStart - covered, false});
            segments.push_back({runStart, runEnd - runStart, true});
            covered = runEnd;
        }
        runStart = runEnd;
    };
    for (std::size_t at = 0; at < length; at += kUniformUnit) {
        const std::size_t n = std::min(kUniformUnit, length - at);
        if (!isUniform(input + at, n)) {
            closeRun();
            runStart = runEnd = at + n;
        } else if (runEnd > runStart && input[runStart] != input[at]) {
            closeRun();
            runStart = at;
            runEnd = at + n;
        } else {
            if (runEnd == runStart)
                runStart = at;
            runEnd = at + n;
        }
    }
    closeRun();
    if (covered < length || segments.empty())
        segments.push_back({covered, length - covered, false});
}

BlockDeflater::~BlockDeflater()
{
    if (m_state && m_state->zlibOpen)
        deflateEnd(&m_state->zlib);
}

std::size_t BlockDeflater::outputBound(std::size_t inputLength)
{
    return inputLength + inputLength / 16 + 1024;
}

std::string BlockDeflater::compress(const std::uint8_t* input, std::size_t inputLength, std::size_t history,
                                    bool last, std::vector<std::uint8_t>& output)
{
    if (!isReady())
        return m_error;
    if (inputLength > m_check.size() - 1)
        return "block larger than the deflater was set up for";
    try {
        splitUniformRuns(input, inputLength, m_segments);
        output.resize(outputBound(inputLength));
        std::size_t produced = 0;
        const int level = isalLevel(m_codec);
        for (std::size_t i = 0; i < m_segments.size(); ++i) {
            const Segment& seg = m_segments[i];
            const std::uint8_t* at = input + seg.offset;
            const std::size_t segmentHistory = std::min(kWindow, history + seg.offset);
            const bool segmentLast = last && i + 1 == m_segments.size();
            std::string error = seg.uniform || level > 0
                ? deflateIsal(seg.uniform ? 1 : level, at, seg.length, segmentHistory, segmentLast, output, produced)
                : deflateZlib(at, seg.length, segmentHistory, segmentLast, output, produced);
            if (!error.empty())
                return error;
        }
        output.resize(produced);
        return verify(input, inputLength, std::min(kWindow, history), last, output);
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
}

std::string BlockDeflater::deflateIsal(int level, const std::uint8_t* input, std::size_t inputLength,
                                       std::size_t history, bool last, std::vector<std::uint8_t>& output,
                                       std::size_t& produced)
{
    isal_zstream& s = m_state->isal;
    isal_deflate_init(&s);
    s.level = static_cast<std::uint32_t>(level);
    s.level_buf = m_state->isalLevelBuffer.data();
    s.level_buf_size = static_cast<std::uint32_t>(m_state->isalLevelBuffer.size());
    s.gzip_flag = IGZIP_DEFLATE;
    s.end_of_stream = last ? 1 : 0;
    s.flush = last ? NO_FLUSH : SYNC_FLUSH;
    if (history > 0 && isal_deflate_set_dict(&s, mutableBytes(input - history), static_cast<std::uint32_t>(history)) != COMP_OK)
        return "cannot set the deflate dictionary";

    s.next_in = mutableBytes(input);
    s.avail_in = static_cast<std::uint32_t>(inputLength);
    for (;;) {
        s.next_out = output.data() + produced;
        s.avail_out = static_cast<std::uint32_t>(output.size() - produced);
        const int rc = isal_deflate(&s);
        if (rc != COMP_OK)
            return "deflate failed with code " + std::to_string(rc);
        produced = output.size() - s.avail_out;
        const bool done = last ? s.internal_state.state == ZSTATE_END
                               : s.avail_in == 0 && s.internal_state.state == ZSTATE_NEW_HDR;
        if (done)
            return {};
        if (s.avail_out != 0)
            return "deflate stopped before the end of its input";
        output.resize(output.size() * 2);
    }
}

std::string BlockDeflater::deflateZlib(const std::uint8_t* input, std::size_t inputLength, std::size_t history,
                                       bool last, std::vector<std::uint8_t>& output, std::size_t& produced)
{
    z_stream& z = m_state->zlib;
    int rc = deflateReset(&z);
    if (rc == Z_OK && history > 0)
        rc = deflateSetDictionary(&z, input - history, static_cast<uInt>(history));
    if (rc != Z_OK)
        return std::string("cannot prepare zlib deflate: ") + zError(rc);

    z.next_in = mutableBytes(input);
    z.avail_in = static_cast<uInt>(inputLength);
    for (;;) {
        z.next_out = output.data() + produced;
        z.avail_out = static_cast<uInt>(output.size() - produced);
        rc = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
        produced = output.size() - z.avail_out;
        if (last && rc == Z_STREAM_END)
            return {};
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            return std::string("zlib deflate failed: ") + (z.msg ? z.msg : zError(rc));
        // A sync flush is complete when deflate leaves output space unused.
        if (!last && z.avail_in == 0 && z.avail_out != 0)
            return {};
        if (z.avail_out != 0)
            return "zlib deflate stopped before the end of its input";
        output.resize(output.size() * 2);
    }
}

std::string BlockDeflater::verify(const std::uint8_t* input, std::size_t inputLength, std::size_t history, bool last,
                                  const std::vector<std::uint8_t>& output)
{
    static const std::string kMismatch = "a compressed block does not decode to its source";
    if (!last && (output.size() < 4 || std::memcmp(output.data() + output.size() - 4, kSyncFlushMarker, 4) != 0))
        return kMismatch;

    inflate_state& st = m_state->inflate;
    isal_inflate_init(&st);
    if (history > 0 && isal_inflate_set_dict(&st, mutableBytes(input - history), static_cast<std::uint32_t>(history)) != COMP_OK)
        return "cannot set the inflate dictionary";
    st.next_in = mutableBytes(output.data());
    st.avail_in = static_cast<std::uint32_t>(output.size());
    // One spare byte shows output beyond the block's length.
    st.next_out = m_check.data();
    st.avail_out = static_cast<std::uint32_t>(inputLength + 1);
    const int rc = isal_inflate(&st);
    if (rc != ISAL_DECOMP_OK || st.total_out != inputLength || st.avail_in != 0)
        return kMismatch;
    if (last != (st.block_state == ISAL_BLOCK_FINISH))
        return kMismatch;
    if (inputLength > 0 && std::memcmp(m_check.data(), input, inputLength) != 0)
        return kMismatch;
    return {};
}

} // namespace zip
