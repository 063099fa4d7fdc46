// The run history as the program keeps it across processes: runs recorded by
// one copy and judged by the next (`--status`, `--check`), a copy killed in
// the middle of a run, and history files that cannot be written.

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "history/HistoryStore.h"
#include "log/Log.h"

#include "fakes/RecordingOwner.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"

#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef CORVELLA_BINARY

#include "ProgramRunner.h"
#include "SettingsFiles.h"

namespace fs = std::filesystem;
using history::Outcome;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;

namespace {

constexpr history::Millis kMinute = 60'000;
constexpr history::Millis kHour = 60 * kMinute;

history::Millis Now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Finished {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the program in `folder` to its end; stdout and stderr come back.
Finished RunToEnd(const std::string& folder, const std::vector<std::string>& args, integration::Launch launch = {})
{
    if (launch.outputName.empty())
        launch.outputName = "run";
    Finished outcome;
    outcome.exitCode = integration::WaitForExit(integration::StartProgram(folder, args, launch));
    outcome.out = ReadFile(folder + "/" + launch.outputName + ".out");
    outcome.err = ReadFile(folder + "/" + launch.outputName + ".err");
    return outcome;
}

std::vector<history::DatabaseSummary> Summaries(const std::string& path)
{
    history::HistoryStore::Opened opened = history::HistoryStore::open(path, history::HistoryStore::Access::ReadOnly);
    std::vector<history::DatabaseSummary> all;
    std::string error;
    if (opened.store)
        opened.store->summaries(all, error);
    return all;
}

const history::DatabaseSummary* Find(const std::vector<history::DatabaseSummary>& all, const std::string& database)
{
    for (const auto& summary : all) {
        if (summary.database == database)
            return &summary;
    }
    return nullptr;
}

std::size_t Count(const std::vector<std::string>& lines, const std::string& part)
{
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(part) != std::string::npos; }));
}

} // namespace

class HistoryIntegration : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = std::make_unique<fakes::TempFolder>("corvella-history");
        m_root = m_folder->root();
        ::chmod(m_root.c_str(), 0755);
        m_history = m_root + "/BackupHistory.db";
    }
    void TearDown() override
    {
        m_server.reset();
        m_folder.reset();
    }

    void startServer(int backupDelayMs = 0)
    {
        fakes::TdsTestServer::Options options;
        options.databases = {"Sales", "Stock"};
        options.backupSize = 4096;
        options.backupDelayMs = backupDelayMs;
        m_server = std::make_unique<fakes::TdsTestServer>(options);
        ASSERT_TRUE(m_server->start()) << m_server->error();
    }

    // The settings file for `databases` (name, password), every hour, below
    // <root>/backups; `options` are extra lines of section OPTIONS.
    std::string writeConfig(const std::vector<std::pair<std::string, std::string>>& databases,
                            const std::string& server = {}, const std::string& options = {})
    {
        const std::string file = m_root + "/BackupConfig.ini";
        integration::WriteSettings(file, server.empty() ? m_server->dataSource() : server, databases,
                                   m_root + "/backups");
        if (!options.empty())
            std::ofstream(file, std::ios::app) << "[OPTIONS]\r\n" << options;
        return file;
    }

    std::unique_ptr<fakes::TempFolder> m_folder;
    std::string m_root;
    std::string m_history;
    std::unique_ptr<fakes::TdsTestServer> m_server;
};

