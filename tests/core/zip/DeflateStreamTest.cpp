#include "BackupLikeFile.h"
#include "DatabasePages.h"

#include "zip/DeflateStream.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <set>
#include <utility>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes backupLike(std::size_t length, std::uint64_t seed)
{
    Bytes b(length);
    backuplike::fill(seed, 0, b.data(), length);
    return b;
}

Bytes databaseLike(std::size_t length, std::uint64_t seed)
{
    Bytes b(length);
    dbpages::fill(seed, 0, b.data(), length);
    return b;
}

Bytes randomBytes(std::size_t length, std::uint64_t seed)
{
    Bytes b(length);
    backuplike::Random rnd(seed);
    for (auto& byte : b)
        byte = static_cast<std::uint8_t>(rnd.next());
    return b;
}

// A whole stream as libdeflate writes it, with room for continueStream().
Bytes compress(const Bytes& input, int level)
{
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> c(
        libdeflate_alloc_compressor(level), libdeflate_free_compressor);
    Bytes out(libdeflate_deflate_compress_bound(c.get(), input.size()) + zip::kContinueStreamSlack);
    out.resize(libdeflate_deflate_compress(c.get(), input.data(), input.size(), out.data(), out.size()));
    return out;
}

// Inflates a raw deflate stream of at most `limit` bytes with zlib; false
// unless it ends exactly at the end of `stream`.
bool inflateAll(const Bytes& stream, std::size_t limit, Bytes& output)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return false;
    output.assign(limit, 0);
    z.next_in = const_cast<Bytes::value_type*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(output.size());
    const int rc = inflate(&z, Z_FINISH);
    output.resize(z.total_out);
    const bool whole = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return whole;
}

// Streams of every block type (stored, fixed, dynamic, several blocks) and
// of every end position within the last byte pass the check, and continued
// and followed by another stream decode as the two inputs one after the other.
TEST(DeflateStream, CheckedStreamsContinueIntoOneStream)
{
    struct Case {
        const char* what;
        Bytes input;
        int level;
    };
    std::vector<Case> cases = {
        {"empty", {}, 6},
        {"one byte", {'x'}, 6},
        {"random, stored blocks", randomBytes(200000, 0), 6},
        {"several dynamic blocks", backupLike(3 << 20, 11), 6},
        {"database pages", databaseLike(1 << 20, 14), 6},
        {"near-optimal parser", backupLike(600000, 12), 12},
        {"fastest level", backupLike(600000, 13), 1},
    };
    // Short texts end on every bit of the last byte.
    std::string text;
    for (int i = 0; i < 20; ++i)
        text += "Order line " + std::to_string(i * 7 % 50) + ";INV-000047" + std::to_string(i) + ";Lisbon;";
    for (std::size_t n = 60; n < 600; n += 9)
        cases.push_back({"short text", Bytes(text.begin(), text.begin() + static_cast<long>(n)), n % 2 ? 6 : 1});

    const Bytes tail = backupLike(100000, 99);
    const Bytes tailStream = compress(tail, 6);
    std::set<std::uint64_t> endBits;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what + std::string(", ") + std::to_string(c.input.size()) + " bytes");
        Bytes stream = compress(c.input, c.level);
        ASSERT_FALSE(stream.empty());
        zip::StreamEnd end;
        ASSERT_EQ(zip::checkStream(stream.data(), stream.size(), c.input.data(), c.input.size(), 0,
                                   zip::StreamEnding::Final, end),
                  "");
        EXPECT_EQ((end.endBit + 7) / 8, stream.size());
        endBits.insert(end.endBit % 8);

        std::size_t length = 0;
        const std::size_t compressed = stream.size();
        stream.resize(compressed + zip::kContinueStreamSlack);
        ASSERT_EQ(zip::continueStream(stream.data(), compressed, stream.size(), end, length), "");
        stream.resize(length);
        ASSERT_GE(length, 4u);
        EXPECT_EQ(Bytes(stream.end() - 4, stream.end()), (Bytes{0x00, 0x00, 0xFF, 0xFF}));
        EXPECT_EQ(zip::checkStream(stream.data(), stream.size(), c.input.data(), c.input.size(), 0,
                                   zip::StreamEnding::Flushed, end),
                  "");

        Bytes joined = stream;
        joined.insert(joined.end(), tailStream.begin(), tailStream.end());
        Bytes expected = c.input;
        expected.insert(expected.end(), tail.begin(), tail.end());
        Bytes decoded;
        ASSERT_TRUE(inflateAll(joined, expected.size() + 1, decoded));
        EXPECT_TRUE(decoded == expected);
    }
    EXPECT_EQ(endBits.size(), 8u) << "not every end position within a byte was exercised";
}

