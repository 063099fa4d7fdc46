#include "engine/FailureAlerts.h"

#include "engine/Mailer.h"
#include "log/Log.h"

#include <cstdio>
#include <exception>
#include <system_error>

namespace engine {

namespace {

constexpr const char* kFailedOpening = "The backup of database %s failed.";
constexpr const char* kRecoveredOpening = "The backup of database %s succeeded again.";
constexpr const char* kRestoreTestFailedOpening = "The restore test of database %s failed.";
constexpr const char* kStalledOpening = "The backup of database %s makes no progress.";
constexpr const char* kStatusLabel = "Status: ";
constexpr const char* kSizeLabel = "File size: ";
constexpr const char* kBackupTimeLabel = "Backup time: ";
constexpr const char* kEmailStatusLabel = "Email status: ";
constexpr const char* kTimeLabel = "Time: ";
constexpr const char* kLogHeading = "Log of the run:";
constexpr const char* kRepeatNote = "Further failures of this database within the next hour are not mailed.";

std::string withName(const char* pattern, const std::string& name)
{
    const std::string text = pattern;
    const auto at = text.find("%s");
    return text.substr(0, at) + name + text.substr(at + 2);
}

std::string timeText(const std::tm& local)
{
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

} // namespace

FailureAlerts::FailureAlerts(Mailer& mailer, Clock& clock, logging::Log& log, SettingsFn settings,
                             std::chrono::milliseconds drainTime)
    : m_mailer(mailer)
    , m_clock(clock)
    , m_log(log)
    , m_settings(std::move(settings))
    , m_drainTime(drainTime)
{
}

FailureAlerts::~FailureAlerts()
{
    std::unique_lock lock(m_mutex);
    m_closing = true;
    m_changed.notify_all();
    if (!m_thread.joinable())
        return;
    m_changed.wait_for(lock, m_drainTime, [this] { return m_queue.empty() && !m_sending; });
    std::deque<Alert> abandoned;
    abandoned.swap(m_queue);
    lock.unlock();
    m_stop.request_stop();
    for (const Alert& alert : abandoned)
        logOutcome(alert, false, kAlertAbandonedText);
    m_thread.join();
}

void FailureAlerts::runFinished(const RunResult& result)
{
    if (result.stopped())
        return;
    const bool failed = !result.completed();
    const config::MailSettings settings = m_settings();
    const Clock::TimePoint now = m_clock.now();

    std::lock_guard lock(m_mutex);
    if (m_closing)
        return;
    if (result.kind == RunResult::Kind::RestoreTest) {
        if (failed && settings.mailOnFailure)
            enqueue({result.databaseName, settings,
                     kRestoreTestAlertSubjectPrefix + result.databaseName + kAlertFailedSuffix, bodyFor(result, Kind::Failed)});
        return;
    }
    if (!failed) {
        const auto found = m_failing.find(result.databaseName);
        if (found == m_failing.end())
            return;
        const bool tell = found->second.alerted && settings.mailOnFailure;
        m_failing.erase(found);
        if (tell)
            enqueue({result.databaseName, settings, kAlertSubjectPrefix + result.databaseName + kAlertRecoveredSuffix,
                     bodyFor(result, Kind::Recovered)});
        return;
    }
    alertFailure(result, Kind::Failed, settings, now);
}

void FailureAlerts::runStalled(const RunResult& result)
{
    const config::MailSettings settings = m_settings();
    const Clock::TimePoint now = m_clock.now();
    std::lock_guard lock(m_mutex);
    if (!m_closing)
        alertFailure(result, Kind::Stalled, settings, now);
}

void FailureAlerts::alertFailure(const RunResult& result, Kind kind, const config::MailSettings& settings,
                                 Clock::TimePoint now)
{
    DatabaseState& state = m_failing[result.databaseName];
    if (!settings.mailOnFailure)
        return;
    if (state.lastAlert && now - *state.lastAlert < kAlertRepeatInterval)
        return;
    state.lastAlert = now;
    state.alerted = true;
    enqueue({result.databaseName, settings,
             kAlertSubjectPrefix + result.databaseName + (kind == Kind::Stalled ? kAlertStalledSuffix : kAlertFailedSuffix),
             bodyFor(result, kind)});
}

std::string FailureAlerts::bodyFor(const RunResult& result, Kind kind) const
{
    const char* opening = result.kind == RunResult::Kind::RestoreTest ? kRestoreTestFailedOpening
        : kind == Kind::Failed                                          ? kFailedOpening
        : kind == Kind::Stalled                                         ? kStalledOpening
                                                                        : kRecoveredOpening;
    std::string body = withName(opening, result.databaseName) + "\n\n";
    body += kStatusLabel + result.row[StatusBackupStatus] + "\n";
    body += kSizeLabel + result.row[StatusFileSize] + "\n";
    body += kBackupTimeLabel + result.row[StatusBackupTime] + "\n";
    body += kEmailStatusLabel + result.row[StatusEmailStatus] + "\n";
    body += kTimeLabel + timeText(m_clock.localTime()) + "\n";
    if (!result.logLines.empty()) {
        body += std::string("\n") + kLogHeading + "\n";
        for (const std::string& line : result.logLines)
            body += line + "\n";
    }
    if (kind != Kind::Recovered)
        body += std::string("\n") + kRepeatNote + "\n";
    return body;
}

void FailureAlerts::enqueue(Alert alert)
{
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { sendLoop(); });
        } catch (const std::system_error& e) {
            logOutcome(alert, false, std::string("cannot start the sending thread: ") + e.what());
            return;
        }
    }
    m_queue.push_back(std::move(alert));
    m_changed.notify_all();
}

void FailureAlerts::sendLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return !m_queue.empty() || m_closing; });
        if (m_queue.empty())
            return;
        Alert alert = std::move(m_queue.front());
        m_queue.pop_front();
        m_sending = true;
        lock.unlock();
        std::string error;
        bool sent = false;
        try {
            sent = m_mailer.sendAlert(alert.settings, alert.subject, alert.body, error, m_stop.get_token());
        } catch (const std::exception& e) {
            error = e.what();
        } catch (...) {
            error = "unknown error";
        }
        logOutcome(alert, sent, error);
        lock.lock();
        m_sending = false;
        m_changed.notify_all();
    }
}

void FailureAlerts::logOutcome(const Alert& alert, bool sent, const std::string& error)
{
    m_log.Write(kAlertLogPrefix + alert.databaseName
                + (sent ? kAlertSentText + alert.settings.recipient : kAlertNotSentText + error));
}

} // namespace engine
