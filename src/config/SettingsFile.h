#pragma once

#include "config/DatabaseList.h"
#include "config/MailSettings.h"

#include <string>

namespace logging { class Log; }

namespace config {

// BackupConfig.ini: the database list (section DBBackInfo), the mail
// settings (EMAILSERVERINFO) and the zip preference (OPTIONS). Each call
// reads or writes the whole file and keeps nothing open; every save is one
// atomic replacement of the file, so it is never left half written. Calls
// block on disk I/O and are made from the user-interface thread. Values are
// not validated: what a key holds goes into its cell or field. A count of
// more than 10,000 databases loads 10,000.

inline constexpr const char* kSettingsFileName = "BackupConfig.ini";

// The folder of the running executable, ending in "/".
std::string ProgramFolder();
// ProgramFolder() + "BackupConfig.ini".
std::string DefaultSettingsPath();

// Appends one row per stored group of section DBBackInfo to `list`.
// A missing or unreadable file loads nothing.
void LoadDatabaseList(const std::string& iniPath, DatabaseList& list);
// Writes every row and TOTAL_COUNT in one atomic save and logs
// "Saved Database Configurations". Returns false, and logs the reason, when
// the file could not be read or written; the file is then left as it was.
bool SaveDatabaseList(const std::string& iniPath, const DatabaseList& list, logging::Log& log);

// Reads section EMAILSERVERINFO into `settings`; values not stored keep what
// `settings` held.
void LoadMailSettings(const std::string& iniPath, MailSettings& settings);
// Writes section EMAILSERVERINFO in one atomic save. `portText` is the port as
// typed; an empty password (which the codec refuses) leaves SVRPD as stored.
bool SaveMailSettings(const std::string& iniPath, const MailSettings& settings, const std::string& portText);

// Whether zip archives favour size over speed: section OPTIONS, key
// ZIP_COMPRESSION, "SMALLEST" for true; anything else or nothing is false.
bool LoadPreferSmallestZip(const std::string& iniPath);
// Stores the choice in one atomic save; false when the file could not be written.
bool SavePreferSmallestZip(const std::string& iniPath, bool smallest);

} // namespace config
