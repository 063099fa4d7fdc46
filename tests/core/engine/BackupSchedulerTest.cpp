#include "EngineTestSupport.h"

#include "engine/BackupSession.h"
#include "engine/BackupScheduler.h"
#include "engine/SettingsStore.h"

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <map>
#include <thread>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

namespace {

void AddRow(config::DatabaseList& list, const std::string& name, const std::string& interval,
            const std::string& backupPath, const std::string& encodedPassword = "")
{
    const int row = list.insertRow(list.rowCount());
    list.setCell(row, config::ColSerial, std::to_string(row + 1));
    list.setCell(row, config::ColDatabaseUrl, "127.0.0.1");
    list.setCell(row, config::ColDatabaseName, name);
    list.setCell(row, config::ColUserName, "sa");
    list.setCell(row, config::ColEncodedPassword, encodedPassword);
    list.setCell(row, config::ColInterval, interval);
    list.setCell(row, config::ColBackupPath, backupPath);
    list.setCell(row, config::ColZip, "False");
    list.setCell(row, config::ColEmail, "False");
    list.setCell(row, config::ColKeepOld, "False");
}

// Counts the runs that ended, as a view of the session, and lets the test
// wait for a number of them.
class RunCounter final : public engine::BackupView {
public:
    explicit RunCounter(engine::BackupSession& session)
        : m_session(session)
    {
        m_session.addView(this);
    }
    ~RunCounter() override { m_session.removeView(this); }

    void runFinished(const engine::RunResult&) override
    {
        std::lock_guard lock(m_mutex);
        ++m_count;
        m_changed.notify_all();
    }
    bool waitFor(int count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] { return m_count >= count; });
    }
    int count()
    {
        std::lock_guard lock(m_mutex);
        return m_count;
    }

private:
    engine::BackupSession& m_session;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
};

// Waits until some database of the service is next due at `when`.
bool waitForSchedule(const engine::BackupScheduler& scheduler, engine::Clock::TimePoint when)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : scheduler.autoSchedule()) {
            if (entry.nextStart == when && !entry.waitingOrRunning)
                return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

} // namespace

TEST(ReadJobFromRow, CopiesTheRowDecodesThePasswordAndParsesTheInterval)
{
    struct Case {
        std::string text;
        std::int32_t minutes;
    };
    const Case cases[] = {
        {"30 Minutes", 30},
        {"45 Minutes", 45},
        {"2 Hours", 120},
        {"3 Hours", 180},
        {"5 minutes", 300}, // only the exact unit text means minutes
        {"15", 0},          // no blank
        {"0 Minutes", 0},
        {"99999999 Hours", std::numeric_limits<std::int32_t>::max()},
        {"-3 Hours", -180},
    };
    config::PasswordCodec codec;
    std::string encoded;
    ASSERT_EQ(codec.Encode("s3cret;}", encoded), 0);
    for (const Case& c : cases) {
        config::DatabaseList list;
        AddRow(list, " Sales ", c.text, "/srv/backup", encoded);
        list.setCell(0, config::ColZip, "True");
        list.setCell(0, config::ColEmail, "true");
        list.setCell(0, config::ColKeepOld, "True");
        const engine::BackupJob job = engine::ReadJobFromRow(list, 0, codec, nullptr);
        EXPECT_EQ(job.intervalMinutes, c.minutes) << c.text;
        EXPECT_EQ(job.databaseName, " Sales ");
        EXPECT_EQ(job.password, "s3cret;}");
        EXPECT_EQ(job.backupPath, "/srv/backup");
        EXPECT_TRUE(job.zip);
        EXPECT_FALSE(job.email);
        EXPECT_TRUE(job.keepOld);
    }
    config::DatabaseList list;
    AddRow(list, "Sales", "1 Minutes", "/srv/backup", ""); // the codec refuses empty input
    EXPECT_EQ(engine::ReadJobFromRow(list, 0, codec, nullptr).password, "");
}

TEST_F(EngineTest, EmptyListStartsNothing)
{
    engine::BackupScheduler scheduler(m_owner->session(), services());
    config::DatabaseList empty;
    EXPECT_EQ(scheduler.ManualBackup(empty), 0);
    EXPECT_EQ(scheduler.StartAutoBackupService(empty), 0);
    EXPECT_THAT(m_owner->messages(), ElementsAre("corvella: Empty databse list.", "corvella: Empty databse list."));
    EXPECT_THAT(m_owner->logMessages(), IsEmpty());
    EXPECT_THAT(m_owner->events(), IsEmpty());
    EXPECT_FALSE(scheduler.isAutoServiceRunning());
}

