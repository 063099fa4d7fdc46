#include "zip/DeflateStream.h"

#include <array>
#include <bit>
#include <cstring>

namespace zip {

namespace {

static_assert(std::endian::native == std::endian::little, "the bit reader loads little-endian words");

constexpr int kMaxCodeLength = 15;
constexpr int kLitLenSymbols = 288;
constexpr int kDistSymbols = 32;
constexpr int kEndOfBlock = 256;
constexpr std::size_t kWindow = 32 * 1024;

constexpr std::array<std::uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23, 27,
                                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, 30> kDistanceBase = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                                         33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                                         1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<std::uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                                           11, 4, 12, 3, 13, 2, 14, 1, 15};

const std::string kNotAStream = "the compressed block is not a valid deflate stream";
const std::string kMismatch = "a compressed block does not decode to its source";

// Reads the stream least significant bit first through a 64-bit buffer that
// refill() tops up to at least 56 bits with one unaligned load. Bytes past
// the end read as zeros; overrun() tells when they were used. Bits above
// `count` in the buffer are zeros or the stream's next bits, so loading the
// same byte again is harmless.
struct BitReader {
    const std::uint8_t* data;
    std::size_t length;
    std::size_t next = 0; // next byte to load
    std::uint64_t buffer = 0;
    unsigned count = 0;   // valid bits in buffer

    void refill()
    {
        if (next + 8 <= length) {
            std::uint64_t word;
            std::memcpy(&word, data + next, 8);
            buffer |= word << count;
            next += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56) {
            const std::uint64_t byte = next < length ? data[next] : 0;
            buffer |= byte << count;
            ++next;
            count += 8;
        }
    }
    void consume(unsigned n)
    {
        buffer >>= n;
        count -= n;
    }
    // Up to 32 bits; refills first.
    std::uint32_t read(unsigned n)
    {
        refill();
        const auto v = static_cast<std::uint32_t>(buffer & ((std::uint64_t{1} << n) - 1));
        consume(n);
        return v;
    }
    void alignToByte() { consume(count & 7); }
    // Continues at byte `at`; only called on a byte boundary.
    void seekByte(std::size_t at)
    {
        next = at;
        buffer = 0;
        count = 0;
    }
    std::uint64_t position() const { return static_cast<std::uint64_t>(next) * 8 - count; }
    bool overrun() const { return position() > static_cast<std::uint64_t>(length) * 8; }
};

// A table entry: the code's length in bits 0-3, the count of extra bits
// that follow it in bits 4-7, the kind in bits 8-10 and the literal, base
// length, base distance or code length symbol in bits 16-31.
enum Kind : std::uint32_t { Invalid, Literal, Length, End, Distance, Long };

constexpr std::uint32_t entry(unsigned codeLength, unsigned extra, Kind kind, unsigned value)
{
    return codeLength | extra << 4 | static_cast<std::uint32_t>(kind) << 8 | value << 16;
}
constexpr unsigned codeLengthOf(std::uint32_t e) { return e & 15u; }
constexpr unsigned extraOf(std::uint32_t e) { return (e >> 4) & 15u; }
constexpr Kind kindOf(std::uint32_t e) { return static_cast<Kind>((e >> 8) & 7u); }
constexpr unsigned valueOf(std::uint32_t e) { return e >> 16; }

std::uint32_t litLenEntry(int symbol, int length)
{
    const auto len = static_cast<unsigned>(length);
    if (symbol < kEndOfBlock)
        return entry(len, 0, Literal, static_cast<unsigned>(symbol));
    if (symbol == kEndOfBlock)
        return entry(len, 0, End, 0);
    const auto code = static_cast<std::size_t>(symbol - 257);
    if (code >= kLengthBase.size())
        return entry(len, 0, Invalid, 0); // 286 and 287 exist in the fixed code only to be refused
    return entry(len, kLengthExtra[code], Length, kLengthBase[code]);
}

std::uint32_t distanceEntry(int symbol, int length)
{
    const auto len = static_cast<unsigned>(length);
    const auto code = static_cast<std::size_t>(symbol);
    if (code >= kDistanceBase.size())
        return entry(len, 0, Invalid, 0);
    return entry(len, kDistanceExtra[code], Distance, kDistanceBase[code]);
}

std::uint32_t codeLengthEntry(int symbol, int length)
{
    return entry(static_cast<unsigned>(length), 0, Literal, static_cast<unsigned>(symbol));
}

// A canonical Huffman code, decoded through a table indexed by the next
// TableBits input bits; the rare longer codes are decoded bit by bit.
template <int TableBits>
struct HuffmanCode {
    std::array<std::uint32_t, 1 << TableBits> table;
    std::array<std::uint16_t, kMaxCodeLength + 1> perLength;
    std::array<std::uint16_t, kLitLenSymbols> sorted; // symbols by code length, then value
    std::uint32_t (*entryOf)(int symbol, int length) = nullptr;

