#include "BackupLikeFile.h"
#include "ZipTestSupport.h"

#include "log/Log.h"
#include "zip/ZipBackupFile.h"
#include "zip/ZipWriter.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <stop_token>

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

const char* nameOf(zip::Level level)
{
    switch (level) {
    case zip::Level::Balanced: return "Balanced";
    case zip::Level::Fast: return "Fast";
    case zip::Level::Smallest: return "Smallest";
    }
    return "?";
}

using Names = std::vector<std::string>;

// Runs `body` in a child process and returns how it ended: its exit code,
// or 128 + the signal that ended it.
template <typename Body>
int inChild(Body body)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ZipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.root().empty());
        std::filesystem::create_directory(m_dir.path("temp"));
    }

    std::string temp(const std::string& name) const { return m_dir.path("temp/" + name); }
    Names tempFiles() const { return fakes::FilesIn(m_dir.path("temp")); }

    std::string logText() const
    {
        const std::vector<std::uint8_t> bytes = readAll(m_log.fileName());
        return {bytes.begin(), bytes.end()};
    }

    // A valid archive of another backup under `archive`, as a previous run leaves it.
    void writeEarlierArchive(const std::string& archive)
    {
        const std::string earlier = m_dir.path("Earlier.Bak");
        ASSERT_EQ(backuplike::writeFile(earlier, 3 * kMiB, 21), "");
        ASSERT_TRUE(zip::ZipBackupFile(earlier, archive, m_log, zip::Level::Fast));
    }

    fakes::TempFolder m_dir{"corvella-zip"};
    logging::Log m_log{m_dir.path("BackupLog.log")};
};

struct RoundTripCase {
    const char* label;
    const char* name;
    std::uint64_t size;
    zip::Level level;
    backuplike::Content content = backuplike::Content::Mixed;
};

class ZipRoundTrip : public ZipTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(ZipRoundTrip, ArchiveHoldsTheSourceUnderItsNameAndToolsAcceptIt)
{
    const RoundTripCase c = GetParam();
    SCOPED_TRACE(nameOf(c.level));
    const std::string source = temp(c.name);
    const std::string archive = temp("Sales.zip");
    ASSERT_EQ(backuplike::writeFile(source, c.size, 7, c.content), "");
    ::chmod(source.c_str(), 0640);
    setModified(source, fakes::LocalTime(2024, 3, 15, 10, 15, 30));

    std::vector<int> progress;
    ASSERT_TRUE(zip::ZipBackupFile(source, archive, m_log, c.level, [&](int p) { progress.push_back(p); }));

