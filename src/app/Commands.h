#pragma once

#include "app/StartUp.h"
#include "config/DatabaseList.h"
#include "config/MailSettings.h"
#include "config/SettingsLocation.h"

#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace engine { class SettingsStore; }

// The commands of the program without a window, for servers without a
// desktop and for scripts. Both executables take them from the table in
// Commands.cpp: corvella-cli, linked to the core alone, and corvella, which
// opens its window when no command is given. Adding a command is one entry
// there (with the options it alone takes) and the function that runs it.
//
//   --backup-now   backs up every listed database once, prints each run's
//                  final status row, exits 0 when every run completed and 1
//                  otherwise (also when a stop signal ended it early);
//   --service      runs the auto backup service until SIGINT or SIGTERM,
//                  reads the settings again on SIGHUP, exits 0, or 1 when the
//                  stop cut a backup short;
//   --encode-password  reads a password from stdin and prints its stored
//                  form, for writing the settings file by hand;
//   --status, --check  judge every listed database from the run history
//                  (StatusCommand.h), exit 0 to 3 as a monitoring plugin;
//   --help, --version.
// Notices become lines on stderr. A settings file that is missing,
// unreadable, lists no usable database or is in use by another copy gives a
// clear error and exit 2.
//
// Threads: called on the main thread; blocks until the work is done.
namespace app {

// How much of the start-up a command needs before it runs.
enum class Needs {
    Nothing,  // no settings at all
    Paths,    // where the settings file, the log and the history are; nothing made, locked or read
    Location, // those files' folders made where they are the user's; another copy may hold them
    Session,  // the settings file read and checked, and this copy the only one on it
};

struct CommandLine;

// What a command is given.
struct Invocation {
    const CommandLine& commandLine;
    std::string programName; // for the lines on stderr
    // Needs::Paths, Needs::Location and Needs::Session:
    config::SettingsLocation location;
    // Needs::Session: the settings, and the list and mail settings as checked.
    std::shared_ptr<engine::SettingsStore> settings;
    config::DatabaseList databases;
    config::MailSettings mail;
};

// An option of one command alone that takes a value ("--database NAME").
struct CommandOption {
    std::string_view option; // "--database"
    std::string_view what;   // "a database name", for "--database needs a database name"
};

struct Command {
    std::string_view option;   // "--backup-now"
    std::string_view synopsis; // what follows the program's name in the usage line, its own options included
    std::string_view help;     // the lines of --help, indented, each ending in "\n"
    Needs needs;
    int (*run)(const Invocation& invocation);
    // Its own options; their values are in CommandLine::values.
    std::span<const CommandOption> options = {};
    // The exit code of a settings file that is missing, unusable or in use.
    int badConfigurationExit = kExitBadConfiguration;
};

// Every command, in the order --help lists them.
std::span<const Command> Commands();

struct CommandLine {
    enum class Mode { Desktop, Command, Help, Version, Invalid };
    Mode mode = Mode::Desktop;
    const Command* command = nullptr;     // Mode::Command
    std::string configPath;               // --config; empty: found as SettingsLocation says
    std::string logPath;                  // --log; empty: found as SettingsLocation says
    std::string historyPath;              // --history; empty: beside the log
    std::vector<std::string> desktopArgs; // Qt's own options (-platform X ...), for the window
    std::map<std::string, std::string, std::less<>> values; // the command's own options given, by option
    std::string error;                    // Mode::Invalid

    // The value of the command's own `option`; empty when not given.
    std::string value(std::string_view option) const
    {
        const auto found = values.find(option);
        return found == values.end() ? std::string() : found->second;
    }
};

// --config, --log and --history are taken in every mode. With `desktop`, a few of Qt's
// own options (-platform, -display, -style, -session ...) stay for the
// window unless a command is given, where they are an error; without it
// (corvella-cli) they are always an error, and so is giving no command.
// Anything else, or an option without its value, gives Mode::Invalid;
// nothing here needs a display.
CommandLine ParseCommandLine(const std::vector<std::string>& args, bool desktop);

// The --help text of the program named `programName`.
std::string Usage(const std::string& programName, bool desktop);

// Runs a mode other than Desktop and returns the process's exit code.
int RunHeadless(const CommandLine& commandLine, bool desktop);

} // namespace app