    // False for a set of lengths zlib refuses: over-subscribed, or
    // incomplete unless `singleAllowed` and it is no code at all or a single
    // one-bit code.
    bool build(const std::uint8_t* lengths, int count, std::uint32_t (*entryFor)(int, int), bool singleAllowed)
    {
        entryOf = entryFor;
        perLength.fill(0);
        for (int i = 0; i < count; ++i)
            ++perLength[lengths[i]];
        perLength[0] = 0;
        int maxLength = 0;
        int left = 1;
        for (int len = 1; len <= kMaxCodeLength; ++len) {
            left = 2 * left - perLength[static_cast<std::size_t>(len)];
            if (left < 0)
                return false;
            if (perLength[static_cast<std::size_t>(len)] > 0)
                maxLength = len;
        }
        table.fill(entry(0, 0, Invalid, 0));
        if (maxLength == 0)
            return singleAllowed;
        if (left > 0 && !(singleAllowed && maxLength == 1))
            return false;

        std::array<std::uint16_t, kMaxCodeLength + 2> offsets{};
        for (int len = 1; len <= kMaxCodeLength; ++len)
            offsets[static_cast<std::size_t>(len + 1)] =
                static_cast<std::uint16_t>(offsets[static_cast<std::size_t>(len)] + perLength[static_cast<std::size_t>(len)]);
        for (int symbol = 0; symbol < count; ++symbol)
            if (lengths[symbol] != 0)
                sorted[offsets[lengths[symbol]]++] = static_cast<std::uint16_t>(symbol);

        std::uint32_t code = 0;
        std::size_t at = 0;
        for (int len = 1; len <= maxLength; ++len, code <<= 1) {
            for (int i = 0; i < perLength[static_cast<std::size_t>(len)]; ++i, ++code, ++at) {
                std::uint32_t reversed = 0;
                for (int b = 0; b < len; ++b)
                    reversed |= ((code >> b) & 1u) << (len - 1 - b);
                if (len <= TableBits) {
                    const std::uint32_t e = entryFor(sorted[at], len);
                    for (std::uint32_t x = reversed; x < table.size(); x += 1u << len)
                        table[x] = e;
                } else {
                    table[reversed & (table.size() - 1)] = entry(0, 0, Long, 0);
                }
            }
        }
        return true;
    }

    // The entry of the next code, which is longer than the table (its bits
    // are consumed), or an invalid one.
    std::uint32_t decodeLong(BitReader& in) const
    {
        const std::uint64_t bits = in.buffer;
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxCodeLength; ++len) {
            code |= static_cast<int>((bits >> (len - 1)) & 1u);
            const int n = perLength[static_cast<std::size_t>(len)];
            if (code - first < n) {
                in.consume(static_cast<unsigned>(len));
                // The code is consumed: the entry keeps only its extra bits.
                return entryOf(sorted[static_cast<std::size_t>(index + code - first)], 0);
            }
            index += n;
            first = (first + n) << 1;
            code <<= 1;
        }
        return entry(0, 0, Invalid, 0);
    }
};

struct Tables {
    HuffmanCode<10> litLen;
    HuffmanCode<9> distance;
    HuffmanCode<7> codeLength;
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
    if (!t.codeLength.build(codeLengthLengths.data(), 19, codeLengthEntry, false))
        return false;

