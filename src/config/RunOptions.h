#pragma once

#include <string>
#include <string_view>

namespace config {

class ProfileFile;

// The program's own section of the settings file; every key in it is optional.
inline constexpr const char* kOptionsSection = "OPTIONS";

inline constexpr const char* kVerifyBackupKey = "VERIFY_BACKUP";
inline constexpr const char* kStartServiceOnLaunchKey = "START_SERVICE_ON_LAUNCH";
inline constexpr const char* kStallMinutesKey = "STALL_MINUTES";
inline constexpr const char* kCancelStalledBackupsKey = "CANCEL_STALLED_BACKUPS";

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
    // STALL_MINUTES: minutes without progress of the server's backup after
    // which the run reports it stalled; decimals allowed ("0.5"), 0 turns
    // the watch off. Default 30; a negative or unreadable value is the
    // default, and values beyond a year are a year.
    double stallMinutes = kDefaultStallMinutes;
    // CANCEL_STALLED_BACKUPS=TRUE: a stalled backup is then cancelled and the
    // run fails. Default FALSE.
    bool cancelStalledBackups = false;

    static constexpr double kDefaultStallMinutes = 30;
    static constexpr double kLongestStallMinutes = 366.0 * 24 * 60;
};

// STALL_MINUTES as RunOptions reads it.
double ParseStallMinutes(std::string_view value);

// Reads the options from the settings file; a file that cannot be read gives
// the defaults.
RunOptions LoadRunOptions(const std::string& iniPath);

// True for "TRUE" in any case, blanks around it aside: the one rule for every
// on/off option of section OPTIONS.
bool IsTrueOption(std::string_view value);
// IsTrueOption of the key's value in section OPTIONS; false when missing.
bool IsOptionOn(const ProfileFile& profile, std::string_view key);

} // namespace config
