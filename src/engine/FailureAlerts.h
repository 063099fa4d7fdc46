#pragma once

#include "config/MailSettings.h"
#include "engine/BackupView.h"
#include "engine/BackupWorker.h"
#include "engine/Clock.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

namespace logging { class Log; }

namespace engine {

class Mailer;

// Operator texts of the alerts, compared verbatim by tests.
inline constexpr const char* kAlertSubjectPrefix = "Corvella: backup of ";
inline constexpr const char* kRestoreTestAlertSubjectPrefix = "Corvella: restore test of ";
inline constexpr const char* kAlertFailedSuffix = " failed";
inline constexpr const char* kAlertRecoveredSuffix = " succeeded again";
inline constexpr const char* kAlertStalledSuffix = " makes no progress";
inline constexpr const char* kAlertLogPrefix = "Failure alert for database ";
inline constexpr const char* kAlertNotSentText = " not sent: ";
inline constexpr const char* kAlertSentText = " sent to ";
inline constexpr const char* kAlertAbandonedText = "the program is ending.";

// While a database keeps failing, at most one alert per this time.
inline constexpr std::chrono::hours kAlertRepeatInterval{1};
// How long the destructor lets queued alerts go out before it gives up.
inline constexpr std::chrono::seconds kAlertDrainTime{20};

// Mails the operator when a backup fails, when the mail settings ask for it
// (MailSettings::mailOnFailure): a short plain-text message without
// attachment to the configured recipient through the configured server. A
// run fails when it neither completed nor was stopped. While a database keeps
// failing it is mailed about at most once per kAlertRepeatInterval, measured
// on the engine's clock; the first success after a mailed failure sends one
// "succeeded again" message. Stopped runs change nothing. A restore test
// on its own (not part of a backup run) that fails is mailed each time as
// "Corvella: restore test of X failed"; it changes nothing in what is known
// of the database's backups. A backup that stalls (runStalled) is mailed
// about as a failure, while the run still waits; its failure, should it
// follow within the hour, is not mailed again.
//
// Threads: runFinished() may be called from any thread and never blocks on
// the mail: alerts wait in a queue for one sending thread of this object's
// own, started with the first alert. Each attempt is logged, sent or not
// ("Failure alert for database X sent to R" / "... not sent: reason"); an
// alert never changes a run's row or result. The destructor gives queued
// alerts up to kAlertDrainTime of real time, then ends the one under way
// and logs the rest as not sent (tests pass a shorter drain time). The mailer, the clock and the log must
// outlive this object.
class FailureAlerts final : public BackupView {
public:
    // Gives a consistent copy of the current mail settings; called on the
    // thread that reports the run.
    using SettingsFn = std::function<config::MailSettings()>;

    FailureAlerts(Mailer& mailer, Clock& clock, logging::Log& log, SettingsFn settings,
                  std::chrono::milliseconds drainTime = kAlertDrainTime);
    ~FailureAlerts() override;

    FailureAlerts(const FailureAlerts&) = delete;
    FailureAlerts& operator=(const FailureAlerts&) = delete;

    void runFinished(const RunResult& result) override;
    void runStalled(const RunResult& result) override;

private:
    struct Alert {
        std::string databaseName;
        config::MailSettings settings;
        std::string subject;
        std::string body;
    };
    struct DatabaseState {
        std::optional<Clock::TimePoint> lastAlert; // the last failure alert queued
        bool alerted = false;                      // the current failure was mailed about
    };

    enum class Kind { Failed, Stalled, Recovered };
    std::string bodyFor(const RunResult& result, Kind kind) const;
    // Queues a failure or stall alert unless one went out within the hour.
    // Expects m_mutex held.
    void alertFailure(const RunResult& result, Kind kind, const config::MailSettings& settings, Clock::TimePoint now);
    // Expects m_mutex held.
    void enqueue(Alert alert);
    void sendLoop();
    void logOutcome(const Alert& alert, bool sent, const std::string& error);

    Mailer& m_mailer;
    Clock& m_clock;
    logging::Log& m_log;
    SettingsFn m_settings;
    std::chrono::milliseconds m_drainTime;
    std::stop_source m_stop; // ends the send under way at destruction

    std::mutex m_mutex; // guards every member below
    std::condition_variable m_changed;
    std::map<std::string, DatabaseState> m_failing; // databases whose last run failed
    std::deque<Alert> m_queue;
    bool m_sending = false;
    bool m_closing = false;
    std::thread m_thread;
};

} // namespace engine
