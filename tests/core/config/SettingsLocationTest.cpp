#include "config/SettingsLocation.h"

#include "fakes/TempFolder.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

namespace {

using Source = config::SettingsLocation::Source;

struct Case {
    const char* label;
    std::string configOption;
    std::string logOption;
    std::map<std::string, std::string> environment;
    bool besideProgram = false;
    std::string settings;
    std::string log;
    Source source;
};

// Every way of finding the settings file, and where the log goes with each.
TEST(SettingsLocationTest, FindsTheSettingsAndTheLogInTheirOrder)
{
    fakes::TempFolder folder;
    const std::string program = folder.path("bin") + "/";
    ::mkdir(folder.path("bin").c_str(), 0755);
    const std::string home = "/home/ana";
    const Case cases[] = {
        {"option first", "/etc/corvella/BackupConfig.ini", "", {{"CORVELLA_CONFIG", "/x.ini"}}, true,
         "/etc/corvella/BackupConfig.ini", "BackupLog.log", Source::Option},
        {"then the environment", "", "", {{"CORVELLA_CONFIG", "/srv/c.ini"}, {"HOME", home}}, true, "/srv/c.ini",
         "BackupLog.log", Source::Environment},
        {"then beside the program", "", "", {{"HOME", home}}, true, program + "BackupConfig.ini", "BackupLog.log",
         Source::ProgramFolder},
        {"then the user's folder", "", "", {{"HOME", home}}, false, home + "/.config/corvella/BackupConfig.ini",
         home + "/.local/state/corvella/BackupLog.log", Source::UserConfig},
        {"XDG variables", "", "", {{"HOME", home}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_STATE_HOME", "/state"}}, false,
         "/cfg/corvella/BackupConfig.ini", "/state/corvella/BackupLog.log", Source::UserConfig},
        {"relative XDG values are ignored", "", "",
         {{"HOME", home}, {"XDG_CONFIG_HOME", "cfg"}, {"XDG_STATE_HOME", "state"}}, false,
         home + "/.config/corvella/BackupConfig.ini", home + "/.local/state/corvella/BackupLog.log",
         Source::UserConfig},
        {"--log wins", "", "/var/log/corvella.log", {{"HOME", home}}, false,
         home + "/.config/corvella/BackupConfig.ini", "/var/log/corvella.log", Source::UserConfig},
        {"an empty environment value counts as unset", "", "", {{"CORVELLA_CONFIG", ""}, {"HOME", home}}, true,
         program + "BackupConfig.ini", "BackupLog.log", Source::ProgramFolder},
    };
    for (const Case& c : cases) {
        ::unlink((program + "BackupConfig.ini").c_str());
        if (c.besideProgram)
            folder.write("bin/BackupConfig.ini", "[DBBackInfo]\n");
        config::LocationInputs inputs;
        inputs.configOption = c.configOption;
        inputs.logOption = c.logOption;
        inputs.programFolder = program;
        inputs.getenv = [&c](const char* name) -> const char* {
            const auto it = c.environment.find(name);
            return it == c.environment.end() ? nullptr : it->second.c_str();
        };
        const config::SettingsLocation location = config::ResolveSettingsLocation(inputs);
        EXPECT_EQ(location.settingsPath, c.settings) << c.label;
        EXPECT_EQ(location.logPath, c.log) << c.label;
        EXPECT_EQ(location.source, c.source) << c.label;
    }
}

// The run history lies beside the log, wherever that is, unless named.
TEST(SettingsLocationTest, TheHistoryLiesBesideTheLog)
{
    const std::pair<config::LocationInputs, std::string> cases[] = {
        {{"/etc/corvella/BackupConfig.ini", "", "", "", {}}, "BackupHistory.db"},
        {{"", "", "", "", [](const char* name) -> const char* { return std::string(name) == "HOME" ? "/home/ana" : nullptr; }},
         "/home/ana/.local/state/corvella/BackupHistory.db"},
        {{"/c.ini", "/var/log/corvella/corvella.log", "", "", {}}, "/var/log/corvella/BackupHistory.db"},
        {{"/c.ini", "/var/log/corvella.log", "/var/lib/corvella/runs.db", "", {}}, "/var/lib/corvella/runs.db"},
    };
    for (const auto& [inputs, history] : cases)
        EXPECT_EQ(config::ResolveSettingsLocation(inputs).historyPath, history) << inputs.logOption;
}

// The user's folders are made on first use, private to the user.
TEST(SettingsLocationTest, PreparesPrivateUserFolders)
{
    fakes::TempFolder folder;
    config::SettingsLocation location;
    location.source = Source::UserConfig;
    location.settingsPath = folder.path("home/.config/corvella/BackupConfig.ini");
    location.logPath = folder.path("home/.local/state/corvella/BackupLog.log");
    std::string error;
    ASSERT_TRUE(config::PrepareUserFolders(location, error)) << error;
    for (const char* made : {"home/.config/corvella", "home/.local/state/corvella"}) {
        struct stat status {};
        ASSERT_EQ(::stat(folder.path(made).c_str(), &status), 0) << made;
        EXPECT_EQ(status.st_mode & 0777, 0700u) << made;
    }

    folder.write("blocked", "a file where a folder belongs");
    location.settingsPath = folder.path("blocked/corvella/BackupConfig.ini");
    EXPECT_FALSE(config::PrepareUserFolders(location, error));
    EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
}

} // namespace