// What zlib makes of a raw stream that starts after `dictionary`.
struct ZlibResult {
    bool ended = false;   // the final block was reached
    bool consumed = false; // every input byte was used
    bool failed = false;
    Bytes output;
};

ZlibResult zlibInflate(const Bytes& stream, const Bytes& dictionary, std::size_t limit)
{
    ZlibResult r;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return {false, false, true, {}};
    if (!dictionary.empty())
        inflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size()));
    r.output.assign(limit, 0);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = r.output.data();
    z.avail_out = static_cast<uInt>(r.output.size());
    const int rc = inflate(&z, Z_SYNC_FLUSH);
    r.ended = rc == Z_STREAM_END;
    r.failed = rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR;
    r.consumed = z.avail_in == 0;
    r.output.resize(z.total_out);
    inflateEnd(&z);
    return r;
}

// The check is the only thing standing between a compressor's mistake and
// a backup archive, so it must never pass what zlib, the decoder of most zip
// readers, would refuse or decode differently. Streams of zlib, libdeflate
// and ISA-L-like sync-flushed segments after a dictionary are damaged bit by
// bit, cut and extended; whenever the check passes, zlib must produce
// exactly the source and end where the check says.
TEST(DeflateStream, CheckPassesOnlyWhatZlibDecodesToTheSource)
{
    const Bytes all = databaseLike(200000, 21);
    const Bytes dictionary(all.begin(), all.begin() + 32768);
    const Bytes source(all.begin() + 32768, all.begin() + 32768 + 6000);

    struct Sample {
        const char* what;
        Bytes stream;
        std::size_t history;
        zip::StreamEnding ending;
    };
    std::vector<Sample> samples;
    for (int level : {1, 6, 12})
        samples.push_back({"libdeflate", compress(source, level), 0, zip::StreamEnding::Final});
    for (int level : {1, 6, 9}) {
        for (bool last : {true, false}) {
            z_stream z{};
            ASSERT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
            ASSERT_EQ(deflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size())), Z_OK);
            Bytes out(source.size() * 2 + 64);
            z.next_in = const_cast<Bytef*>(source.data());
            z.avail_in = static_cast<uInt>(source.size());
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
            out.resize(z.total_out);
            deflateEnd(&z);
            samples.push_back({"zlib with a dictionary", out, dictionary.size(),
                               last ? zip::StreamEnding::Final : zip::StreamEnding::Flushed});
        }
    }

    backuplike::Random rnd(5);
    int passedDamaged = 0;
    int refused = 0;
    for (const Sample& sample : samples) {
        SCOPED_TRACE(sample.what);
        const Bytes dict = sample.history ? dictionary : Bytes{};
        const std::uint8_t* expected = sample.history ? all.data() + 32768 : source.data();
        zip::StreamEnd end;
        ASSERT_EQ(zip::checkStream(sample.stream.data(), sample.stream.size(), expected, source.size(), sample.history,
                                   sample.ending, end),
                  "");
        const bool final = sample.ending == zip::StreamEnding::Final;
        for (int round = 0; round < 3000; ++round) {
            Bytes damaged = sample.stream;
            switch (round % 4) {
            case 0:
            case 1: {
                const std::size_t at = rnd.below(static_cast<std::uint32_t>(damaged.size() * 8));
                damaged[at / 8] ^= static_cast<std::uint8_t>(1u << (at % 8));
                break;
            }
            case 2:
                damaged.resize(rnd.below(static_cast<std::uint32_t>(damaged.size())));
                break;
            default:
                for (std::uint32_t i = 1 + rnd.below(8); i > 0; --i)
                    damaged.push_back(static_cast<std::uint8_t>(rnd.next()));
            }
            const std::string verdict = zip::checkStream(damaged.data(), damaged.size(), expected, source.size(),
                                                         sample.history, sample.ending, end);
            if (!verdict.empty()) {
                ++refused;
                continue;
            }
            ++passedDamaged;
            const ZlibResult z = zlibInflate(damaged, dict, source.size() + 1);
            ASSERT_FALSE(z.failed) << "round " << round;
            ASSERT_TRUE(z.consumed) << "round " << round;
            ASSERT_EQ(z.ended, final) << "round " << round;
            ASSERT_TRUE(z.output == source) << "round " << round;
        }
    }
    EXPECT_GT(refused, 20000);
    // Flips in padding bits or in unused parts of a code change nothing.
    EXPECT_GT(passedDamaged, 0);
}

