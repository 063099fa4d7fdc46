#include "app/Commands.h"

#include "app/Headless.h"
#include "app/InstanceLock.h"
#include "app/StartUp.h"
#include "app/StatusCommand.h"
#include "engine/BackupWorker.h"
#include "engine/SettingsStore.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <optional>
#include <set>

namespace app {

namespace {

constexpr std::string_view kFilesSynopsis = " [--config FILE] [--log FILE] [--history FILE]";

constexpr std::array<CommandOption, 1> kRestoreTestOptions = {{{"--database", "a database name"}}};

const std::array<Command, 6> kCommands = {{
    {"--backup-now", "--backup-now",
     "  --backup-now   back up every database of the settings file once, print\n"
     "                 each run's final status, exit 0 when all completed, else 1;\n"
     "                 SIGINT or SIGTERM end the run under way and exit 1\n",
     Needs::Session, &BackupNow},
    {"--restore-test", "--restore-test [--database NAME]",
     "  --restore-test restore the newest kept backup of every database (or of the\n"
     "                 one --database names) under a scratch name on its server,\n"
     "                 run DBCC CHECKDB on it and drop it again; print the\n"
     "                 verdicts, exit 0 when all passed, else 1\n"
     "  --database NAME\n"
     "                 with --restore-test: only the database of this name\n",
     Needs::Session, &RestoreTest, kRestoreTestOptions},
    {"--service", "--service",
     "  --service      run the auto backup service until SIGINT or SIGTERM; SIGHUP\n"
     "                 reads the settings file again (new databases run at once,\n"
     "                 removed ones stop after their run, the others keep their\n"
     "                 schedule); exit 1 when the stop cut a backup short\n",
     Needs::Session, &Service},
    {"--encode-password", "--encode-password < PASSWORD-FILE",
     "  --encode-password\n"
     "                 read a password from standard input (one line) and print\n"
     "                 the form BackupConfig.ini stores it in (DB_INITER_n, SVRPD)\n",
     Needs::Nothing, &EncodePassword},
    {"--status", "--status",
     "  --status       print each listed database's last good backup, last result,\n"
     "                 next start and state from the run history, then the\n"
     "                 --check line; exit as --check does\n",
     Needs::Paths, &RunStatus, {}, kExitUnknown},
    {"--check", "--check",
     "  --check        print one line for a monitoring system and exit 0 (OK),\n"
     "                 1 (WARNING: a database without a good backup within twice\n"
     "                 its interval plus 10 minutes), 2 (CRITICAL: a last run that\n"
     "                 failed, or no good backup once the first interval passed)\n"
     "                 or 3 (UNKNOWN: settings or history unreadable)\n",
     Needs::Paths, &RunCheck, {}, kExitUnknown},
}};

const char* const kFilesHelp =
    "  --config FILE  the settings file to use\n"
    "  --log FILE     the event log to append to\n"
    "  --history FILE the run history (SQLite) to record runs in or to read\n"
    "  --help         show this text and the files in use\n"
    "  --version      show the program's version\n"
    "\n"
    "Without --config the settings file is $CORVELLA_CONFIG, else BackupConfig.ini\n"
    "beside the program when it exists there, else\n"
    "$XDG_CONFIG_HOME/corvella/BackupConfig.ini (~/.config when unset). Without\n"
    "--log the log is BackupLog.log in the current folder, or\n"
    "$XDG_STATE_HOME/corvella/BackupLog.log (~/.local/state) when the settings\n"
    "come from that folder. Without --history the run history is\n"
    "BackupHistory.db beside the log. One copy runs per settings file. A\n"
    "settings file that is missing, unusable or in use by another copy ends the\n"
    "program with exit code 2 (3 for --status and --check).\n";

// The options of Qt's own that the window takes: those with a value, and
// switches. A desktop session restoring the program passes -session.
const std::set<std::string, std::less<>> kQtValueOptions = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "display", "geometry", "style", "stylesheet",
    "session", "qwindowgeometry", "qwindowtitle", "qwindowicon", "name", "title"};
const std::set<std::string, std::less<>> kQtSwitches = {"reverse", "nograb", "dograb", "sync", "widgetcount"};

// "-platform" and "--platform" are both Qt's "platform".
std::string_view QtName(std::string_view arg)
{
    return arg.substr(arg.starts_with("--") ? 2 : 1);
}

const Command* FindCommand(std::string_view option)
{
    for (const Command& command : kCommands) {
        if (command.option == option)
            return &command;
    }
    return nullptr;
}

// The command whose own option `arg` is ("--database" or "--database=..."),
// with that option; null when none.
std::pair<const Command*, const CommandOption*> FindCommandOption(std::string_view arg)
{
    for (const Command& command : kCommands) {
        for (const CommandOption& option : command.options) {
            const bool withValue = arg.starts_with(option.option) && arg.substr(option.option.size()).starts_with('=');
            if (arg == option.option || withValue)
                return {&command, &option};
        }
    }
    return {nullptr, nullptr};
}

// "--backup-now, --service and --encode-password"
std::string CommandList()
{
    std::string list;
    for (std::size_t i = 0; i < kCommands.size(); ++i) {
        if (i > 0)
            list += i + 1 == kCommands.size() ? " and " : ", ";
        list += kCommands[i].option;
    }
    return list;
}

void ErrorLine(const std::string& text)
{
    std::cerr << text << '\n' << std::flush;
}

} // namespace

