#include "zip/DeflateStream.h"

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

namespace zip {

namespace {

static_assert(std::endian::native == std::endian::little, "the bit reader loads little-endian words");

constexpr int kMaxCodeLength = 15;
constexpr int kLitLenSymbols = 288;
constexpr int kDistSymbols = 32;
constexpr int kEndOfBlock = 256;

constexpr std::array<std::uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint8_t, 30> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<std::uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                                           11, 4, 12, 3, 13, 2, 14, 1, 15};

const std::string kNotAStream = "the compressed block is not a valid deflate stream";

class BitReader {
public:
    BitReader(const std::uint8_t* data, std::size_t length) : m_data(data), m_length(length) {}

    // At least 57 bits from the current position; bits past the end read as 0.
    std::uint64_t peek() const
    {
        const std::size_t byte = static_cast<std::size_t>(m_pos >> 3);
        std::uint64_t word = 0;
        if (byte + 8 <= m_length) {
            std::memcpy(&word, m_data + byte, 8);
        } else {
            for (std::size_t i = byte; i < m_length; ++i)
                word |= static_cast<std::uint64_t>(m_data[i]) << (8 * (i - byte));
        }
        return word >> (m_pos & 7);
    }

    std::uint32_t read(int count)
    {
        const std::uint64_t v = peek() & ((std::uint64_t{1} << count) - 1);
        m_pos += static_cast<std::uint64_t>(count);
        return static_cast<std::uint32_t>(v);
    }

    void skip(std::uint64_t count) { m_pos += count; }
    void alignToByte() { m_pos = (m_pos + 7) & ~std::uint64_t{7}; }
    std::uint64_t position() const { return m_pos; }
    bool overrun() const { return m_pos > static_cast<std::uint64_t>(m_length) * 8; }

private:
    const std::uint8_t* m_data;
    std::size_t m_length;
    std::uint64_t m_pos = 0;
};

// A canonical Huffman code as a table indexed by the next `bits` input bits
// (least significant first). An entry holds the symbol << 4 | code length;
// 0 marks bit patterns no code starts with (incomplete codes are legal).
struct HuffmanTable {
    std::array<std::uint16_t, 1 << kMaxCodeLength> entries;
    int bits = 0;

    bool build(const std::uint8_t* lengths, int count)
    {
        std::array<int, kMaxCodeLength + 1> perLength{};
        for (int i = 0; i < count; ++i)
            ++perLength[lengths[i]];
        perLength[0] = 0;
        bits = 0;
        int left = 1;
        for (int len = 1; len <= kMaxCodeLength; ++len) {
            left = 2 * left - perLength[len];
            if (left < 0)
                return false; // over-subscribed
            if (perLength[len] > 0)
                bits = len;
        }
        std::array<std::uint32_t, kMaxCodeLength + 2> next{};
        for (int len = 1; len <= kMaxCodeLength; ++len)
            next[len + 1] = (next[len] + static_cast<std::uint32_t>(perLength[len])) << 1;
        const std::size_t size = std::size_t{1} << bits;
        std::fill_n(entries.begin(), size, std::uint16_t{0});
        for (int symbol = 0; symbol < count; ++symbol) {
            const int len = lengths[symbol];
            if (len == 0)
                continue;
            const std::uint32_t code = next[len]++;
            std::uint32_t reversed = 0;
            for (int i = 0; i < len; ++i)
                reversed |= ((code >> i) & 1u) << (len - 1 - i);
            const auto entry = static_cast<std::uint16_t>(symbol << 4 | len);
            for (std::size_t at = reversed; at < size; at += std::size_t{1} << len)
                entries[at] = entry;
        }
        return true;
    }

