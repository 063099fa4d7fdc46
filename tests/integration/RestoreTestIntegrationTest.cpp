// Restore tests end to end: the real driver against the wire-protocol test
// server running as an account of its own (when the tests run as root), real
// backups, real data folders; then the program as a process, killed in the
// middle of a restore, and its --restore-test command.

#include "engine/BackupSession.h"
#include "engine/BackupWorker.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/RestoreTest.h"
#include "engine/SystemServices.h"

#include "engine/SettingsStore.h"
#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "db/DbConnection.h"
#include "history/HistoryStore.h"

#include "fakes/ManualClock.h"
#include "fakes/RecordingOwner.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"

#include <gmock/gmock.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "ProgramRunner.h"

namespace fs = std::filesystem;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLogin = "backup";
constexpr const char* kPassword = "Backup#2024";
constexpr const char* kServerAccount = "corvella-sqlsrv";

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every text a row's status cell showed, in order.
class StatusHistory final : public engine::StatusJournal::Observer {
public:
    void rowInserted(int) override {}
    void cleared() override {}
    void cellChanged(int row, int column, const std::string& text) override
    {
        if (column != engine::StatusBackupStatus)
            return;
        std::lock_guard lock(m_mutex);
        m_texts[row].push_back(text);
    }
    std::vector<std::string> texts(int row)
    {
        std::lock_guard lock(m_mutex);
        return m_texts[row];
    }

private:
    std::mutex m_mutex;
    std::map<int, std::vector<std::string>> m_texts;
};

} // namespace

// The host as a database server presents it: the server's account may write
// into the backup root (its group, set-group-ID) and its data folder, not
// into a folder of root's; the program's account (root here) reads all.
class RestoreTestHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = std::make_unique<fakes::TempFolder>("corvella-restore");
        m_root = m_folder->root();
        ::chmod(m_root.c_str(), 0755);
        m_backups = m_root + "/backups";
        m_data = m_root + "/data/";
        m_closed = m_root + "/closed/";
        fs::create_directories(m_backups);
        fs::create_directories(m_data);
        fs::create_directories(m_closed);
        if (geteuid() == 0) {
            const auto account = integration::SystemAccount(kServerAccount);
            ASSERT_TRUE(account) << "cannot create the server's account";
            m_serverAccount = kServerAccount;
            ASSERT_EQ(::chown(m_backups.c_str(), 0, account->gid), 0);
            ::chmod(m_backups.c_str(), 02770);
            ASSERT_EQ(::chown(m_data.c_str(), account->uid, account->gid), 0);
            ::chmod(m_data.c_str(), 0750);
        } else {
            ::chmod(m_closed.c_str(), 0555);
        }
    }
    void TearDown() override
    {
        m_server.reset();
        m_folder.reset();
    }

    void startServer(fakes::TdsTestServer::Options options)
    {
        options.logins = {{kLogin, kPassword}};
        options.dataPath = m_data;
        options.runAs = m_serverAccount;
        options.umask = 027;
        m_server = std::make_unique<fakes::TdsTestServer>(std::move(options));
        ASSERT_TRUE(m_server->start()) << m_server->error();
    }

    // The names of the server's databases.
    std::vector<std::string> serverDatabases()
    {
        db::DbConnection connection;
        std::string error;
        connection.Open(m_server->connectionString("master", kLogin, kPassword), error);
        db::ResultTable table;
        std::vector<std::string> names;
        if (db::Failed(connection.ExecuteCommand(" SELECT name FROM sys.databases", table, error)))
            return {"cannot list the databases: " + error};
        for (const auto& row : table.rows())
            names.push_back(row.cells().at(0).text);
        return names;
    }

    std::vector<std::string> scratchDatabases()
    {
        std::vector<std::string> scratch;
        for (const std::string& name : serverDatabases()) {
            if (name.find("_restoretest_") != std::string::npos || name.starts_with("cannot"))
                scratch.push_back(name);
        }
        return scratch;
    }

    std::unique_ptr<fakes::TempFolder> m_folder;
    std::string m_root;
    std::string m_backups;
    std::string m_data;
    std::string m_closed;
    std::string m_serverAccount;
    std::unique_ptr<fakes::TdsTestServer> m_server;
};

class RestoreTestIntegration : public RestoreTestHost {
protected:
    void SetUp() override
    {
        RestoreTestHost::SetUp();
        m_owner = std::make_unique<fakes::RecordingOwner>(m_root + "/BackupLog.log");
    }
    void TearDown() override
    {
        m_owner.reset();
        RestoreTestHost::TearDown();
    }

