#pragma once

#include "engine/BackupJob.h"
#include "engine/StatusJournal.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace db { class Connector; class Connection; }

namespace engine {

class Archiver;
class Clock;
class FileOps;
class Mailer;

// Operator texts of a run, compared verbatim by tests.
inline constexpr const char* kBackupInProgressText = "Backup is in progress";
inline constexpr const char* kBackupCompletedText = "Backup completed";
inline constexpr const char* kTempCreationErrorText = "Temp directory creation error.";
inline constexpr const char* kCompressingText = "Compressing in zip format";
inline constexpr const char* kZipCompletedText = "Zip Completed";
inline constexpr const char* kSendingEmailText = "Sending Email....";
inline constexpr const char* kEmailSentText = "Email Sent";

// The file name of the running executable without folder and extension: the
// caption of the program's message boxes.
std::string ApplicationName();

// Pauses the calling run for a fixed time (the one-second pause after the
// lock, the 500 ms between deletion attempts). The real one ends early on
// shutdown; tests pass one that returns at once.
using PauseFn = std::function<void(std::chrono::milliseconds)>;

// What a run reaches the outside world through. All of them must outlive
// every run that uses them (a run blocked in the server's backup command is
// not waited for at shutdown, so in practice they live until the process
// ends).
struct BackupServices {
    db::Connector* connector = nullptr;
    Archiver* archiver = nullptr;
    Mailer* mailer = nullptr;
    Clock* clock = nullptr;
    FileOps* fileOps = nullptr;
    PauseFn pause;
    // Caption of the message boxes a run shows; empty means ApplicationName().
    std::string applicationName;
};

// How a run ended, independent of the status journal (which may have been
// emptied under it).
struct RunResult {
    StatusJournal::Row row;  // the run's final cells
    bool completed = false;  // backup done and every step it asked for succeeded
    bool backupDone = false; // the server reported the backup command complete
};

// One full backup of one database, from the status row to the rotated file.
//
// Threads: run() is called on a thread of its own and blocks for the whole
// run: it waits for the owner's backup lock, then for the server's backup
// command (no time-out: a backup may take hours), the compression and the
// mail. It never throws; every failure shows in the run's status row and the
// log. The job and the services must outlive the call.
//
// Safety rules the run keeps: the command quotes the name and paths, the
// server's ".bak" is renamed to ".Bak" right after the command succeeds so
// every later step reaches one file, a failed connection shows in the status
// cell, sizes are 64-bit, the deletion after compression gives up after 30 s,
// and an archive that failed is removed so the rotation keeps the backup file.
class BackupWorker {
public:
    BackupWorker(const BackupJob& job, const BackupServices& services);
    ~BackupWorker();

    RunResult run();

    // The command the server is sent: the database name as a bracketed
    // identifier (a name already written in brackets is sent as typed), the
    // paths and the NAME text as N'...' literals.
    static std::string BackupCommand(const std::string& displayName, const std::string& tempFolder,
                                     const std::string& backupName);
    // "%d/%d/%d  %d:%d:%d": day, month, year, hour, minute, second, no padding.
    static std::string CurrentTimeText(const std::tm& local);
    // "%04d%02d%02d%02d%02d%02d" of the local time.
    static std::string TimeStamp(const std::tm& local);
    // The file's size in bytes, 0 when its status cannot be read.
    static std::int64_t FileSizeBytes(const std::string& path);

private:
    void setCell(int column, const std::string& text);
    bool runBody();
    void compressionStep();
    void mailStep();
    bool removeWithRetry(const std::string& path);

    const BackupJob& m_job;
    BackupServices m_services;
    BackupOwner& m_owner;
    RunResult m_result;
    std::string m_backupName;
    std::string m_displayName;
    std::string m_databaseFolder;
    std::string m_tempFolder;
    std::string m_extension = ".Bak";
    int m_row = 0;
    std::unique_ptr<db::Connection> m_connection;
};

} // namespace engine