    // The next symbol, or -1 for a bit pattern that starts no code.
    int decode(BitReader& in) const
    {
        const std::uint16_t e = entries[in.peek() & ((std::uint64_t{1} << bits) - 1)];
        if (e == 0)
            return -1;
        in.skip(e & 15u);
        return e >> 4;
    }
};

struct Tables {
    HuffmanTable litLen;
    HuffmanTable distance;
    HuffmanTable codeLength;
};

bool readDynamicHeader(BitReader& in, Tables& t)
{
    const int litLenCount = static_cast<int>(in.read(5)) + 257;
    const int distCount = static_cast<int>(in.read(5)) + 1;
    const int codeLengthCount = static_cast<int>(in.read(4)) + 4;
    if (litLenCount > 286 || distCount > 30)
        return false;

    std::array<std::uint8_t, 19> codeLengthLengths{};
    for (int i = 0; i < codeLengthCount; ++i)
        codeLengthLengths[kCodeLengthOrder[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(in.read(3));
    if (!t.codeLength.build(codeLengthLengths.data(), 19) || t.codeLength.bits == 0)
        return false;

    std::array<std::uint8_t, kLitLenSymbols + kDistSymbols> lengths{};
    const int total = litLenCount + distCount;
    for (int i = 0; i < total;) {
        const int symbol = t.codeLength.decode(in);
        if (symbol < 0)
            return false;
        if (symbol < 16) {
            lengths[static_cast<std::size_t>(i++)] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t value = 0;
        int repeat = 0;
        if (symbol == 16) {
            if (i == 0)
                return false;
            value = lengths[static_cast<std::size_t>(i - 1)];
            repeat = 3 + static_cast<int>(in.read(2));
        } else if (symbol == 17) {
            repeat = 3 + static_cast<int>(in.read(3));
        } else {
            repeat = 11 + static_cast<int>(in.read(7));
        }
        if (i + repeat > total)
            return false;
        std::fill_n(lengths.begin() + i, repeat, value);
        i += repeat;
    }
    if (lengths[kEndOfBlock] == 0)
        return false;
    return t.litLen.build(lengths.data(), litLenCount) && t.distance.build(lengths.data() + litLenCount, distCount);
}

void buildFixedTables(Tables& t)
{
    std::array<std::uint8_t, kLitLenSymbols> lit{};
    std::fill(lit.begin(), lit.begin() + 144, 8);
    std::fill(lit.begin() + 144, lit.begin() + 256, 9);
    std::fill(lit.begin() + 256, lit.begin() + 280, 7);
    std::fill(lit.begin() + 280, lit.end(), 8);
    std::array<std::uint8_t, kDistSymbols> dist{};
    dist.fill(5);
    t.litLen.build(lit.data(), kLitLenSymbols);
    t.distance.build(dist.data(), kDistSymbols);
}

// Decodes symbols up to and including the end-of-block code.
bool skipHuffmanBlock(BitReader& in, const Tables& t)
{
    for (;;) {
        const int symbol = t.litLen.decode(in);
        if (symbol < 0 || in.overrun())
            return false;
        if (symbol < kEndOfBlock)
            continue;
        if (symbol == kEndOfBlock)
            return true;
        const int lengthCode = symbol - 257;
        if (lengthCode >= static_cast<int>(kLengthExtra.size()))
            return false;
        in.skip(kLengthExtra[static_cast<std::size_t>(lengthCode)]);
        if (t.distance.bits == 0)
            return false;
        const int distCode = t.distance.decode(in);
        if (distCode < 0 || distCode >= static_cast<int>(kDistanceExtra.size()))
            return false;
        in.skip(kDistanceExtra[static_cast<std::size_t>(distCode)]);
    }
}

} // namespace

std::string locateStreamEnd(const std::uint8_t* data, std::size_t length, StreamEnd& end)
{
    std::unique_ptr<Tables> tables;
    std::unique_ptr<Tables> fixed;
    try {
        tables = std::make_unique<Tables>();
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
    BitReader in(data, length);
    for (;;) {
        const std::uint64_t header = in.position();
        const bool final = in.read(1) != 0;
        const std::uint32_t type = in.read(2);
        if (type == 0) {
            in.alignToByte();
            const std::uint32_t stored = in.read(16);
            const std::uint32_t check = in.read(16);
            if ((stored ^ check) != 0xFFFFu)
                return kNotAStream;
            in.skip(std::uint64_t{stored} * 8);
        } else if (type == 1) {
            if (!fixed) {
                try {
                    fixed = std::make_unique<Tables>();
                } catch (const std::bad_alloc&) {
                    return "out of memory";
                }
                buildFixedTables(*fixed);
            }
            if (!skipHuffmanBlock(in, *fixed))
                return kNotAStream;
        } else if (type == 2) {
            if (!readDynamicHeader(in, *tables) || !skipHuffmanBlock(in, *tables))
                return kNotAStream;
        } else {
            return kNotAStream;
        }
        if (in.overrun())
            return kNotAStream;
        if (final) {
            end.finalHeaderBit = header;
            end.endBit = in.position();
            // Bytes after the stream would be lost by continueStream().
            if ((end.endBit + 7) / 8 != length)
                return kNotAStream;
            return {};
        }
    }
}

std::string continueStream(std::uint8_t* stream, std::size_t length, std::size_t capacity, std::size_t& newLength)
{
    StreamEnd end;
    if (std::string error = locateStreamEnd(stream, length, end); !error.empty())
        return error;
    if (capacity < length + kContinueStreamSlack)
        return "no room to continue the compressed stream";

    stream[end.finalHeaderBit >> 3] &= static_cast<std::uint8_t>(~(1u << (end.finalHeaderBit & 7)));
    if ((end.endBit & 7) != 0)
        stream[end.endBit >> 3] &= static_cast<std::uint8_t>((1u << (end.endBit & 7)) - 1);
    // The three zero header bits of the stored block, then up to the next byte.
    const std::size_t aligned = static_cast<std::size_t>((end.endBit + 3 + 7) / 8);
    for (std::size_t i = length; i < aligned; ++i)
        stream[i] = 0;
    static constexpr std::uint8_t kEmptyStored[4] = {0x00, 0x00, 0xFF, 0xFF};
    std::memcpy(stream + aligned, kEmptyStored, 4);
    newLength = aligned + 4;
    return {};
}

} // namespace zip
