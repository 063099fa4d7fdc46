#pragma once

#include <string>
#include <string_view>

namespace config {

class ProfileFile;

// The program's own section of the settings file; every key in it is optional.
inline constexpr const char* kOptionsSection = "OPTIONS";

inline constexpr const char* kVerifyBackupKey = "VERIFY_BACKUP";
inline constexpr const char* kStartServiceOnLaunchKey = "START_SERVICE_ON_LAUNCH";

// Options of section OPTIONS that change what a backup run or the program does. A missing
// key, or a value other than the ones named, means the default. Values
// compare without regard to case.
struct RunOptions {
    // VERIFY_BACKUP=TRUE: the backup is written with checksums and the server
    // reads it back (RESTORE VERIFYONLY) before it counts. Default FALSE.
    bool verifyBackup = false;
    // START_SERVICE_ON_LAUNCH=TRUE: the desktop program starts the auto
    // backup service as it starts. Default FALSE.
    bool startServiceOnLaunch = false;
};

// Reads the options from the settings file; a file that cannot be read gives
// the defaults.
RunOptions LoadRunOptions(const std::string& iniPath);

// True for "TRUE" in any case, blanks around it aside: the one rule for every
// on/off option of section OPTIONS.
bool IsTrueOption(std::string_view value);
// IsTrueOption of the key's value in section OPTIONS; false when missing.
bool IsOptionOn(const ProfileFile& profile, std::string_view key);

} // namespace config
