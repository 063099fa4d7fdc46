#include "zip/ZipFormat.h"

#include <algorithm>

namespace zip {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;

constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kVersionDeflate = 20;
constexpr std::uint16_t kVersionZip64 = 45;
constexpr std::uint16_t kMadeByUnix = 3 << 8;

constexpr std::uint16_t kFlagUtf8Name = 0x0800;

constexpr std::size_t kLocalFixedSize = 30;
constexpr std::size_t kLocalCrcOffset = 14;
constexpr std::size_t kZip64ExtraSize = 20; // id, length, two 8-byte sizes

class Bytes {
public:
    void u16(std::uint32_t v)
    {
        m_data.push_back(static_cast<std::uint8_t>(v));
        m_data.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v)
    {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void u64(std::uint64_t v)
    {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void text(const std::string& s) { m_data.insert(m_data.end(), s.begin(), s.end()); }
    std::vector<std::uint8_t> take() { return std::move(m_data); }

private:
    std::vector<std::uint8_t> m_data;
};

std::uint32_t clamp32(std::uint64_t v)
{
    return v >= kMax32 ? kMax32 : static_cast<std::uint32_t>(v);
}

std::uint16_t flagsOf(const ZipEntry& e)
{
    std::uint16_t flags = static_cast<std::uint16_t>(static_cast<std::uint16_t>(e.speed) << 1);
    if (std::any_of(e.name.begin(), e.name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        flags |= kFlagUtf8Name;
    return flags;
}

std::uint16_t versionNeeded(const ZipEntry& e)
{
    return e.zip64 ? kVersionZip64 : kVersionDeflate;
}

bool offsetNeedsZip64(const ZipEntry& e)
{
    return e.localHeaderOffset >= kMax32;
}

} // namespace

std::vector<std::uint8_t> emptyArchive()
{
    Bytes b;
    b.u32(kEndSignature);
    for (int i = 0; i < 4; ++i)
        b.u16(0);
    b.u32(0);
    b.u32(0);
    b.u16(0);
    return b.take();
}

bool needsZip64(std::uint64_t uncompressedSize)
{
    // Deflate output exceeds its input by a few bytes per block at worst; a
    // thirty-second plus one MiB (which also covers the header in front) is
    // far beyond that.
    const std::uint64_t worstCompressed = uncompressedSize + uncompressedSize / 32 + (1u << 20);
    return uncompressedSize >= kMax32 || worstCompressed >= kMax32;
}

std::vector<std::uint8_t> localHeader(const ZipEntry& e)
{
    Bytes b;
    b.u32(kLocalHeaderSignature);
    b.u16(versionNeeded(e));
    b.u16(flagsOf(e));
    b.u16(kMethodDeflate);
    b.u16(dosTime(e.modified));
    b.u16(dosDate(e.modified));
    b.u32(e.crc32);
    b.u32(e.zip64 ? kMax32 : clamp32(e.compressedSize));
    b.u32(e.zip64 ? kMax32 : clamp32(e.uncompressedSize));
    b.u16(static_cast<std::uint32_t>(e.name.size()));
    b.u16(e.zip64 ? kZip64ExtraSize : 0);
    b.text(e.name);
    if (e.zip64) {
        b.u16(kZip64ExtraId);
        b.u16(16);
        b.u64(e.uncompressedSize);
        b.u64(e.compressedSize);
    }
    return b.take();
}

std::vector<HeaderPatch> localHeaderPatch(const ZipEntry& e)
{
    std::vector<HeaderPatch> patches;
    Bytes fixed;
    fixed.u32(e.crc32);
    if (!e.zip64) {
        fixed.u32(clamp32(e.compressedSize));
        fixed.u32(clamp32(e.uncompressedSize));
    }
    patches.push_back({kLocalCrcOffset, fixed.take()});
    if (e.zip64) {
        Bytes sizes;
        sizes.u64(e.uncompressedSize);
        sizes.u64(e.compressedSize);
        patches.push_back({kLocalFixedSize + e.name.size() + 4, sizes.take()});
    }
    return patches;
}

std::vector<std::uint8_t> archiveTrailer(const ZipEntry& e, std::uint64_t centralOffset)
{
    const bool offset64 = offsetNeedsZip64(e);
    const bool entry64 = e.zip64 || offset64;
    const std::uint16_t extraSize = entry64 ? static_cast<std::uint16_t>(4 + (e.zip64 ? 16 : 0) + (offset64 ? 8 : 0)) : 0;

    Bytes b;
    b.u32(kCentralHeaderSignature);
    b.u16(kMadeByUnix | (entry64 ? kVersionZip64 : kVersionDeflate));
    b.u16(entry64 ? kVersionZip64 : kVersionDeflate);
    b.u16(flagsOf(e));
    b.u16(kMethodDeflate);
    b.u16(dosTime(e.modified));
    b.u16(dosDate(e.modified));
    b.u32(e.crc32);
    b.u32(e.zip64 ? kMax32 : clamp32(e.compressedSize));
    b.u32(e.zip64 ? kMax32 : clamp32(e.uncompressedSize));
    b.u16(static_cast<std::uint32_t>(e.name.size()));
    b.u16(extraSize);
    b.u16(0); // comment length
    b.u16(0); // disk number
    b.u16(0); // internal attributes
    b.u32((e.unixMode & 0xFFFF) << 16);
    b.u32(offset64 ? kMax32 : static_cast<std::uint32_t>(e.localHeaderOffset));
    b.text(e.name);
    if (entry64) {
        b.u16(kZip64ExtraId);
        b.u16(extraSize - 4);
        if (e.zip64) {
            b.u64(e.uncompressedSize);
            b.u64(e.compressedSize);
        }
        if (offset64)
            b.u64(e.localHeaderOffset);
    }
    const std::uint64_t centralSize = 46 + e.name.size() + extraSize;
    const std::uint64_t zip64EndOffset = centralOffset + centralSize;

    if (entry64 || centralOffset >= kMax32) {
        b.u32(kZip64EndSignature);
        b.u64(44); // size of the rest of this record
        b.u16(kMadeByUnix | kVersionZip64);
        b.u16(kVersionZip64);
        b.u32(0);
        b.u32(0);
        b.u64(1);
        b.u64(1);
        b.u64(centralSize);
        b.u64(centralOffset);

        b.u32(kZip64LocatorSignature);
        b.u32(0);
        b.u64(zip64EndOffset);
        b.u32(1);
    }

    b.u32(kEndSignature);
    b.u16(0);
    b.u16(0);
    b.u16(1);
    b.u16(1);
    b.u32(static_cast<std::uint32_t>(centralSize));
    b.u32(clamp32(centralOffset));
    b.u16(0);
    return b.take();
}

std::uint16_t dosDate(std::time_t t)
{
    std::tm tm{};
    if (!localtime_r(&t, &tm) || tm.tm_year < 80)
        return (0 << 9) | (1 << 5) | 1;
    if (tm.tm_year > 207)
        return static_cast<std::uint16_t>((127 << 9) | (12 << 5) | 31);
    return static_cast<std::uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

std::uint16_t dosTime(std::time_t t)
{
    std::tm tm{};
    if (!localtime_r(&t, &tm) || tm.tm_year < 80)
        return 0;
    if (tm.tm_year > 207)
        return static_cast<std::uint16_t>((23 << 11) | (59 << 5) | 29);
    return static_cast<std::uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
}

} // namespace zip
