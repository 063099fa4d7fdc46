#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace zip {

// The records of a single-entry zip archive: the local file header in front
// of the deflate data, the central directory and the end records behind it.
//
// Pure functions over values; no I/O, safe on any thread. The local header is
// written before the data with placeholders for the CRC-32 and the sizes and
// patched in place afterwards (no data descriptor), so readers that only look
// at local headers see the same values as the central directory.
//
// Zip64: an entry whose sizes may reach 4 GiB carries zip64 extra fields with
// both sizes, in the local header and in the central directory alike, and the
// archive then ends with a zip64 end record and its locator. Smaller archives
// stay plain zip.

inline constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;

// Size of the empty archive: an end-of-central-directory record alone.
inline constexpr std::size_t kEmptyArchiveSize = 22;

// The 22 bytes of an archive with no entries.
std::vector<std::uint8_t> emptyArchive();

// How hard the entry was compressed, kept in bits 1 and 2 of the general
// purpose flags, on the scale of the classic zip levels.
enum class DeflateSpeed {
    Normal,    // levels 3 to 7
    Maximum,   // 8 and 9
    Fast,      // 2
    SuperFast, // 1
};

struct ZipEntry {
    std::string name;               // stored name, no folders
    std::uint64_t uncompressedSize = 0;
    std::uint64_t compressedSize = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t unixMode = 0100644; // st_mode, kept in the external attributes
    std::time_t modified = 0;
    bool zip64 = false;             // sizes kept in zip64 extra fields
    DeflateSpeed speed = DeflateSpeed::Normal;
    std::uint64_t localHeaderOffset = 0;
};

// Whether an entry of `uncompressedSize` bytes needs zip64 fields, judged
// before compression: true when the size or the largest deflate output it can
// produce reaches 4 GiB.
bool needsZip64(std::uint64_t uncompressedSize);

// Local file header (with name and extra field). Its CRC and size fields hold
// what `entry` holds; localHeaderPatch() gives the bytes to rewrite later.
std::vector<std::uint8_t> localHeader(const ZipEntry& entry);

// Bytes and their offset (relative to the header's start) that bring a local
// header written by localHeader() up to the final CRC-32 and sizes in `entry`.
struct HeaderPatch {
    std::size_t offset = 0;
    std::vector<std::uint8_t> bytes;
};
std::vector<HeaderPatch> localHeaderPatch(const ZipEntry& entry);

// Central directory entry, then (zip64 only) the zip64 end record and locator,
// then the end-of-central-directory record. `centralOffset` is where these
// bytes start in the archive.
std::vector<std::uint8_t> archiveTrailer(const ZipEntry& entry, std::uint64_t centralOffset);

// MS-DOS date and time (local time, two-second steps, 1980 at the earliest).
std::uint16_t dosDate(std::time_t t);
std::uint16_t dosTime(std::time_t t);

} // namespace zip
