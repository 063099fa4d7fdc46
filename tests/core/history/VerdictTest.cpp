// What `--check` and `--status` conclude from the history, at a fixed time.

#include "history/Verdict.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <ctime>

using history::DatabaseSummary;
using history::Health;
using history::Millis;
using history::Outcome;
using history::RunRecord;
using history::WatchedDatabase;
using ::testing::HasSubstr;

namespace {

constexpr Millis kSecond = 1000;
constexpr Millis kMinute = 60 * kSecond;
constexpr Millis kHour = 60 * kMinute;
constexpr Millis kNow = 1'720'000'000'000;

RunRecord Finished(Outcome outcome, Millis endedAgo, Millis took = 5 * kMinute)
{
    RunRecord run;
    run.outcome = outcome;
    run.endedAt = kNow - endedAgo;
    run.startedAt = *run.endedAt - took;
    return run;
}

// A summary whose newest finished run is `last`, with `success` as its newest
// completed one (when given) and its first run at `first`.
DatabaseSummary Known(const std::string& name, std::optional<RunRecord> last, std::optional<RunRecord> success,
                      std::optional<Millis> firstAgo = std::nullopt)
{
    DatabaseSummary summary;
    summary.database = name;
    summary.server = "sql1";
    summary.lastRun = summary.lastFinished = last;
    summary.lastSuccess = success;
    if (firstAgo)
        summary.firstRunAt = kNow - *firstAgo;
    else if (last)
        summary.firstRunAt = last->startedAt;
    return summary;
}

class VerdictTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
};

TEST_F(VerdictTest, EachDatabaseIsJudgedByItsLastRunAndItsLastGoodBackup)
{
    struct Case {
        const char* what;
        int interval;
        DatabaseSummary summary;
        Health health;
        const char* problem;
    };
    RunRecord running;
    running.startedAt = kNow - 30 * kMinute;
    running.running = true;
    DatabaseSummary firstRunning = Known("Sales", std::nullopt, std::nullopt, 30 * kMinute);
    firstRunning.lastRun = running;
    DatabaseSummary longFirst = firstRunning;
    longFirst.firstRunAt = kNow - 61 * kMinute;
    DatabaseSummary busyAfterGood = Known("Sales", Finished(Outcome::Completed, 30 * kMinute), Finished(Outcome::Completed, 30 * kMinute));
    busyAfterGood.lastRun = running;

    const Case cases[] = {
        {"recent good backup", 60, Known("Sales", Finished(Outcome::Completed, 30 * kMinute), Finished(Outcome::Completed, 30 * kMinute)), Health::Ok, ""},
        {"good backup exactly twice the interval plus 10 min ago", 60,
         Known("Sales", Finished(Outcome::Completed, 130 * kMinute), Finished(Outcome::Completed, 130 * kMinute)), Health::Ok, ""},
        {"one second past that", 60,
         Known("Sales", Finished(Outcome::Completed, 130 * kMinute + kSecond), Finished(Outcome::Completed, 130 * kMinute + kSecond)),
         Health::Overdue, "Sales: last good backup 2 h ago"},
        {"last run failed", 60, Known("Sales", Finished(Outcome::Failed, 2 * kHour), Finished(Outcome::Completed, 3 * kHour)),
         Health::Failed, "Sales: last run failed 2 h ago"},
        {"failed right after a good backup", 60,
         Known("Sales", Finished(Outcome::Failed, 5 * kMinute), Finished(Outcome::Completed, 20 * kMinute)), Health::Failed,
         "Sales: last run failed 5 min ago"},
        {"never ran", 60, Known("Sales", std::nullopt, std::nullopt), Health::Never, "Sales: never backed up"},
        {"first run under way", 60, firstRunning, Health::Pending, ""},
        {"first run under way longer than the interval", 60, longFirst, Health::Never,
         "Sales: no good backup since its first run 1 h ago"},
        {"interrupted after an old good backup", 60,
         Known("Sales", Finished(Outcome::Interrupted, 10 * kMinute), Finished(Outcome::Completed, 3 * kHour)), Health::Overdue,
         "Sales: last good backup 3 h ago"},
        {"stopped, good backup recent", 60,
         Known("Sales", Finished(Outcome::Stopped, 10 * kMinute), Finished(Outcome::Completed, kHour)), Health::Ok, ""},
        {"interval 0 counts as one minute", 0,
         Known("Sales", Finished(Outcome::Completed, 13 * kMinute), Finished(Outcome::Completed, 13 * kMinute)), Health::Overdue,
         "Sales: last good backup 13 min ago"},
        {"running after a good backup", 60, busyAfterGood, Health::Ok, ""},
        {"days are counted in days", 24 * 60,
         Known("Sales", Finished(Outcome::Completed, 80 * kHour), Finished(Outcome::Completed, 80 * kHour)), Health::Overdue,
         "Sales: last good backup 3 d ago"},
    };
    for (const Case& c : cases) {
        const history::Verdict verdict = history::Evaluate({{"Sales", "sql1", c.interval}}, {c.summary}, kNow);
        ASSERT_EQ(verdict.databases.size(), 1u) << c.what;
        EXPECT_EQ(verdict.databases[0].health, c.health) << c.what;
        EXPECT_EQ(verdict.databases[0].problem, c.problem) << c.what;
        const history::CheckState expected = c.health == Health::Failed || c.health == Health::Never ? history::CheckState::Critical
            : c.health == Health::Overdue                                                              ? history::CheckState::Warning
                                                                                                       : history::CheckState::Ok;
        EXPECT_EQ(verdict.state, expected) << c.what;
    }
}