    std::array<std::uint8_t, kLitLenSymbols + kDistSymbols> lengths{};
    const int total = litLenCount + distCount;
    for (int i = 0; i < total;) {
        in.refill();
        // Code length codes are at most 7 bits long: the table holds them all.
        const std::uint32_t e = t.codeLength.table[in.buffer & (t.codeLength.table.size() - 1)];
        if (kindOf(e) == Invalid)
            return false;
        in.consume(codeLengthOf(e));
        const unsigned symbol = valueOf(e);
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
    return t.litLen.build(lengths.data(), litLenCount, litLenEntry, true)
        && t.distance.build(lengths.data() + litLenCount, distCount, distanceEntry, true);
}

const Tables& fixedTables()
{
    static const Tables tables = [] {
        Tables t;
        std::array<std::uint8_t, kLitLenSymbols> lit{};
        std::fill(lit.begin(), lit.begin() + 144, 8);
        std::fill(lit.begin() + 144, lit.begin() + 256, 9);
        std::fill(lit.begin() + 256, lit.begin() + 280, 7);
        std::fill(lit.begin() + 280, lit.end(), 8);
        std::array<std::uint8_t, kDistSymbols> dist{};
        dist.fill(5);
        t.litLen.build(lit.data(), kLitLenSymbols, litLenEntry, true);
        t.distance.build(dist.data(), kDistSymbols, distanceEntry, true);
        return t;
    }();
    return tables;
}

// Whether a[0, n) equals b[0, n), for the lengths of a copy (3 to 258).
// Either range may overlap the other: both are only read.
inline bool sameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n)
{
    auto same8 = [](const std::uint8_t* x, const std::uint8_t* y) {
        std::uint64_t u, v;
        std::memcpy(&u, x, 8);
        std::memcpy(&v, y, 8);
        return u == v;
    };
    if (n >= 8) {
        // Whole words, then the last eight bytes again: no loop up to 16.
        for (std::size_t i = 0; i + 16 <= n; i += 8)
            if (!same8(a + i, b + i))
                return false;
        const std::size_t last = n - 8;
        return same8(a + (last & ~std::size_t{7}), b + (last & ~std::size_t{7})) && same8(a + last, b + last);
    }
    if (n >= 4) {
        std::uint32_t x0, y0, x1, y1;
        std::memcpy(&x0, a, 4);
        std::memcpy(&y0, b, 4);
        std::memcpy(&x1, a + n - 4, 4);
        std::memcpy(&y1, b + n - 4, 4);
        return x0 == y0 && x1 == y1;
    }
    return std::memcmp(a, b, n) == 0;
}

// What a block is decoded against: the expected bytes, how many of them the
// stream has produced so far, and how far back before them copies may reach.
struct Output {
    const std::uint8_t* expected;
    std::size_t length;
    std::size_t history;
    std::size_t produced = 0;
};

// Decodes one Huffman-coded block, up to and including its end-of-block
// code. After a refill 56 bits are buffered: enough for a length code with
// its extra bits (20) and a distance code with its extra bits (28).
const std::string* checkHuffmanBlock(BitReader& reader, const Tables& t, Output& out)
{
    // Works on copies held in registers: table entries and expected bytes are
    // read through pointers the compiler cannot tell apart from the reader.
    BitReader in = reader;
    std::size_t produced = out.produced;
    const std::uint8_t* const expected = out.expected;
    const std::size_t expectedLength = out.length;
    const std::size_t reach = out.history;
    const std::uint32_t* const litLen = t.litLen.table.data();
    const std::uint32_t* const distance = t.distance.table.data();
    const std::uint64_t litMask = t.litLen.table.size() - 1;
    const std::uint64_t distMask = t.distance.table.size() - 1;
    const std::string* error = &kNotAStream;
    in.refill();
    std::uint32_t e = litLen[in.buffer & litMask];
    for (;;) {
        if (kindOf(e) == Literal) {
            in.consume(codeLengthOf(e));
            if (produced >= expectedLength || expected[produced] != valueOf(e)) {
                error = &kMismatch;
                break;
            }
            ++produced;
            // At least 41 bits are left: the next code can be looked up
            // before the refill, which then runs beside the lookup.
            e = litLen[in.buffer & litMask];
            in.refill();
            continue;
        }
        if (kindOf(e) == Long) {
            e = t.litLen.decodeLong(in);
            if (kindOf(e) == Literal) {
                if (produced >= expectedLength || expected[produced] != valueOf(e)) {
                    error = &kMismatch;
                    break;
                }
                ++produced;
                in.refill();
                e = litLen[in.buffer & litMask];
                continue;
            }
        } else {
            in.consume(codeLengthOf(e));
        }
        if (kindOf(e) == End) {
            if (!in.overrun())
                error = nullptr;
            break;
        }
        if (kindOf(e) != Length)
            break;
        const unsigned lengthExtra = extraOf(e);
        const std::size_t copyLength = valueOf(e) + static_cast<std::size_t>(in.buffer & ((1u << lengthExtra) - 1));
        in.consume(lengthExtra);

        e = distance[in.buffer & distMask];
        if (kindOf(e) == Long)
            e = t.distance.decodeLong(in);
        else
            in.consume(codeLengthOf(e));
        if (kindOf(e) != Distance)
            break;
        const unsigned distanceExtra = extraOf(e);
        const std::size_t back = valueOf(e) + static_cast<std::size_t>(in.buffer & ((1u << distanceExtra) - 1));
        in.consume(distanceExtra);
        if (back > produced + reach || in.overrun())
            break;
        if (copyLength > expectedLength - produced
            || !sameBytes(expected + produced, expected + produced - back, copyLength)) {
            error = &kMismatch;
            break;
        }
        produced += copyLength;
        in.refill();
        e = litLen[in.buffer & litMask];
    }
    reader = in;
    out.produced = produced;
    return error;
}

} // namespace