    engine::BackupJob job(const std::string& name)
    {
        engine::BackupJob job;
        job.databaseUrl = m_server->dataSource();
        job.databaseName = name;
        job.userName = kLogin;
        job.password = kPassword;
        job.backupPath = m_backups;
        job.owner = &m_owner->session();
        job.restoreTest = true;
        return job;
    }

    engine::BackupServices services(engine::Clock& clock)
    {
        engine::BackupServices s;
        s.connector = &m_connector;
        s.archiver = &m_archiver;
        s.clock = &clock;
        s.fileOps = &m_fileOps;
        s.applicationName = "corvella";
        s.pause = [](std::chrono::milliseconds) {};
        s.progressInterval = 100ms;
        return s;
    }

    engine::RunResult run(const engine::BackupJob& job, engine::Clock& clock)
    {
        engine::BackupWorker worker(job, services(clock));
        return worker.run();
    }

    std::vector<std::string> restoreCommands() const
    {
        return m_server->commandsStartingWith("RESTORE DATABASE");
    }

    std::unique_ptr<fakes::RecordingOwner> m_owner;
    db::OdbcConnector m_connector;
    engine::ZipArchiver m_archiver{std::make_shared<engine::SettingsStore>("/nonexistent/BackupConfig.ini")};
    engine::FileOps m_fileOps;
    engine::SystemClock m_systemClock;
};

