// Unpacking a backup archive for a restore test: our own archives and the
// ones other zip tools write come back byte for byte; anything else is
// refused and leaves nothing behind.

#include "BackupLikeFile.h"
#include "ZipTestSupport.h"

#include "log/Log.h"
#include "zip/ZipBackupFile.h"
#include "zip/ZipExtract.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace ziptest;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

class ZipExtract : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return m_dir.path(name); }

    ::testing::AssertionResult extractsToSource(const std::string& archive, const std::string& source)
    {
        const std::string target = path("out/Sales.Bak");
        std::filesystem::remove(target);
        std::string error;
        std::uint64_t written = 0;
        if (!zip::ExtractSingleEntry(archive, target, error, {}, &written))
            return ::testing::AssertionFailure() << error;
        if (readAll(target) != readAll(source))
            return ::testing::AssertionFailure() << "the unpacked file differs from the source";
        struct stat st{};
        ::stat(target.c_str(), &st);
        if ((st.st_mode & 0777) != 0640)
            return ::testing::AssertionFailure() << "mode " << std::oct << (st.st_mode & 0777);
        if (written != std::filesystem::file_size(source))
            return ::testing::AssertionFailure() << written << " bytes reported";
        return ::testing::AssertionSuccess();
    }

    fakes::TempFolder m_dir{"corvella-unzip"};
    logging::Log m_log{m_dir.path("BackupLog.log")};
};

} // namespace

TEST_F(ZipExtract, OwnArchivesAndOtherToolsArchivesComeBackByteForByte)
{
    std::filesystem::create_directories(path("out"));
    const std::string source = path("Sales.Bak");
    ASSERT_EQ(backuplike::writeFile(source, 9 * kMiB + 123, 5), "");
    ASSERT_TRUE(zip::ZipBackupFile(source, path("own.zip"), m_log));
    EXPECT_TRUE(extractsToSource(path("own.zip"), source));
    ASSERT_TRUE(zip::ZipBackupFile(source, path("fast.zip"), m_log, zip::Level::Fast));
    EXPECT_TRUE(extractsToSource(path("fast.zip"), source));

    // What an operator's own tools make of the same file: deflated, stored,
    // zip64 records, a data descriptor behind the data (from a pipe).
    struct Tool {
        const char* archive;
        std::string command;
    };
    const Tool tools[] = {
        {"zip.zip", "cd " + quote(m_dir.root()) + " && zip -q zip.zip Sales.Bak"},
        {"stored.zip", "cd " + quote(m_dir.root()) + " && zip -q -0 stored.zip Sales.Bak"},
        {"zip64.zip", "cd " + quote(m_dir.root()) + " && zip -q -fz zip64.zip Sales.Bak"},
        {"piped.zip", "cd " + quote(m_dir.root()) + " && zip -q - - < Sales.Bak > piped.zip"},
        {"7z.zip", "cd " + quote(m_dir.root()) + " && 7z a -tzip -bd 7z.zip Sales.Bak"},
    };
    for (const Tool& tool : tools) {
        SCOPED_TRACE(tool.archive);
        const CommandResult made = run(tool.command);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        EXPECT_TRUE(extractsToSource(path(tool.archive), source));
    }
}

TEST_F(ZipExtract, AnythingButOneWholeEntryIsRefusedAndLeavesNothing)
{
    std::filesystem::create_directories(path("out"));
    const std::string source = path("Sales.Bak");
    ASSERT_EQ(backuplike::writeFile(source, 2 * kMiB, 9), "");
    ASSERT_TRUE(zip::ZipBackupFile(source, path("good.zip"), m_log));
    std::vector<std::uint8_t> bytes = readAll(path("good.zip"));
    std::vector<std::uint8_t> flipped = bytes;
    flipped[flipped.size() / 2] ^= 0x40;
    writeAll(path("flipped.zip"), flipped);
    writeAll(path("short.zip"), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2));
    std::ofstream(path("notes.txt")) << "not an archive\n";
    ASSERT_EQ(run("cd " + quote(m_dir.root()) + " && cp Sales.Bak Other.Bak && zip -q two.zip Sales.Bak Other.Bak")
                  .exitCode,
              0);
    ASSERT_EQ(run("cd " + quote(m_dir.root()) + " && zip -q -P secret locked.zip Sales.Bak").exitCode, 0);
    writeAll(path("empty.zip"), emptyArchiveBytes());

    struct Case {
        const char* archive;
        const char* reason;
    };
    const Case cases[] = {
        {"flipped.zip", ""},
        {"short.zip", "it is no zip archive"},
        {"notes.txt", "it is no zip archive"},
        {"two.zip", "it holds 2 entries, a backup archive holds one"},
        {"empty.zip", "it holds 0 entries, a backup archive holds one"},
        {"locked.zip", "its entry is encrypted"},
        {"missing.zip", "No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        std::string error;
        EXPECT_FALSE(zip::ExtractSingleEntry(path(c.archive), path("out/Sales.Bak"), error));
        EXPECT_TRUE(error.starts_with("Cannot unpack '" + path(c.archive) + "': ")) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_TRUE(fakes::FilesIn(path("out")).empty());
    }

    // A file already there is never overwritten; a stop ends the work.
    std::ofstream(path("out/Sales.Bak")) << "keep";
    std::string error;
    EXPECT_FALSE(zip::ExtractSingleEntry(path("good.zip"), path("out/Sales.Bak"), error));
    EXPECT_NE(error.find("File exists"), std::string::npos) << error;
    EXPECT_EQ(readAll(path("out/Sales.Bak")), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(zip::ExtractSingleEntry(path("good.zip"), path("out/Other.Bak"), error, stop.get_token()));
    EXPECT_FALSE(std::filesystem::exists(path("out/Other.Bak")));
}
