#include "BackupLikeFile.h"
#include "ZipTestSupport.h"

#include "log/Log.h"
#include "zip/ZipBackupFile.h"
#include "zip/ZipWriter.h"
#include "fakes/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

using namespace ziptest;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

std::uint16_t u16At(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

bool containsZip64EndRecord(const std::vector<std::uint8_t>& archive)
{
    static const std::uint8_t signature[] = {0x50, 0x4B, 0x06, 0x06};
    return std::search(archive.begin(), archive.end(), std::begin(signature), std::end(signature)) != archive.end();
}

void setModified(const std::string& path, std::time_t when)
{
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class ZipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.path().empty());
        std::filesystem::create_directory(m_dir.file("temp"));
    }

    std::string temp(const std::string& name) const { return m_dir.file("temp/" + name); }

    std::string logText() const
    {
        const std::vector<std::uint8_t> bytes = readAll(m_log.fileName());
        return {bytes.begin(), bytes.end()};
    }

    TempFolder m_dir;
    logging::Log m_log{m_dir.file("BackupLog.log")};
};

struct RoundTripCase {
    const char* name;
    std::uint64_t size;
    zip::Level level;
};

class ZipRoundTrip : public ZipTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(ZipRoundTrip, ArchiveHoldsTheSourceUnderItsNameAndToolsAcceptIt)
{
    const RoundTripCase c = GetParam();
    const std::string source = temp(c.name);
    const std::string archive = temp("Sales.zip");
    ASSERT_EQ(backuplike::writeFile(source, c.size, 7), "");
    ::chmod(source.c_str(), 0640);
    setModified(source, fakes::LocalTime(2024, 3, 15, 10, 15, 30));

    std::vector<int> progress;
    ASSERT_TRUE(zip::ZipBackupFile(source, archive, m_log, c.level, [&](int p) { progress.push_back(p); }));