// The verdicts as the operator sees them, and what the server keeps of the
// tests afterwards: nothing.
TEST_F(RestoreTestIntegration, EveryVerdictReachesTheRowAndTheLogAndNoScratchCopyRemains)
{
    fakes::TdsTestServer::Options options;
    options.databases = {"Sales", "Q]u'ote", "Verkäufe", "Stock", "Ledger"};
    options.damagedBackupsOf = {"Ledger"};
    options.consistencyErrorsIn = {"Stock"};
    options.restoreDelayMs = 1200;
    startServer(options);
    StatusHistory history;
    m_owner->statusJournal().addObserver(&history);
    const std::string scratch = "_restoretest_[0-9]{14}";
    const std::string passed = "Restore test passed for Database %s \\(restored in [0-9]+\\.[0-9] s, no consistency "
                               "errors\\)";
    const auto passedLine = [&](const std::string& name) {
        return std::regex_replace(passed, std::regex("%s"), name);
    };

    // Zipped, written with checksums: the archive is unpacked into temp, and
    // the restore checks the checksums.
    engine::BackupJob sales = job("Sales");
    sales.zip = true;
    sales.verify = true;
    const engine::RunResult zipped = run(sales, m_systemClock);
    EXPECT_TRUE(zipped.completed()) << zipped.row[engine::StatusBackupStatus];
    EXPECT_EQ(zipped.row[engine::StatusBackupStatus], "Zip Completed");
    EXPECT_EQ(zipped.restoreTest.result, engine::RestoreTestOutcome::Result::Passed);
    EXPECT_GE(zipped.restoreTest.restoreSeconds, 1.0);
    EXPECT_THAT(zipped.logLines.back(), ContainsRegex("^" + passedLine("Sales") + "$"));
    ASSERT_EQ(restoreCommands().size(), 1u);
    EXPECT_THAT(restoreCommands()[0],
                ContainsRegex("^RESTORE DATABASE \\[Sales" + scratch + "\\] FROM DISK = N'" + m_backups
                              + "/Sales/temp/Sales_restoretest.Bak' WITH MOVE N'Sales' TO N'" + m_data + "Sales"
                              + scratch + "\\.mdf', MOVE N'Sales_log' TO N'" + m_data + "Sales" + scratch
                              + "_log\\.ldf', CHECKSUM, RECOVERY$"));
    // The row showed the server's progress, then kept its own text.
    const auto shown = history.texts(0);
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](const std::string& text) {
        return std::regex_match(text, std::regex("Restore test in progress ([1-9]|[1-9][0-9])%"));
    })) << ::testing::PrintToString(shown);
    EXPECT_EQ(shown.back(), "Zip Completed");
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Sales"), ::testing::ElementsAre("Sales.zip"));

    // Names with "]" and "'" and in any language, backups without checksums.
    for (const std::string& name : {std::string("Q]u'ote"), std::string("Verkäufe")}) {
        SCOPED_TRACE(name);
        const engine::RunResult result = run(job(name), m_systemClock);
        EXPECT_TRUE(result.completed()) << result.row[engine::StatusBackupStatus];
        EXPECT_EQ(result.row[engine::StatusBackupStatus], "Backup completed");
        EXPECT_THAT(result.logLines.back(), ContainsRegex(passedLine(name)));
    }
    const std::string quoted = restoreCommands().at(1);
    EXPECT_THAT(quoted, HasSubstr("RESTORE DATABASE [Q]]u'ote_restoretest_"));
    EXPECT_THAT(quoted, HasSubstr(" FROM DISK = N'" + m_backups + "/Q]u''ote/Q]u''ote.Bak' WITH MOVE N'Q]u''ote' TO N'"
                                  + m_data + "Q]u''ote_restoretest_"));
    EXPECT_THAT(quoted, ::testing::EndsWith("_log.ldf', RECOVERY"));

    // A copy with consistency errors, and a backup the server cannot read
    // back: the run fails, the backup stays where the rotation put it.
    const std::string serverText = "Error Object : [FreeTDS][SQL Server] Error Contents : ";
    struct Failure {
        std::string name;
        std::string text;
    };
    const Failure failures[] = {
        {"Stock", serverText + "Object ID 2105058535, index ID 0, partition ID 72057594038321152, alloc unit ID "
                               "72057594042318848 (type In-row data): Page (1:94299) could not be processed.  See "
                               "other errors for details."},
        {"Ledger", serverText + "RESTORE detected an error on page (1:63) in database \"Ledger\" as read from the "
                                "backup set."},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        const engine::RunResult result = run(job(failure.name), m_systemClock);
        EXPECT_EQ(result.outcome, engine::RunOutcome::Failed);
        EXPECT_EQ(result.row[engine::StatusBackupStatus], "Restore test failed: " + failure.text);
        EXPECT_EQ(result.logLines.back(), "Restore test failed for Database " + failure.name + ": " + failure.text);
        EXPECT_EQ(result.row[engine::StatusFileSize], "1048576");
        EXPECT_THAT(fakes::FilesIn(m_backups + "/" + failure.name), ::testing::ElementsAre(failure.name + ".Bak"));
    }

    // A data folder the server may not write into.
    engine::BackupJob closed = job("Sales");
    closed.restoreTestDataPath = m_closed;
    const engine::RunResult refused = run(closed, m_systemClock);
    EXPECT_EQ(refused.outcome, engine::RunOutcome::Failed);
    EXPECT_THAT(refused.row[engine::StatusBackupStatus],
                ContainsRegex("^Restore test failed: " + std::regex_replace(serverText, std::regex("[\\[\\]]"), "\\$&")
                              + "Directory lookup for the file \"" + m_closed + "Sales" + scratch
                              + "\\.mdf\" failed with the operating system error 5\\(Access is denied\\.\\)\\.$"));

    // Whatever the verdict, every copy was dropped, with its files.
    EXPECT_THAT(scratchDatabases(), IsEmpty());
    EXPECT_EQ(m_server->commandsStartingWith("DROP DATABASE").size(), 5u) << "the refused restore created nothing";
    EXPECT_THAT(fakes::FilesIn(m_data), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(m_closed), IsEmpty());
    for (const char* name : {"Sales", "Q]u'ote", "Verkäufe", "Stock", "Ledger"})
        EXPECT_THAT(fakes::FilesIn(m_backups + "/" + name + "/temp"), IsEmpty()) << name;
    const std::string record = ReadFile(m_root + "/RestoreTests.state");
    EXPECT_THAT(record, ::testing::Not(HasSubstr("\nscratch\t"))) << record;
    m_owner->statusJournal().removeObserver(&history);
}

// RESTORE_TEST_DAYS: one test in so many days, remembered across a restart.
TEST_F(RestoreTestIntegration, RestoreTestDaysSpaceTheTestsAcrossARestart)
{
    fakes::TdsTestServer::Options options;
    options.databases = {"Sales"};
    options.backupSize = 64 * 1024;
    startServer(options);
    fakes::ManualClock clock;
    engine::BackupJob weekly = job("Sales");
    weekly.restoreTestDays = 7;

    EXPECT_TRUE(run(weekly, clock).completed());
    EXPECT_EQ(restoreCommands().size(), 1u);
    clock.advance(24h);
    EXPECT_TRUE(run(weekly, clock).completed());
    EXPECT_EQ(restoreCommands().size(), 1u);

    // The program starts again with the same log folder.
    m_owner = std::make_unique<fakes::RecordingOwner>(m_root + "/BackupLog.log");
    weekly.owner = &m_owner->session();
    clock.advance(5 * 24h + 23h);
    EXPECT_TRUE(run(weekly, clock).completed());
    EXPECT_EQ(restoreCommands().size(), 1u);
    clock.advance(1h);
    const engine::RunResult tested = run(weekly, clock);
    EXPECT_TRUE(tested.completed());
    EXPECT_EQ(tested.restoreTest.result, engine::RestoreTestOutcome::Result::Passed);
    EXPECT_EQ(restoreCommands().size(), 2u);
}

