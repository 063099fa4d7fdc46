#pragma once

#include <functional>
#include <string>

namespace config {

// Where the settings file and the log are, for both front ends:
//   settings: --config FILE; else $CORVELLA_CONFIG; else BackupConfig.ini in
//   the program folder when that file exists (a copy run from its own
//   folder, and the demo); else $XDG_CONFIG_HOME/corvella/BackupConfig.ini
//   ($XDG_CONFIG_HOME defaults to ~/.config; a relative value is ignored, as
//   the XDG rules say).
//   log: --log FILE; else $XDG_STATE_HOME/corvella/BackupLog.log (default
//   ~/.local/state) when the settings came from the XDG folder (an installed
//   copy started from a menu, whose working folder is the home folder); else
//   BackupLog.log in the working folder.
//   history: --history FILE; else BackupHistory.db beside the log.
// Pure apart from the one existence test of the program-folder file; the
// environment is read through `getenv` so tests can pass their own.
struct SettingsLocation {
    enum class Source { Option, Environment, ProgramFolder, UserConfig };

    std::string settingsPath;
    std::string logPath;
    std::string historyPath;
    Source source = Source::Option;

    // How the settings file was found, for --help and the About box.
    std::string describe() const;
};

struct LocationInputs {
    std::string configOption;  // --config, empty when not given
    std::string logOption;     // --log, empty when not given
    std::string historyOption; // --history, empty when not given
    std::string programFolder; // with a trailing "/"
    std::function<const char*(const char*)> getenv;
};

SettingsLocation ResolveSettingsLocation(const LocationInputs& inputs);

// The inputs of the running process: the real environment and program folder.
LocationInputs ProcessLocationInputs(std::string configOption, std::string logOption,
                                     std::string historyOption = {});

// Creates the missing folders of the user's settings file and log (mode 0700:
// the settings hold credentials). False, with the reason, when one cannot be
// made. Does nothing for the other sources.
bool PrepareUserFolders(const SettingsLocation& location, std::string& error);

} // namespace config
