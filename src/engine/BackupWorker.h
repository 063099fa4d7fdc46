#pragma once

#include "engine/BackupFolders.h"
#include "engine/BackupJob.h"
#include "engine/RestoreTest.h"
#include "engine/RestoreTestPhase.h"
#include "engine/FolderLock.h"
#include "engine/RunConnection.h"
#include "engine/RunHistory.h"
#include "engine/StatusJournal.h"
#include "engine/TempLeftovers.h"
#include "text/MessageBox.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "db/Connection.h"

namespace engine {

class Archiver;
class Clock;
class FileOps;
class Mailer;
class OffsiteStore;
class SettingsStore;

// Operator texts of a run, compared verbatim by tests.
inline constexpr const char* kBackupInProgressText = "Backup is in progress";
inline constexpr const char* kBackupCompletedText = "Backup completed";
inline constexpr const char* kTempCreationErrorText = "Temp directory creation error.";
inline constexpr const char* kCompressingText = "Compressing in zip format";
inline constexpr const char* kZipCompletedText = "Zip Completed";
inline constexpr const char* kSendingEmailText = "Sending Email....";
inline constexpr const char* kStoppedText = "Backup stopped because the program is ending.";
inline constexpr const char* kVerificationFailedText = "Backup verification failed: ";
inline constexpr const char* kMailSkippedText = "Email not sent: the program is ending.";
inline constexpr const char* kRotationFailedText = "Rotation failed: ";
// A failed compression: the row says so, the mail attaches the ".Bak" and
// the rotation keeps it.
inline constexpr const char* kCompressionFailedText = "Compression failed; the backup is kept uncompressed.";
inline constexpr const char* kUnexpectedErrorText = "Backup stopped by an unexpected error: ";
// What the server's text holds when its account may not write the backup.
inline constexpr const char* kAccessDeniedMarker = "Operating system error 5";
// What it holds when it cannot find the folder.
inline constexpr const char* kPathNotFoundMarker = "Operating system error 3(";

// The log line that tells how to let the server's account write into
// `tempFolder` on Linux, naming the folder and the backup path to grant.
std::string AccessDeniedAdvice(const std::string& tempFolder, const std::string& backupPath);

// The program's name as its windows and notices show it: the caption of
// every message box.
inline constexpr const char* kDisplayName = "Corvella";
// The file name of the running executable without folder and extension, for
// the lines the program writes on stderr.
std::string ProgramName();

// Pauses the calling run for a fixed time (the 500 ms between deletion
// attempts). The real one ends early on shutdown; tests pass one that
// returns at once.
using PauseFn = std::function<void(std::chrono::milliseconds)>;

// What a run reaches the outside world through. All of them must outlive
// every run that uses them (a run blocked in the server's backup command is
// not waited for at shutdown, so in practice they live until the process
// ends).
struct BackupServices {
    db::Connector* connector = nullptr;
    Archiver* archiver = nullptr;
    Mailer* mailer = nullptr;
    OffsiteStore* offsite = nullptr; // null: no offsite copies
    Clock* clock = nullptr;
    FileOps* fileOps = nullptr;
    PauseFn pause;
    // Caption of the notices a run shows; empty means kDisplayName.
    std::string applicationName;
    // How often a run asks the server how far its backup is (0: never).
    std::chrono::milliseconds progressInterval{0};
    // The settings file the session reads its list and options from; null:
    // the session reads its own from its settings path.
    std::shared_ptr<SettingsStore> settings;
    // Where runs are recorded; null: nowhere.
    RunHistory* history = nullptr;
};

// How a run ended.
enum class RunOutcome {
    Completed, // the backup is in place and every step it asked for succeeded
    Failed,    // it went wrong; the result's errorText says how
    Cancelled, // cut short on request while the program goes on
    Stopped,   // cut short because the program is ending
};

// Whether the server read the new backup back (the VERIFY_BACKUP option).
enum class Verification {
    NotAsked, // not asked for, or cut short by a stop before a verdict
    Passed,
    Failed, // the server found the file damaged; it was removed
};

// What became of the mail step.
enum class MailOutcome {
    NotAsked, // the job does not mail its backups, or no backup was made
    Sent,
    Failed,  // mailText says why
    Skipped, // the program was ending
};

// How a run ended, independent of the status journal (which may have been
// emptied under it): what history, alerts and the headless summary read.
struct RunResult {
    // A backup (with its steps), or a restore test of the newest kept backup alone.
    enum class Kind { Backup, RestoreTest };
    Kind kind = Kind::Backup;
    std::string databaseName;            // as shown: trimmed
    StatusJournal::Row row;              // the run's final cells
    RunOutcome outcome = RunOutcome::Failed;
    bool backupDone = false;             // the server reported the backup command complete (and verified)
    // The file the rotation keeps in the database folder ("Sales.Bak",
    // "Sales20140714090503.zip"); empty when no backup was made.
    std::string backupFileName;
    std::int64_t backupBytes = 0;        // the backup as the server wrote it
    std::int64_t archiveBytes = 0;       // the zip archive; 0 when none was made
    Verification verification = Verification::NotAsked;
    MailOutcome mail = MailOutcome::NotAsked;
    std::string mailText;                // the "Email Status" text; empty when no mail was tried
    std::string errorText;               // why a run that did not complete did not; empty otherwise
    std::chrono::system_clock::time_point startTime; // the run began its work (it held the backup lock)
    std::chrono::system_clock::time_point endTime;   // the run's work was over
    int journalRow = -1;                 // the run's row of the status journal when it began; -1 before
    std::vector<std::string> logLines;   // what the run itself wrote to the log, in order
    // The restore test of the run, when one ran (its result, the file, when,
    // how long the restore took); NotRun otherwise.
    RestoreTestOutcome restoreTest;

