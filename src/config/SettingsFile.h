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
// more than 10,000 databases loads 10,000.

inline constexpr const char* kSettingsFileName = "BackupConfig.ini";

// Keys of section OPTIONS read with the mail settings and by the zip step.
inline constexpr const char* kZipCompressionKey = "ZIP_COMPRESSION";
inline constexpr const char* kMailOnFailureKey = "MAIL_ON_FAILURE";

// Decimal conversion as the stored file expects it (atoi's): leading white
// space skipped, an optional sign, then digits up to the first non-digit; no
// digits give 0. Never overflows: a longer number stops growing.
long long LeadingInteger(std::string_view text);

// The folder of the running executable, ending in "/".
std::string ProgramFolder();
// ProgramFolder() + "BackupConfig.ini".
std::string DefaultSettingsPath();

// Appends one row per stored group of section DBBackInfo to `list`.
// A missing file loads nothing and counts as read. A file that cannot be
// read (no right, not a regular file, too large) loads nothing and gives
// false with the reason in `error`.
bool LoadDatabaseList(const std::string& iniPath, DatabaseList& list, std::string* error = nullptr);
// The index n of a key of a database group ("DB_NAME_3" gives 3), in the
// form the writer gives it (letter case aside); nothing for any other key.
std::optional<long long> GroupIndex(std::string_view key);

// Writes every row and TOTAL_COUNT in one atomic save and removes the group
// keys of indices beyond the count (keys of other sections and keys it does
// not know stay), then logs "Saved Database Configurations". Returns false, and logs and gives the reason,
// when the file could not be read or written; the file is then left as it
// was.
bool SaveDatabaseList(const std::string& iniPath, const DatabaseList& list, logging::Log& log,
                      std::string* errorText = nullptr);

// Reads section EMAILSERVERINFO and MAIL_ON_FAILURE of section OPTIONS
// (TRUE in any case is on, any other text off) into `settings`; values not
// stored keep what `settings` held. False, with the reason, as for
// LoadDatabaseList.
bool LoadMailSettings(const std::string& iniPath, MailSettings& settings, std::string* error = nullptr);
// Writes section EMAILSERVERINFO in one atomic save. `portText` is the port as
// typed; an empty password (which the codec refuses) leaves SVRPD as stored.
// MAIL_ON_FAILURE is written (TRUE or FALSE) only when it is on or already in
// the file, so a file that never had it stays as it was.
bool SaveMailSettings(const std::string& iniPath, const MailSettings& settings, const std::string& portText,
                      std::string* error = nullptr);

// The zip compression level as stored: section OPTIONS, key
// ZIP_COMPRESSION, one of BALANCED, FAST or SMALLEST by convention; empty when
// the key is missing. The text is not checked here: the engine maps it to a
// level, and anything it does not know to its default.
std::string ReadZipCompression(const ProfileFile& profile);

} // namespace config
