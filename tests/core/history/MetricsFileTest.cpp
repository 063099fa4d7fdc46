// The Prometheus textfile, checked by Prometheus' own promtool, and the alert
// rules the package ships, checked and fired by promtool's rule tests.

#include "history/MetricsFile.h"

#include "fakes/TempFolder.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using history::Millis;
using history::Outcome;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr Millis kNow = 1'720'000'000'000;

struct Result {
    int exitCode = -1;
    std::string output;
};

Result Shell(const std::string& command)
{
    Result result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

history::RunRecord Finished(Outcome outcome, Millis started, Millis durationMs)
{
    history::RunRecord run;
    run.outcome = outcome;
    run.startedAt = started;
    run.endedAt = started + durationMs;
    return run;
}

TEST(MetricsFile, TheTextfileParsesWithPromtoolAndCarriesTheLastRuns)
{
    history::DatabaseSummary sales;
    sales.database = "Sales";
    sales.server = "sql1.example,1433";
    sales.lastSuccess = Finished(Outcome::Completed, kNow - 3'600'000, 95'250);
    sales.lastSuccess->backupBytes = 5'000'000'000;
    sales.lastSuccess->archiveBytes = 900'000'000;
    sales.lastRun = sales.lastFinished = Finished(Outcome::Failed, kNow - 60'000, 2'000);
    sales.totals[static_cast<int>(Outcome::Completed)] = 40;
    sales.totals[static_cast<int>(Outcome::Failed)] = 2;

    // Names the settings file may hold: quotes, backslashes, a line break,
    // a Windows-1252 byte that is no UTF-8, and plain UTF-8.
    history::DatabaseSummary odd;
    odd.database = "We\"ird\\Name\nline";
    odd.server = "SRV\\INST";
    odd.lastRun = odd.lastFinished = odd.lastSuccess = Finished(Outcome::Completed, kNow - 7'200'000, 1'000);
    odd.totals[static_cast<int>(Outcome::Completed)] = 1;
    const std::vector<history::WatchedDatabase> watched = {
        {"Sales", "sql1.example,1433", 60}, {odd.database, odd.server, 60}, {"Caf\xE9", "sql1", 60},
        {"Ventes_été", "sql1", 60}, {"Sales", "sql1.example,1433", 60},
    };
    const std::string text = history::RenderMetrics(watched, {sales, odd});

    fakes::TempFolder folder("corvella-metrics");
    const std::string path = folder.path("corvella.prom");
    std::string error;
    ASSERT_TRUE(history::WriteMetricsFile(path, text, error)) << error;
    const Result check = Shell("promtool check metrics < '" + path + "'");
    EXPECT_EQ(check.exitCode, 0) << check.output << "\n" << text;

    const std::string labels = "{database=\"Sales\",server=\"sql1.example,1433\"}";
    EXPECT_THAT(text, HasSubstr("corvella_last_success_timestamp_seconds" + labels + " 1719996495.250\n"));
    EXPECT_THAT(text, HasSubstr("corvella_last_run_timestamp_seconds" + labels + " 1719999940\n"));
    EXPECT_THAT(text, HasSubstr("corvella_last_run_success" + labels + " 0\n"));
    EXPECT_THAT(text, HasSubstr("corvella_last_run_duration_seconds" + labels + " 2\n"));
    EXPECT_THAT(text, HasSubstr("corvella_last_backup_bytes" + labels + " 5000000000\n"));
    EXPECT_THAT(text, HasSubstr("corvella_last_archive_bytes" + labels + " 900000000\n"));
    EXPECT_THAT(text, HasSubstr("corvella_runs_total{database=\"Sales\",server=\"sql1.example,1433\",result=\"failed\"} 2\n"));
    EXPECT_THAT(text, HasSubstr("# TYPE corvella_runs_total counter\n"));
    EXPECT_THAT(text, HasSubstr("corvella_last_run_success{database=\"We\\\"ird\\\\Name\\nline\",server=\"SRV\\\\INST\"} 1\n"));
    EXPECT_THAT(text, HasSubstr("{database=\"Caf\xEF\xBF\xBD\",server=\"sql1\"}"));
    // A database that never ran: no good backup, and no last-run values to mislead.
    EXPECT_THAT(text, HasSubstr("corvella_last_success_timestamp_seconds{database=\"Ventes_été\",server=\"sql1\"} 0\n"));
    EXPECT_THAT(text, Not(HasSubstr("corvella_last_run_success{database=\"Ventes_été\"")));
    // Listed twice, written once.
    std::size_t count = 0;
    for (std::size_t at = text.find("corvella_last_run_success" + labels); at != std::string::npos;
         at = text.find("corvella_last_run_success" + labels, at + 1))
        ++count;
    EXPECT_EQ(count, 1u);
}

TEST(MetricsFile, TheFileIsReplacedWholeAndReadableOrLeftAsItWas)
{
    fakes::TempFolder folder("corvella-metrics");
    const std::string path = folder.path("corvella.prom");
    folder.write("corvella.prom", "old\n");
    const mode_t previous = ::umask(077);
    std::string error;
    const bool written = history::WriteMetricsFile(path, "new\n", error);
    ::umask(previous);
    ASSERT_TRUE(written) << error;
    EXPECT_EQ(folder.read("corvella.prom"), "new\n");
    EXPECT_EQ(folder.mode("corvella.prom"), 0644u);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"corvella.prom"});

    // The folder is a file: nothing can be written, and the reason is given.
    folder.write("not-a-folder", "");
    EXPECT_FALSE(history::WriteMetricsFile(folder.path("not-a-folder/corvella.prom"), "x\n", error));
    EXPECT_THAT(error, HasSubstr("Not a directory"));
    // The target is a folder: the rename fails and the temporary file goes.
    fs::create_directory(folder.path("taken.prom"));
    fs::create_directory(folder.path("taken.prom/inside"));
    EXPECT_FALSE(history::WriteMetricsFile(folder.path("taken.prom"), "x\n", error));
    EXPECT_THAT(error, HasSubstr("cannot replace the metrics file"));
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"corvella.prom", "not-a-folder", "taken.prom"}));
}

