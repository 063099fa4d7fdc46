// The program as a process against what a real host presents: the database
// server running as an account of its own, a run killed at any moment, a
// stop signal, a file size limit, settings files that are no files.

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "db/DbConnection.h"
#include "log/Log.h"

#include "fakes/RecordingOwner.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#ifdef CORVELLA_BINARY

#include "ProgramRunner.h"

namespace fs = std::filesystem;
using integration::Account;
using integration::Launch;
using integration::ReadFile;
using integration::StartProgram;
using integration::SystemAccount;
using integration::WaitForExit;
using ::testing::Contains;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLogin = "backup";
constexpr const char* kPassword = "Backup#2024";

} // namespace

class RealHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = std::make_unique<fakes::TempFolder>("corvella-host");
        m_root = m_folder->root();
        ::chmod(m_root.c_str(), 0755);
    }
    void TearDown() override
    {
        m_server.reset();
        m_folder.reset();
    }

    void startServer(fakes::TdsTestServer::Options options)
    {
        m_server = std::make_unique<fakes::TdsTestServer>(std::move(options));
        ASSERT_TRUE(m_server->start()) << m_server->error();
    }

    struct Database {
        std::string name;
        bool zip = false;
        bool keepOld = false;
    };

    // Writes the settings file for `databases`, all backed up below `backups`.
    std::string writeConfig(const std::string& folder, const std::vector<Database>& databases,
                            const std::string& backups)
    {
        config::DatabaseList list;
        config::PasswordCodec codec;
        std::string encoded;
        EXPECT_EQ(codec.Encode(kPassword, encoded), 0);
        for (const Database& database : databases) {
            const int row = list.insertRow(list.rowCount());
            const std::string cells[] = {std::to_string(row + 1), m_server->dataSource(), database.name, kLogin,
                                         encoded, "1 Hours", backups, database.zip ? "True" : "False", "False",
                                         database.keepOld ? "True" : "False"};
            for (int c = 0; c < config::kConfigColumnCount; ++c)
                list.setCell(row, c, cells[c]);
        }
        const std::string path = folder + "/BackupConfig.ini";
        logging::Log log(folder + "/config.log");
        EXPECT_TRUE(config::SaveDatabaseList(path, list, log));
        return path;
    }

    // True when the server takes `file` for a complete backup.
    bool isCompleteBackup(const std::string& file)
    {
        db::DbConnection connection;
        std::string error;
        connection.Open(m_server->connectionString("master", kLogin, kPassword), error);
        if (!connection.IsOpen())
            return false;
        db::ResultTable table;
        std::string quoted;
        for (char c : file)
            quoted += c == '\'' ? std::string("''") : std::string(1, c);
        return !db::Failed(connection.ExecuteCommand("RESTORE VERIFYONLY FROM DISK = N'" + quoted + "'", table, error));
    }

    // Every file in the three folders of `database` is a complete backup: a
    // ".Bak" the server verifies, or a ".zip" whose one entry is one.
    void expectOnlyCompleteBackups(const std::string& folder, const std::string& when)
    {
        for (const char* sub : {"", "/Last Backup", "/Old Backup"}) {
            for (const std::string& name : fakes::FilesIn(folder + sub)) {
                const std::string file = folder + sub + "/" + name;
                if (name.ends_with(".Bak")) {
                    EXPECT_TRUE(isCompleteBackup(file)) << file << " " << when;
                } else if (name.ends_with(".zip")) {
                    const std::string check = m_root + "/check";
                    fs::remove_all(check);
                    fs::create_directories(check);
                    const bool tested = std::system(("unzip -tqq '" + file + "' >/dev/null 2>&1").c_str()) == 0
                        && std::system(("unzip -qq '" + file + "' -d '" + check + "' >/dev/null 2>&1").c_str()) == 0;
                    const auto inside = fakes::FilesIn(check);
                    // unzip restores the entry's mode; the server must be able to read it.
                    for (const std::string& entry : inside)
                        fs::permissions(check + "/" + entry, fs::perms::owner_read | fs::perms::others_read);
                    EXPECT_TRUE(tested && inside.size() == 1 && isCompleteBackup(check + "/" + inside[0]))
                        << file << " " << when;
                } else {
                    ADD_FAILURE() << "not a backup: " << file << " " << when;
                }
            }
        }
    }

    std::unique_ptr<fakes::TempFolder> m_folder;
    std::string m_root;
    std::unique_ptr<fakes::TdsTestServer> m_server;
};