#ifdef CORVELLA_CLI_BINARY

// The program itself: killed while the server restores its test copy, and
// run again; and its --restore-test command.
class RestoreTestProgram : public RestoreTestHost {
protected:
    std::string writeConfig(const std::vector<std::pair<std::string, bool>>& databases, const std::string& options)
    {
        config::DatabaseList list;
        config::PasswordCodec codec;
        std::string encoded;
        EXPECT_EQ(codec.Encode(kPassword, encoded), 0);
        for (const auto& [name, zip] : databases) {
            const int row = list.insertRow(list.rowCount());
            const std::string cells[] = {std::to_string(row + 1), m_server->dataSource(), name, kLogin, encoded,
                                         "1 Hours", m_backups, zip ? "True" : "False", "False", "False"};
            for (int c = 0; c < config::kConfigColumnCount; ++c)
                list.setCell(row, c, cells[c]);
        }
        const std::string path = m_root + "/BackupConfig.ini";
        logging::Log log(m_root + "/config.log");
        EXPECT_TRUE(config::SaveDatabaseList(path, list, log));
        std::ofstream(path, std::ios::app) << "[OPTIONS]\n" << options;
        return path;
    }

    // Waits (up to a minute) until the server has begun to fill a scratch
    // copy's files, and a little longer.
    void waitForRestoreUnderWay()
    {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline
               && (scratchDatabases().empty() || fakes::FilesIn(m_data).empty()))
            std::this_thread::sleep_for(20ms);
        std::this_thread::sleep_for(500ms);
    }

    int runProgram(const std::vector<std::string>& args, const std::string& name)
    {
        integration::Launch launch;
        launch.outputName = name;
        return integration::WaitForExit(integration::StartProgram(m_root, args, launch));
    }
};

TEST_F(RestoreTestProgram, AStopDropsTheCopyAndAKilledRunsCopyIsDroppedByTheNextRun)
{
    fakes::TdsTestServer::Options options;
    options.databases = {"Sales"};
    options.restoreDelayMs = 4000;
    startServer(options);
    const std::string config = writeConfig({{"Sales", true}}, "RESTORE_TEST=TRUE\n");
    const std::vector<std::string> backupNow = {"--backup-now", "--config", config};

    // SIGTERM: the restore is cancelled, the copy dropped, the run ends failed.
    integration::Launch launch;
    launch.outputName = "stopped";
    const pid_t stopped = integration::StartProgram(m_root, backupNow, launch);
    waitForRestoreUnderWay();
    ASSERT_EQ(scratchDatabases().size(), 1u);
    ASSERT_EQ(::kill(stopped, SIGTERM), 0);
    EXPECT_EQ(integration::WaitForExit(stopped), 1);
    EXPECT_THAT(ReadFile(m_root + "/BackupLog.log"),
                HasSubstr("  Restore test of Database Sales stopped because the program is ending\r\n"));
    EXPECT_THAT(scratchDatabases(), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(m_data), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Sales/temp"), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Sales"), ::testing::ElementsAre("Sales.zip"));

    // SIGKILL: the copy stays on the server, restoring, with its files.
    launch.outputName = "killed";
    const pid_t killed = integration::StartProgram(m_root, backupNow, launch);
    waitForRestoreUnderWay();
    ASSERT_EQ(::kill(killed, SIGKILL), 0);
    EXPECT_EQ(integration::WaitForExit(killed), 128 + SIGKILL);
    const auto left = scratchDatabases();
    ASSERT_EQ(left.size(), 1u) << ReadFile(m_root + "/BackupLog.log");
    EXPECT_THAT(left[0], ContainsRegex("^Sales_restoretest_[0-9]{14}$"));
    EXPECT_EQ(fakes::FilesIn(m_data).size(), 2u);
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Sales/temp"), ::testing::ElementsAre("Sales_restoretest.Bak"));

    // The next run of the database drops it, and tests its own backup.
    EXPECT_EQ(runProgram(backupNow, "again"), 0) << ReadFile(m_root + "/again.err");
    const std::string log = ReadFile(m_root + "/BackupLog.log");
    EXPECT_THAT(log, HasSubstr("  Removed '" + m_backups + "/Sales/temp/Sales_restoretest.Bak', left in the temp "
                               "folder by an interrupted run\r\n"));
    EXPECT_THAT(log, HasSubstr("  Dropped the scratch database [" + left[0]
                               + "] left by an interrupted restore test of Database Sales\r\n"));
    EXPECT_THAT(log, ContainsRegex("Restore test passed for Database Sales \\(restored in [0-9.]+ s, no consistency "
                                   "errors\\)\r\n"));
    EXPECT_THAT(scratchDatabases(), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(m_data), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Sales/temp"), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Sales"), ::testing::ElementsAre("Sales.zip"));
    EXPECT_THAT(ReadFile(m_root + "/RestoreTests.state"), ::testing::Not(HasSubstr("\nscratch\t")));

    // The run history keeps each run's verdict: the stopped test, then the
    // one that passed (the killed run's row stays without one).
    auto opened = history::HistoryStore::open(m_root + "/BackupHistory.db", history::HistoryStore::Access::ReadOnly);
    ASSERT_TRUE(opened.store) << opened.error;
    std::vector<history::RunRecord> runs;
    std::string error;
    ASSERT_TRUE(opened.store->runs("Sales", m_server->dataSource(), 10, runs, error)) << error;
    std::vector<std::string> verdicts;
    for (const auto& run : runs)
        verdicts.push_back(run.restoreTest);
    EXPECT_THAT(verdicts, ::testing::ElementsAre("passed", "", "stopped"));
    EXPECT_TRUE(runs.front().restoreTestAt.has_value());
}

