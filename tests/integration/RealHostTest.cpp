// The program as a process against what a real host presents: the database
// server running as an account of its own, a run killed at any moment, a
// stop signal, a file size limit, settings files that are no files.

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "db/DbConnection.h"
#include "log/Log.h"

#include "engine/BackupWorker.h"

#include "fakes/RecordingOwner.h"
#include "fakes/SmtpTestServer.h"
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

#ifdef CORVELLA_CLI_BINARY

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
        bool email = false;
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
                                         encoded, "1 Hours", backups, database.zip ? "True" : "False",
                                         database.email ? "True" : "False", database.keepOld ? "True" : "False"};
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

// A file size limit (ulimit -f, LimitFSIZE=) smaller than the archive makes
// it fail like a full disk: the program goes on, the row says so, the mail
// carries the backup file that was kept, and the rotation keeps it.
TEST_F(RealHost, AFileSizeLimitFailsTheArchiveNotTheProgram)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales"};
    options.backupSize = 4 << 20;
    startServer(options);
    fakes::SmtpTestServer smtp({fakes::SmtpTestServer::Mode::Plain, "", "", false});
    ASSERT_TRUE(smtp.start()) << smtp.error();
    const std::string backups = m_root + "/backups";
    const std::string config = writeConfig(m_root, {{"Sales", true, false, true}}, backups);
    std::ofstream(config, std::ios::app) << "[EMAILSERVERINFO]\r\nSVRIP=127.0.0.1\r\nSVRPORT=" << smtp.port()
                                         << "\r\nSVRID=backups@example.org\r\nSVRSENDER=dba@example.org\r\n"
                                            "SECURITY=SIMPLE\r\n";

    Launch launch;
    launch.maxFileSize = 256 * 1024;
    EXPECT_EQ(WaitForExit(StartProgram(m_root, {"--backup-now", "--config", config}, launch)), 1);
    const std::string table = ReadFile(m_root + "/out.txt");
    EXPECT_THAT(table, HasSubstr(std::string(engine::kCompressionFailedText) + "  4194304"));
    EXPECT_THAT(table, HasSubstr("Email Sent"));
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_THAT(log, Contains(HasSubstr("File too large")));
    EXPECT_THAT(log, Contains("Email Sent Attached Backup Name: Sales"));
    const auto messages = smtp.messages();
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_EQ(messages[0].attachments.size(), 1u);
    EXPECT_EQ(messages[0].attachments[0].fileName, "Sales.Bak");
    EXPECT_EQ(messages[0].attachments[0].size, 4u << 20);
    EXPECT_THAT(fakes::FilesIn(backups + "/Sales"), ::testing::ElementsAre("Sales.Bak"));
    EXPECT_TRUE(fs::is_empty(backups + "/Sales/temp"));
    expectOnlyCompleteBackups(backups + "/Sales", "after the failed archive");
}

// Under a file size limit of 0 nothing the program writes may kill it: it
// answers --version, and a backup whose archive cannot be written is kept
// and reported (the table goes to a pipe, which has no such limit).
TEST_F(RealHost, AFileSizeLimitOfZeroKillsNothing)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales"};
    startServer(options);
    const std::string backups = m_root + "/backups";
    const std::string config = writeConfig(m_root, {{"Sales", true}}, backups);
    const auto runLimited = [&](const std::string& args, int& exitCode) {
        const std::string command = "cd '" + m_root + "' && ulimit -f 0 && exec '" + CORVELLA_CLI_BINARY + "' " + args
            + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        std::string output;
        char buffer[4096];
        for (std::size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, got);
        const int status = pipe ? ::pclose(pipe) : -1;
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return output;
    };
    int exitCode = -1;
    EXPECT_THAT(runLimited("--version", exitCode), ::testing::StartsWith("corvella-cli "));
    EXPECT_EQ(exitCode, 0);
    const std::string table = runLimited("--backup-now --config '" + config + "'", exitCode);
    EXPECT_EQ(exitCode, 1) << table;
    EXPECT_THAT(table, HasSubstr(engine::kCompressionFailedText));
    EXPECT_THAT(fakes::FilesIn(backups + "/Sales"), ::testing::ElementsAre("Sales.Bak"));
    expectOnlyCompleteBackups(backups + "/Sales", "under a limit of 0");
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