std::span<const Command> Commands()
{
    return kCommands;
}

std::string Usage(const std::string& programName, bool desktop)
{
    std::string text;
    const auto usageLine = [&](std::string_view rest) {
        text += (text.empty() ? "Usage: " : "       ") + programName + " " + std::string(rest) + "\n";
    };
    if (desktop)
        usageLine(std::string(kFilesSynopsis.substr(1)));
    for (const Command& command : kCommands)
        usageLine(std::string(command.synopsis) + (command.needs == Needs::Nothing ? "" : std::string(kFilesSynopsis)));
    usageLine("--help | --version");
    text += "\n";
    if (desktop)
        text += "Without a command, opens the desktop window.\nThe window also takes Qt's -platform, -display, "
                "-style and -session options.\n\n";
    for (const Command& command : kCommands)
        text += command.help;
    return text + kFilesHelp;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, bool desktop)
{
    CommandLine result;
    const auto invalid = [&result](std::string error) {
        result.mode = CommandLine::Mode::Invalid;
        result.error = std::move(error);
        return result;
    };
    bool help = false;
    bool version = false;
    // --config FILE and --log FILE (or --config=FILE, --log=FILE) for both
    // front ends; a few of Qt's own options are the desktop's, and an error
    // when a command is asked for; anything else is an error.
    const auto takeValue = [&](std::size_t& i, const std::string& option, std::string& target,
                               std::string_view what = "a file name") -> std::optional<std::string> {
        const std::string& arg = args[i];
        if (!target.empty())
            return option + " is given twice";
        if (arg == option) {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return option + " needs " + std::string(what);
            target = args[++i];
        } else {
            target = arg.substr(option.size() + 1);
            if (target.empty())
                return option + " needs " + std::string(what);
        }
        return std::nullopt;
    };
    // The first command-own option given, for "--database goes with --restore-test".
    std::pair<const Command*, const CommandOption*> ownOption{nullptr, nullptr};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (const Command* command = FindCommand(arg)) {
            if (result.command && result.command != command)
                return invalid(CommandList() + " cannot be combined");
            result.command = command;
        } else if (arg == "--config" || arg.starts_with("--config=")) {
            if (auto problem = takeValue(i, "--config", result.configPath))
                return invalid(*problem);
        } else if (arg == "--log" || arg.starts_with("--log=")) {
            if (auto problem = takeValue(i, "--log", result.logPath))
                return invalid(*problem);
        } else if (arg == "--history" || arg.starts_with("--history=")) {
            if (auto problem = takeValue(i, "--history", result.historyPath))
                return invalid(*problem);
        } else if (const auto [owner, option] = FindCommandOption(arg); owner) {
            const std::string name(option->option);
            if (auto problem = takeValue(i, name, result.values[name], option->what))
                return invalid(*problem);
            if (!ownOption.first)
                ownOption = {owner, option};
        } else if (desktop && arg.size() > 1 && arg.front() == '-' && kQtValueOptions.count(QtName(arg))) {
            if (i + 1 >= args.size())
                return invalid(arg + " needs a value");
            result.desktopArgs.push_back(arg);
            result.desktopArgs.push_back(args[++i]);
        } else if (desktop && arg.size() > 1 && arg.front() == '-' && kQtSwitches.count(QtName(arg))) {
            result.desktopArgs.push_back(arg);
        } else {
            return invalid(arg.starts_with("-") ? "unknown option '" + arg + "'" : "unexpected argument '" + arg + "'");
        }
    }
    const bool headless = help || version || result.command;
    if (help) {
        result.mode = CommandLine::Mode::Help;
    } else if (version) {
        result.mode = CommandLine::Mode::Version;
    } else if (!headless && desktop) {
        result.mode = CommandLine::Mode::Desktop;
    } else if (!result.desktopArgs.empty()) {
        return invalid("unknown option '" + result.desktopArgs.front() + "'");
    } else if (!result.command) {
        return invalid("no command given: " + CommandList() + " (see --help)");
    } else if (ownOption.first && std::ranges::none_of(result.command->options, [&](const CommandOption& option) {
                   return option.option == ownOption.second->option;
               })) {
        return invalid(std::string(ownOption.second->option) + " goes with " + std::string(ownOption.first->option));
    } else if (result.command->needs == Needs::Nothing
               && (!result.configPath.empty() || !result.logPath.empty() || !result.historyPath.empty())) {
        return invalid(std::string(result.command->option) + " takes no --config, --log or --history");
    } else {
        result.mode = CommandLine::Mode::Command;
    }
    return result;
}

