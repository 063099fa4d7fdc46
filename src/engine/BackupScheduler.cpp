#include "engine/BackupScheduler.h"

#include "engine/BackupOwner.h"
#include "engine/Clock.h"

#include "config/DatabaseList.h"
#include "log/Log.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <limits>

namespace engine {

namespace {

constexpr std::chrono::milliseconds kDestructorShutdownBound{3000};
// Longer intervals are waited as this one: far beyond any real schedule, and
// short enough that its nanoseconds fit the steady clock.
constexpr std::int32_t kLongestIntervalMinutes = 100 * 366 * 24 * 60;

std::int32_t Saturate32(std::int64_t value)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                               std::numeric_limits<std::int32_t>::max()));
}

// The integer at the start of `text` as atoi reads it (leading white space,
// a sign, digits), saturated instead of overflowing.
std::int64_t LeadingInteger(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max() * std::int64_t{60};
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = std::min(kLimit, value * 10 + (text[i] - '0'));
    return negative ? -value : value;
}

std::int32_t ParseIntervalMinutes(const std::string& text)
{
    const auto blank = text.find(' ');
    if (blank == std::string::npos)
        return 0;
    const std::int64_t n = LeadingInteger(text.substr(0, blank));
    const std::string prefix = text.substr(0, blank + 1);
    std::string rest = text;
    for (auto at = rest.find(prefix); at != std::string::npos; at = rest.find(prefix))
        rest.erase(at, prefix.size());
    return Saturate32(rest == "Minutes" ? n : n * 60);
}

constexpr int kSettingsControls[] = {
    IdSaveToList,  IdDatabaseUrl, IdDatabaseName,  IdUserId,       IdPassword,
    IdIntervalNumber, IdStartAutoBackup, IdBackupPath, IdBrowse, IdIntervalUnit,
    IdZipBackup,   IdSendByEmail, IdKeepOldBackup,
};

} // namespace

BackupJob ReadJobFromRow(const config::DatabaseList& list, int row, config::PasswordCodec& codec,
                         BackupOwner* owner)
{
    BackupJob job;
    job.databaseUrl = list.cell(row, config::ColDatabaseUrl);
    job.databaseName = list.cell(row, config::ColDatabaseName);
    job.userName = list.cell(row, config::ColUserName);
    std::string decoded;
    if (codec.Decode(list.cell(row, config::ColEncodedPassword), decoded) == config::PasswordCodec::kOk)
        job.password = decoded;
    job.intervalMinutes = ParseIntervalMinutes(list.cell(row, config::ColInterval));
    job.backupPath = list.cell(row, config::ColBackupPath);
    job.zip = list.cell(row, config::ColZip) == "True";
    job.email = list.cell(row, config::ColEmail) == "True";
    job.keepOld = list.cell(row, config::ColKeepOld) == "True";
    job.owner = owner;
    return job;
}

// State shared by the scheduler and its threads; the threads hold it, so it
// outlives a scheduler destroyed while a run is still blocked.
struct BackupScheduler::Shared {
    Shared(BackupOwner& o, BackupServices s)
        : owner(o)
        , services(std::move(s))
    {
    }

    struct Thread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    BackupOwner& owner;
    BackupServices services;
    std::stop_source stop;

    std::mutex mutex; // guards threads, active and runFinished
    std::condition_variable idle;
    std::vector<Thread> threads;
    int active = 0;
    RunFinishedFn runFinished;

    void runOnce(const BackupJob& job)
    {
        BackupWorker worker(job, services);
        const RunResult result = worker.run();
        RunFinishedFn handler;
        {
            std::lock_guard lock(mutex);
            handler = runFinished;
        }
        if (handler)
            handler(result);
    }

    // Runs the job at once and then one interval after each start, until the
    // service is stopped. The run happens on this thread, so a run longer
    // than the interval is followed by exactly one run.
    void autoBackupLoop(const BackupJob& job, std::stop_token stopToken)
    {
        Clock& clock = *services.clock;
        BackupState& state = owner.backupState();
        const auto interval = std::chrono::duration_cast<Clock::Duration>(
            std::chrono::minutes(std::clamp<std::int32_t>(job.intervalMinutes, 1, kLongestIntervalMinutes)));
        while (state.autoServiceRunning.load() != 0 && !stopToken.stop_requested()) {
            const Clock::TimePoint start = clock.now();
            runOnce(job);
            if (!clock.waitUntil(SaturatingAdd(start, interval), stopToken))
                break;
        }
    }

    bool waitIdle(std::chrono::milliseconds bound)
    {
        std::unique_lock lock(mutex);
        const auto isIdle = [this] { return active == 0; };
        if (bound >= std::chrono::hours(24 * 365))
            idle.wait(lock, isIdle);
        else
            idle.wait_for(lock, bound, isIdle);
        return active == 0;
    }
};