TEST_F(RestoreTestProgram, RestoreTestCommandTestsTheKeptBackupsAndSaysSoInItsExitCode)
{
    fakes::TdsTestServer::Options options;
    options.databases = {"Sales", "Stock"};
    options.consistencyErrorsIn = {"Stock"};
    options.backupSize = 64 * 1024;
    startServer(options);
    const std::string config = writeConfig({{"Sales", false}, {"Stock", true}}, "");
    ASSERT_EQ(runProgram({"--backup-now", "--config", config}, "backup"), 0) << ReadFile(m_root + "/backup.err");
    EXPECT_TRUE(m_server->commandsStartingWith("RESTORE DATABASE").empty()) << "RESTORE_TEST is off";

    // Every database: one verdict each, exit 1 for the failed one.
    EXPECT_EQ(runProgram({"--restore-test", "--config", config}, "all"), 1) << ReadFile(m_root + "/all.err");
    const std::string table = ReadFile(m_root + "/all.out");
    EXPECT_THAT(table, ContainsRegex("^Serial +Database Name +Restore Test +Backup File +Tested At\n"));
    EXPECT_THAT(table, ContainsRegex("\n1 +Sales +Restore test passed \\(restored in [0-9.]+ s, no consistency "
                                     "errors\\) +"
                                     + m_backups + "/Sales/Sales\\.Bak +[0-9/]+  [0-9:]+\n"));
    EXPECT_THAT(table, ContainsRegex("\n2 +Stock +Restore test failed: Error Object : .* Page \\(1:94299\\) could not be "
                                     "processed\\.  See other errors for details\\. +" + m_backups + "/Stock/Stock\\.zip"));

    // One database, named as the list shows it.
    EXPECT_EQ(runProgram({"--restore-test", "--config", config, "--database", "Sales"}, "one"), 0)
        << ReadFile(m_root + "/one.err");
    EXPECT_THAT(ReadFile(m_root + "/one.out"), ::testing::Not(HasSubstr("Stock")));
    EXPECT_EQ(m_server->commandsStartingWith("RESTORE DATABASE").size(), 3u);
    EXPECT_THAT(scratchDatabases(), IsEmpty());

    // Bad settings: exit 2, nothing tested.
    EXPECT_EQ(runProgram({"--restore-test", "--config", config, "--database", "Nowhere"}, "unknown"), 2);
    EXPECT_THAT(ReadFile(m_root + "/unknown.err"), HasSubstr("lists no database named 'Nowhere'"));
    std::ofstream(config, std::ios::app) << "RESTORE_TEST_DATA_PATH=data\n";
    EXPECT_EQ(runProgram({"--restore-test", "--config", config}, "relative"), 2);
    EXPECT_THAT(ReadFile(m_root + "/relative.err"), HasSubstr("RESTORE_TEST_DATA_PATH must be a whole folder name"));
    EXPECT_EQ(runProgram({"--backup-now", "--database", "Sales", "--config", config}, "misplaced"), 2);
    EXPECT_EQ(m_server->commandsStartingWith("RESTORE DATABASE").size(), 3u);
}

#endif
