#include "BackupLikeFile.h"

#include "zip/DeflateStream.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <set>
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
// of every end position within the last byte, continued and followed by
// another stream, decode as the two inputs one after the other.
TEST(DeflateStream, ContinuedStreamsConcatenateIntoOneStream)
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
        ASSERT_EQ(zip::locateStreamEnd(stream.data(), stream.size(), end), "");
        endBits.insert(end.endBit % 8);

        std::size_t length = 0;
        const std::size_t compressed = stream.size();
        stream.resize(compressed + zip::kContinueStreamSlack);
        ASSERT_EQ(zip::continueStream(stream.data(), compressed, stream.size(), length), "");
        stream.resize(length);
        ASSERT_GE(length, 4u);
        EXPECT_EQ(Bytes(stream.end() - 4, stream.end()), (Bytes{0x00, 0x00, 0xFF, 0xFF}));

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

TEST(DeflateStream, BytesThatAreNotOneCompleteStreamAreRefused)
{
    const Bytes input = backupLike(300000, 5);
    const Bytes stream = compress(input, 6);
    zip::StreamEnd end;

    const Bytes cut(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
    EXPECT_NE(zip::locateStreamEnd(cut.data(), cut.size(), end), "") << "truncated";

    Bytes longer = stream;
    longer.push_back(0);
    EXPECT_NE(zip::locateStreamEnd(longer.data(), longer.size(), end), "") << "bytes after the end";

    const Bytes reserved = {0x07, 0x00}; // final block of the reserved type 3
    EXPECT_NE(zip::locateStreamEnd(reserved.data(), reserved.size(), end), "");

    Bytes badStored = {0x01, 0x05, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd', 'e'}; // NLEN is not ~LEN
    EXPECT_NE(zip::locateStreamEnd(badStored.data(), badStored.size(), end), "");

    Bytes unchanged = longer;
    std::size_t length = 0;
    unchanged.resize(unchanged.size() + zip::kContinueStreamSlack);
    const Bytes before = unchanged;
    EXPECT_NE(zip::continueStream(unchanged.data(), longer.size(), unchanged.size(), length), "");
    EXPECT_TRUE(unchanged == before);
}

} // namespace