// Settings files of the largest size that hold little but blank lines or
// "[]" lines are odd, not wrong: under a memory limit far below what a line
// by line reading took, a backup runs to its end, and a SIGHUP during a
// service's backup reloads them without touching the backup.
TEST_F(RealHost, OddSettingsFilesOfTheLargestSizeRunUnderAMemoryLimit)
{
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers reserve terabytes of address space before main().
    GTEST_SKIP() << "an address space limit leaves the sanitizers no room";
#endif
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales"};
    options.backupSize = 1 << 20;
    options.backupDelayMs = 3000;
    startServer(options);
    const std::string backups = m_root + "/backups";
    const std::string config = writeConfig(m_root, {{"Sales"}}, backups);
    const std::string settings = ReadFile(config);
    const auto padded = [&](const std::string& name, const std::string& line) {
        std::string text = settings;
        while (text.size() + line.size() <= 8 * 1024 * 1024)
            text += line;
        std::ofstream(m_root + "/" + name, std::ios::binary) << text;
        return m_root + "/" + name;
    };
    const std::string brackets = padded("brackets.ini", "[]\r\n");
    const std::string blank = padded("blank.ini", "\n");

    Launch launch;
    launch.maxAddressSpace = 300000 * 1024ull; // ulimit -v 300000
    launch.outputName = "now";
    EXPECT_EQ(WaitForExit(StartProgram(m_root, {"--backup-now", "--config", brackets}, launch)), 0)
        << ReadFile(m_root + "/now.out") << ReadFile(m_root + "/now.err");
    EXPECT_THAT(fakes::FilesIn(backups + "/Sales"), ::testing::ElementsAre("Sales.Bak"));

    launch.outputName = "service";
    const pid_t service = StartProgram(m_root, {"--service", "--config", blank}, launch);
    const std::string writing = backups + "/Sales/temp/Sales.bak";
    for (int i = 0; i < 1000 && !fs::exists(writing); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(writing)) << ReadFile(m_root + "/service.err");
    ASSERT_EQ(kill(service, SIGHUP), 0);
    // The backup under way ends as usual: its file leaves temp for the rotation.
    for (int i = 0; i < 1000 && fs::exists(writing); ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(500ms);
    kill(service, SIGTERM);
    EXPECT_EQ(WaitForExit(service), 0) << ReadFile(m_root + "/service.err");
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_THAT(log, Contains("Settings reloaded on SIGHUP: 0 database(s) new or changed, 0 removed, 1 unchanged"));
    EXPECT_EQ(std::count(log.begin(), log.end(), "Backup Started for Database Sales"), 2);
    EXPECT_THAT(log, ::testing::Not(Contains(HasSubstr("stopped because the program is ending"))));
    EXPECT_THAT(fakes::FilesIn(backups + "/Sales/Last Backup"), ::testing::ElementsAre("Sales.Bak"));
    expectOnlyCompleteBackups(backups + "/Sales", "after the reload");
}

// Two settings files that name one database and one backup path, both in
// use (a desktop copy and the service, two administrators): while one copy
// backs the database up, the other touches nothing in its folder, says who
// holds it, and fails; the backup of the first is whole. A copy killed
// mid-backup leaves the folder free at once.
TEST_F(RealHost, TwoSettingsFilesNamingOneDatabaseBackItUpOneAtATime)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales"};
    options.backupSize = 2 << 20;
    options.backupDelayMs = 3000;
    startServer(options);
    const std::string backups = m_root + "/backups";
    fs::create_directories(m_root + "/first");
    fs::create_directories(m_root + "/second");
    const std::string first = writeConfig(m_root + "/first", {{"Sales"}}, backups);
    const std::string second = writeConfig(m_root + "/second", {{"Sales"}}, backups);
    const std::string writing = backups + "/Sales/temp/Sales.bak";
    const auto waitForWriting = [&] {
        for (int i = 0; i < 1000 && !fs::exists(writing); ++i)
            std::this_thread::sleep_for(10ms);
        return fs::exists(writing);
    };

    Launch launch;
    launch.outputName = "service";
    const pid_t service = StartProgram(m_root + "/first", {"--service", "--config", first}, launch);
    ASSERT_TRUE(waitForWriting()) << ReadFile(m_root + "/first/service.err");
    const int exitCode = WaitForExit(StartProgram(m_root + "/second", {"--backup-now", "--config", second}));
    const std::string skipped = "Backup of database Sales skipped: another copy of Corvella (process "
        + std::to_string(service) + ") is backing it up";
    EXPECT_EQ(exitCode, 1);
    EXPECT_THAT(ReadFile(m_root + "/second/out.txt"), HasSubstr(skipped));
    EXPECT_THAT(fakes::ReadLogMessages(m_root + "/second/BackupLog.log"), Contains(skipped));
    EXPECT_TRUE(fs::exists(writing)) << "the first copy's unfinished backup stays where it is";

    for (int i = 0; i < 1000 && !fs::exists(backups + "/Sales/Sales.Bak"); ++i)
        std::this_thread::sleep_for(10ms);
    kill(service, SIGTERM);
    EXPECT_EQ(WaitForExit(service), 0);
    EXPECT_THAT(fakes::ReadLogMessages(m_root + "/first/BackupLog.log"),
                ::testing::Not(Contains(HasSubstr("left in the temp folder"))));
    EXPECT_THAT(fakes::FilesIn(backups + "/Sales"), ::testing::ElementsAre("Sales.Bak"));
    expectOnlyCompleteBackups(backups + "/Sales", "after two copies");

    // The lock of a copy that is killed goes with it.
    launch.outputName = "killed";
    const pid_t killed = StartProgram(m_root + "/first", {"--backup-now", "--config", first}, launch);
    ASSERT_TRUE(waitForWriting());
    kill(killed, SIGKILL);
    WaitForExit(killed);
    EXPECT_EQ(WaitForExit(StartProgram(m_root + "/second", {"--backup-now", "--config", second})), 0)
        << ReadFile(m_root + "/second/out.txt");
    expectOnlyCompleteBackups(backups + "/Sales", "after the kill");
}

#endif
