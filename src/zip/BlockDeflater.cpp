#include "zip/BlockDeflater.h"

#include "zip/DeflateStream.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

namespace zip {

namespace {

constexpr std::uint8_t kSyncFlushMarker[4] = {0x00, 0x00, 0xFF, 0xFF};
constexpr std::size_t kWindow = 32 * 1024;
// The block is looked at in units of this size. Runs of units holding one
// repeated byte are split off when at least kMinUniformRun long, runs of
// units that look random when at least kMinStoredRun (one database page)
// long: searching them for matches is most of the time an engine would
// spend on a block that mixes random pages with rows.
constexpr std::size_t kUnit = 4096;
constexpr std::size_t kMinUniformRun = 64 * 1024;
constexpr std::size_t kMinStoredRun = 8 * 1024;
// Bits of entropy per byte from which a unit counts as random: Huffman
// coding could save at most 1.25 % of it, and matches are rare in such data
// (compressed or encrypted pages).
constexpr double kRandomEntropy = 7.9;
constexpr std::size_t kMaxStoredLength = 65535;

std::size_t isalLevelBufferSize(int level)
{
    switch (level) {
    case 0: return ISAL_DEF_LVL0_DEFAULT;
    case 1: return ISAL_DEF_LVL1_DEFAULT;
    case 2: return ISAL_DEF_LVL2_DEFAULT;
    default: return ISAL_DEF_LVL3_DEFAULT;
    }
}

bool validLevel(Codec codec)
{
    switch (codec.engine) {
    case Engine::Isal: return codec.level >= 0 && codec.level <= 3;
    case Engine::Zlib: return codec.level >= 1 && codec.level <= 9;
    case Engine::Libdeflate: return codec.level >= 1 && codec.level <= 12;
    }
    return false;
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

// n * log2(n) for every count a unit can reach.
const std::array<float, kUnit + 1>& countTimesLog()
{
    static const std::array<float, kUnit + 1> table = [] {
        std::array<float, kUnit + 1> t{};
        for (std::size_t n = 1; n <= kUnit; ++n)
            t[n] = static_cast<float>(static_cast<double>(n) * std::log2(static_cast<double>(n)));
        return t;
    }();
    return table;
}

// Counts of zero bytes and of bytes with the high bit set in p[0, n), n a
// multiple of 8, eight bytes at a time.
void countZerosAndHigh(const std::uint8_t* p, std::size_t n, unsigned& zeros, unsigned& high)
{
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    for (std::size_t i = 0; i < n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        // The high bit of each byte of `zero` is set exactly for a zero byte
        // of w. Multiplying bytes of 0 or 1 by 0x0101... sums them in the top
        // byte (the program is built for any x86-64, without popcnt).
        const std::uint64_t zero = ~(((w & kLow7) + kLow7) | w | kLow7);
        zeros += static_cast<unsigned>(((zero >> 7) * kOnes) >> 56);
        high += static_cast<unsigned>((((w & kHigh) >> 7) * kOnes) >> 56);
    }
}

// Whether a full unit may be random: random bytes hold about 16 zeros and
// 2048 bytes with the high bit set in 4096, each within a few dozen, while
// rows, text and UTF-16 fall far outside, most already in the unit's last
// 256 bytes. The bounds leave room for a page header in front of compressed
// data. Much cheaper than the entropy, which only runs on units that pass.
bool mayBeRandom(const std::uint8_t* p)
{
    constexpr std::size_t kTail = 256;
    unsigned zeros = 0;
    unsigned high = 0;
    countZerosAndHigh(p + kUnit - kTail, kTail, zeros, high);
    if (zeros > 8 || high < 80 || high > 176)
        return false;
    zeros = high = 0;
    countZerosAndHigh(p, kUnit, zeros, high);
    return zeros <= 256 && high >= 1664 && high <= 2304;
}

// Order-0 entropy of a full unit in bits per byte.
double entropy(const std::uint8_t* p)
{
    // Four tables, so that runs of one byte value do not serialize on a counter.
    std::array<std::array<std::uint16_t, 256>, 4> counts{};
    for (std::size_t i = 0; i < kUnit; i += 4) {
        ++counts[0][p[i]];
        ++counts[1][p[i + 1]];
        ++counts[2][p[i + 2]];
        ++counts[3][p[i + 3]];
    }
    const auto& nlogn = countTimesLog();
    double sum = 0;
    for (int b = 0; b < 256; ++b)
        sum += nlogn[counts[0][b] + counts[1][b] + counts[2][b] + counts[3][b]];
    return std::log2(static_cast<double>(kUnit)) - sum / static_cast<double>(kUnit);
}

// Decodes a segment as written and compares it with its source.
std::string check(const std::uint8_t* segment, std::size_t length, const std::uint8_t* input, std::size_t inputLength,
                  std::size_t history, bool last)
{
    StreamEnd end;
    return checkStream(segment, length, input, inputLength, history,
                       last ? StreamEnding::Final : StreamEnding::Flushed, end);
}

} // namespace

struct BlockDeflater::State {
    isal_zstream isal{};
    std::vector<std::uint8_t> isalLevelBuffer;
    z_stream zlib{};
    bool zlibOpen = false;
    libdeflate_compressor* libdeflate = nullptr;
};

BlockDeflater::BlockDeflater(Codec codec, std::size_t maxBlockSize) : m_codec(codec), m_maxBlockSize(maxBlockSize)
{
    try {
        m_state = std::make_unique<State>();
        m_unitKinds.reserve(maxBlockSize / kUnit + 1);
        m_segments.reserve(maxBlockSize / kUnit + 1);
        if (!validLevel(codec)) {
            m_error = "unsupported compression level " + std::to_string(codec.level);
            return;
        }
        // Level 1 serves the uniform runs whatever the codec.
        const int isalLevel = codec.engine == Engine::Isal ? codec.level : 1;
        m_state->isalLevelBuffer.resize(std::max(isalLevelBufferSize(1), isalLevelBufferSize(isalLevel)));
        if (codec.engine == Engine::Zlib) {
            const int rc = deflateInit2(&m_state->zlib, codec.level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
            if (rc != Z_OK)
                m_error = std::string("cannot set up zlib deflate: ") + zError(rc);
            else
                m_state->zlibOpen = true;
        } else if (codec.engine == Engine::Libdeflate) {
            m_state->libdeflate = libdeflate_alloc_compressor(codec.level);
            if (!m_state->libdeflate)
                m_error = "cannot set up libdeflate: out of memory";
        }
    } catch (const std::bad_alloc&) {
        m_error = "out of memory";
    }
}

std::size_t BlockDeflater::engineMemory(Codec codec)
{
    constexpr std::size_t kMiB = 1u << 20;
    const std::size_t isal = std::max(isalLevelBufferSize(1),
                                      isalLevelBufferSize(codec.engine == Engine::Isal ? codec.level : 1));
    switch (codec.engine) {
    case Engine::Isal: return isal + kMiB / 4;
    case Engine::Zlib: return isal + kMiB / 2;
    // Levels 10 to 12 keep a match cache of several MiB.
    case Engine::Libdeflate: return isal + (codec.level >= 10 ? 10 * kMiB : kMiB);
    }
    return isal + kMiB;
}

void BlockDeflater::splitSegments(const std::uint8_t* input, std::size_t length)
{
    m_unitKinds.clear();
    for (std::size_t at = 0; at < length; at += kUnit) {
        const std::size_t n = std::min(kUnit, length - at);
        SegmentKind kind = SegmentKind::Compressed;
        if (isUniform(input + at, n))
            kind = SegmentKind::Uniform;
        else if (n == kUnit && mayBeRandom(input + at) && entropy(input + at) >= kRandomEntropy)
            kind = SegmentKind::Stored;
        m_unitKinds.push_back(kind);
    }

    m_segments.clear();
    std::size_t covered = 0;
    for (std::size_t unit = 0; unit < m_unitKinds.size();) {
        const SegmentKind kind = m_unitKinds[unit];
        const std::size_t start = unit * kUnit;
        std::size_t next = unit + 1;
        while (next < m_unitKinds.size() && m_unitKinds[next] == kind
               && (kind != SegmentKind::Uniform || input[next * kUnit] == input[start]))
            ++next;
        const std::size_t end = std::min(next * kUnit, length);
        const std::size_t minRun = kind == SegmentKind::Uniform ? kMinUniformRun : kMinStoredRun;
        if (kind != SegmentKind::Compressed && end - start >= minRun) {
            if (start > covered)
                m_segments.push_back({covered, start - covered, SegmentKind::Compressed});
            m_segments.push_back({start, end - start, kind});
            covered = end;
        }
        unit = next;
    }
    if (covered < length || m_segments.empty())
        m_segments.push_back({covered, length - covered, SegmentKind::Compressed});
}

BlockDeflater::~BlockDeflater()
{
    if (m_state && m_state->zlibOpen)
        deflateEnd(&m_state->zlib);
    if (m_state && m_state->libdeflate)
        libdeflate_free_compressor(m_state->libdeflate);
}

std::size_t BlockDeflater::outputBound(std::size_t inputLength)
{
    return inputLength + inputLength / 16 + 1024;
}

std::string BlockDeflater::compress(const std::uint8_t* input, std::size_t inputLength, std::size_t history,
                                    bool last, Bytes& output)
{
    if (!isReady())
        return m_error;
    if (inputLength > m_maxBlockSize)
        return "block larger than the deflater was set up for";
    try {
        splitSegments(input, inputLength);
        output.resize(outputBound(inputLength));
        std::size_t produced = 0;
        for (std::size_t i = 0; i < m_segments.size(); ++i) {
            const Segment& seg = m_segments[i];
            const std::uint8_t* at = input + seg.offset;
            const std::size_t segmentHistory = std::min(kWindow, history + seg.offset);
            const bool segmentLast = last && i + 1 == m_segments.size();
            std::string error;
            if (seg.kind == SegmentKind::Stored)
                error = store(at, seg.length, segmentLast, output, produced);
            else if (seg.kind == SegmentKind::Uniform || m_codec.engine == Engine::Isal)
                error = deflateIsal(seg.kind == SegmentKind::Uniform ? 1 : m_codec.level, at, seg.length,
                                    segmentHistory, segmentLast, output, produced);
            else if (m_codec.engine == Engine::Zlib)
                error = deflateZlib(at, seg.length, segmentHistory, segmentLast, output, produced);
            else
                error = deflateLibdeflate(at, seg.length, segmentLast, output, produced);
            if (!error.empty())
                return error;
        }
        output.resize(produced);
        return {};
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
}

std::string BlockDeflater::deflateIsal(int level, const std::uint8_t* input, std::size_t inputLength,
                                       std::size_t history, bool last, Bytes& output, std::size_t& produced)
{
    const std::size_t start = produced;
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
            return check(output.data() + start, produced - start, input, inputLength, history, last);
        if (s.avail_out != 0)
            return "deflate stopped before the end of its input";
        output.resize(output.size() * 2);
    }
}

std::string BlockDeflater::deflateZlib(const std::uint8_t* input, std::size_t inputLength, std::size_t history,
                                       bool last, Bytes& output, std::size_t& produced)
{
    const std::size_t start = produced;
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
            return check(output.data() + start, produced - start, input, inputLength, history, last);
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            return std::string("zlib deflate failed: ") + (z.msg ? z.msg : zError(rc));
        // A sync flush is complete when deflate leaves output space unused.
        if (!last && z.avail_in == 0 && z.avail_out != 0)
            return check(output.data() + start, produced - start, input, inputLength, history, last);
        if (z.avail_out != 0)
            return "zlib deflate stopped before the end of its input";
        output.resize(output.size() * 2);
    }
}

std::string BlockDeflater::store(const std::uint8_t* input, std::size_t inputLength, bool last, Bytes& output,
                                 std::size_t& produced)
{
    const std::size_t start = produced;
    // Segments start on a byte boundary, so each stored block header is one
    // byte. A segment that is not the last ends with an empty stored block,
    // which is what a sync flush leaves.
    const std::size_t blocks = (inputLength + kMaxStoredLength - 1) / kMaxStoredLength + (last ? 0 : 1);
    const std::size_t room = inputLength + 5 * blocks;
    if (output.size() - produced < room)
        output.resize(produced + room);
    std::uint8_t* out = output.data() + produced;
    std::size_t done = 0;
    do {
        const std::size_t n = std::min(kMaxStoredLength, inputLength - done);
        const bool final = last && done + n == inputLength;
        out[0] = final ? 1 : 0;
        out[1] = static_cast<std::uint8_t>(n);
        out[2] = static_cast<std::uint8_t>(n >> 8);
        out[3] = static_cast<std::uint8_t>(~n);
        out[4] = static_cast<std::uint8_t>(~n >> 8);
        std::memcpy(out + 5, input + done, n);
        out += 5 + n;
        done += n;
    } while (done < inputLength);
    if (!last) {
        out[0] = 0;
        std::memcpy(out + 1, kSyncFlushMarker, 4);
        out += 5;
    }
    produced = static_cast<std::size_t>(out - output.data());
    return check(output.data() + start, produced - start, input, inputLength, 0, last);
}

std::string BlockDeflater::deflateLibdeflate(const std::uint8_t* input, std::size_t inputLength, bool last,
                                             Bytes& output, std::size_t& produced)
{
    const std::size_t room = libdeflate_deflate_compress_bound(m_state->libdeflate, inputLength) + kContinueStreamSlack;
    if (output.size() - produced < room)
        output.resize(produced + room);
    std::uint8_t* at = output.data() + produced;
    std::size_t length = libdeflate_deflate_compress(m_state->libdeflate, input, inputLength, at, room);
    if (length == 0)
        return "libdeflate could not compress a block";
    // The check also finds the final block, whose flag a continued stream clears.
    StreamEnd end;
    if (std::string error = checkStream(at, length, input, inputLength, 0, StreamEnding::Final, end); !error.empty())
        return error;
    if (!last) {
        if (std::string error = continueStream(at, length, room, end, length); !error.empty())
            return error;
    }
    produced += length;
    return {};
}

} // namespace zip
