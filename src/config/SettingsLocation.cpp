#include "config/SettingsLocation.h"

#include "config/SettingsFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace config {

namespace {

constexpr const char* kFolderName = "corvella";
constexpr const char* kLogFileName = "BackupLog.log";
constexpr const char* kHistoryFileName = "BackupHistory.db";

std::string env(const LocationInputs& inputs, const char* name)
{
    const char* value = inputs.getenv ? inputs.getenv(name) : nullptr;
    return value ? std::string(value) : std::string();
}

// An XDG base folder: the variable when it holds an absolute path, else the
// default below the home folder.
std::string baseFolder(const LocationInputs& inputs, const char* variable, const char* fallback)
{
    const std::string value = env(inputs, variable);
    if (!value.empty() && value.front() == '/')
        return value;
    std::string home = env(inputs, "HOME");
    if (home.empty())
        home = ".";
    return home + "/" + fallback;
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

bool makeFolders(const std::string& folder, std::string& error)
{
    std::string built;
    std::size_t at = 0;
    while (at <= folder.size()) {
        const std::size_t slash = folder.find('/', at);
        built = folder.substr(0, slash == std::string::npos ? folder.size() : slash);
        at = slash == std::string::npos ? folder.size() + 1 : slash + 1;
        if (built.empty())
            continue;
        struct stat status {};
        if (::stat(built.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode)) {
                error = "Cannot create folder '" + folder + "': '" + built + "' is not a folder";
                return false;
            }
            continue;
        }
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "Cannot create folder '" + built + "': " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace

std::string SettingsLocation::describe() const
{
    switch (source) {
    case Source::Option:
        return "given with --config";
    case Source::Environment:
        return "named by $CORVELLA_CONFIG";
    case Source::ProgramFolder:
        return "beside the program";
    case Source::UserConfig:
        return "the user's settings folder";
    }
    return {};
}

SettingsLocation ResolveSettingsLocation(const LocationInputs& inputs)
{
    SettingsLocation location;
    const std::string fromEnvironment = env(inputs, "CORVELLA_CONFIG");
    const std::string besideProgram = inputs.programFolder + kSettingsFileName;
    struct stat status {};
    if (!inputs.configOption.empty()) {
        location.settingsPath = inputs.configOption;
        location.source = SettingsLocation::Source::Option;
    } else if (!fromEnvironment.empty()) {
        location.settingsPath = fromEnvironment;
        location.source = SettingsLocation::Source::Environment;
    } else if (!inputs.programFolder.empty() && ::stat(besideProgram.c_str(), &status) == 0) {
        location.settingsPath = besideProgram;
        location.source = SettingsLocation::Source::ProgramFolder;
    } else {
        location.settingsPath
            = baseFolder(inputs, "XDG_CONFIG_HOME", ".config") + "/" + kFolderName + "/" + kSettingsFileName;
        location.source = SettingsLocation::Source::UserConfig;
    }

    if (!inputs.logOption.empty())
        location.logPath = inputs.logOption;
    else if (location.source == SettingsLocation::Source::UserConfig)
        location.logPath = baseFolder(inputs, "XDG_STATE_HOME", ".local/state") + "/" + kFolderName + "/" + kLogFileName;
    else
        location.logPath = kLogFileName;

    if (!inputs.historyOption.empty()) {
        location.historyPath = inputs.historyOption;
    } else {
        const auto slash = location.logPath.rfind('/');
        location.historyPath = slash == std::string::npos
            ? std::string(kHistoryFileName)
            : location.logPath.substr(0, slash + 1) + kHistoryFileName;
    }
    return location;
}

LocationInputs ProcessLocationInputs(std::string configOption, std::string logOption, std::string historyOption)
{
    LocationInputs inputs;
    inputs.configOption = std::move(configOption);
    inputs.logOption = std::move(logOption);
    inputs.historyOption = std::move(historyOption);
    inputs.programFolder = ProgramFolder();
    inputs.getenv = [](const char* name) -> const char* { return std::getenv(name); };
    return inputs;
}

bool PrepareUserFolders(const SettingsLocation& location, std::string& error)
{
    if (location.source != SettingsLocation::Source::UserConfig)
        return true;
    if (!makeFolders(folderOf(location.settingsPath), error))
        return false;
    return makeFolders(folderOf(location.logPath), error);
}

} // namespace config