// Each state of the monitoring convention, from a history written the way
// the program writes it, with times around the real clock.
TEST_F(HistoryIntegration, CheckAndStatusJudgeEveryDatabaseWithTheMonitoringExitCodes)
{
    std::string config = writeConfig({{"Sales", "x"}}, "sql1.example,1433");
    const auto check = [&](const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--check", "--config", config};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunToEnd(m_root, args);
    };

    Finished none = check();
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_EQ(none.out, "CORVELLA UNKNOWN - no run history at '" + m_history + "': No such file or directory\n");

    auto opened = history::HistoryStore::open(m_history, history::HistoryStore::Access::ReadWrite);
    ASSERT_TRUE(opened.store) << opened.error;
    const auto record = [&](const std::string& database, history::Millis startedAgo, Outcome outcome,
                            const std::string& error = {}) {
        history::RunRecord run;
        run.database = database;
        run.server = "sql1.example,1433";
        run.startedAt = Now() - startedAgo;
        run.endedAt = run.startedAt + kMinute;
        run.outcome = outcome;
        run.errorText = error;
        std::string problem;
        ASSERT_TRUE(opened.store->recordFinish(run, problem)) << problem;
    };
    record("Sales", 11 * kMinute, Outcome::Completed);
    record("Stock", 3 * kHour + kMinute, Outcome::Completed);
    Finished ok = check();
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out, "CORVELLA OK - 1 OK | ok=1 failed=0 overdue=0\n");

    // Stock joins the list: its last good backup is 3 h old, its interval an hour.
    config = writeConfig({{"Sales", "x"}, {"Stock", "x"}}, "sql1.example,1433");
    Finished warning = check();
    EXPECT_EQ(warning.exitCode, 1);
    EXPECT_EQ(warning.out, "CORVELLA WARNING - Stock: last good backup 3 h ago; 1 OK | ok=1 failed=0 overdue=1\n");

    record("Sales", 6 * kMinute, Outcome::Failed, "Login failed for user 'backup'.");
    Finished critical = check();
    EXPECT_EQ(critical.exitCode, 2);
    EXPECT_EQ(critical.out,
              "CORVELLA CRITICAL - Sales: last run failed 5 min ago; Stock: last good backup 3 h ago; 0 OK"
              " | ok=0 failed=1 overdue=1\n");

    Finished status = RunToEnd(m_root, {"--status", "--config", config});
    EXPECT_EQ(status.exitCode, 2);
    EXPECT_THAT(status.out, StartsWith("Database  Server             Last good backup"));
    EXPECT_THAT(status.out, HasSubstr("\nStock     sql1.example,1433  "));
    EXPECT_THAT(status.out, HasSubstr("(3 h ago)"));
    EXPECT_THAT(status.out, HasSubstr("Sales (sql1.example,1433): Login failed for user 'backup'.\n"));
    EXPECT_THAT(status.out, HasSubstr("\nCORVELLA CRITICAL - Sales: last run failed 5 min ago;"));
    opened.store.reset();

    // A monitoring account that may read both files but write nowhere near
    // them, once the writer has closed the history.
    ::chmod(config.c_str(), 0644);
    if (const passwd* nobody = ::getpwnam("nobody")) {
        integration::Launch launch;
        launch.outputName = "nobody";
        launch.account = integration::Account{nobody->pw_uid, nobody->pw_gid, {nobody->pw_gid}};
        ::mkdir((m_root + "/out").c_str(), 0777);
        const auto asNobody = [&] {
            return integration::WaitForExit(integration::StartProgram(m_root + "/out",
                                                                      {"--check", "--config", config, "--history", m_history},
                                                                      launch));
        };
        EXPECT_EQ(asNobody(), 2) << ReadFile(m_root + "/out/nobody.out") << ReadFile(m_root + "/out/nobody.err");
        // Even once something removed the files beside it.
        fs::remove(m_history + "-wal");
        fs::remove(m_history + "-shm");
        EXPECT_EQ(asNobody(), 2) << ReadFile(m_root + "/out/nobody.out") << ReadFile(m_root + "/out/nobody.err");
        EXPECT_FALSE(fs::exists(m_history + "-shm"));
    }

    // What cannot be read is UNKNOWN, and says why.
    Finished noSettings = RunToEnd(m_root, {"--check", "--config", m_root + "/absent.ini"});
    EXPECT_EQ(noSettings.exitCode, 3);
    EXPECT_THAT(noSettings.out, StartsWith("CORVELLA UNKNOWN - cannot read the configuration file '" + m_root
                                           + "/absent.ini': No such file or directory"));
    std::ofstream(m_root + "/garbage.db") << std::string(4096, 'g');
    Finished damaged = check({"--history", m_root + "/garbage.db"});
    EXPECT_EQ(damaged.exitCode, 3);
    EXPECT_THAT(damaged.out, StartsWith("CORVELLA UNKNOWN - cannot read the run history '" + m_root + "/garbage.db'"));
    EXPECT_EQ(ReadFile(m_root + "/garbage.db"), std::string(4096, 'g'));
}

