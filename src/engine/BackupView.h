#pragma once

#include "config/MailSettings.h"

#include <atomic>
#include <mutex>
#include <string>

namespace logging { class Log; }

namespace engine {

class StatusJournal;

// Control ids the engine enables and disables on its owner.
enum ControlId : int {
    IdStatusLine = 1016,
    IdSaveToList = 1010,
    IdDatabaseUrl = 1001,
    IdDatabaseName = 1002,
    IdPassword = 1003,
    IdUserId = 1004,
    IdBackupPath = 1005,
    IdIntervalNumber = 1006,
    IdBrowse = 1009,
    IdStartAutoBackup = 1011,
    IdManualBackup = 1012,
    IdSaveConfigurations = 1013,
    IdIntervalUnit = 1023,
    IdSendByEmail = 1024,
    IdZipBackup = 1025,
    IdKeepOldBackup = 1026,
};

// Shared state of the backup runs of one owner.
struct BackupState {
    // Serialises the body of every run; null when runs take no lock.
    std::mutex* backupLock = nullptr;
    // Runs under way; backupBusy() reads 1 while any is.
    std::atomic<int> runsInProgress{0};
    std::atomic<int> manualRun{0};
    std::atomic<int> autoServiceRunning{0};

    int backupBusy() const { return runsInProgress.load() > 0 ? 1 : 0; }
};

// What a backup run needs from the window (or headless front end) that owns
// it. Every call may come from a worker thread and must be thread-safe;
// showMessage blocks the calling worker until the message is dismissed, the
// others must not block.
class BackupOwner {
public:
    virtual ~BackupOwner() = default;

    virtual logging::Log& log() = 0;
    virtual StatusJournal& statusJournal() = 0;
    virtual BackupState& backupState() = 0;

    virtual void enableControl(int controlId, bool enabled) = 0;
    virtual void setStatusLine(const std::string& text) = 0;
    virtual void showMessage(const std::string& text, const std::string& caption) = 0;

    // A consistent copy of the live mail settings.
    virtual config::MailSettings mailSettings() const = 0;
};

} // namespace engine
