#pragma once

#include <string>
#include <vector>

// The program without a window, for servers without a desktop:
//   corvella --backup-now [--config FILE]  backs up every listed database
//       once, prints each run's final status row, exits 0 when every run
//       completed and 1 otherwise;
//   corvella --service [--config FILE]     runs the auto backup service until
//       SIGINT or SIGTERM, then waits (bounded) for the run under way, exit 0;
//   corvella --encode-password             reads a password from stdin and
//       prints its stored form, for writing the settings file by hand;
//   --help, --version.
// Message boxes become lines on stderr. A configuration that is missing,
// unreadable or lists no usable database gives a clear error and exit 2.
//
// Threads: called on the main thread; blocks until the work is done.
namespace app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRunFailed = 1;
inline constexpr int kExitBadConfiguration = 2;

struct CommandLine {
    enum class Mode { Desktop, BackupNow, Service, EncodePassword, Help, Version, Invalid };
    Mode mode = Mode::Desktop;
    std::string configPath; // empty: BackupConfig.ini in the program folder
    std::string error;      // for Mode::Invalid
};

// Desktop unless one of the headless options is present; the desktop's own
// arguments (Qt's, for example) are left alone.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// Runs a mode other than Desktop and returns the process's exit code.
int RunHeadless(const CommandLine& commandLine);

} // namespace app