// Backups by one process, read back by the next ones: the grid of a restart
// is empty, the history is not.
TEST_F(HistoryIntegration, RunsAreRecordedByOneCopyAndReadBackByTheNext)
{
    startServer();
    const std::string metrics = m_root + "/metrics/corvella.prom";
    fs::create_directories(m_root + "/metrics");
    const std::string config = writeConfig({{"Sales", "Backup#2024"}, {"Stock", "Backup#2024"}}, {},
                                           "METRICS_FILE=metrics/corvella.prom\r\n");
    Finished first = RunToEnd(m_root, {"--backup-now", "--config", config});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    writeConfig({{"Sales", "wrong"}, {"Stock", "Backup#2024"}}, {}, "METRICS_FILE=metrics/corvella.prom\r\n");
    Finished second = RunToEnd(m_root, {"--backup-now", "--config", config});
    ASSERT_EQ(second.exitCode, 1);

    const auto all = Summaries(m_history);
    const auto* sales = Find(all, "Sales");
    const auto* stock = Find(all, "Stock");
    ASSERT_TRUE(sales && stock);
    EXPECT_EQ(sales->server, m_server->dataSource());
    ASSERT_TRUE(sales->lastFinished && sales->lastSuccess);
    EXPECT_EQ(sales->lastFinished->outcome, Outcome::Failed);
    EXPECT_THAT(sales->lastFinished->errorText, HasSubstr("Login failed"));
    EXPECT_EQ(sales->lastSuccess->backupBytes, 4096);
    EXPECT_EQ(sales->lastSuccess->backupFile, "Sales.Bak");
    EXPECT_EQ(sales->lastSuccess->statusText, "Backup completed");
    EXPECT_GE(*sales->lastSuccess->endedAt, sales->lastSuccess->startedAt);
    EXPECT_EQ(stock->totals[static_cast<int>(Outcome::Completed)], 2);

    Finished check = RunToEnd(m_root, {"--check", "--config", config});
    EXPECT_EQ(check.exitCode, 2);
    EXPECT_THAT(check.out, StartsWith("CORVELLA CRITICAL - Sales: last run failed 1 min ago; 1 OK |"));

    // The metrics of the last runs, as Prometheus reads them.
    const std::string text = ReadFile(metrics);
    const std::string labels = "{database=\"Sales\",server=\"" + m_server->dataSource() + "\"}";
    EXPECT_THAT(text, HasSubstr("corvella_last_run_success" + labels + " 0\n"));
    EXPECT_THAT(text, HasSubstr("corvella_last_backup_bytes" + labels + " 4096\n"));
    EXPECT_THAT(text, HasSubstr("corvella_runs_total{database=\"Stock\",server=\"" + m_server->dataSource()
                                + "\",result=\"completed\"} 2\n"));
    const int promtool = std::system(("promtool check metrics < '" + metrics + "' >/dev/null 2>&1").c_str());
    EXPECT_EQ(promtool, 0);
}