// The server's account writes into folders the program creates, and the
// program reads, zips and rotates what the server wrote, granted nothing
// but the backup root: the recipe of the documentation, with a program
// umask of 022 and a server umask of 027.
TEST_F(RealHost, TheServersAccountAndTheProgramsAccountShareOnlyTheBackupRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the server and the program as two other accounts";
    const auto server = SystemAccount("corvella-sqlsrv");
    ASSERT_TRUE(server) << "cannot create the server's account";
    const auto program = SystemAccount("corvella-program", "corvella-sqlsrv");
    ASSERT_TRUE(program) << "cannot create the program's account";

    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.anyDatabase = true;
    options.backupSize = 256 * 1024;
    options.runAs = "corvella-sqlsrv";
    options.umask = 027;
    startServer(options);

    // The recipe: the backup root belongs to the program's account and the
    // server's group, setgid, 2770; the program's account is in that group.
    const std::string backups = m_root + "/backups";
    const std::string work = m_root + "/work";
    fs::create_directories(backups);
    fs::create_directories(work);
    ASSERT_EQ(::chown(backups.c_str(), program->uid, server->gid), 0);
    ASSERT_EQ(::chmod(backups.c_str(), 02770), 0);
    const std::vector<Database> databases
        = {{"Plain"}, {"Zipped", true}, {"Kept", false, true}, {"Both", true, true}, {"Sales"}, {"Stock"}};
    const std::string config = writeConfig(work, databases, backups);
    ASSERT_EQ(::chown(work.c_str(), program->uid, program->gid), 0);
    ASSERT_EQ(::chown(config.c_str(), program->uid, program->gid), 0);

    Launch launch;
    launch.account = *program;
    launch.umask = 022;
    // Threads and open files do not grow with the list.
    launch.maxProcesses = 16;
    launch.maxOpenFiles = 48;
    for (int run = 1; run <= 3; ++run) {
        const int exitCode = WaitForExit(StartProgram(work, {"--backup-now", "--config", config}, launch));
        ASSERT_EQ(exitCode, 0) << "run " << run << "\n" << ReadFile(work + "/out.txt") << ReadFile(work + "/err.txt")
                               << ReadFile(work + "/BackupLog.log");
        if (run < 3)
            std::this_thread::sleep_for(1100ms); // keep-old names differ by their second
    }

    for (const Database& database : databases) {
        const std::string folder = backups + "/" + database.name;
        for (const char* sub : {"", "/temp", "/Last Backup", "/Old Backup"}) {
            struct stat status {};
            ASSERT_EQ(::stat((folder + sub).c_str(), &status), 0) << folder << sub;
            EXPECT_EQ(status.st_mode & 07777, 02770u) << folder << sub;
            EXPECT_EQ(status.st_gid, server->gid) << folder << sub;
        }
        EXPECT_TRUE(fs::is_empty(folder + "/temp")) << folder;
        const std::string extension = database.zip ? ".zip" : ".Bak";
        const auto newest = fakes::FilesIn(folder);
        ASSERT_EQ(newest.size(), 1u) << folder;
        EXPECT_TRUE(newest[0].ends_with(extension)) << newest[0];
        EXPECT_EQ(fakes::FilesIn(folder + "/Last Backup").size(), 1u) << folder;
        EXPECT_EQ(fakes::FilesIn(folder + "/Old Backup").size(), database.keepOld ? 1u : 0u) << folder;
        expectOnlyCompleteBackups(folder, database.name);
    }
}

// SIGKILL at many moments of a zipping run, with and without keep-old: after
// each kill, and after the clean run that follows, every file in the three
// folders is a complete backup.
TEST_F(RealHost, AKillAtAnyMomentLeavesOnlyCompleteBackups)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales"};
    options.backupSize = 6 << 20;
    options.backupDelayMs = 100;
    startServer(options);
    const std::string backups = m_root + "/backups";
    const std::string folder = backups + "/Sales";

    for (const bool keepOld : {false, true}) {
        fs::remove_all(backups);
        const std::string config = writeConfig(m_root, {{"Sales", true, keepOld}}, backups);
        // A clean run first, to have something to lose and to time a run.
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(WaitForExit(StartProgram(m_root, {"--backup-now", "--config", config})), 0)
            << ReadFile(m_root + "/out.txt");
        const auto duration = std::chrono::steady_clock::now() - start;

        constexpr int kPoints = 10;
        for (int point = 0; point < kPoints; ++point) {
            const auto killAfter = duration * point / kPoints;
            const pid_t pid = StartProgram(m_root, {"--backup-now", "--config", config});
            std::this_thread::sleep_for(killAfter);
            kill(pid, SIGKILL);
            WaitForExit(pid);
            // The server ends the dropped session's backup on its own time.
            std::this_thread::sleep_for(100ms);
            const std::string when = (keepOld ? "keep-old, " : "") + std::string("killed at ")
                + std::to_string(point) + "/" + std::to_string(kPoints);
            expectOnlyCompleteBackups(folder, when);

            ASSERT_EQ(WaitForExit(StartProgram(m_root, {"--backup-now", "--config", config})), 0)
                << when << "\n" << ReadFile(m_root + "/out.txt");
            expectOnlyCompleteBackups(folder, "the run after " + when);
            EXPECT_TRUE(fs::is_empty(folder + "/temp")) << when;
        }
        // With the zip switched off after a crash, nothing broken is rotated either.
        const pid_t pid = StartProgram(m_root, {"--backup-now", "--config", config});
        std::this_thread::sleep_for(duration * 3 / 4);
        kill(pid, SIGKILL);
        WaitForExit(pid);
        std::this_thread::sleep_for(200ms);
        writeConfig(m_root, {{"Sales", false, keepOld}}, backups);
        for (int run = 0; run < 3; ++run) {
            ASSERT_EQ(WaitForExit(StartProgram(m_root, {"--backup-now", "--config", config})), 0);
            expectOnlyCompleteBackups(folder, "unzipped run after a crash");
        }
    }
}

