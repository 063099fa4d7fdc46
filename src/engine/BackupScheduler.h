#pragma once

#include "engine/BackupJob.h"
#include "engine/BackupWorker.h"

#include "config/PasswordCodec.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace config { class DatabaseList; }

namespace engine {

class BackupOwner;

inline constexpr const char* kEmptyListText = "Empty databse list.";
inline constexpr const char* kManualBackupLogText = "Manual backup taken.";
inline constexpr const char* kAutoServiceLogText = "Auto backup service started";

// Turns a row of the database list into a job: columns copied as shown, the
// password decoded (empty when the codec refuses it), the interval parsed
// from "<n> Minutes" / "<n> Hours" (any unit other than exactly "Minutes"
// counts as hours, a text without a blank gives 0, values saturate at the
// 32-bit range), and the switches on only for the exact text "True".
BackupJob ReadJobFromRow(const config::DatabaseList& list, int row, config::PasswordCodec& codec,
                         BackupOwner* owner);

// Starts backups: Manual Backup (one run per database, now) and the auto
// backup service (one loop per database, a run at once and then one every
// interval). Used by the desktop window and the headless front end.
//
// Threads: the commands (ManualBackup, StartAutoBackupService,
// SetSettingsControlsEnabled) are called on the owner's user-interface
// thread and return at once; the runs and loops have threads of their own,
// owned by the scheduler. A manual job ends with its run; a service job
// lives as long as its loop. A loop runs its database's backups on its own
// thread one after the other: a run that outlasts the interval is followed
// at once by one run, never by a pile of waiting threads. Intervals below
// one minute count as one minute. Each next start is one interval after the
// previous start on the steady clock.
//
// Shutdown: shutdown() stops the loops at once (their waits end), ends the
// fixed pauses of runs, and waits up to a bound for the runs still under
// way. A run blocked in the server's backup command cannot be interrupted:
// when shutdown() returns false such runs are still going, and the owner,
// the log and the services they use must stay alive until the process ends
// (end it with std::_Exit, or leave those objects undestroyed). The
// destructor calls shutdown() with a short bound and detaches what remains.
class BackupScheduler {
public:
    // Called on the run's thread when a run has ended, with its result.
    // Must be thread-safe and must not block for long.
    using RunFinishedFn = std::function<void(const RunResult&)>;

    // `services.pause` may be empty: the scheduler then pauses on
    // `services.clock`, ended early by shutdown. An empty
    // `services.applicationName` becomes ApplicationName().
    BackupScheduler(BackupOwner& owner, BackupServices services);
    ~BackupScheduler();

    BackupScheduler(const BackupScheduler&) = delete;
    BackupScheduler& operator=(const BackupScheduler&) = delete;

    void setRunFinishedHandler(RunFinishedFn handler);

    BackupJob ReadJobFromRow(const config::DatabaseList& list, int row);

    // Manual Backup: on an empty list shows "Empty databse list." and starts
    // nothing; otherwise logs "Manual backup taken.", disables buttons 1012
    // and 1013 and starts one run per row. Returns the number of runs started.
    int ManualBackup(const config::DatabaseList& list);

    // Start Auto Backup Service: on an empty list shows "Empty databse list.";
    // otherwise logs "Auto backup service started", starts one loop per row
    // and disables the database-settings controls. Returns the number of
    // loops started.
    int StartAutoBackupService(const config::DatabaseList& list);

    // Enables or disables the database-settings controls, in the window's order.
    void SetSettingsControlsEnabled(bool on);

    // Waits until no run and no loop is under way, at most `bound`; true when idle.
    bool waitUntilIdle(std::chrono::milliseconds bound);

    // Stops starting runs, ends every wait and pause, and waits up to `bound`
    // for the threads. True when every thread has ended. Idempotent.
    bool shutdown(std::chrono::milliseconds bound);

    bool isAutoServiceRunning() const;

private:
    struct Shared;
    void startThread(std::function<void(std::stop_token)> body);
    void pruneFinished();

    BackupOwner& m_owner;
    config::PasswordCodec m_codec; // used on the calling (user-interface) thread only
    std::shared_ptr<Shared> m_shared;
};

} // namespace engine