TEST_F(HistoryIntegration, ACopyKilledMidRunLeavesAnInterruptedRunNotACompletedOne)
{
    startServer(60'000);
    const std::string config = writeConfig({{"Sales", "Backup#2024"}});
    const pid_t pid = integration::StartProgram(m_root, {"--backup-now", "--config", config});
    bool started = false;
    for (int i = 0; i < 1500 && !started; ++i) {
        const auto all = Summaries(m_history);
        const auto* sales = Find(all, "Sales");
        started = sales && sales->lastRun && sales->lastRun->running;
        if (!started)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(started) << "the run never showed as running";
    ::kill(pid, SIGKILL);
    EXPECT_EQ(integration::WaitForExit(pid), 128 + SIGKILL);

    auto all = Summaries(m_history);
    const auto* sales = Find(all, "Sales");
    ASSERT_TRUE(sales && sales->lastRun);
    EXPECT_EQ(sales->lastRun->outcome, Outcome::Interrupted);
    EXPECT_FALSE(sales->lastSuccess);
    Finished status = RunToEnd(m_root, {"--status", "--config", config});
    EXPECT_THAT(status.out, HasSubstr("interrupted "));
    EXPECT_EQ(status.exitCode, 0) << "a first run that was cut short is not yet a failure\n" << status.out;

    // The next copy marks it for good, says so, and backs up (through a
    // quick server, on another port: another server as the history sees it).
    const std::string slowServer = m_server->dataSource();
    m_server->stop();
    startServer();
    writeConfig({{"Sales", "Backup#2024"}});
    Finished next = RunToEnd(m_root, {"--backup-now", "--config", config});
    EXPECT_EQ(next.exitCode, 0) << next.err;
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_EQ(Count(log, "1 run(s) of an earlier process marked as interrupted in the run history"), 1u);
    all = Summaries(m_history);
    ASSERT_EQ(all.size(), 2u);
    const auto& killed = all[0].server == slowServer ? all[0] : all[1];
    const auto& quick = all[0].server == slowServer ? all[1] : all[0];
    EXPECT_EQ(killed.totals[static_cast<int>(Outcome::Interrupted)], 1);
    EXPECT_FALSE(killed.lastSuccess);
    EXPECT_TRUE(quick.lastSuccess);
    EXPECT_EQ(quick.totals[static_cast<int>(Outcome::Completed)], 1);
}

// Whatever is wrong with the history, the backups are made, and each run
// says once in the log why it was not recorded.
TEST_F(HistoryIntegration, AHistoryThatCannotBeWrittenNeverStopsABackup)
{
    startServer();
    const std::string config = writeConfig({{"Sales", "Backup#2024"}, {"Stock", "Backup#2024"}});
    const auto backUp = [&](const std::string& name, const std::vector<std::string>& extra = {},
                            integration::Launch launch = {}) {
        fs::remove_all(m_root + "/backups");
        fs::remove(m_root + "/BackupLog.log");
        std::vector<std::string> args = {"--backup-now", "--config", config};
        args.insert(args.end(), extra.begin(), extra.end());
        launch.outputName = name;
        const Finished outcome = RunToEnd(m_root, args, launch);
        EXPECT_EQ(outcome.exitCode, 0) << name << ": " << outcome.err << outcome.out;
        EXPECT_TRUE(fs::exists(m_root + "/backups/Sales/Sales.Bak")) << name;
        EXPECT_TRUE(fs::exists(m_root + "/backups/Stock/Stock.Bak")) << name;
    };
    const auto logLines = [&] { return fakes::ReadLogMessages(m_root + "/BackupLog.log"); };

    // Damaged: moved aside, and a new history takes the runs.
    std::ofstream(m_history) << std::string(10000, '\x7f');
    backUp("damaged");
    EXPECT_EQ(Count(logLines(), "was damaged"), 1u);
    auto all = Summaries(m_history);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[0].lastSuccess && all[1].lastSuccess);

    // In a folder that does not exist.
    backUp("missing folder", {"--history", m_root + "/no/such/folder/BackupHistory.db"});
    EXPECT_EQ(Count(logLines(), "Run history not written for database Sales (the backup goes on): cannot open the run "
                                "history '" + m_root + "/no/such/folder/BackupHistory.db'"),
              1u);

    // On a full disk: the started row does not fit.
    integration::Launch full;
    full.maxFileSize = 16 * 1024;
    const std::string small = m_root + "/small.db";
    {
        auto opened = history::HistoryStore::open(small, history::HistoryStore::Access::ReadWrite);
        ASSERT_TRUE(opened.store);
    }
    backUp("full", {"--history", small}, full);
    EXPECT_EQ(Count(logLines(), "Run history not written for database Sales (the backup goes on)"), 1u);
    EXPECT_EQ(Count(logLines(), "Run history not written for database Stock (the backup goes on)"), 1u);

    // Read-only for the account the program runs as.
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_TRUE(nobody);
    const std::string before = ReadFile(m_history);
    ::chmod(m_history.c_str(), 0644);
    for (const std::string& beside : {m_history + "-wal", m_history + "-shm"})
        ::chmod(beside.c_str(), 0644);
    ASSERT_EQ(::chown(m_root.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    integration::Launch readOnly;
    readOnly.account = integration::Account{nobody->pw_uid, nobody->pw_gid, {nobody->pw_gid}};
    ::chmod(config.c_str(), 0644);
    backUp("read-only", {}, readOnly);
    EXPECT_EQ(Count(logLines(), "Run history not written for database Sales (the backup goes on): cannot write the run "
                                "history '" + m_history + "': the file is read-only"),
              1u);
    EXPECT_EQ(Count(logLines(), "Run history not written for database "), 2u);
    EXPECT_EQ(ReadFile(m_history), before);
}

#endif // CORVELLA_BINARY
