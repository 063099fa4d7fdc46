#include "zip/ZipFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::uint64_t le(const std::vector<std::uint8_t>& b, std::size_t at, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
    return v;
}

constexpr std::uint64_t kGiB = 1ull << 30;

TEST(ZipFormat, Zip64IsChosenOnlyWhenTheEntryCanReachFourGib)
{
    const struct {
        std::uint64_t size;
        bool zip64;
    } cases[] = {
        {0, false},
        {3 * kGiB, false},
        {3 * kGiB + 700 * (1ull << 20), false},
        {4 * kGiB - 1, true},
        {4 * kGiB, true},
        {5 * kGiB, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zip::needsZip64(c.size), c.zip64) << c.size;
}

// An archive whose central directory starts past 4 GiB, read the way a zip
// reader finds it: end record, zip64 locator, zip64 end record, central entry.
TEST(ZipFormat, TrailerPastFourGibLeadsReadersToTheCentralDirectory)
{
    zip::ZipEntry entry;
    entry.name = "Sales.Bak";
    entry.uncompressedSize = 6 * kGiB + 7;
    entry.compressedSize = 5 * kGiB + 3;
    entry.crc32 = 0x12345678;
    entry.zip64 = true;
    const std::uint64_t centralOffset = 30 + entry.name.size() + 20 + entry.compressedSize;
    const std::vector<std::uint8_t> t = zip::archiveTrailer(entry, centralOffset);

    const std::size_t end = t.size() - 22;
    ASSERT_EQ(le(t, end, 4), 0x06054b50u);
    EXPECT_EQ(le(t, end + 10, 2), 1u);
    EXPECT_EQ(le(t, end + 16, 4), 0xFFFFFFFFu) << "offset too large for the plain record";

    const std::size_t locator = end - 20;
    ASSERT_EQ(le(t, locator, 4), 0x07064b50u);
    const std::uint64_t zip64End = le(t, locator + 8, 8);
    ASSERT_GE(zip64End, centralOffset);
    const std::size_t record = static_cast<std::size_t>(zip64End - centralOffset);
    ASSERT_EQ(le(t, record, 4), 0x06064b50u);
    EXPECT_EQ(le(t, record + 32, 8), 1u);
    EXPECT_EQ(le(t, record + 48, 8), centralOffset);
    const std::uint64_t centralSize = le(t, record + 40, 8);
    EXPECT_EQ(centralSize, record) << "the central directory ends where the zip64 end record starts";

    ASSERT_EQ(le(t, 0, 4), 0x02014b50u);
    EXPECT_EQ(le(t, 16, 4), 0x12345678u);
    EXPECT_EQ(le(t, 20, 4), 0xFFFFFFFFu);
    EXPECT_EQ(le(t, 24, 4), 0xFFFFFFFFu);
    const std::size_t extra = 46 + entry.name.size();
    ASSERT_EQ(le(t, extra, 2), 0x0001u);
    EXPECT_EQ(le(t, extra + 4, 8), entry.uncompressedSize);
    EXPECT_EQ(le(t, extra + 12, 8), entry.compressedSize);
}

TEST(ZipFormat, DosTimesBeforeNineteenEightyClampToItsStart)
{
    std::tm tm{};
    tm.tm_year = 70;
    tm.tm_mday = 2;
    tm.tm_isdst = -1;
    const std::time_t early = std::mktime(&tm);
    EXPECT_EQ(zip::dosDate(early), (1 << 5) | 1);
    EXPECT_EQ(zip::dosTime(early), 0);
}

} // namespace
