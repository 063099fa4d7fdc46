#include "BackupLikeFile.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// The benchmark and the zip tests rely on the generated backups being the
// same bytes however they are written (a range at a time, sparse files) and
// compressing as the backups they stand for: deflate -6 leaves 12-18 % of a
// database's pages and about 35 % of the mixed file.
TEST(BackupLikeFile, ContentIsAFunctionOfTheOffsetAndCompressesLikeABackup)
{
    struct Case {
        const char* what;
        backuplike::Content content;
        double minRatio;
        double maxRatio;
    };
    constexpr std::size_t kSize = 24u << 20;
    for (const Case c : {Case{"database", backuplike::Content::Database, 0.12, 0.18},
                         Case{"mixed", backuplike::Content::Mixed, 0.30, 0.42}}) {
        SCOPED_TRACE(c.what);
        Bytes whole(kSize);
        backuplike::fill(3, 0, whole.data(), whole.size(), c.content);

        // Pieces written in another order; the database's may start and end
        // inside pages, the mixed file's start on 64 KiB extents.
        Bytes pieces(kSize);
        const std::size_t cuts[] = {0, 5000, 65536, 100001, 3u << 20, 9999999, kSize};
        std::size_t to = kSize;
        for (std::size_t i = std::size(cuts) - 1; i > 0; --i) {
            std::size_t from = cuts[i - 1];
            if (c.content == backuplike::Content::Mixed)
                from -= from % backuplike::kExtentSize;
            backuplike::fill(3, from, pieces.data() + from, to - from, c.content);
            to = from;
        }
        EXPECT_TRUE(pieces == whole);

        uLongf length = compressBound(kSize);
        Bytes compressed(length);
        ASSERT_EQ(compress2(compressed.data(), &length, whole.data(), whole.size(), 6), Z_OK);
        const double ratio = static_cast<double>(length) / static_cast<double>(kSize);
        EXPECT_GE(ratio, c.minRatio);
        EXPECT_LE(ratio, c.maxRatio);
    }
}

} // namespace
