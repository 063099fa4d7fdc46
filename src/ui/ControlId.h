#pragma once

namespace ui {

// The main window's controls by their specified ids. The window maps each id
// to its widget (DBBackupDlg::control); the engine knows none of them.
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

// The database-settings controls the auto service disables while it runs,
// in the specified order.
inline constexpr ControlId kSettingsControls[] = {
    IdSaveToList,     IdDatabaseUrl,     IdDatabaseName, IdUserId, IdPassword,     IdIntervalNumber, IdStartAutoBackup,
    IdBackupPath,     IdBrowse,          IdIntervalUnit, IdZipBackup, IdSendByEmail, IdKeepOldBackup,
    IdServerBackupPath,
};

} // namespace ui
