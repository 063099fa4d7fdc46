#pragma once

#include <string>
#include <vector>

namespace engine {

struct RunResult;

// A database whose run was asked for: by Manual Backup, or by the auto
// service when its interval came round.
struct QueuedRun {
    std::string databaseUrl;  // as listed
    std::string databaseName; // as listed, untrimmed
    bool manual = false;      // asked for by Manual Backup
};

// A run that has begun: its row of the status journal exists.
struct StartedRun {
    QueuedRun run;
    int journalRow = -1;
};

// What a backup session tells whoever shows it: the desktop window, the
// headless front end, the failure alerts. The session tells what happened;
// each view decides what to show (which controls to switch, which rows to
// add). Every call has an empty default, so a view takes only what it needs.
//
// Threads: every call may come from a backup thread, the scheduler's thread
// or the user-interface thread; implementations are thread-safe and return
// at once. In particular showNotice never waits for anybody to read it: a run
// that raises a notice goes on, and never holds the backup lock for a person.
// Changes of the queue are told with the scheduler's mutex held, so that
// every view hears them in order: a view must not call into the session or
// its scheduler from inside a call, nor add or remove views.
class BackupView {
public:
    virtual ~BackupView() = default;

    // A run of Manual Backup began or ended (the Manual Backup and Save
    // Configurations commands wait while one runs). Told by the command when
    // it queues its runs, and by each run of it at its start and its end.
    virtual void manualRunStarted() {}
    virtual void manualRunEnded() {}
    // The auto backup service started or stopped (the database settings
    // cannot be edited while it runs).
    virtual void autoServiceStarted() {}
    virtual void autoServiceStopped() {}
    // Runs were asked for and wait for their turn, in the order they will run.
    virtual void runsQueued([[maybe_unused]] const std::vector<QueuedRun>& runs) {}
    // Runs that waited were dropped without running (the service stopped).
    virtual void runsDropped([[maybe_unused]] const std::vector<QueuedRun>& runs) {}
    // A run took its turn and added its row to the status journal.
    virtual void runStarted([[maybe_unused]] const StartedRun& run) {}
    // A run ended, after it left the backup lock; the one way to hear of it.
    virtual void runFinished([[maybe_unused]] const RunResult& result) {}
    // A run's backup has made no progress for as long as the settings allow
    // (STALL_MINUTES); `result` holds the run so far. Told by the run, on its
    // thread, while the server's command is still under way.
    virtual void runStalled([[maybe_unused]] const RunResult& result) {}
    // The status line (a run's failed connection says so there).
    virtual void setStatusLine([[maybe_unused]] const std::string& text) {}
    virtual void showNotice([[maybe_unused]] const std::string& text, [[maybe_unused]] const std::string& caption) {}
};

} // namespace engine
