// The run history against real SQLite files: what a restart reads back, what
// a killed process leaves, and the files a history meets on a real host.

#include "history/HistoryStore.h"

#include "fakes/TempFolder.h"

#include <gmock/gmock.h>
#include <sqlite3.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using history::HistoryStore;
using history::Outcome;
using history::RunRecord;
using ::testing::HasSubstr;

namespace {

constexpr history::Millis kDay = 24LL * 3600 * 1000;
constexpr history::Millis kNow = 1'720'000'000'000; // July 2024

RunRecord MakeRun(const std::string& database, history::Millis started, Outcome outcome, history::Millis seconds = 60)
{
    RunRecord run;
    run.database = database;
    run.server = "sql1.example,1433";
    run.startedAt = started;
    run.endedAt = started + seconds * 1000;
    run.outcome = outcome;
    return run;
}

std::unique_ptr<HistoryStore> Open(const std::string& path, HistoryStore::Access access = HistoryStore::Access::ReadWrite)
{
    HistoryStore::Opened opened = HistoryStore::open(path, access);
    EXPECT_TRUE(opened.store) << opened.error;
    return std::move(opened.store);
}

// Runs `sql` on its own connection; returns the first column of the first row.
std::string Query(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    std::string value;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK
        && sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0))
        value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

const history::DatabaseSummary* Find(const std::vector<history::DatabaseSummary>& all, const std::string& database)
{
    for (const auto& summary : all) {
        if (summary.database == database)
            return &summary;
    }
    return nullptr;
}

class HistoryStoreTest : public ::testing::Test {
protected:
    fakes::TempFolder m_folder{"corvella-history"};
    std::string m_path = m_folder.path(history::kHistoryFileName);
};