// Writes bits least significant first, Huffman codes most significant first.
class BitWriter {
public:
    void bits(std::uint32_t value, int count)
    {
        for (int i = 0; i < count; ++i)
            put((value >> i) & 1u);
    }
    void code(std::uint32_t value, int length)
    {
        for (int i = length - 1; i >= 0; --i)
            put((value >> i) & 1u);
    }
    const Bytes& bytes() const { return m_bytes; }

private:
    void put(std::uint32_t bit)
    {
        if (m_count % 8 == 0)
            m_bytes.push_back(0);
        m_bytes.back() |= static_cast<std::uint8_t>(bit << (m_count % 8));
        ++m_count;
    }
    Bytes m_bytes;
    int m_count = 0;
};

// "aaa" in one dynamic block whose literal/length code gives 'a' one bit and
// the end of block `endLength` bits, and whose one distance code (unused) is
// `distanceLength` bits long.
Bytes threeLetters(int endLength, int distanceLength)
{
    BitWriter w;
    w.bits(1, 1); // final
    w.bits(2, 2); // dynamic
    w.bits(0, 5); // 257 literal/length codes
    w.bits(0, 5); // 1 distance code
    w.bits(14, 4); // 18 code length code lengths, in their order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1
    for (int length : {0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2})
        w.bits(static_cast<std::uint32_t>(length), 3);
    // Code length codes: 0 -> 00, 1 -> 01, 2 -> 10, 18 -> 11.
    auto length = [&](int l) { w.code(static_cast<std::uint32_t>(l), 2); };
    auto zeros = [&](int n) {
        w.code(3, 2);
        w.bits(static_cast<std::uint32_t>(n - 11), 7);
    };
    zeros(97);
    length(1); // 'a'
    zeros(138);
    zeros(20);
    length(endLength);
    length(distanceLength);
    for (int i = 0; i < 3; ++i)
        w.code(0, 1);
    w.code(endLength == 1 ? 1 : 2, endLength);
    return w.bytes();
}

// zlib refuses incomplete codes unless a code has a single one-bit symbol;
// the check must as well, or it would pass archives that zip readers refuse.
TEST(DeflateStream, CheckRefusesIncompleteCodesAsZlibDoes)
{
    const Bytes aaa = {'a', 'a', 'a'};
    zip::StreamEnd end;
    for (const auto& [endLength, distanceLength] : {std::pair{1, 1}, {2, 1}, {1, 2}}) {
        SCOPED_TRACE("end of block " + std::to_string(endLength) + " bits, distance " + std::to_string(distanceLength));
        const Bytes stream = threeLetters(endLength, distanceLength);
        const ZlibResult z = zlibInflate(stream, {}, 4);
        const bool complete = endLength == 1 && distanceLength == 1;
        ASSERT_EQ(!z.failed && z.ended && z.output == aaa, complete) << "the stream is not what this test means";
        EXPECT_EQ(zip::checkStream(stream.data(), stream.size(), aaa.data(), aaa.size(), 0, zip::StreamEnding::Final,
                                   end)
                      .empty(),
                  complete);
    }
}