    EXPECT_NE(logText().find("Creating zip file " + archive + "\r\n"), std::string::npos) << logText();
    Names expected = {"Sales.zip", c.name};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(tempFiles(), expected);
    EXPECT_TRUE(readersAccept(archive, c.name, c.size));
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

INSTANTIATE_TEST_SUITE_P(
    Sizes, ZipRoundTrip,
    ::testing::Values(RoundTripCase{"Empty", "Empty.Bak", 0, zip::Level::Balanced},
                      RoundTripCase{"Empty", "Empty.Bak", 0, zip::Level::Fast},
                      RoundTripCase{"Empty", "Empty.Bak", 0, zip::Level::Smallest},
                      RoundTripCase{"OneByte", "One.Bak", 1, zip::Level::Balanced},
                      RoundTripCase{"OneByte", "One.Bak", 1, zip::Level::Fast},
                      RoundTripCase{"OneByte", "One.Bak", 1, zip::Level::Smallest},
                      RoundTripCase{"Utf8Name", "Ventes_\xC3\xA9t\xC3\xA9.Bak", 300 * 1024, zip::Level::Balanced},
                      RoundTripCase{"Mixed100MiB", "Sales_20240315101530.Bak", 100 * kMiB, zip::Level::Balanced},
                      RoundTripCase{"Mixed100MiB", "Sales_20240315101530.Bak", 100 * kMiB, zip::Level::Fast},
                      RoundTripCase{"Mixed100MiB", "Sales_20240315101530.Bak", 100 * kMiB, zip::Level::Smallest},
                      RoundTripCase{"Database64MiB", "Sales_20240315101530.Bak", 64 * kMiB, zip::Level::Balanced,
                                    backuplike::Content::Database},
                      RoundTripCase{"Database64MiB", "Sales_20240315101530.Bak", 64 * kMiB, zip::Level::Fast,
                                    backuplike::Content::Database},
                      RoundTripCase{"Database64MiB", "Sales_20240315101530.Bak", 64 * kMiB, zip::Level::Smallest,
                                    backuplike::Content::Database}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) {
        return std::string(info.param.label) + "_" + nameOf(info.param.level);
    });

// Block edges: sizes around multiples of a small block, several threads, so
// the dictionary hand-over, the last block and the in-order writing are all
// exercised; every engine.
struct BlockCase {
    zip::Codec codec;
    std::uint64_t size;
    backuplike::Content content = backuplike::Content::Mixed;
};

class ZipBlockEdges : public ZipTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(ZipBlockEdges, EveryBlockBoundaryDecodes)
{
    const BlockCase c = GetParam();
    const std::string source = temp("Edge.Bak");
    const std::string archive = temp("Edge.zip");
    ASSERT_EQ(backuplike::writeFile(source, c.size, c.size, c.content), "");
    zip::DeflateOptions options;
    options.codec = c.codec;
    options.blockSize = 64 * 1024;
    options.threads = 3;
    ASSERT_EQ(zip::writeSingleEntryZip(source, archive, options), "");
    const CommandResult test = run("unzip -tqq " + quote(archive));
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_TRUE(entryMatches(archive, source));
}

constexpr zip::Codec kIsal3{zip::Engine::Isal, 3};
constexpr zip::Codec kZlib6{zip::Engine::Zlib, 6};
constexpr zip::Codec kLibdeflate6{zip::Engine::Libdeflate, 6};

INSTANTIATE_TEST_SUITE_P(Sizes, ZipBlockEdges,
                         ::testing::Values(BlockCase{kIsal3, 32767}, BlockCase{kIsal3, 65535},
                                           BlockCase{kIsal3, 65536}, BlockCase{kIsal3, 65537},
                                           BlockCase{kIsal3, 3 * 65536}, BlockCase{kIsal3, 3 * 65536 + 1},
                                           BlockCase{{zip::Engine::Isal, 1}, 2 * kMiB + 12345},
                                           BlockCase{kZlib6, 65536}, BlockCase{kZlib6, 3 * 65536 + 1},
                                           BlockCase{kZlib6, 2 * kMiB + 12345},
                                           BlockCase{kLibdeflate6, 32767}, BlockCase{kLibdeflate6, 65536},
                                           BlockCase{kLibdeflate6, 3 * 65536 + 1},
                                           BlockCase{kLibdeflate6, 2 * kMiB + 12345},
                                           BlockCase{kLibdeflate6, 3 * kMiB + 4321, backuplike::Content::Database},
                                           BlockCase{kIsal3, 3 * kMiB + 4321, backuplike::Content::Database},
                                           BlockCase{{zip::Engine::Libdeflate, 1}, 2 * kMiB + 12345},
                                           BlockCase{{zip::Engine::Libdeflate, 12}, 2 * kMiB + 12345}),
                         [](const ::testing::TestParamInfo<BlockCase>& info) {
                             const zip::Codec codec = info.param.codec;
                             const char* engine = codec.engine == zip::Engine::Isal ? "Isal"
                                 : codec.engine == zip::Engine::Zlib                ? "Zlib"
                                                                                    : "Libdeflate";
                             return engine + std::to_string(codec.level) + "_" + std::to_string(info.param.size)
                                 + (info.param.content == backuplike::Content::Database ? "_Database" : "");
                         });

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

    ASSERT_TRUE(zip::ZipBackupFile(source, archive, m_log));

    const std::vector<std::uint8_t> bytes = readAll(archive);
    EXPECT_EQ(u16At(bytes, 4), 45) << "version needed for zip64";
    EXPECT_TRUE(containsZip64EndRecord(bytes));

    // unzip, 7z and zipfile each inflate all 5 GiB and check the CRC-32, which
    // was taken from the source: no byte-for-byte comparison is needed.
    EXPECT_TRUE(readersAccept(archive, "Huge.Bak", size));
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
    EXPECT_EQ(tempFiles(), (Names{"Other.Bak", "Sales.Bak", "Sales.zip"}));
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

    const std::string inMissingFolder = m_dir.path("missing/Sales.zip");
    EXPECT_FALSE(zip::WriteEmptyZip(inMissingFolder));
    EXPECT_FALSE(std::filesystem::exists(m_dir.path("missing")));

    const std::string folder = temp("Folder.zip");
    std::filesystem::create_directory(folder);
    EXPECT_FALSE(zip::WriteEmptyZip(folder));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(tempFiles(), (Names{"Existing.zip", "Fresh.zip"}));
}

