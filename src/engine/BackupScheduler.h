#pragma once

#include "engine/BackupJob.h"
#include "engine/BackupWorker.h"
#include "engine/Clock.h"

#include "config/PasswordCodec.h"
#include "config/RunOptions.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace config { class DatabaseList; struct DatabaseEntry; }

namespace engine {

class BackupSession;

inline constexpr const char* kEmptyListText = "Empty databse list.";
inline constexpr const char* kManualBackupLogText = "Manual backup taken.";
inline constexpr const char* kAutoServiceLogText = "Auto backup service started";
inline constexpr const char* kAutoServiceStoppedLogText = "Auto backup service stopped";

// Turns a row of the database list into a job: columns copied as shown, the
// password decoded (empty when the codec refuses it), the interval parsed
// from "<n> Minutes" / "<n> Hours" (any unit other than exactly "Minutes"
// counts as hours, a text without a blank gives 0, values saturate at the
// 32-bit range), and the switches on only for the exact text "True".
BackupJob ReadJobFromRow(const config::DatabaseList& list, int row, config::PasswordCodec& codec,
                         BackupSession* owner);
// The same from a parsed entry, with the run options of the settings file.
BackupJob JobFromEntry(const config::DatabaseEntry& entry, config::PasswordCodec& codec, BackupSession* owner,
                       const config::RunOptions& options = {});

inline constexpr const char* kNoThreadText = "Cannot start the backup thread: ";

// Starts backups: Manual Backup (one run per database, now) and the auto
// backup service (each database at once and then once every interval). Used
// by the desktop window and the headless front end.
//
// Threads: the commands (ManualBackup, StartAutoBackupService,
// StopAutoBackupService) are called on the owner's user-interface thread and
// return at once. Every run happens on the scheduler's one
// thread, in the order the runs were asked for (runs share the backup lock
// anyway), so neither threads nor connections grow with the number of
// databases. A manual job ends with its run; a service job lives as long as
// the service. While a database's run waits or runs, its next start waits
// too: a run that outlasts the interval is followed at once by one run,
// never by a pile of them. Intervals below one minute count as one minute.
// Each next start is one interval after the previous start on the steady
// clock. A run counts as busy from the moment it is asked for until one
// second after it ended (the pause after each run). When the thread cannot
// be started, the command logs and shows why and starts nothing.
//
// Shutdown: shutdown() stops the service, drops runs that have not started,
// stops the run under way (its server command is cancelled, its compression
// and mail cut short; a finished backup is still rotated) and waits up to a
// bound for it. A run whose server does not answer the cancel may go on:
// when shutdown() returns false such a run is still going, and the owner,
// the log and the services it uses must stay alive until the process ends
// (end it with std::_Exit, or leave those objects undestroyed). The
// destructor calls shutdown() with a short bound and detaches what remains.
//
// What happens is told to the session's views: the runs queued, dropped,
// started and ended (runFinished, on the scheduler's thread after the run
// left the backup lock), Manual Backup's runs, the service started and
// stopped.
class BackupScheduler {
public:
    // `services.pause` may be empty: the scheduler then pauses on
    // `services.clock`, ended early by shutdown. An empty
    // `services.applicationName` becomes kDisplayName.
    BackupScheduler(BackupSession& owner, BackupServices services);
    ~BackupScheduler();

    BackupScheduler(const BackupScheduler&) = delete;
    BackupScheduler& operator=(const BackupScheduler&) = delete;

    // Manual Backup: on an empty list shows "Empty databse list." and starts
    // nothing; otherwise logs "Manual backup taken.", tells that a manual run
    // started and queues one run per row. Returns the number of runs started.
    int ManualBackup(const config::DatabaseList& list);

    // Start Auto Backup Service: on an empty list shows "Empty databse list.";
    // otherwise logs "Auto backup service started", schedules every row and
    // tells that the service started. Does nothing while it runs. Returns
    // the number of databases scheduled.
    int StartAutoBackupService(const config::DatabaseList& list);

    // Stops the auto service's schedule: the run under way goes on to its
    // end, runs of the service that wait for their turn are dropped, manual
    // runs stay queued. Logs "Auto backup service stopped" and tells that the
    // service stopped; false (and nothing happens) while it does not run.
    bool StopAutoBackupService();

    // Gives the running auto service a new list: a database new in it (or
    // changed in any value) runs at once, as at the service's start; one no
    // longer in it stops after the run it has under way; the others keep
    // their schedule. Does nothing while the service does not run.
    struct ReloadSummary {
        int added = 0;
        int removed = 0;
        int unchanged = 0;
    };
    ReloadSummary ReloadAutoService(const config::DatabaseList& list);

    // Waits until no run waits or runs and the service is not running, at
    // most `bound`; true when idle.
    bool waitUntilIdle(std::chrono::milliseconds bound);

    // Stops the service, drops the runs not yet started, stops the run under
    // way and waits up to `bound` for it. True when the scheduler's thread
    // has ended. Idempotent.
    bool shutdown(std::chrono::milliseconds bound);

    // Runs that a shutdown cut short or never started (a run still going
    // after shutdown() gave up counts too).
    int abandonedRuns() const;

    bool isAutoServiceRunning() const;

    // The auto service's databases and when each runs next (empty while the
    // service does not run).
    struct ScheduledDatabase {
        std::string databaseUrl;
        std::string databaseName;
        Clock::TimePoint nextStart;
        Clock::Duration startsIn{}; // from the moment the schedule was read; 0 when due
        bool waitingOrRunning = false;
    };
    std::vector<ScheduledDatabase> autoSchedule() const;

private:
    struct Shared;
    bool ensureThread();

    BackupSession& m_owner;
    config::PasswordCodec m_codec; // used on the calling (user-interface) thread only
    std::shared_ptr<Shared> m_shared;
};

} // namespace engine