    bool completed() const { return outcome == RunOutcome::Completed; }
    // A stop request (the program ending) cut it short.
    bool stopped() const { return outcome == RunOutcome::Stopped; }
};

// One full backup of one database, from the status row to the rotated file.
//
// Threads: run() blocks its thread for the whole run: it waits for the
// owner's backup lock, then for the server's backup command (no time-out: a
// backup may take hours), the compression and the mail. It never throws;
// every failure shows in the run's status row and the log. The job and the
// services must outlive the call. A stop requested through run()'s token
// (the program is ending) cancels the server's command, the compression and
// the mail; a backup already finished is still rotated, and nothing
// unfinished is ever left where a later run could take it for a backup.
//
// Safety rules the run keeps: a database name that is no plain folder name
// is refused before anything is created; the run holds a lock on its
// database folder for its whole length, and a run that finds it held by
// another copy of the program touches nothing and fails; holding it, the run
// sorts what an interrupted run left in temp (see TempLeftovers): a complete
// backup is rotated in at once, files that may be incomplete are deleted only
// once this run's own backup is complete, and files Corvella does not name
// stay where they are; the command quotes the name and paths; the
// server's ".bak" is renamed to ".Bak" only after the server reported it
// complete, and only that file (or its archive) leaves temp; a failed
// connection shows in the status cell; sizes are 64-bit; the deletion after
// compression gives up after 30 s; an archive that failed is removed, so the
// mail attaches the backup file and the rotation keeps it; and a move of the rotation that fails
// shows in the row and the log and fails the run.
//
// The server's commands name the temp folder as the server sees it (the
// job's serverBackupPath, see ServerFolder.h). While the server writes, the
// run watches its progress (BackupWatch): a backup that makes no progress for
// the job's stallMinutes is reported, and cancelled (the run fails) when the
// job says so; a cancel the server does not answer within kCancelGrace makes
// the run walk away from its connection.
class BackupWorker {
public:
    BackupWorker(const BackupJob& job, const BackupServices& services);
    ~BackupWorker();

    RunResult run(std::stop_token stop = {});