// Sources that cannot be compressed give false and say why in the log; the
// archive's name keeps what it held, or stays free, and the source itself is
// never touched.
TEST_F(ZipTest, UnusableSourceGivesFalseAndLeavesTheArchiveNameAlone)
{
    const std::string archive = temp("Sales.zip");
    std::filesystem::create_directory(temp("Folder.Bak"));
    struct Case {
        std::string source;
        std::string reason;
    };
    const Case cases[] = {
        {temp("Missing.Bak"), "Cannot open '" + temp("Missing.Bak") + "': No such file or directory"},
        {temp("Folder.Bak"), "Cannot compress '" + temp("Folder.Bak") + "': not a regular file"},
        {"/proc/self/mem", "Input/output error"},
    };
    const std::vector<std::uint8_t> earlier(4096, 0x11);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        std::filesystem::remove(archive);
        EXPECT_FALSE(zip::ZipBackupFile(c.source, archive, m_log));
        EXPECT_EQ(tempFiles(), Names{});
        writeAll(archive, earlier);
        EXPECT_FALSE(zip::ZipBackupFile(c.source, archive, m_log));
        EXPECT_EQ(readAll(archive), earlier);
        EXPECT_EQ(tempFiles(), Names{"Sales.zip"});
        EXPECT_NE(logText().find(c.reason + "\r\n"), std::string::npos) << logText();
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
    EXPECT_NE(logText().find("Cannot create zip file '" + link + "': it is the file to be compressed\r\n"),
              std::string::npos);
    EXPECT_EQ(tempFiles(), (Names{"Link.zip", "Sales.zip", "Self.Bak"}));
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
    EXPECT_FALSE(zip::ZipBackupFile(source, archive, m_log, zip::Level::Balanced, grow));
    EXPECT_TRUE(appended);
    EXPECT_EQ(tempFiles(), Names{"Growing.Bak"});
    EXPECT_NE(logText().find("Cannot compress '" + source + "': the file became longer while it was being compressed"),
              std::string::npos)
        << logText();
}

// A write that fails part way (at a file size limit) gives false and a log
// line with the system's reason; the folder is as before, an earlier archive
// of the same name included. Each case runs in a child, so the limit stays
// there; the program ignores SIGXFSZ, so the write fails with EFBIG instead of
// ending the process.
TEST_F(ZipTest, FailedWriteGivesFalseAndLeavesTheFolderAsItWas)
{
    const std::string source = temp("Sales.Bak");
    const std::string archive = temp("Sales.zip");
    ASSERT_EQ(backuplike::writeFile(source, 12 * kMiB, 5), "");
    const std::vector<std::uint8_t> before = readAll(source);
    writeEarlierArchive(archive);
    const std::vector<std::uint8_t> earlier = readAll(archive);

    struct Case {
        zip::Level level;
        zip::TempFile temp;
    };
    for (const Case c : {Case{zip::Level::Balanced, zip::TempFile::Unnamed}, Case{zip::Level::Fast, zip::TempFile::Unnamed},
                         Case{zip::Level::Smallest, zip::TempFile::Unnamed},
                         Case{zip::Level::Balanced, zip::TempFile::Named}}) {
        SCOPED_TRACE(std::string(nameOf(c.level)) + (c.temp == zip::TempFile::Named ? ", named" : ", unnamed"));
        const std::string childLog = m_dir.path("child.log");
        std::filesystem::remove(childLog);
        const int exit = inChild([&] {
            ::signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {kMiB, kMiB};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const std::string error =
                zip::writeSingleEntryZip(source, archive, zip::deflateOptionsFor(c.level), {}, {}, c.temp);
            logging::Log(childLog).Write(error);
            return error.empty() ? 0 : 1;
        });
        EXPECT_EQ(exit, 1) << "the archive was reported complete";
        EXPECT_EQ(readAll(source), before);
        EXPECT_EQ(readAll(archive), earlier);
        EXPECT_EQ(tempFiles(), (Names{"Sales.Bak", "Sales.zip"}));
        const std::vector<std::uint8_t> log = readAll(childLog);
        EXPECT_NE(std::string(log.begin(), log.end()).find("Cannot write zip file '" + archive + "': File too large"),
                  std::string::npos);
    }
}

// A full disk: a 1 MiB tmpfs mounted over the archive's folder in a child
// with its own user and mount namespaces, so that no privileges are needed.
TEST_F(ZipTest, FullDiskGivesFalseAndLeavesNothing)
{
    const std::string source = temp("Sales.Bak");
    const std::string full = temp("Full");
    ASSERT_EQ(backuplike::writeFile(source, 12 * kMiB, 6), "");
    std::filesystem::create_directory(full);
    const std::string childLog = m_dir.path("child.log");
    const std::string leftList = m_dir.path("left.txt");

    const int exit = inChild([&] {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        auto writeProc = [](const char* path, const std::string& text) {
            std::ofstream out(path);
            out << text;
            return static_cast<bool>(out.flush());
        };
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !writeProc("/proc/self/setgroups", "deny")
            || !writeProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
            || !writeProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")
            || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=1m") != 0)
            return 77;
        logging::Log log(childLog);
        const bool ok = zip::ZipBackupFile(source, full + "/Sales.zip", log);
        std::ofstream left(leftList);
        for (const std::string& name : fakes::FilesIn(full))
            left << name << "\n";
        return ok ? 0 : 1;
    });
    if (exit == 77)
        GTEST_SKIP() << "no user namespaces to mount a small file system in";
    EXPECT_EQ(exit, 1) << "the archive was reported complete";
    const std::vector<std::uint8_t> log = readAll(childLog);
    EXPECT_NE(std::string(log.begin(), log.end())
                  .find("Cannot write zip file '" + full + "/Sales.zip': No space left on device\r\n"),
              std::string::npos)
        << std::string(log.begin(), log.end());
    EXPECT_TRUE(std::filesystem::exists(leftList));
    EXPECT_EQ(readAll(leftList), std::vector<std::uint8_t>{}) << "files left on the full disk";
}