TEST(MetricsFile, TheShippedAlertRulesAreValidAndFireWhenTheyShould)
{
    const std::string rules = std::string(CORVELLA_SOURCE_DIR) + "/packaging/prometheus/corvella-alerts.yml";
    const Result check = Shell("promtool check rules '" + rules + "'");
    ASSERT_EQ(check.exitCode, 0) << check.output;

    // Two hosts over 28 hours, scraped every minute: db1 backs Sales up all
    // the time and its run at 10 h failed; db2 has never completed a backup
    // of Stock.
    fakes::TempFolder folder("corvella-rules");
    folder.write("test.yml",
                 "rule_files:\n"
                 "  - '" + rules + "'\n"
                 "evaluation_interval: 1m\n"
                 "tests:\n"
                 "  - interval: 1m\n"
                 "    input_series:\n"
                 "      - series: 'corvella_last_success_timestamp_seconds{database=\"Sales\",server=\"sql1\",instance=\"db1\"}'\n"
                 "        values: '0+60x1700'\n"
                 "      - series: 'corvella_last_success_timestamp_seconds{database=\"Stock\",server=\"sql2\",instance=\"db2\"}'\n"
                 "        values: '0x1700'\n"
                 "      - series: 'corvella_last_run_success{database=\"Sales\",server=\"sql1\",instance=\"db1\"}'\n"
                 "        values: '1x599 0x10 1x1100'\n"
                 "    alert_rule_test:\n"
                 "      - eval_time: 25h\n"
                 "        alertname: CorvellaNoGoodBackup\n"
                 "        exp_alerts: []\n"
                 "      - eval_time: 27h\n"
                 "        alertname: CorvellaNoGoodBackup\n"
                 "        exp_alerts:\n"
                 "          - exp_labels: {severity: critical, database: Stock, server: sql2, instance: db2}\n"
                 "            exp_annotations:\n"
                 "              summary: 'No good backup of Stock in 26 hours'\n"
                 "              description: 'The newest completed backup of Stock on server sql2 (host db2) is 1d 3h 0m 0s old, or there is none.'\n"
                 "      - eval_time: 10h5m\n"
                 "        alertname: CorvellaLastRunFailed\n"
                 "        exp_alerts:\n"
                 "          - exp_labels: {severity: warning, database: Sales, server: sql1, instance: db1}\n"
                 "            exp_annotations:\n"
                 "              summary: 'The last backup run of Sales did not complete'\n"
                 "              description: 'The newest run for Sales on server sql1 (host db1) failed or was cut short; corvella --status on that host says why.'\n"
                 "      - eval_time: 12h\n"
                 "        alertname: CorvellaLastRunFailed\n"
                 "        exp_alerts: []\n");
    const Result fire = Shell("promtool test rules '" + folder.path("test.yml") + "'");
    EXPECT_EQ(fire.exitCode, 0) << fire.output;
}

} // namespace
