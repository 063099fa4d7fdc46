#pragma once

#include <string>
#include <string_view>

namespace config {

// Options of section OPTIONS that change what a backup run does. A missing
// key, or a value other than the ones named, means the default. Values
// compare without regard to case.
struct RunOptions {
    // VERIFY_BACKUP=TRUE: the backup is written with checksums and the server
    // reads it back (RESTORE VERIFYONLY) before it counts. Default FALSE.
    bool verifyBackup = false;
};

// Reads the options from the settings file; a file that cannot be read gives
// the defaults.
RunOptions LoadRunOptions(const std::string& iniPath);

// True for "TRUE" in any case, blanks around it aside.
bool IsTrueOption(std::string_view value);

} // namespace config