    // The command the server is sent: the database name as a bracketed
    // identifier (a name already written in brackets is sent as typed), the
    // paths and the NAME text as N'...' literals.
    static std::string BackupCommand(const std::string& displayName, const std::string& tempFolder,
                                     const std::string& backupName, bool checksum = false);
    // "RESTORE VERIFYONLY FROM DISK = N'<file>' WITH CHECKSUM".
    static std::string VerifyCommand(const std::string& file);
    // "%d/%d/%d  %d:%d:%d": day, month, year, hour, minute, second, no padding.
    static std::string CurrentTimeText(const std::tm& local);
    // "%04d%02d%02d%02d%02d%02d" of the local time.
    static std::string TimeStamp(const std::tm& local);
    // The file's size in bytes, 0 when its status cannot be read.
    static std::int64_t FileSizeBytes(const std::string& path);

private:
    // How a phase of the run ended.
    enum class Phase {
        Done,    // it did its work; the run goes on
        Skipped, // the job does not ask for it
        Failed,  // the row, the log and the result say why
        Stopped, // a stop request ended or skipped it
    };
    static bool EndsTheRun(Phase phase) { return phase == Phase::Failed || phase == Phase::Stopped; }

    // The run as a sequence of phases; true when it completed.
    bool runPhases();
    // The phases, in the order they run. Until the backup file is finished,
    // a phase that fails or is stopped ends the run; after it, the optional
    // steps are tried and the rotation always runs.
    void openRow();
    Phase checkName();
    Phase prepareTemp();
    Phase lockFolder();
    Phase clearLeftovers();
    Phase connect();
    Phase serverBackup();
    Phase verify();
    Phase finishFile();
    Phase compress();
    Phase sendMail();
    Phase rotate();
    // Around the backup: scratch databases an interrupted restore test left
    // are dropped once connected; after the rotation, the new backup is
    // restore-tested when the settings ask for it.
    Phase dropLeftoverScratchDatabases();
    Phase restoreTest();
    RestoreTestPhase restoreTestPhase();
    Phase uploadOffsite();
    // The run's row in the history: its start as soon as it holds the lock
    // (a run that never ends shows as interrupted), the whole row once it
    // is over. A history that cannot be written never changes the run.
    void recordStart();
    void recordEnd();

    void setCell(int column, const std::string& text);
    // Shows `text` as the run's backup status and keeps it as the reason the
    // run did not complete (the first reason counts).
    void fail(const std::string& text);
    // Keeps `text` as the reason without showing it.
    void noteFailure(const std::string& text);
    // Writes a line to the log and keeps it in the run's result.
    void writeLog(const std::string& message);
    // True once a stop was requested; logs it the first time.
    bool stopRequested();
    // The server's id of the run's session, 0 (and why) when it cannot be known.
    int sessionId(std::string* problem = nullptr);
    // What an interrupted run left in temp: complete backups are rotated in,
    // the rest is sorted for later.
    void handleLeftovers(const text::MessageBoxFn& messageBox);
    // Once this run's backup is complete: what may be incomplete goes.
    void removeIncompleteLeftovers();
    // The server's backup command under the stall watch, as ExecuteCommand
    // gives its outcome; a stall and its cancel are already told.
    db::HRESULT runWatchedBackup(std::string& errorText, bool& cancelledForStall);
    // After the server could not find the temp folder: the log says whether
    // it sees the folder at all, and what to set.
    void explainUnseenFolder();
    // After a failed command: removes what the server may have written; true
    // when a stop caused the failure (the row then says so).
    bool discardAfterFailure(const std::string& serverFile);
    bool removeWithRetry(const std::string& path);
    std::string serverFile() const;  // the file the server writes, by Corvella's name: "<temp>/<name>.bak"
    std::string backupFile() const;  // the same file once finished: "<temp>/<name>.Bak"
    std::string archiveFile() const; // "<temp>/<name>.zip"

    const BackupJob& m_job;
    BackupServices m_services;
    BackupSession& m_owner;
    RunResult m_result;
    std::string m_backupName;
    std::string m_displayName;
    std::string m_databaseFolder;
    std::string m_tempFolder;
    std::string m_serverTempFolder; // the temp folder as the server names it
    TempLeftovers m_leftovers;
    std::string m_extension = ".Bak";
    int m_row = 0;
    bool m_manual = false; // a run of Manual Backup
    std::stop_token m_stop;
    bool m_stopLogged = false;
    FolderLock m_folderLock; // held from lockFolder() to the end of the run
    RunConnection m_connection;
    std::string m_connectionString;
    text::MessageBoxFn m_notice; // the view's notice, captioned with the program's name
    RunTicket m_ticket;
};

} // namespace engine
