#pragma once

#include "config/DatabaseList.h"
#include "config/MailSettings.h"

#include <optional>
#include <string>
#include <string_view>

namespace logging { class Log; }
namespace config { class ProfileFile; }

namespace config {

// BackupConfig.ini: the database list (section DBBackInfo), the mail
// settings (EMAILSERVERINFO) and the zip preference (OPTIONS). Each call
// reads or writes the whole file and keeps nothing open; every save is one
// atomic replacement of the file, so it is never left half written. Calls
// block on disk I/O and are made from the user-interface thread. Values are
// not validated: what a key holds goes into its cell or field. A count of
// more than 10,000 databases loads 10,000. A value longer than
// ProfileFile::kMaxValueLength is neither read nor written: it is refused
// with ValueTooLongText, never cut.

inline constexpr const char* kSettingsFileName = "BackupConfig.ini";

// Keys of section OPTIONS read with the mail settings and by the zip step.
inline constexpr const char* kZipCompressionKey = "ZIP_COMPRESSION";
inline constexpr const char* kMailOnFailureKey = "MAIL_ON_FAILURE";

// Decimal conversion as the stored file expects it (atoi's): leading white
// space skipped, an optional sign, then digits up to the first non-digit; no
// digits give 0. Never overflows: a longer number stops growing.
long long LeadingInteger(std::string_view text);

// "The value of KEY in section [SECTION] of the settings file 'PATH' is N
// bytes long; a value may hold at most 1023 bytes."
std::string ValueTooLongText(const std::string& iniPath, std::string_view section, std::string_view key,
                             std::size_t length);

// The first value of the settings file's list, its options or its mail
// settings that is too long to be used, as the text that refuses it.
std::optional<std::string> SettingsValueTooLong(const ProfileFile& profile, const std::string& iniPath);

// "Cannot read settings file '<path>': out of memory".
std::string OutOfMemoryText(const std::string& iniPath);

// The folder of the running executable, ending in "/".
std::string ProgramFolder();
// ProgramFolder() + "BackupConfig.ini".
std::string DefaultSettingsPath();

// Appends one row per stored group of section DBBackInfo of `profile` to `list`.
void ReadDatabaseList(const ProfileFile& profile, DatabaseList& list);
// Reads section EMAILSERVERINFO and MAIL_ON_FAILURE of section OPTIONS of
// `profile` into `settings`, as LoadMailSettings does.
void ReadMailSettings(const ProfileFile& profile, MailSettings& settings);

// Appends one row per stored group of section DBBackInfo to `list`.
// A missing file loads nothing and counts as read. A file that cannot be
// read (no right, not a regular file, too large), or that holds a value too
// long among the ones read (TOTAL_COUNT, the groups it counts, and every key
// of section OPTIONS), loads nothing and gives false with the reason in
// `error`.
bool LoadDatabaseList(const std::string& iniPath, DatabaseList& list, std::string* error = nullptr);
// The index n of a key of a database group ("DB_NAME_3" gives 3), in the
// form the writer gives it (letter case aside); nothing for any other key.
std::optional<long long> GroupIndex(std::string_view key);

// Writes every row and TOTAL_COUNT in one atomic save and removes the group
// keys of indices beyond the count (keys of other sections and keys it does
// not know stay), then logs "Saved Database Configurations". Returns false,
// and logs and gives the reason, when the file could not be read or written,
// when a cell is too long, or when the file holds a value too long that made
// LoadDatabaseList refuse it; the file is then left as it was.
bool SaveDatabaseList(const std::string& iniPath, const DatabaseList& list, logging::Log& log,
                      std::string* errorText = nullptr);

// Reads section EMAILSERVERINFO and MAIL_ON_FAILURE of section OPTIONS
// (TRUE in any case is on, any other text off) into `settings`; values not
// stored keep what `settings` held. False, with the reason, as for
// LoadDatabaseList; a value too long among these keys loads none of them.
bool LoadMailSettings(const std::string& iniPath, MailSettings& settings, std::string* error = nullptr);
// Writes section EMAILSERVERINFO in one atomic save. `portText` is the port as
// typed; an empty password (which the codec refuses) leaves SVRPD as stored.
// A value too long is refused and nothing is written.
// MAIL_ON_FAILURE is written (TRUE or FALSE) only when it is on or already in
// the file, so a file that never had it stays as it was.
bool SaveMailSettings(const std::string& iniPath, const MailSettings& settings, const std::string& portText,
                      std::string* error = nullptr);

} // namespace config
