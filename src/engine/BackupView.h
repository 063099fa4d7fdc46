#pragma once

#include <string>

namespace engine {

// The controls of the main window that runs and commands enable and disable,
// by their ids.
enum ControlId : int {
    IdStatusGrid = 1000,
    IdDatabaseUrl = 1001,
    IdDatabaseName = 1002,
    IdPassword = 1003,
    IdUserId = 1004,
    IdBackupPath = 1005,
    IdIntervalNumber = 1006,
    IdConfigGrid = 1007,
    IdBrowse = 1009,
    IdSaveToList = 1010,
    IdStartAutoBackup = 1011,
    IdManualBackup = 1012,
    IdSaveConfigurations = 1013,
    IdCancelUpdate = 1015,
    IdStatusLine = 1016,
    IdMinimizeToTrayButton = 1018,
    IdDatabaseSettingsGroup = 1019,
    IdFolderRightsGroup = 1020,
    IdHint = 1021,
    IdStatusGridLabel = 1022,
    IdIntervalUnit = 1023,
    IdSendByEmail = 1024,
    IdZipBackup = 1025,
    IdKeepOldBackup = 1026,
    IdServerBackupPath = 1027, // Corvella's own: the backup path as the SQL Server names it
};

// What a backup session needs from whatever shows it: the desktop window, or
// the headless front end (which has no controls and writes notices to
// stderr).
//
// Threads: every call may come from a backup thread or the user-interface
// thread; implementations are thread-safe and never block the caller for
// long. In particular showNotice returns at once: a run that raises a notice
// goes on without waiting for anybody to read it, and never holds the backup
// lock for a person.
class BackupView {
public:
    virtual ~BackupView() = default;
    virtual void enableControl(ControlId control, bool enabled) = 0;
    virtual void setStatusLine(const std::string& text) = 0;
    virtual void showNotice(const std::string& text, const std::string& caption) = 0;
};

} // namespace engine
