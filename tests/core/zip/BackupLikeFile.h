#pragma once

// Writes files that compress like database backups, of two kinds:
// - Mixed: 8 KiB pages, about 40 % empty (zeros), 40 % data rows
//   (fixed-width binary fields plus text from a small vocabulary) and 20 %
//   random bytes (already compressed or encrypted data), each page's kind
//   drawn on its own. deflate -6 leaves about 37 % of it.
// - Database: pages as a real database's data file holds them (see
//   DatabasePages.h). deflate -6 leaves about 15 % of it.
// The content is a pure function of the kind, the seed and the offset.

#include "DatabasePages.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace backuplike {

inline constexpr std::size_t kPageSize = 8192;
inline constexpr std::size_t kExtentSize = 8 * kPageSize;

using Random = dbpages::Random;

inline void fillRowPage(Random& rnd, std::uint64_t pageNumber, std::uint32_t& rowId, std::uint8_t* page)
{
    static const char* const kNames[] = {"Anderson", "Baptiste", "Chen", "Dubois", "Eriksen", "Fischer",
                                         "Garcia", "Haddad", "Ivanova", "Jansen", "Kowalski", "Lopez"};
    static const char* const kCities[] = {"Lisbon", "Montreal", "Osaka", "Nairobi", "Bergen", "Quito",
                                          "Tallinn", "Perth"};
    std::memset(page, 0, kPageSize);
    std::memcpy(page, &pageNumber, sizeof pageNumber);
    page[8] = 1;
    std::size_t at = 96;
    for (;;) {
        char text[160];
        const std::uint64_t stamp = 0x0000B1A200000000ull + rowId * 300ull;
        const std::uint32_t cents = rnd.below(10000000);
        const int n = std::snprintf(text, sizeof text, "%s;%s;INV-%08u;%s %u", kNames[rnd.below(12)],
                                    kCities[rnd.below(8)], rnd.below(100000000), "Order line", rnd.below(50));
        const std::size_t rowSize = 4 + 4 + 8 + 4 + 2 + static_cast<std::size_t>(n);
        if (at + rowSize + 2 > kPageSize)
            break;
        std::uint8_t* row = page + at;
        row[0] = 0x30;
        row[1] = 0x00;
        row[2] = static_cast<std::uint8_t>(rowSize);
        row[3] = 0x00;
        std::memcpy(row + 4, &rowId, 4);
        std::memcpy(row + 8, &stamp, 8);
        std::memcpy(row + 16, &cents, 4);
        row[20] = 0x05;
        row[21] = 0x00;
        std::memcpy(row + 22, text, static_cast<std::size_t>(n));
        at += rowSize;
        ++rowId;
    }
}

enum class Content { Mixed, Database };

// Fills `length` bytes (a multiple of kExtentSize, except at the end) of the
// content that starts at `offset`.
inline void fill(std::uint64_t seed, std::uint64_t offset, std::uint8_t* out, std::size_t length,
                 Content content = Content::Mixed)
{
    if (content == Content::Database) {
        dbpages::fill(seed, offset, out, length);
        return;
    }
    std::vector<std::uint8_t> page(kPageSize);
    for (std::size_t done = 0; done < length; done += kExtentSize) {
        const std::uint64_t extent = (offset + done) / kExtentSize;
        Random rnd(seed * 0x100000001B3ull + extent);
        std::uint32_t rowId = static_cast<std::uint32_t>(extent * 512);
        const std::size_t n = std::min(kExtentSize, length - done);
        for (std::size_t p = 0; p < n; p += kPageSize) {
            const std::size_t chunk = std::min(kPageSize, n - p);
            const std::uint32_t kind = rnd.below(100);
            if (kind < 40) {
                std::memset(page.data(), 0, kPageSize);
            } else if (kind < 80) {
                fillRowPage(rnd, (offset + done + p) / kPageSize, rowId, page.data());
            } else {
                for (std::size_t i = 0; i < kPageSize; i += 8) {
                    const std::uint64_t v = rnd.next();
                    std::memcpy(page.data() + i, &v, 8);
                }
            }
            std::memcpy(out + done + p, page.data(), chunk);
        }
    }
}

// Writes `length` bytes of content starting at `offset` into `fd` at that
// offset. Returns an empty string or the error.
inline std::string writeRange(int fd, std::uint64_t seed, std::uint64_t offset, std::uint64_t length,
                              Content content = Content::Mixed)
{
    std::vector<std::uint8_t> buffer(64 * kExtentSize);
    while (length > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length));
        fill(seed, offset, buffer.data(), n, content);
        for (std::size_t w = 0; w < n;) {
            const ssize_t k = ::pwrite(fd, buffer.data() + w, n - w, static_cast<off_t>(offset + w));
            if (k <= 0)
                return std::strerror(k < 0 ? errno : ENOSPC);
            w += static_cast<std::size_t>(k);
        }
        offset += n;
        length -= n;
    }
    return {};
}

// Creates `path` with `size` bytes of backup-like content.
inline std::string writeFile(const std::string& path, std::uint64_t size, std::uint64_t seed = 1,
                             Content content = Content::Mixed)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::strerror(errno);
    std::string error = writeRange(fd, seed, 0, size, content);
    if (::close(fd) != 0 && error.empty())
        error = std::strerror(errno);
    return error;
}

} // namespace backuplike
