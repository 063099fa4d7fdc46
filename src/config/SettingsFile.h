#pragma once

#include "config/DatabaseList.h"
#include "config/MailSettings.h"

#include <string>

namespace logging { class Log; }

namespace config {

inline constexpr const char* kSettingsFileName = "BackupConfig.ini";

// The folder of the running executable, ending in "/".
std::string ProgramFolder();
// ProgramFolder() + "BackupConfig.ini".
std::string DefaultSettingsPath();

// Appends one row per stored group of section DBBackInfo to `list`.
// A missing or unreadable file loads nothing.
void LoadDatabaseList(const std::string& iniPath, DatabaseList& list);
// Writes every row and TOTAL_COUNT in one atomic save and logs
// "Saved Database Configurations". Returns false when the file could not be written.
bool SaveDatabaseList(const std::string& iniPath, const DatabaseList& list, logging::Log& log);

// Reads section EMAILSERVERINFO into `settings`; values not stored keep what
// `settings` held.
void LoadMailSettings(const std::string& iniPath, MailSettings& settings);
// Writes section EMAILSERVERINFO in one atomic save. `portText` is the port as
// typed; an empty password (which the codec refuses) leaves SVRPD as stored.
bool SaveMailSettings(const std::string& iniPath, const MailSettings& settings, const std::string& portText);

} // namespace config