TEST_F(HistoryStoreTest, RunsRecordedByOneProcessAreReadBackWholeByTheNext)
{
    {
        auto store = Open(m_path);
        ASSERT_TRUE(store);
        std::string error;
        RunRecord good = MakeRun("Ventes_été", kNow - 2 * kDay, Outcome::Completed, 95);
        good.id = store->recordStart(good, error);
        ASSERT_NE(good.id, 0) << error;
        good.statusText = "Zip Completed";
        good.backupFile = "Ventes_été20240703101500.zip";
        good.backupBytes = 5'000'000'000; // past 32 bits
        good.archiveBytes = 1'200'000'000;
        good.verification = "passed";
        good.restoreTest = "passed";
        good.restoreTestAt = kNow - 2 * kDay + 200'000;
        good.mailStatus = "Email Sent";
        ASSERT_TRUE(store->recordFinish(good, error)) << error;

        RunRecord bad = MakeRun("Ventes_été", kNow - kDay, Outcome::Failed, 3);
        bad.id = store->recordStart(bad, error);
        bad.statusText = bad.errorText = "Cannot open backup device. Operating system error 5(Access is denied.).";
        ASSERT_TRUE(store->recordFinish(bad, error)) << error;

        // A run whose start could not be recorded still gets its row.
        RunRecord unstarted = MakeRun("Stock", kNow - kDay, Outcome::Stopped);
        ASSERT_TRUE(store->recordFinish(unstarted, error)) << error;
        EXPECT_NE(unstarted.id, 0);
    }
    EXPECT_TRUE(fs::exists(m_path + "-wal")) << "kept for readers that cannot create it";
    EXPECT_EQ(Query(m_path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(Query(m_path, "PRAGMA user_version"), std::to_string(history::kSchemaVersion));

    auto reader = Open(m_path, HistoryStore::Access::ReadOnly);
    ASSERT_TRUE(reader);
    std::vector<history::DatabaseSummary> all;
    std::string error;
    ASSERT_TRUE(reader->summaries(all, error)) << error;
    ASSERT_EQ(all.size(), 2u);
    const auto* sales = Find(all, "Ventes_été");
    ASSERT_TRUE(sales);
    EXPECT_EQ(sales->server, "sql1.example,1433");
    ASSERT_TRUE(sales->lastRun && sales->lastFinished && sales->lastSuccess);
    EXPECT_EQ(sales->lastRun->outcome, Outcome::Failed);
    EXPECT_EQ(sales->lastFinished->errorText, "Cannot open backup device. Operating system error 5(Access is denied.).");
    EXPECT_EQ(sales->lastSuccess->backupBytes, 5'000'000'000);
    EXPECT_EQ(sales->lastSuccess->duration(), 95'000);
    EXPECT_EQ(sales->firstRunAt, kNow - 2 * kDay);
    EXPECT_EQ(sales->totals[static_cast<int>(Outcome::Completed)], 1);
    EXPECT_EQ(sales->totals[static_cast<int>(Outcome::Failed)], 1);
    EXPECT_EQ(Find(all, "Stock")->totals[static_cast<int>(Outcome::Stopped)], 1);

    std::vector<RunRecord> runs;
    ASSERT_TRUE(reader->runs("Ventes_été", "sql1.example,1433", 10, runs, error)) << error;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].outcome, Outcome::Failed);
    const RunRecord& good = runs[1];
    EXPECT_EQ(good.backupFile, "Ventes_été20240703101500.zip");
    EXPECT_EQ(good.archiveBytes, 1'200'000'000);
    EXPECT_EQ(good.verification, "passed");
    EXPECT_EQ(good.restoreTest, "passed");
    EXPECT_EQ(good.restoreTestAt, kNow - 2 * kDay + 200'000);
    EXPECT_EQ(good.mailStatus, "Email Sent");
    EXPECT_EQ(good.statusText, "Zip Completed");

    // Readers change nothing.
    EXPECT_EQ(reader->recordStart(MakeRun("Sales", kNow, Outcome::Started), error), 0);
}

TEST_F(HistoryStoreTest, AStartedRunIsRunningWhileItsProcessLivesAndInterruptedOnceItIsKilled)
{
    auto store = Open(m_path);
    ASSERT_TRUE(store);
    std::string error;
    ASSERT_NE(store->recordStart(MakeRun("Mine", kNow, Outcome::Started), error), 0) << error;

    const pid_t child = fork();
    if (child == 0) {
        HistoryStore::Opened opened = HistoryStore::open(m_path, HistoryStore::Access::ReadWrite);
        std::string childError;
        if (!opened.store || opened.store->recordStart(MakeRun("Sales", kNow, Outcome::Started), childError) == 0)
            _exit(1);
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child could not record its run";

    auto reader = Open(m_path, HistoryStore::Access::ReadOnly);
    std::vector<history::DatabaseSummary> all;
    ASSERT_TRUE(reader->summaries(all, error)) << error;
    const auto* killed = Find(all, "Sales");
    ASSERT_TRUE(killed && killed->lastRun);
    EXPECT_EQ(killed->lastRun->outcome, Outcome::Interrupted);
    EXPECT_FALSE(killed->lastRun->running);
    ASSERT_TRUE(killed->lastFinished);
    EXPECT_EQ(killed->lastFinished->outcome, Outcome::Interrupted);
    EXPECT_FALSE(killed->lastSuccess);
    const auto* mine = Find(all, "Mine");
    ASSERT_TRUE(mine && mine->lastRun);
    EXPECT_TRUE(mine->lastRun->running);
    EXPECT_EQ(mine->lastRun->outcome, Outcome::Started);
    EXPECT_FALSE(mine->lastFinished);

    // The next writer marks it for good and counts it, and leaves ours alone.
    HistoryStore::Opened next = HistoryStore::open(m_path, HistoryStore::Access::ReadWrite);
    ASSERT_TRUE(next.store) << next.error;
    ASSERT_EQ(next.notes.size(), 1u);
    EXPECT_THAT(next.notes[0], HasSubstr("1 run(s) of an earlier process marked as interrupted"));
    EXPECT_EQ(Query(m_path, "SELECT result FROM runs WHERE database_name = 'Sales'"), "interrupted");
    EXPECT_EQ(Query(m_path, "SELECT result FROM runs WHERE database_name = 'Mine'"), "started");
    EXPECT_EQ(Query(m_path, "SELECT interrupted FROM databases WHERE database_name = 'Sales'"), "1");
}

TEST_F(HistoryStoreTest, ADamagedFileIsMovedAsideWithItsWalAndANewHistoryBegins)
{
    // A file that is no database at all.
    m_folder.write(history::kHistoryFileName, std::string(8192, 'x'));
    m_folder.write(std::string(history::kHistoryFileName) + "-wal", "stale");
    EXPECT_THAT(HistoryStore::open(m_path, HistoryStore::Access::ReadOnly).error, HasSubstr("cannot read the run history"));

    HistoryStore::Opened opened = HistoryStore::open(m_path, HistoryStore::Access::ReadWrite);
    ASSERT_TRUE(opened.store) << opened.error;
    ASSERT_EQ(opened.notes.size(), 1u);
    EXPECT_THAT(opened.notes[0], HasSubstr("was damaged"));
    std::string aside;
    for (const std::string& name : m_folder.entries()) {
        if (name.find(".damaged-") != std::string::npos && name.find("-wal") == std::string::npos)
            aside = name;
    }
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(m_folder.read(aside), std::string(8192, 'x'));
    EXPECT_EQ(m_folder.read(aside + "-wal"), "stale");
    std::string error;
    RunRecord run = MakeRun("Sales", kNow, Outcome::Completed);
    EXPECT_TRUE(opened.store->recordFinish(run, error)) << error;
    opened.store.reset();

    // A real history whose pages were overwritten: the damage shows on the
    // first rows a writer reads, and the same happens.
    {
        auto store = Open(m_path);
        for (int i = 0; i < 400; ++i) {
            RunRecord more = MakeRun("Database" + std::to_string(i), kNow + i, Outcome::Started);
            ASSERT_NE(store->recordStart(more, error), 0) << error;
        }
    }
    ASSERT_EQ(Query(m_path, "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
    {
        std::fstream file(m_path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096);
        const std::string garbage(static_cast<std::size_t>(fs::file_size(m_path)) - 4096, '\x5a');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    opened = HistoryStore::open(m_path, HistoryStore::Access::ReadWrite);
    ASSERT_TRUE(opened.store) << opened.error;
    ASSERT_EQ(opened.notes.size(), 1u);
    EXPECT_THAT(opened.notes[0], HasSubstr("was damaged"));
    std::vector<history::DatabaseSummary> all;
    ASSERT_TRUE(opened.store->summaries(all, error)) << error;
    EXPECT_TRUE(all.empty());
}

TEST_F(HistoryStoreTest, AFileOfANewerVersionIsReadButNeverWritten)
{
    {
        auto store = Open(m_path);
        std::string error;
        RunRecord run = MakeRun("Sales", kNow, Outcome::Completed);
        ASSERT_TRUE(store->recordFinish(run, error)) << error;
    }
    Query(m_path, "PRAGMA user_version = 7");
    const auto sizeBefore = fs::file_size(m_path);

    HistoryStore::Opened writer = HistoryStore::open(m_path, HistoryStore::Access::ReadWrite);
    EXPECT_FALSE(writer.store);
    EXPECT_THAT(writer.error, HasSubstr("newer version of Corvella (schema 7"));
    EXPECT_EQ(Query(m_path, "PRAGMA user_version"), "7");
    EXPECT_EQ(fs::file_size(m_path), sizeBefore);

    auto reader = Open(m_path, HistoryStore::Access::ReadOnly);
    ASSERT_TRUE(reader);
    std::vector<history::DatabaseSummary> all;
    std::string error;
    ASSERT_TRUE(reader->summaries(all, error)) << error;
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all[0].lastSuccess);

    // And a reader finds no history where there is none, and says so.
    EXPECT_THAT(HistoryStore::open(m_folder.path("missing.db"), HistoryStore::Access::ReadOnly).error,
                HasSubstr("no run history at"));
    EXPECT_FALSE(fs::exists(m_folder.path("missing.db")));
}

TEST_F(HistoryStoreTest, PruningDropsOldRunsButKeepsEachDatabasesNewestRunAndNewestSuccess)
{
    auto store = Open(m_path);
    std::string error;
    const history::Millis cutoff = kNow - history::kKeepDays * kDay;
    const auto add = [&](const std::string& database, history::Millis started, Outcome outcome) {
        RunRecord run = MakeRun(database, started, outcome);
        ASSERT_TRUE(store->recordFinish(run, error)) << error;
    };
    // Sales: runs on both sides of the cutoff.
    add("Sales", cutoff - 3 * kDay, Outcome::Completed);
    add("Sales", cutoff - 2 * kDay, Outcome::Failed);
    add("Sales", cutoff + kDay, Outcome::Completed);
    // Stock: its only success is older than the cutoff and must stay the
    // proof of its last good backup, as must its newest (failed) run.
    add("Stock", cutoff - 9 * kDay, Outcome::Completed);
    add("Stock", cutoff - 8 * kDay, Outcome::Failed);
    add("Stock", cutoff - 7 * kDay, Outcome::Failed);

    EXPECT_EQ(store->prune(cutoff, error), 3) << error;
    std::vector<history::DatabaseSummary> all;
    ASSERT_TRUE(store->summaries(all, error)) << error;
    const auto* sales = Find(all, "Sales");
    const auto* stock = Find(all, "Stock");
    ASSERT_TRUE(sales && stock);
    EXPECT_EQ(sales->firstRunAt, cutoff + kDay);
    ASSERT_TRUE(stock->lastSuccess && stock->lastRun);
    EXPECT_EQ(stock->lastSuccess->startedAt, cutoff - 9 * kDay);
    EXPECT_EQ(stock->lastRun->startedAt, cutoff - 7 * kDay);
    // Counters never go back.
    EXPECT_EQ(stock->totals[static_cast<int>(Outcome::Failed)], 2);
    EXPECT_EQ(sales->totals[static_cast<int>(Outcome::Completed)], 2);
}

TEST_F(HistoryStoreTest, AWriterWaitsForALockHeldElsewhereThenGivesUpWithTheReason)
{
    auto store = Open(m_path);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(m_path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    std::string error;
    RunRecord run = MakeRun("Sales", kNow, Outcome::Started);
    EXPECT_EQ(store->recordStart(run, error), 0);
    EXPECT_THAT(error, HasSubstr("database is locked"));
    EXPECT_FALSE(store->isDamaged());

    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_NE(store->recordStart(run, error), 0) << error;
}

} // namespace