// Runs happen one after the other in list order; each counts as busy from
// the command until one second after it left the lock.
TEST_F(EngineTest, ManualBackupRunsEveryRowOnceInListOrderAndCountsAsBusyUntilThePauseEnds)
{
    std::mutex gateMutex;
    std::condition_variable gate;
    bool entered = false;
    bool released = false;
    m_connector.setOnExecute([&, write = fakes::ScriptedConnector::WriteBackupFile(5)](const std::string& command,
                                                                                       std::string& error) {
        std::unique_lock lock(gateMutex);
        if (command.find("[A]") != std::string::npos) {
            entered = true;
            gate.notify_all();
            gate.wait(lock, [&] { return released; });
        }
        return write(command, error);
    });
    RunCounter counter(m_owner->session());
    engine::BackupScheduler scheduler(m_owner->session(), services());
    config::DatabaseList list;
    for (const char* name : {"A", "B", "C"})
        AddRow(list, name, "30 Minutes", m_root + "/backups");

    EXPECT_EQ(scheduler.ManualBackup(list), 3);
    {
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(gate.wait_for(lock, 10s, [&] { return entered; }));
    }
    EXPECT_EQ(m_owner->backupState().runsInProgress.load(), 3);
    EXPECT_EQ(m_owner->statusJournal().rowCount(), 1); // the others wait their turn
    {
        std::lock_guard lock(gateMutex);
        released = true;
    }
    gate.notify_all();
    ASSERT_TRUE(scheduler.waitUntilIdle(10s));
    EXPECT_EQ(counter.count(), 3);
    EXPECT_EQ(m_owner->logMessages().front(), "Manual backup taken.");
    EXPECT_EQ(m_owner->logMessages().size(), 4u);
    std::vector<std::string> names;
    for (const auto& row : m_owner->statusJournal().rows()) {
        EXPECT_EQ(row[engine::StatusBackupStatus], "Backup completed");
        names.push_back(row[engine::StatusSerial] + row[engine::StatusDatabaseName]);
    }
    EXPECT_THAT(names, ElementsAre("1A", "2B", "3C"));
    // The runs were told queued before any began, each run began and ended
    // as a run of Manual Backup, and each ended run was told once.
    EXPECT_THAT(m_owner->events(),
                ElementsAre("manualRunStarted", "runsQueued A,B,C", "manualRunStarted", "runStarted 0 A",
                            "manualRunEnded", "runFinished A", "manualRunStarted", "runStarted 1 B", "manualRunEnded",
                            "runFinished B", "manualRunStarted", "runStarted 2 C", "manualRunEnded", "runFinished C"));

    // The pause after each run: busy until the clock has moved a second on.
    EXPECT_EQ(m_owner->backupState().backupBusy(), 1);
    ASSERT_TRUE(m_clock.waitForWaiters(1));
    m_clock.advance(999ms);
    ASSERT_TRUE(m_clock.waitForWaiters(1));
    EXPECT_EQ(m_owner->backupState().backupBusy(), 1);
    m_clock.advance(1ms);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (m_owner->backupState().backupBusy() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(m_owner->backupState().backupBusy(), 0);
}

TEST_F(EngineTest, AutoServiceStartsEachRunOneIntervalAfterThePreviousStartWithoutPileUp)
{
    std::mutex gateMutex;
    std::condition_variable gate;
    bool holdRuns = false;
    bool held = false;
    std::vector<engine::Clock::TimePoint> starts;
    m_connector.setOnExecute([&, write = fakes::ScriptedConnector::WriteBackupFile(5)](const std::string& command,
                                                                                       std::string& error) {
        std::unique_lock lock(gateMutex);
        starts.push_back(m_clock.now());
        if (holdRuns) {
            held = true;
            gate.notify_all();
            gate.wait(lock, [&] { return !holdRuns; });
        }
        return write(command, error);
    });
    RunCounter counter(m_owner->session());
    engine::BackupScheduler scheduler(m_owner->session(), services());
    config::DatabaseList list;
    AddRow(list, "Sales", "10 Minutes", m_root + "/backups");
    const auto t0 = m_clock.now();

    EXPECT_EQ(scheduler.StartAutoBackupService(list), 1);
    EXPECT_EQ(m_owner->logMessages().front(), "Auto backup service started");
    EXPECT_EQ(m_owner->backupState().manualRun.load(), 0);
    EXPECT_EQ(m_owner->events().front(), "autoServiceStarted");

    ASSERT_TRUE(counter.waitFor(1));
    ASSERT_TRUE(m_clock.waitForWaiters(1));
    m_clock.advance(10min);
    ASSERT_TRUE(counter.waitFor(2));

    // The third run outlasts three and a half intervals: exactly one run follows at once.
    {
        std::lock_guard lock(gateMutex);
        holdRuns = true;
    }
    ASSERT_TRUE(m_clock.waitForWaiters(1));
    m_clock.advance(10min);
    {
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(gate.wait_for(lock, 10s, [&] { return held; }));
    }
    m_clock.advance(35min);
    {
        std::lock_guard lock(gateMutex);
        holdRuns = false;
    }
    gate.notify_all();
    ASSERT_TRUE(counter.waitFor(4));
    ASSERT_TRUE(m_clock.waitForWaiters(1));
    EXPECT_EQ(counter.count(), 4);
    {
        std::lock_guard lock(gateMutex);
        EXPECT_THAT(starts, ElementsAre(t0, t0 + 10min, t0 + 20min, t0 + 55min));
    }
    ASSERT_TRUE(waitForSchedule(scheduler, t0 + 65min));
    EXPECT_TRUE(scheduler.shutdown(5s));
}

TEST_F(EngineTest, IntervalsBelowAMinuteCountAsOneAndHugeOnesNeitherOverflowNorSpin)
{
    RunCounter counter(m_owner->session());
    engine::BackupScheduler scheduler(m_owner->session(), services());
    config::DatabaseList list;
    AddRow(list, "Zero", "0 Minutes", m_root + "/backups");
    AddRow(list, "Negative", "-5 Minutes", m_root + "/backups");
    AddRow(list, "NoUnit", "15", m_root + "/backups");
    AddRow(list, "Huge", "2147483647 Minutes", m_root + "/backups");
    const auto t0 = m_clock.now();

    scheduler.StartAutoBackupService(list);
    ASSERT_TRUE(counter.waitFor(4));
    ASSERT_TRUE(scheduler.waitUntilIdle(0ms) == false); // the service keeps going
    const auto schedule = scheduler.autoSchedule();
    ASSERT_EQ(schedule.size(), 4u);
    EXPECT_EQ(schedule[0].nextStart, t0 + 1min);
    EXPECT_EQ(schedule[1].nextStart, t0 + 1min);
    EXPECT_EQ(schedule[2].nextStart, t0 + 1min);
    EXPECT_GT(schedule[3].nextStart, t0 + std::chrono::hours(24 * 365 * 50));

    // A thousand days later each one-minute database runs once more, the huge one not at all.
    ASSERT_TRUE(m_clock.waitForWaiters(1));
    m_clock.advance(std::chrono::hours(24 * 1000));
    ASSERT_TRUE(counter.waitFor(7));
    ASSERT_TRUE(m_clock.waitForWaiters(1));
    EXPECT_EQ(counter.count(), 7);

    EXPECT_TRUE(scheduler.shutdown(5s));
    EXPECT_FALSE(scheduler.isAutoServiceRunning());
}

TEST_F(EngineTest, ShutdownEndsRealWaitsAtOnceAndNeverWaitsForeverForABlockedRun)
{
    engine::SystemClock systemClock;
    engine::BackupServices real = services();
    real.clock = &systemClock;
    real.pause = nullptr; // the scheduler's own pause, on the real clock
    RunCounter counter(m_owner->session());
    config::DatabaseList list;
    AddRow(list, "Sales", "60 Minutes", m_root + "/backups");
    {
        engine::BackupScheduler scheduler(m_owner->session(), real);
        scheduler.StartAutoBackupService(list);
        ASSERT_TRUE(counter.waitFor(1));
        EXPECT_TRUE(scheduler.shutdown(5s));
        EXPECT_EQ(scheduler.ManualBackup(list), 0);
    }

    std::mutex gateMutex;
    std::condition_variable gate;
    bool entered = false;
    bool released = false;
    m_connector.setOnExecute([&](const std::string&, std::string&) {
        std::unique_lock lock(gateMutex);
        entered = true;
        gate.notify_all();
        gate.wait(lock, [&] { return released; });
        return db::S_OK;
    });
    engine::BackupScheduler scheduler(m_owner->session(), real);
    scheduler.ManualBackup(list);
    {
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(gate.wait_for(lock, 10s, [&] { return entered; }));
    }
    EXPECT_FALSE(scheduler.shutdown(100ms));
    EXPECT_EQ(m_owner->backupState().backupBusy(), 1);
    {
        std::lock_guard lock(gateMutex);
        released = true;
    }
    gate.notify_all();
    EXPECT_TRUE(scheduler.waitUntilIdle(10s));
    EXPECT_EQ(m_owner->backupState().backupBusy(), 0);
}

// A new list for the running service: a database that is new (or changed)
// runs at once, one that is gone gets no further run, the others keep their
// schedule.
TEST_F(EngineTest, AReloadedListKeepsUnchangedSchedulesStartsNewOnesAndDropsRemovedOnes)
{
    RunCounter counter(m_owner->session());
    engine::BackupScheduler scheduler(m_owner->session(), services());
    config::DatabaseList list;
    AddRow(list, "Kept", "10 Minutes", m_root + "/backups");
    AddRow(list, "Gone", "10 Minutes", m_root + "/backups");
    AddRow(list, "Changed", "10 Minutes", m_root + "/backups");
    const auto t0 = m_clock.now();
    ASSERT_EQ(scheduler.StartAutoBackupService(list), 3);
    ASSERT_TRUE(counter.waitFor(3));
    ASSERT_TRUE(m_clock.waitForWaiters(1));
    m_clock.advance(4min);

    config::DatabaseList reloaded;
    AddRow(reloaded, "Kept", "10 Minutes", m_root + "/backups");
    AddRow(reloaded, "Changed", "30 Minutes", m_root + "/backups");
    AddRow(reloaded, "New", "10 Minutes", m_root + "/backups");
    const auto summary = scheduler.ReloadAutoService(reloaded);
    EXPECT_EQ(summary.added, 2);
    EXPECT_EQ(summary.removed, 2);
    EXPECT_EQ(summary.unchanged, 1);
    ASSERT_TRUE(counter.waitFor(5)); // "Changed" and "New" run at once
    ASSERT_TRUE(waitForSchedule(scheduler, t0 + 4min + 30min));

    std::map<std::string, engine::Clock::TimePoint> next;
    for (const auto& entry : scheduler.autoSchedule())
        next[entry.databaseName] = entry.nextStart;
    EXPECT_EQ(next.size(), 3u);
    EXPECT_EQ(next["Kept"], t0 + 10min);
    EXPECT_EQ(next["Changed"], t0 + 4min + 30min);
    EXPECT_EQ(next["New"], t0 + 4min + 10min);

    std::vector<std::string> names;
    for (const auto& row : m_owner->statusJournal().rows())
        names.push_back(row[engine::StatusDatabaseName]);
    EXPECT_THAT(names, ElementsAre("Kept", "Gone", "Changed", "Changed", "New"));
    EXPECT_TRUE(scheduler.shutdown(5s));
}

// An option the runs carry, changed in the settings file (here the offsite
// bucket): no entry goes on with the old one; each runs again at once.
TEST_F(EngineTest, AReloadAfterAnOptionChangedRenewsEveryEntry)
{
    engine::BackupServices withFile;
    withFile.settings = std::make_shared<engine::SettingsStore>(m_root + "/BackupConfig.ini");
    m_owner = std::make_unique<fakes::RecordingOwner>(m_root + "/BackupLog.log", withFile);
    RunCounter counter(m_owner->session());
    engine::BackupScheduler scheduler(m_owner->session(), services());
    config::DatabaseList list;
    AddRow(list, "Sales", "10 Minutes", m_root + "/backups");
    AddRow(list, "Stock", "10 Minutes", m_root + "/backups");
    ASSERT_EQ(scheduler.StartAutoBackupService(list), 2);
    ASSERT_TRUE(counter.waitFor(2));
    EXPECT_EQ(scheduler.ReloadAutoService(list).unchanged, 2);

    ASSERT_TRUE(m_owner->session().settings().saveOptionValues({{"OFFSITE_URL", "s3://backups/sql"}}));
    const auto summary = scheduler.ReloadAutoService(list);
    EXPECT_EQ(summary.unchanged, 0);
    EXPECT_EQ(summary.added, 2);
    EXPECT_EQ(summary.removed, 2);
    EXPECT_TRUE(counter.waitFor(4));
    EXPECT_TRUE(scheduler.shutdown(5s));
}