int RunHeadless(const CommandLine& commandLine, bool desktop)
{
    const std::string programName = engine::ProgramName();
    switch (commandLine.mode) {
    case CommandLine::Mode::Help: {
        const config::SettingsLocation location = config::ResolveSettingsLocation(
            config::ProcessLocationInputs(commandLine.configPath, commandLine.logPath, commandLine.historyPath));
        std::cout << Usage(programName, desktop) << "\nSettings file in use: " << location.settingsPath << " ("
                  << location.describe() << ")\nLog file in use: " << location.logPath
                  << "\nRun history in use: " << location.historyPath << '\n';
        return kExitOk;
    }
    case CommandLine::Mode::Version:
        std::cout << programName << " " << CORVELLA_VERSION << '\n';
        return kExitOk;
    case CommandLine::Mode::Invalid:
        ErrorLine(programName + ": " + commandLine.error);
        ErrorLine(Usage(programName, desktop));
        return kExitBadConfiguration;
    case CommandLine::Mode::Desktop:
        return kExitBadConfiguration;
    case CommandLine::Mode::Command:
        break;
    }

    const Command& command = *commandLine.command;
    Invocation invocation{commandLine, programName, {}, {}, {}, {}};
    if (command.needs == Needs::Nothing)
        return command.run(invocation);
    if (command.needs == Needs::Paths) {
        invocation.location = config::ResolveSettingsLocation(
            config::ProcessLocationInputs(commandLine.configPath, commandLine.logPath, commandLine.historyPath));
        return command.run(invocation);
    }

    InstanceLock lock;
    const StartUp start = Start(commandLine.configPath, commandLine.logPath, commandLine.historyPath,
                                command.needs == Needs::Session ? &lock : nullptr);
    switch (start.result) {
    case StartUp::Result::Ready:
        break;
    case StartUp::Result::InUse:
        ErrorLine(programName + ": " + InUseText(start.location.settingsPath, start.holder));
        return command.badConfigurationExit;
    case StartUp::Result::Failed:
        ErrorLine(programName + ": " + start.error);
        return command.badConfigurationExit;
    }
    invocation.location = start.location;
    if (command.needs == Needs::Session) {
        invocation.settings = std::make_shared<engine::SettingsStore>(start.location.settingsPath);
        std::string error;
        if (!LoadConfiguration(*invocation.settings, false, invocation.databases, invocation.mail, error)) {
            ErrorLine(programName + ": " + error);
            return command.badConfigurationExit;
        }
    }
    return command.run(invocation);
}

} // namespace app