TEST_F(VerdictTest, TheCheckLineNamesTheWorstFirstAndCountsTheRest)
{
    std::vector<WatchedDatabase> watched;
    std::vector<DatabaseSummary> known;
    for (int i = 1; i <= 11; ++i) {
        const std::string name = "Db" + std::to_string(i);
        watched.push_back({name, "sql1", 60});
        known.push_back(Known(name, Finished(Outcome::Completed, 10 * kMinute), Finished(Outcome::Completed, 10 * kMinute)));
    }
    EXPECT_EQ(history::CheckLine(history::Evaluate(watched, known, kNow)), "CORVELLA OK - 11 OK | ok=11 failed=0 overdue=0");

    watched.push_back({"Stock", "sql1", 60});
    known.push_back(Known("Stock", Finished(Outcome::Completed, 26 * kHour), Finished(Outcome::Completed, 26 * kHour)));
    history::Verdict verdict = history::Evaluate(watched, known, kNow);
    EXPECT_EQ(history::CheckLine(verdict), "CORVELLA WARNING - Stock: last good backup 26 h ago; 11 OK | ok=11 failed=0 overdue=1");
    EXPECT_EQ(static_cast<int>(verdict.state), 1);

    watched.insert(watched.begin(), {"Sales", "sql1", 60});
    known.push_back(Known("Sales", Finished(Outcome::Failed, 2 * kHour), Finished(Outcome::Completed, 3 * kHour)));
    verdict = history::Evaluate(watched, known, kNow);
    EXPECT_EQ(history::CheckLine(verdict),
              "CORVELLA CRITICAL - Sales: last run failed 2 h ago; Stock: last good backup 26 h ago; 11 OK"
              " | ok=11 failed=1 overdue=1");
    EXPECT_EQ(static_cast<int>(verdict.state), 2);

    // Listed twice, counted once; a name on two servers is told apart.
    watched.push_back({"Sales", "sql1", 60});
    watched.push_back({"Sales", "sql2", 60});
    verdict = history::Evaluate(watched, known, kNow);
    EXPECT_EQ(verdict.databases.size(), 14u);
    EXPECT_THAT(history::CheckLine(verdict), HasSubstr("Sales (sql1): last run failed 2 h ago; Sales (sql2): never backed up;"));

    // Many problems: five named, the rest counted.
    std::vector<WatchedDatabase> broken;
    for (int i = 1; i <= 8; ++i)
        broken.push_back({"Lost" + std::to_string(i), "sql1", 60});
    EXPECT_EQ(history::CheckLine(history::Evaluate(broken, {}, kNow)),
              "CORVELLA CRITICAL - Lost1: never backed up; Lost2: never backed up; Lost3: never backed up; Lost4: never "
              "backed up; Lost5: never backed up; 3 more; 0 OK | ok=0 failed=8 overdue=0");
    // A '|' in a name would begin the performance data early.
    EXPECT_EQ(history::CheckLine(history::Evaluate({{"A|B", "sql1", 60}}, {}, kNow)),
              "CORVELLA CRITICAL - A/B: never backed up; 0 OK | ok=0 failed=1 overdue=0");

    EXPECT_EQ(history::UnknownLine("cannot read the run history 'x': file is not a database\nsecond line"),
              "CORVELLA UNKNOWN - cannot read the run history 'x': file is not a database second line");
}

TEST_F(VerdictTest, TheStatusTableShowsEveryDatabaseAndWhyItsLastRunFailed)
{
    RunRecord failed = Finished(Outcome::Failed, 2 * kHour);
    failed.errorText = "Cannot open backup device '/srv/b/Sales/temp/Sales.bak'.\nOperating system error 5.";
    const std::vector<WatchedDatabase> watched = {{"Sales", "sql1", 60}, {"Ventes_été", "sql1", 120}, {"New", "sql2", 60}};
    const std::vector<DatabaseSummary> known = {
        Known("Sales", failed, Finished(Outcome::Completed, 3 * kHour)),
        Known("Ventes_été", Finished(Outcome::Completed, 30 * kMinute, 10 * kMinute), Finished(Outcome::Completed, 30 * kMinute, 10 * kMinute)),
    };
    const std::string table = history::StatusTable(history::Evaluate(watched, known, kNow), kNow);
    // kNow is 2024-07-03 09:46:40 UTC.
    EXPECT_EQ(table,
              "Database    Server  Last good backup               Last result           Next start        State\n"
              "----------  ------  -----------------------------  --------------------  ----------------  --------------\n"
              "Sales       sql1    2024-07-03 06:46 (3 h ago)     failed 2 h ago        due               failed\n"
              "Ventes_été  sql1    2024-07-03 09:16 (30 min ago)  completed 30 min ago  2024-07-03 11:06  ok\n"
              "New         sql2    never                          no run yet            -                 no good backup\n"
              "\n"
              "Why the last run did not complete:\n"
              "  Sales (sql1): Cannot open backup device '/srv/b/Sales/temp/Sales.bak'. Operating system error 5.\n"
              "\n"
              "CORVELLA CRITICAL - Sales: last run failed 2 h ago; New: never backed up; 1 OK | ok=1 failed=2 overdue=0\n");
}

} // namespace
