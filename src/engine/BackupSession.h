#pragma once

#include "config/MailSettings.h"
#include "engine/BackupView.h"
#include "engine/BackupWorker.h"
#include "engine/StatusJournal.h"
#include "log/Log.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace engine {

class BackupScheduler;
class FailureAlerts;
class StoredRunHistory;

// The state every run shares.
struct BackupState {
    // Serialises the body of every run; null when runs take no lock.
    std::mutex* backupLock = nullptr;
    // Runs asked for and not yet over; backupBusy() reads 1 while any is.
    std::atomic<int> runsInProgress{0};
    std::atomic<int> manualRun{0};
    std::atomic<int> autoServiceRunning{0};

    int backupBusy() const { return runsInProgress.load() > 0 ? 1 : 0; }
};

// One backup session: what lives as long as the program and is shared by
// every run, whichever front end shows it. It owns the event log, the status
// journal (the data of StatusGrid), the backup lock and state, the scheduler
// with its auto service, the current mail settings and the paths of the
// settings file and the log in use. The desktop window, the headless front
// end and the failure alerts are views of it (addView); runs and commands
// tell what happened through view(), which tells every view.
//
// Threads: every member may be used from any thread. The mail settings are
// copied under a mutex, so a run reads one consistent set while the settings
// dialog changes them. Lifetime: the application creates the session before
// its view and destroys it last. A run blocked in the server's command uses
// the session until it ends: when scheduler().shutdown() returns false, the
// session (and the services the runs use) must be left alive until the
// process ends.
class BackupSession {
public:
    struct Paths {
        std::string settingsPath;                          // BackupConfig.ini in use
        std::string logPath = logging::Log::kDefaultFileName; // the event log
        // The run history every run is recorded in, unless the services
        // bring their own; empty: none.
        std::string historyPath;
    };

    // Opens the log at once (a log that cannot be opened is reported through
    // `onLogOpenFailure`, as the log itself does), creates the scheduler
    // over `services`, which must outlive every run, and registers the
    // failure alerts over the services' mailer and clock. With a history
    // path (and no history among the services) runs are recorded there, and
    // the metrics file the settings ask for is written at once.
    BackupSession(Paths paths, BackupServices services, logging::Log::MessageBoxFn onLogOpenFailure = {});
    ~BackupSession();

    BackupSession(const BackupSession&) = delete;
    BackupSession& operator=(const BackupSession&) = delete;

    logging::Log& log() { return m_log; }
    StatusJournal& statusJournal() { return m_journal; }
    BackupState& backupState() { return m_state; }
    BackupScheduler& scheduler() { return *m_scheduler; }
    const std::string& settingsPath() const { return m_paths.settingsPath; }
    const std::string& logPath() const { return m_paths.logPath; }
    const std::string& historyPath() const { return m_paths.historyPath; }
    // The caption of notices raised by runs.
    const std::string& applicationName() const { return m_applicationName; }

    config::MailSettings mailSettings() const;
    void setMailSettings(const config::MailSettings& settings);

    // Adds a view, told of everything from now on until it is removed.
    void addView(BackupView* view);
    // Removes a view; returns once no call into it is under way any more.
    void removeView(BackupView* view);
    // Every view at once, in the order they were added.
    BackupView& view();

private:
    class ViewProxy;

    Paths m_paths;
    std::string m_applicationName;
    logging::Log m_log;
    // Records the runs; null without a history path. Outlives the scheduler.
    std::unique_ptr<StoredRunHistory> m_history;
    StatusJournal m_journal;
    std::mutex m_backupLock;
    BackupState m_state;
    mutable std::mutex m_mailMutex; // guards m_mail
    config::MailSettings m_mail;
    std::unique_ptr<ViewProxy> m_view;
    // Mails failed runs when the settings ask for it; null without a mailer
    // and a clock. Destroyed after the scheduler, before the log.
    std::unique_ptr<FailureAlerts> m_failureAlerts;
    // Declared last: destroyed first, before anything its runs use.
    std::unique_ptr<BackupScheduler> m_scheduler;
};

} // namespace engine