    EXPECT_NE(logText().find("Creating zip file " + archive + "\r\n"), std::string::npos) << logText();
    const CommandResult test = run("unzip -tqq " + quote(archive));
    EXPECT_EQ(test.exitCode, 0) << test.output;
    const CommandResult test7z = run("7z t " + quote(archive));
    EXPECT_EQ(test7z.exitCode, 0) << test7z.output;
    EXPECT_EQ(run("zipinfo -1 " + quote(archive)).output, std::string(c.name) + "\n");
    const CommandResult listing = run("zipinfo -T " + quote(archive));
    EXPECT_NE(listing.output.find("-rw-r-----"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("20240315.101530"), std::string::npos) << listing.output;
    EXPECT_TRUE(entryMatches(archive, source));

    const std::vector<std::uint8_t> bytes = readAll(archive);
    EXPECT_EQ(u16At(bytes, 4), 20) << "a small archive needs no zip64";
    EXPECT_FALSE(containsZip64EndRecord(bytes));

    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(std::adjacent_find(progress.begin(), progress.end()), progress.end()) << "a percent reported twice";
    EXPECT_GE(progress.front(), 0);

    struct stat st {};
    ASSERT_EQ(::stat(source.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), c.size);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZipRoundTrip,
                         ::testing::Values(RoundTripCase{"Empty.Bak", 0, zip::Level::Fast},
                                           RoundTripCase{"Empty.Bak", 0, zip::Level::Smallest},
                                           RoundTripCase{"One.Bak", 1, zip::Level::Fast},
                                           RoundTripCase{"One.Bak", 1, zip::Level::Smallest},
                                           RoundTripCase{"Ventes_\xC3\xA9t\xC3\xA9.Bak", 300 * 1024, zip::Level::Fast},
                                           RoundTripCase{"Sales_20240315101530.Bak", 100 * kMiB, zip::Level::Fast},
                                           RoundTripCase{"Sales_20240315101530.Bak", 100 * kMiB,
                                                         zip::Level::Smallest}));

// Block edges: sizes around multiples of a small block, several threads, so
// the dictionary hand-over, the last block and the in-order writing are all
// exercised; both engines.
struct BlockCase {
    zip::Codec codec;
    std::uint64_t size;
};

class ZipBlockEdges : public ZipTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(ZipBlockEdges, EveryBlockBoundaryDecodes)
{
    const BlockCase c = GetParam();
    const std::string source = temp("Edge.Bak");
    const std::string archive = temp("Edge.zip");
    ASSERT_EQ(backuplike::writeFile(source, c.size, c.size), "");
    zip::DeflateOptions options;
    options.codec = c.codec;
    options.blockSize = 64 * 1024;
    options.threads = 3;
    ASSERT_EQ(zip::writeSingleEntryZip(source, archive, options), "");
    const CommandResult test = run("unzip -tqq " + quote(archive));
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_TRUE(entryMatches(archive, source));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZipBlockEdges,
                         ::testing::Values(BlockCase{zip::Codec::IsalLevel3, 32767},
                                           BlockCase{zip::Codec::IsalLevel3, 65535},
                                           BlockCase{zip::Codec::IsalLevel3, 65536},
                                           BlockCase{zip::Codec::IsalLevel3, 65537},
                                           BlockCase{zip::Codec::IsalLevel3, 3 * 65536},
                                           BlockCase{zip::Codec::IsalLevel3, 3 * 65536 + 1},
                                           BlockCase{zip::Codec::IsalLevel1, 2 * kMiB + 12345},
                                           BlockCase{zip::Codec::ZlibLevel6, 65536},
                                           BlockCase{zip::Codec::ZlibLevel6, 3 * 65536 + 1},
                                           BlockCase{zip::Codec::ZlibLevel6, 2 * kMiB + 12345}));

// Past 4 GiB the entry needs zip64. The file is sparse with real data at the
// start, around the 4 GiB mark and at the end, so a wrong size, CRC or
// offset anywhere shows.
TEST_F(ZipTest, SparseFileOverFourGibUsesZip64AndRoundTrips)
{
    const std::string source = temp("Huge.Bak");
    const std::string archive = temp("Huge.zip");
    const std::uint64_t size = 5 * 1024 * kMiB + 12345;
    {
        const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        for (std::uint64_t at : {std::uint64_t{0}, 2048 * kMiB, 4096 * kMiB - 2 * kMiB})
            ASSERT_EQ(backuplike::writeRange(fd, 3, at, 4 * kMiB), "");
        ASSERT_EQ(backuplike::writeRange(fd, 3, 5 * 1024 * kMiB - 2 * kMiB, 2 * kMiB + 12345), "");
        ::close(fd);
    }

    ASSERT_TRUE(zip::ZipBackupFile(source, archive, m_log, zip::Level::Fast));

    const std::vector<std::uint8_t> bytes = readAll(archive);
    EXPECT_EQ(u16At(bytes, 4), 45) << "version needed for zip64";
    EXPECT_TRUE(containsZip64EndRecord(bytes));

    // The three readers run side by side; each inflates all 5 GiB.
    BackgroundCommand unzipTest("unzip -tqq " + quote(archive));
    BackgroundCommand sevenZipTest("7z t " + quote(archive));
    EXPECT_TRUE(entryMatches(archive, source, "7z x -so " + quote(archive)));
    const CommandResult test = unzipTest.wait();
    EXPECT_EQ(test.exitCode, 0) << test.output;
    const CommandResult test7z = sevenZipTest.wait();
    EXPECT_EQ(test7z.exitCode, 0) << test7z.output;
    EXPECT_NE(test7z.output.find(std::to_string(size)), std::string::npos) << test7z.output;
}

TEST_F(ZipTest, ExistingArchiveIsReplaced)
{
    const std::string source = temp("Sales.Bak");
    const std::string archive = temp("Sales.zip");
    ASSERT_EQ(backuplike::writeFile(source, 2 * kMiB), "");
    const std::string other = temp("Other.Bak");
    ASSERT_EQ(backuplike::writeFile(other, kMiB, 9), "");

    // A bigger file of junk, then a valid archive holding another entry.
    writeAll(archive, std::vector<std::uint8_t>(8 * kMiB, 0xAA));
    ASSERT_TRUE(zip::ZipBackupFile(source, archive, m_log, zip::Level::Fast));
    EXPECT_EQ(run("unzip -tqq " + quote(archive)).exitCode, 0);
    EXPECT_LT(std::filesystem::file_size(archive), 8 * kMiB);
    EXPECT_TRUE(entryMatches(archive, source));

    std::filesystem::remove(archive);
    ASSERT_EQ(run("zip -qj " + quote(archive) + " " + quote(other)).exitCode, 0);
    ASSERT_TRUE(zip::ZipBackupFile(source, archive, m_log, zip::Level::Smallest));
    EXPECT_EQ(run("zipinfo -1 " + quote(archive)).output, "Sales.Bak\n");
    EXPECT_TRUE(entryMatches(archive, source));
}

TEST_F(ZipTest, WriteEmptyZipWritesTheEmptyArchiveOrNothing)
{
    const std::string fresh = temp("Fresh.zip");
    ASSERT_TRUE(zip::WriteEmptyZip(fresh));
    EXPECT_EQ(readAll(fresh), emptyArchiveBytes());
    EXPECT_NE(run("zipinfo " + quote(fresh)).output.find("Empty zipfile"), std::string::npos);

    const std::string existing = temp("Existing.zip");
    writeAll(existing, std::vector<std::uint8_t>(100000, 0x55));
    ASSERT_TRUE(zip::WriteEmptyZip(existing));
    EXPECT_EQ(readAll(existing), emptyArchiveBytes());

    const std::string inMissingFolder = m_dir.file("missing/Sales.zip");
    EXPECT_FALSE(zip::WriteEmptyZip(inMissingFolder));
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("missing")));

    const std::string folder = temp("Folder.zip");
    std::filesystem::create_directory(folder);
    EXPECT_FALSE(zip::WriteEmptyZip(folder));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