TEST(DeflateStream, CheckRefusesWhatIsNotTheSourceOrNotOneStream)
{
    const Bytes input = backupLike(300000, 5);
    const Bytes stream = compress(input, 6);
    zip::StreamEnd end;
    auto check = [&](const Bytes& s, const Bytes& expected, zip::StreamEnding ending = zip::StreamEnding::Final) {
        return zip::checkStream(s.data(), s.size(), expected.data(), expected.size(), 0, ending, end);
    };
    const std::string notAStream = "the compressed block is not a valid deflate stream";
    const std::string mismatch = "a compressed block does not decode to its source";

    EXPECT_EQ(check(stream, input), "");
    EXPECT_EQ(check(stream, input, zip::StreamEnding::Flushed), notAStream) << "ends with a final block";
    Bytes other = input;
    other[123456] ^= 0x20;
    EXPECT_EQ(check(stream, other), mismatch) << "one byte differs";
    EXPECT_EQ(check(stream, Bytes(input.begin(), input.end() - 1)), mismatch) << "decodes to more";
    Bytes more = input;
    more.push_back(0);
    EXPECT_EQ(check(stream, more), mismatch) << "decodes to less";

    const Bytes cut(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
    EXPECT_NE(check(cut, input), "") << "truncated";
    Bytes longer = stream;
    longer.push_back(0);
    EXPECT_EQ(check(longer, input), notAStream) << "bytes after the end";
    EXPECT_EQ(check(Bytes{}, Bytes{}), notAStream) << "nothing at all";
    EXPECT_EQ(check(Bytes{0x07, 0x00}, Bytes{}), notAStream) << "final block of the reserved type 3";
    EXPECT_EQ(check(Bytes{0x01, 0x05, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd', 'e'}, Bytes{'a', 'b', 'c', 'd', 'e'}),
              notAStream)
        << "NLEN is not ~LEN";
    EXPECT_EQ(check(Bytes{0x01, 0x05, 0x00, 0xFA, 0xFF, 'a', 'b', 'c', 'd', 'e'}, Bytes{'a', 'b', 'c', 'd', 'e'}), "");
    EXPECT_EQ(check(Bytes{0x00, 0x00, 0x00, 0xFF, 0xFF}, Bytes{}, zip::StreamEnding::Flushed), "");
    EXPECT_EQ(check(Bytes{0x00, 0x01, 0x00, 0xFE, 0xFF, 'a'}, Bytes{'a'}, zip::StreamEnding::Flushed), notAStream)
        << "a sync flush ends with an empty stored block";

    // A copy from before the segment is only valid when that history is there.
    const Bytes history = backupLike(40000, 6);
    const Bytes again(history.end() - 1000, history.end());
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    ASSERT_EQ(deflateSetDictionary(&z, history.data() + history.size() - 32768, 32768), Z_OK);
    Bytes withDictionary(4096);
    z.next_in = const_cast<Bytef*>(again.data());
    z.avail_in = static_cast<uInt>(again.size());
    z.next_out = withDictionary.data();
    z.avail_out = static_cast<uInt>(withDictionary.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    withDictionary.resize(z.total_out);
    deflateEnd(&z);
    Bytes both = history;
    both.insert(both.end(), again.begin(), again.end());
    const std::uint8_t* at = both.data() + history.size();
    EXPECT_EQ(zip::checkStream(withDictionary.data(), withDictionary.size(), at, again.size(), history.size(),
                               zip::StreamEnding::Final, end),
              "");
    EXPECT_EQ(zip::checkStream(withDictionary.data(), withDictionary.size(), at, again.size(), 500,
                               zip::StreamEnding::Final, end),
              notAStream)
        << "a copy reaching back past the history";

    Bytes unchanged = longer;
    std::size_t length = 0;
    unchanged.resize(unchanged.size() + zip::kContinueStreamSlack);
    const Bytes before = unchanged;
    ASSERT_EQ(check(stream, input), "");
    EXPECT_NE(zip::continueStream(unchanged.data(), longer.size(), unchanged.size(), end, length), "")
        << "an end that does not fit the bytes";
    EXPECT_TRUE(unchanged == before);
}

} // namespace
