#pragma once

#include <string>
#include <vector>

// The program without a window, for servers without a desktop:
//   corvella --backup-now [--config FILE] [--log FILE]  backs up every listed
//       database once, prints each run's final status row, exits 0 when
//       every run completed and 1 otherwise (also when a stop signal ended
//       it early);
//   corvella --service [--config FILE] [--log FILE]     runs the auto backup
//       service until SIGINT or SIGTERM, reads the settings again on SIGHUP,
//       exits 0, or 1 when the stop cut a backup short;
//   corvella --encode-password             reads a password from stdin and
//       prints its stored form, for writing the settings file by hand;
//   corvella --status | --check [--config FILE] [--history FILE]  judges
//       every listed database from the run history (StatusCommand.h);
//   --help, --version.
// Notices become lines on stderr. A settings file that is missing,
// unreadable, lists no usable database or is in use by another copy gives a
// clear error and exit 2.
//
// Threads: called on the main thread; blocks until the work is done.
namespace app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRunFailed = 1;
inline constexpr int kExitBadConfiguration = 2;

struct CommandLine {
    enum class Mode { Desktop, BackupNow, Service, EncodePassword, Status, Check, Help, Version, Invalid };
    Mode mode = Mode::Desktop;
    std::string configPath;               // --config; empty: found as SettingsLocation says
    std::string logPath;                  // --log; empty: found as SettingsLocation says
    std::string historyPath;              // --history; empty: beside the log
    std::vector<std::string> desktopArgs; // Qt's own options (-platform X ...), for the window
    std::string error;                    // for Mode::Invalid
};

// --config, --log and --history are taken in every mode; the desktop also
// takes a few of Qt's own options (-platform, -display, -style, -session
// ...). Anything else, an option without its value, or Qt's options with a
// headless mode, gives Mode::Invalid; nothing here needs a display.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// Runs a mode other than Desktop and returns the process's exit code.
int RunHeadless(const CommandLine& commandLine);

} // namespace app