// SIGTERM while the server writes: the run is ended and logged, nothing it
// started is left behind, and the exit code says it did not complete.
TEST_F(RealHost, SigtermDuringBackupNowEndsTheRunCleanly)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales", "Stock"};
    options.backupSize = 4 << 20;
    options.backupDelayMs = 20000;
    startServer(options);
    const std::string backups = m_root + "/backups";
    const std::string config = writeConfig(m_root, {{"Sales", true}, {"Stock"}}, backups);

    const pid_t pid = StartProgram(m_root, {"--backup-now", "--config", config});
    for (int i = 0; i < 1000 && m_server->commandsStartingWith("BACKUP").empty(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(m_server->commandsStartingWith("BACKUP").size(), 1u);
    std::this_thread::sleep_for(300ms);
    const auto stopped = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitForExit(pid, 30s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 15s);

    const std::string out = ReadFile(m_root + "/out.txt");
    EXPECT_THAT(out, HasSubstr("Backup stopped because the program is ending."));
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_THAT(log, Contains("Stopping on SIGTERM: the backup under way is ended"));
    EXPECT_THAT(log, Contains("Backup of database Sales stopped because the program is ending"));
    EXPECT_THAT(log, Contains("Backup of database Stock was not started because the program is ending"));
    EXPECT_TRUE(fs::is_empty(backups + "/Sales/temp"));
    EXPECT_THAT(fakes::FilesIn(backups + "/Sales"), ::testing::IsEmpty());
    EXPECT_FALSE(fs::exists(backups + "/Stock"));
}

// A file size limit (ulimit -f, LimitFSIZE=) makes the archive fail like a
// full disk: the program goes on, says why and keeps the backup file.
TEST_F(RealHost, AFileSizeLimitFailsTheArchiveNotTheProgram)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales"};
    options.backupSize = 4 << 20;
    startServer(options);
    const std::string backups = m_root + "/backups";
    const std::string config = writeConfig(m_root, {{"Sales", true}}, backups);

    Launch launch;
    launch.maxFileSize = 256 * 1024;
    EXPECT_EQ(WaitForExit(StartProgram(m_root, {"--backup-now", "--config", config}, launch)), 1);
    EXPECT_THAT(ReadFile(m_root + "/out.txt"), HasSubstr("Compressing in zip format"));
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_THAT(log, Contains(HasSubstr("File too large")));
    EXPECT_THAT(fakes::FilesIn(backups + "/Sales"), ::testing::ElementsAre("Sales.Bak"));
    EXPECT_TRUE(fs::is_empty(backups + "/Sales/temp"));
}

// Only a regular file of sensible size is read as settings; anything else
// is refused at once with exit code 2.
TEST_F(RealHost, SettingsThatAreNoFileAreRefusedAtOnce)
{
    const std::string fifo = m_root + "/fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = m_root + "/large.ini";
    {
        std::ofstream out(large, std::ios::binary);
        out << "[DBBackInfo]\n";
        const std::string line(1023, 'x');
        for (int i = 0; i < 9 * 1024; ++i)
            out << "K" << i << "=" << line << "\n";
    }
    const std::pair<std::string, std::string> cases[] = {
        {fifo, "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {m_root, "not a regular file"},
        {large, "larger than 8 MiB"},
    };
    for (const auto& [path, reason] : cases) {
        for (const char* mode : {"--backup-now", "--service"}) {
            EXPECT_EQ(WaitForExit(StartProgram(m_root, {mode, "--config", path}), 20s), 2) << path;
            EXPECT_THAT(ReadFile(m_root + "/err.txt"),
                        HasSubstr("Cannot read settings file '" + path + "': " + reason));
        }
    }
}

#endif