BackupScheduler::BackupScheduler(BackupOwner& owner, BackupServices services)
    : m_owner(owner)
{
    if (services.applicationName.empty())
        services.applicationName = ApplicationName();
    m_shared = std::make_shared<Shared>(owner, std::move(services));
    if (!m_shared->services.pause) {
        Clock* clock = m_shared->services.clock;
        m_shared->services.pause = [clock, token = m_shared->stop.get_token()](std::chrono::milliseconds d) {
            clock->waitUntil(SaturatingAdd(clock->now(), d), token);
        };
    }
}

BackupScheduler::~BackupScheduler()
{
    shutdown(kDestructorShutdownBound);
    std::lock_guard lock(m_shared->mutex);
    for (auto& entry : m_shared->threads) {
        if (entry.done->load())
            entry.thread.join();
        else
            entry.thread.detach();
    }
    m_shared->threads.clear();
}

void BackupScheduler::setRunFinishedHandler(RunFinishedFn handler)
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->runFinished = std::move(handler);
}

BackupJob BackupScheduler::ReadJobFromRow(const config::DatabaseList& list, int row)
{
    return engine::ReadJobFromRow(list, row, m_codec, &m_owner);
}

void BackupScheduler::startThread(std::function<void(std::stop_token)> body)
{
    auto shared = m_shared;
    auto done = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(shared->mutex);
        ++shared->active;
    }
    std::thread thread([shared, done, body = std::move(body)] {
        try {
            body(shared->stop.get_token());
        } catch (const std::exception& e) {
            shared->owner.log().Write(std::string("Backup thread ended by an unexpected error: ") + e.what());
        } catch (...) {
            shared->owner.log().Write("Backup thread ended by an unexpected error");
        }
        {
            std::lock_guard lock(shared->mutex);
            --shared->active;
            done->store(true);
        }
        shared->idle.notify_all();
    });
    std::lock_guard lock(shared->mutex);
    shared->threads.push_back({std::move(thread), std::move(done)});
}

void BackupScheduler::pruneFinished()
{
    std::vector<std::thread> finished;
    {
        std::lock_guard lock(m_shared->mutex);
        auto& threads = m_shared->threads;
        for (auto it = threads.begin(); it != threads.end();) {
            if (it->done->load()) {
                finished.push_back(std::move(it->thread));
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& thread : finished)
        thread.join();
}

int BackupScheduler::ManualBackup(const config::DatabaseList& list)
{
    if (list.rowCount() == 0) {
        m_owner.showMessage(kEmptyListText, m_shared->services.applicationName);
        return 0;
    }
    if (m_shared->stop.stop_requested())
        return 0;
    m_owner.log().Write(kManualBackupLogText);
    m_owner.backupState().manualRun.store(1);
    m_owner.enableControl(IdManualBackup, false);
    m_owner.enableControl(IdSaveConfigurations, false);
    pruneFinished();

    const int rows = list.rowCount();
    for (int row = 0; row < rows; ++row) {
        auto job = std::make_shared<const BackupJob>(ReadJobFromRow(list, row));
        startThread([shared = m_shared.get(), job](std::stop_token) { shared->runOnce(*job); });
    }
    return rows;
}

int BackupScheduler::StartAutoBackupService(const config::DatabaseList& list)
{
    if (list.rowCount() == 0) {
        m_owner.showMessage(kEmptyListText, m_shared->services.applicationName);
        return 0;
    }
    if (m_shared->stop.stop_requested())
        return 0;
    BackupState& state = m_owner.backupState();
    state.manualRun.store(0);
    const int rows = list.rowCount();
    m_owner.log().Write(kAutoServiceLogText);
    state.autoServiceRunning.store(1);
    pruneFinished();
    for (int row = 0; row < rows; ++row) {
        auto job = std::make_shared<const BackupJob>(ReadJobFromRow(list, row));
        startThread([shared = m_shared.get(), job](std::stop_token stop) { shared->autoBackupLoop(*job, stop); });
    }
    SetSettingsControlsEnabled(false);
    return rows;
}

void BackupScheduler::SetSettingsControlsEnabled(bool on)
{
    for (int id : kSettingsControls)
        m_owner.enableControl(id, on);
}

bool BackupScheduler::waitUntilIdle(std::chrono::milliseconds bound)
{
    const bool idle = m_shared->waitIdle(bound);
    pruneFinished();
    return idle;
}

bool BackupScheduler::shutdown(std::chrono::milliseconds bound)
{
    m_owner.backupState().autoServiceRunning.store(0);
    m_shared->stop.request_stop();
    return waitUntilIdle(bound);
}

bool BackupScheduler::isAutoServiceRunning() const
{
    return m_owner.backupState().autoServiceRunning.load() != 0;
}

} // namespace engine