// A process killed while it writes leaves nothing under the archive's name.
// An unnamed temporary file goes with the process; a named one stays until
// the next write of that archive, which removes it, but not one that a
// running write still holds.
TEST_F(ZipTest, KilledWriteLeavesTheArchiveNameAlone)
{
    const std::string source = temp("Sales.Bak");
    const std::string archive = temp("Sales.zip");
    ASSERT_EQ(backuplike::writeFile(source, 48 * kMiB, 8), "");
    writeEarlierArchive(archive);
    const std::vector<std::uint8_t> earlier = readAll(archive);

    for (zip::TempFile tempFile : {zip::TempFile::Unnamed, zip::TempFile::Named}) {
        const bool named = tempFile == zip::TempFile::Named;
        SCOPED_TRACE(named ? "named" : "unnamed");
        const int ended = inChild([&] {
            auto killHalfway = [](int percent) {
                if (percent >= 50)
                    ::raise(SIGKILL);
            };
            zip::writeSingleEntryZip(source, archive, zip::deflateOptionsFor(zip::Level::Balanced), killHalfway, {},
                                     tempFile);
            return 0;
        });
        EXPECT_EQ(ended, 128 + SIGKILL);
        EXPECT_EQ(readAll(archive), earlier);
        const Names left = tempFiles();
        ASSERT_EQ(left.size(), named ? 3u : 2u) << ::testing::PrintToString(left);
        EXPECT_EQ(left[named ? 2 : 1], "Sales.zip");
        if (named) {
            EXPECT_EQ(left[0].rfind(".Sales.zip.", 0), 0u) << left[0];
            EXPECT_GT(std::filesystem::file_size(temp(left[0])), kMiB) << "killed before it wrote";
        }
    }

    const std::string held = temp(".Sales.zip.Held01");
    writeAll(held, {1, 2, 3});
    const int heldFd = ::open(held.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(heldFd, LOCK_EX), 0);
    ASSERT_TRUE(zip::ZipBackupFile(source, archive, m_log));
    EXPECT_EQ(tempFiles(), (Names{".Sales.zip.Held01", "Sales.Bak", "Sales.zip"}));
    EXPECT_TRUE(entryMatches(archive, source));
    ::close(heldFd);
}

TEST_F(ZipTest, StopRequestEndsTheWorkWithFalse)
{
    const std::string source = temp("Sales.Bak");
    const std::string archive = temp("Sales.zip");
    ASSERT_EQ(backuplike::writeFile(source, 24 * kMiB, 4), "");
    writeEarlierArchive(archive);
    const std::vector<std::uint8_t> earlier = readAll(archive);

    std::stop_source stop;
    int lastPercent = -1;
    auto stopAtAQuarter = [&](int percent) {
        lastPercent = percent;
        if (percent >= 25)
            stop.request_stop();
    };
    EXPECT_FALSE(zip::ZipBackupFile(source, archive, m_log, zip::Level::Smallest, stopAtAQuarter, stop.get_token()));
    EXPECT_LT(lastPercent, 50) << "the work went on after the stop";
    EXPECT_NE(logText().find("Cannot compress '" + source + "': stopped\r\n"), std::string::npos) << logText();
    EXPECT_EQ(readAll(archive), earlier);
    EXPECT_EQ(tempFiles(), (Names{"Sales.Bak", "Sales.zip"}));
}

TEST(ZipLevel, SettingNamesALevelInAnyCaseAndDefaultsToBalanced)
{
    const struct {
        const char* text;
        zip::Level level;
    } cases[] = {
        {"", zip::Level::Balanced},        {"BALANCED", zip::Level::Balanced}, {"balanced", zip::Level::Balanced},
        {"FAST", zip::Level::Fast},        {"Fast", zip::Level::Fast},         {"SMALLEST", zip::Level::Smallest},
        {"smallest", zip::Level::Smallest}, {"FASTEST", zip::Level::Balanced},  {"SMALL", zip::Level::Balanced},
        {"9", zip::Level::Balanced},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zip::levelFromSetting(c.text), c.level) << '"' << c.text << '"';
}

} // namespace