std::string checkStream(const std::uint8_t* stream, std::size_t length, const std::uint8_t* expected,
                        std::size_t expectedLength, std::size_t history, StreamEnding ending, StreamEnd& end)
{
    BitReader in{stream, length};
    Output out{expected, expectedLength, std::min(history, kWindow)};
    Tables tables;
    const std::uint64_t streamBits = static_cast<std::uint64_t>(length) * 8;
    for (;;) {
        const std::uint64_t header = in.position();
        if (header >= streamBits)
            return kNotAStream;
        const std::uint32_t bits = in.read(3);
        const bool final = (bits & 1) != 0;
        const std::uint32_t type = bits >> 1;
        bool emptyStored = false;
        if (type == 0) {
            in.alignToByte();
            const std::uint32_t stored = in.read(16);
            const std::uint32_t check = in.read(16);
            if ((stored ^ check) != 0xFFFFu || in.overrun())
                return kNotAStream;
            const auto at = static_cast<std::size_t>(in.position() / 8);
            if (stored > length - at)
                return kNotAStream;
            if (stored > expectedLength - out.produced
                || (stored > 0 && std::memcmp(stream + at, expected + out.produced, stored) != 0))
                return kMismatch;
            out.produced += stored;
            in.seekByte(at + stored);
            emptyStored = stored == 0;
        } else if (type == 1) {
            if (const std::string* error = checkHuffmanBlock(in, fixedTables(), out))
                return *error;
        } else if (type == 2) {
            if (!readDynamicHeader(in, tables) || in.overrun())
                return kNotAStream;
            if (const std::string* error = checkHuffmanBlock(in, tables, out))
                return *error;
        } else {
            return kNotAStream;
        }
        if (in.overrun())
            return kNotAStream;
        end.lastHeaderBit = header;
        end.endBit = in.position();
        if (final) {
            if (ending != StreamEnding::Final || (end.endBit + 7) / 8 != length)
                return kNotAStream;
            break;
        }
        if (ending == StreamEnding::Flushed && end.endBit == streamBits) {
            if (!emptyStored)
                return kNotAStream;
            break;
        }
    }
    return out.produced == expectedLength ? std::string() : kMismatch;
}

std::string continueStream(std::uint8_t* stream, std::size_t length, std::size_t capacity, const StreamEnd& end,
                           std::size_t& newLength)
{
    if (capacity < length + kContinueStreamSlack)
        return "no room to continue the compressed stream";
    if (end.lastHeaderBit >= end.endBit || (end.endBit + 7) / 8 != length
        || (stream[end.lastHeaderBit >> 3] >> (end.lastHeaderBit & 7) & 1u) == 0)
        return kNotAStream;

    stream[end.lastHeaderBit >> 3] &= static_cast<std::uint8_t>(~(1u << (end.lastHeaderBit & 7)));
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