// Sources that cannot be compressed give false, say why in the log, and
// leave the empty archive; the source itself is never touched.
TEST_F(ZipTest, UnusableSourceGivesFalseAndTheEmptyArchive)
{
    const std::string archive = temp("Sales.zip");
    std::filesystem::create_directory(temp("Folder.Bak"));
    struct Case {
        std::string source;
        std::string reason;
    };
    const Case cases[] = {
        {temp("Missing.Bak"), "No such file or directory"},
        {temp("Folder.Bak"), "not a regular file"},
        {"/proc/self/mem", "Input/output error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        writeAll(archive, std::vector<std::uint8_t>(4096, 0x11));
        EXPECT_FALSE(zip::ZipBackupFile(c.source, archive, m_log));
        EXPECT_EQ(readAll(archive), emptyArchiveBytes());
        EXPECT_NE(logText().find(c.reason), std::string::npos) << logText();
    }

    // The archive named like the source would destroy it.
    const std::string source = temp("Self.Bak");
    ASSERT_EQ(backuplike::writeFile(source, kMiB), "");
    const std::vector<std::uint8_t> before = readAll(source);
    EXPECT_FALSE(zip::ZipBackupFile(source, source, m_log));
    EXPECT_EQ(readAll(source), before);
    const std::string link = temp("Link.zip");
    ASSERT_EQ(::link(source.c_str(), link.c_str()), 0);
    EXPECT_FALSE(zip::ZipBackupFile(source, link, m_log));
    EXPECT_EQ(readAll(source), before);
}

TEST_F(ZipTest, SourceChangingDuringCompressionGivesFalse)
{
    const std::string source = temp("Growing.Bak");
    const std::string archive = temp("Growing.zip");
    ASSERT_EQ(backuplike::writeFile(source, 16 * kMiB), "");
    bool appended = false;
    auto grow = [&](int) {
        if (appended)
            return;
        appended = true;
        std::ofstream(source, std::ios::binary | std::ios::app) << "more";
    };
    EXPECT_FALSE(zip::ZipBackupFile(source, archive, m_log, zip::Level::Fast, grow));
    EXPECT_TRUE(appended);
    EXPECT_EQ(readAll(archive), emptyArchiveBytes());
}

// A full disk, through the file size limit: the write fails with EFBIG part
// way through the archive. Runs in a child so the limit stays there.
TEST_F(ZipTest, FullDiskGivesFalseAndKeepsTheSource)
{
    const std::string source = temp("Sales.Bak");
    const std::string archive = temp("Sales.zip");
    ASSERT_EQ(backuplike::writeFile(source, 12 * kMiB, 5), "");
    const std::vector<std::uint8_t> before = readAll(source);

    for (zip::Level level : {zip::Level::Fast, zip::Level::Smallest}) {
        SCOPED_TRACE(level == zip::Level::Fast ? "Fast" : "Smallest");
        const std::string childLog = m_dir.file(level == zip::Level::Fast ? "fast.log" : "smallest.log");
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {1 * kMiB, 1 * kMiB};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            logging::Log log(childLog);
            ::_exit(zip::ZipBackupFile(source, archive, log, level) ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1) << "ZipBackupFile reported success";
        EXPECT_EQ(readAll(source), before);
        EXPECT_EQ(readAll(archive), emptyArchiveBytes());
        const std::vector<std::uint8_t> log = readAll(childLog);
        EXPECT_NE(std::string(log.begin(), log.end()).find("File too large"), std::string::npos);
    }
}

} // namespace
