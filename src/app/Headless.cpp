#include "app/Headless.h"

#include "app/InstanceLock.h"
#include "app/StatusCommand.h"
#include "config/DatabaseEntry.h"
#include "config/DatabaseList.h"
#include "config/MailSettings.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "config/SettingsLocation.h"
#include "engine/BackupScheduler.h"
#include "engine/BackupSession.h"
#include "engine/StatusJournal.h"
#include "engine/SystemServices.h"
#include "log/Log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace app {

namespace {

constexpr std::chrono::milliseconds kServiceStopBound = std::chrono::seconds(60);

const char* const kUsage =
    "Usage: corvella [--config FILE] [--log FILE] [--history FILE]\n"
    "       corvella --backup-now | --service [--config FILE] [--log FILE] [--history FILE]\n"
    "       corvella --status | --check [--config FILE] [--history FILE]\n"
    "       corvella --encode-password < PASSWORD-FILE\n"
    "       corvella --help | --version\n"
    "\n"
    "Without --backup-now or --service, opens the desktop window (which also\n"
    "takes Qt's -platform, -display, -style and -session options).\n"
    "\n"
    "  --backup-now   back up every database of the settings file once, print\n"
    "                 each run's final status, exit 0 when all completed, else 1;\n"
    "                 SIGINT or SIGTERM end the run under way and exit 1\n"
    "  --service      run the auto backup service until SIGINT or SIGTERM; SIGHUP\n"
    "                 reads the settings file again (new databases run at once,\n"
    "                 removed ones stop after their run, the others keep their\n"
    "                 schedule); exit 1 when the stop cut a backup short\n"
    "  --status       print each listed database's last good backup, last result,\n"
    "                 next start and state from the run history, then the\n"
    "                 --check line; exit as --check does\n"
    "  --check        print one line for a monitoring system and exit 0 (OK),\n"
    "                 1 (WARNING: a database without a good backup within twice\n"
    "                 its interval plus 10 minutes), 2 (CRITICAL: a last run that\n"
    "                 failed, or no good backup once the first interval passed)\n"
    "                 or 3 (UNKNOWN: settings or history unreadable)\n"
    "  --encode-password\n"
    "                 read a password from standard input (one line) and print\n"
    "                 the form BackupConfig.ini stores it in (DB_INITER_n, SVRPD)\n"
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

// Lines on stderr never interleave, whichever thread writes them.
std::mutex s_stderrMutex;

void ErrorLine(const std::string& text)
{
    std::lock_guard lock(s_stderrMutex);
    std::cerr << text << '\n' << std::flush;
}

// The view of headless runs: notices go to stderr, and the runs that ended
// are kept for the table of --backup-now.
class HeadlessView final : public engine::BackupView {
public:
    void showNotice(const std::string& text, const std::string& caption) override { ErrorLine(caption + ": " + text); }
    void runFinished(const engine::RunResult& result) override
    {
        std::lock_guard lock(m_mutex);
        m_results.push_back(result);
    }
    std::vector<engine::RunResult> results() const
    {
        std::lock_guard lock(m_mutex);
        return m_results;
    }

private:
    mutable std::mutex m_mutex; // guards m_results
    std::vector<engine::RunResult> m_results;
};

// On a terminal, the progress of the run under way, on one line of stderr
// that each update rewrites; cleared before the table is printed.
class TerminalProgress final : public engine::StatusJournal::Observer {
public:
    explicit TerminalProgress(engine::StatusJournal& journal)
        : m_journal(journal)
        , m_active(::isatty(STDERR_FILENO) == 1)
    {
        if (m_active)
            m_journal.addObserver(this);
    }
    ~TerminalProgress() override
    {
        if (!m_active)
            return;
        m_journal.removeObserver(this);
        std::lock_guard lock(s_stderrMutex);
        if (m_shown)
            std::cerr << "\r\033[K" << std::flush;
    }

private:
    void rowInserted(int) override {}
    void cleared() override { m_names.clear(); }
    // Called with the journal's mutex held: writes one short line and returns.
    void cellChanged(int row, int column, const std::string& text) override
    {
        if (column == engine::StatusDatabaseName)
            m_names[row] = text;
        if (column != engine::StatusBackupStatus)
            return;
        std::lock_guard lock(s_stderrMutex);
        std::cerr << "\r\033[K" << m_names[row] << ": " << text << std::flush;
        m_shown = true;
    }

    engine::StatusJournal& m_journal;
    const bool m_active;
    std::map<int, std::string> m_names;
    bool m_shown = false;
};

struct Configuration {
    config::SettingsLocation location;
    config::DatabaseList databases;
    config::MailSettings mail;
};

// Loads and checks the configuration; on failure returns false with the reason.
bool LoadConfiguration(const std::string& path, config::DatabaseList& databases, config::MailSettings& mail,
                       std::string& error)
{
    if (::access(path.c_str(), F_OK) != 0) {
        error = "cannot read the configuration file '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (!config::LoadDatabaseList(path, databases, &error) || !config::LoadMailSettings(path, mail, &error))
        return false;
    if (databases.rowCount() == 0) {
        error = "the configuration file '" + path + "' lists no database (section DBBackInfo)";
        return false;
    }
    for (int row = 0; row < databases.rowCount(); ++row) {
        const config::DatabaseEntry entry = config::DatabaseEntry::FromRow(databases.row(row));
        const std::pair<const std::string*, const char*> required[] = {
            {&entry.databaseUrl, "server address"},
            {&entry.databaseName, "database name"},
            {&entry.backupPath, "backup path"},
        };
        for (const auto& [value, what] : required) {
            if (value->find_first_not_of(" \t") == std::string::npos) {
                error = "database " + std::to_string(row + 1) + " of the configuration file '" + path + "' has no "
                    + what;
                return false;
            }
        }
    }
    return true;
}

std::string FormatTable(std::vector<engine::RunResult> results)
{
    std::sort(results.begin(), results.end(), [](const engine::RunResult& a, const engine::RunResult& b) {
        return std::atoll(a.row[engine::StatusSerial].c_str()) < std::atoll(b.row[engine::StatusSerial].c_str());
    });
    const engine::StatusJournal::Row headings
        = {"Serial", "Database Name", "Backup Status", "File Size", "Backup Time", "Email Status"};
    std::size_t widths[engine::kStatusColumnCount];
    for (int c = 0; c < engine::kStatusColumnCount; ++c) {
        widths[c] = headings[c].size();
        for (const auto& result : results)
            widths[c] = std::max(widths[c], result.row[c].size());
    }
    std::ostringstream out;
    const auto line = [&](const engine::StatusJournal::Row& cells) {
        std::string text;
        for (int c = 0; c < engine::kStatusColumnCount; ++c) {
            text += cells[c];
            if (c + 1 < engine::kStatusColumnCount)
                text += std::string(widths[c] - cells[c].size() + 2, ' ');
        }
        text.erase(text.find_last_not_of(' ') + 1);
        out << text << '\n';
    };
    line(headings);
    engine::StatusJournal::Row rule;
    for (int c = 0; c < engine::kStatusColumnCount; ++c)
        rule[c] = std::string(widths[c], '-');
    line(rule);
    for (const auto& result : results)
        line(result.row);
    return out.str();
}

// The stop signals are blocked on every thread (the mask is inherited, so
// this runs before any thread starts) and received by sigwait alone.
sigset_t BlockStopSignals(bool withReload)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (withReload)
        sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

std::string SignalName(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signal);
    }
}

// The session of a headless run, with the real services. Left undestroyed
// when a run is still blocked in the server at the end.
struct HeadlessSession {
    HeadlessSession(const Configuration& configuration, const std::string& applicationName)
        : services(configuration.location.settingsPath)
        , session({configuration.location.settingsPath, configuration.location.logPath,
                   configuration.location.historyPath},
                  services.services(engine::kDisplayName),
                  [applicationName](const std::string& text, const std::string& caption) {
                      ErrorLine(applicationName + ": " + caption + ": " + text);
                  })
    {
        session.setMailSettings(configuration.mail);
        session.addView(&view);
    }
    ~HeadlessSession() { session.removeView(&view); }

    engine::SystemServices services;
    HeadlessView view;
    engine::BackupSession session;
};

int BackupNow(Configuration& configuration, const std::string& applicationName)
{
    const sigset_t stopSignals = BlockStopSignals(false);
    auto* headless = new HeadlessSession(configuration, applicationName);
    engine::BackupScheduler& scheduler = headless->session.scheduler();
    auto progress = std::make_unique<TerminalProgress>(headless->session.statusJournal());
    const int started = scheduler.ManualBackup(configuration.databases);

    // Waits for the runs, or for a stop signal, whichever comes first.
    bool stopped = false;
    bool ended = true;
    while (!scheduler.waitUntilIdle(std::chrono::milliseconds(0))) {
        const timespec poll{0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &poll);
        if (signal > 0) {
            headless->session.log().Write("Stopping on " + SignalName(signal) + ": the backup under way is ended");
            ErrorLine(applicationName + ": stopping on " + SignalName(signal));
            stopped = true;
            ended = scheduler.shutdown(kServiceStopBound);
            break;
        }
    }
    int exitCode = kExitOk;
    progress.reset();
    {
        const std::vector<engine::RunResult> results = headless->view.results();
        std::cout << FormatTable(results) << std::flush;
        const bool allCompleted = started > 0 && static_cast<int>(results.size()) == started
            && std::all_of(results.begin(), results.end(), [](const engine::RunResult& r) { return r.completed(); });
        exitCode = allCompleted && !stopped ? kExitOk : kExitRunFailed;
    }
    if (!ended) {
        headless->session.log().Write("Backup now ended while a backup was still running");
        ErrorLine(applicationName + ": ended while a backup was still running");
        std::fflush(nullptr);
        std::_Exit(kExitRunFailed);
    }
    delete headless;
    return exitCode;
}

// Reads the settings file again for the running service: the database list
// goes to the scheduler, the mail settings to the session. A file that
// cannot be read leaves everything as it was.
void Reload(HeadlessSession& headless, const std::string& path)
{
    config::DatabaseList databases;
    config::MailSettings mail;
    std::string error;
    logging::Log& log = headless.session.log();
    if (!LoadConfiguration(path, databases, mail, error)) {
        log.Write("Settings not reloaded on SIGHUP: " + error);
        return;
    }
    headless.session.setMailSettings(mail);
    const auto summary = headless.session.scheduler().ReloadAutoService(databases);
    log.Write("Settings reloaded on SIGHUP: " + std::to_string(summary.added) + " database(s) new or changed, "
              + std::to_string(summary.removed) + " removed, " + std::to_string(summary.unchanged) + " unchanged");
}

int Service(Configuration& configuration, const std::string& applicationName)
{
    const sigset_t stopSignals = BlockStopSignals(true);
    auto* headless = new HeadlessSession(configuration, applicationName);
    engine::BackupScheduler& scheduler = headless->session.scheduler();
    if (scheduler.StartAutoBackupService(configuration.databases) == 0)
        return kExitBadConfiguration;

    int signal = 0;
    for (;;) {
        if (sigwait(&stopSignals, &signal) != 0)
            continue;
        if (signal != SIGHUP)
            break;
        Reload(*headless, configuration.location.settingsPath);
    }
    logging::Log& log = headless->session.log();
    log.Write("Stopping on " + SignalName(signal));
    const bool ended = scheduler.shutdown(kServiceStopBound);
    log.Write("Auto backup service stopped");
    if (!ended) {
        log.Write("Auto backup service ended while a backup was still running");
        ErrorLine(applicationName + ": ended while a backup was still running");
        std::fflush(nullptr);
        std::_Exit(kExitRunFailed);
    }
    const int abandoned = scheduler.abandonedRuns();
    if (abandoned > 0)
        ErrorLine(applicationName + ": " + std::to_string(abandoned) + " backup(s) cut short by the stop");
    delete headless;
    return abandoned > 0 ? kExitRunFailed : kExitOk;
}

// The password comes on stdin, never on the command line, where other users
// could read it.
int EncodePassword(const std::string& applicationName)
{
    std::string password;
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    std::string stored;
    config::PasswordCodec codec;
    if (codec.Encode(password, stored) != config::PasswordCodec::kOk) {
        ErrorLine(applicationName + ": " + (password.empty() ? "no password on standard input" : "the password cannot be encoded"));
        return kExitBadConfiguration;
    }
    std::cout << stored << '\n' << std::flush;
    return kExitOk;
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args)
{
    CommandLine result;
    const auto invalid = [&result](std::string error) {
        result.mode = CommandLine::Mode::Invalid;
        result.error = std::move(error);
        return result;
    };
    CommandLine::Mode mode = CommandLine::Mode::Desktop;
    bool headless = false;
    bool help = false;
    bool version = false;
    // --config FILE and --log FILE (or --config=FILE, --log=FILE) for both
    // front ends; anything else is the desktop's (Qt's) unless a headless
    // mode is asked for.
    const auto takeValue = [&](std::size_t& i, const std::string& option, std::string& target) -> std::optional<std::string> {
        const std::string& arg = args[i];
        if (!target.empty())
            return option + " is given twice";
        if (arg == option) {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return option + " needs a file name";
            target = args[++i];
        } else {
            target = arg.substr(option.size() + 1);
            if (target.empty())
                return option + " needs a file name";
        }
        return std::nullopt;
    };
    // The options of Qt's own that the window takes: those with a value,
    // and switches. A desktop session restoring the program passes -session.
    static const std::set<std::string> kQtValueOptions = {
        "platform", "platformpluginpath", "platformtheme", "plugin", "display", "geometry", "style", "stylesheet",
        "session", "qwindowgeometry", "qwindowtitle", "qwindowicon", "name", "title"};
    static const std::set<std::string> kQtSwitches = {"reverse", "nograb", "dograb", "sync", "widgetcount"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::string qtName = arg.substr(arg.starts_with("--") ? 2 : arg.starts_with("-") ? 1 : 0);
        if (arg.size() > 1 && arg.front() == '-' && kQtValueOptions.count(qtName)) {
            if (i + 1 >= args.size())
                return invalid(arg + " needs a value");
            result.desktopArgs.push_back(arg);
            result.desktopArgs.push_back(args[++i]);
        } else if (arg.size() > 1 && arg.front() == '-' && kQtSwitches.count(qtName)) {
            result.desktopArgs.push_back(arg);
        } else if (arg == "--help") {
            help = headless = true;
        } else if (arg == "--version") {
            version = headless = true;
        } else if (arg == "--backup-now" || arg == "--service" || arg == "--encode-password" || arg == "--status"
                   || arg == "--check") {
            const auto wanted = arg == "--service"        ? CommandLine::Mode::Service
                : arg == "--encode-password" ? CommandLine::Mode::EncodePassword
                : arg == "--status"          ? CommandLine::Mode::Status
                : arg == "--check"           ? CommandLine::Mode::Check
                                             : CommandLine::Mode::BackupNow;
            if (mode != CommandLine::Mode::Desktop && mode != wanted)
                return invalid("--backup-now, --service, --status, --check and --encode-password cannot be combined");
            mode = wanted;
            headless = true;
        } else if (arg == "--config" || arg.starts_with("--config=")) {
            if (auto problem = takeValue(i, "--config", result.configPath))
                return invalid(*problem);
        } else if (arg == "--log" || arg.starts_with("--log=")) {
            if (auto problem = takeValue(i, "--log", result.logPath))
                return invalid(*problem);
        } else if (arg == "--history" || arg.starts_with("--history=")) {
            if (auto problem = takeValue(i, "--history", result.historyPath))
                return invalid(*problem);
        } else {
            return invalid(arg.starts_with("-") ? "unknown option '" + arg + "'" : "unexpected argument '" + arg + "'");
        }
    }
    if (help) {
        result.mode = CommandLine::Mode::Help;
    } else if (version) {
        result.mode = CommandLine::Mode::Version;
    } else if (!headless) {
        result.mode = CommandLine::Mode::Desktop;
    } else if (!result.desktopArgs.empty()) {
        return invalid("unknown option '" + result.desktopArgs.front() + "'");
    } else if (mode == CommandLine::Mode::EncodePassword
               && (!result.configPath.empty() || !result.logPath.empty() || !result.historyPath.empty())) {
        return invalid("--encode-password takes no --config, --log or --history");
    } else {
        result.mode = mode;
    }
    return result;
}

int RunHeadless(const CommandLine& commandLine)
{
    const std::string applicationName = engine::ProgramName();
    switch (commandLine.mode) {
    case CommandLine::Mode::Help: {
        const config::SettingsLocation location = config::ResolveSettingsLocation(
            config::ProcessLocationInputs(commandLine.configPath, commandLine.logPath, commandLine.historyPath));
        std::cout << kUsage << "\nSettings file in use: " << location.settingsPath << " (" << location.describe()
                  << ")\nLog file in use: " << location.logPath << "\nRun history in use: " << location.historyPath
                  << '\n';
        return kExitOk;
    }
    case CommandLine::Mode::Version:
        std::cout << applicationName << " " << CORVELLA_VERSION << '\n';
        return kExitOk;
    case CommandLine::Mode::Invalid:
        ErrorLine(applicationName + ": " + commandLine.error);
        ErrorLine(kUsage);
        return kExitBadConfiguration;
    case CommandLine::Mode::Desktop:
        return kExitBadConfiguration;
    case CommandLine::Mode::EncodePassword:
        return EncodePassword(applicationName);
    case CommandLine::Mode::Status:
    case CommandLine::Mode::Check:
        return RunStatusCommand(commandLine);
    case CommandLine::Mode::BackupNow:
    case CommandLine::Mode::Service:
        break;
    }

    Configuration configuration;
    configuration.location = config::ResolveSettingsLocation(
        config::ProcessLocationInputs(commandLine.configPath, commandLine.logPath, commandLine.historyPath));
    const std::string& path = configuration.location.settingsPath;
    std::string error;
    if (!config::PrepareUserFolders(configuration.location, error)) {
        ErrorLine(applicationName + ": " + error);
        return kExitBadConfiguration;
    }
    // One copy per settings file: the lock is taken before the log is opened.
    InstanceLock lock;
    pid_t holder = 0;
    switch (lock.acquire(path, holder, error)) {
    case InstanceLock::Result::Acquired:
        break;
    case InstanceLock::Result::HeldByOther:
        ErrorLine(applicationName + ": the settings file '" + path + "' is in use by another copy of Corvella"
                  + (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()));
        return kExitBadConfiguration;
    case InstanceLock::Result::Failed:
        ErrorLine(applicationName + ": " + error);
        return kExitBadConfiguration;
    }
    if (!LoadConfiguration(path, configuration.databases, configuration.mail, error)) {
        ErrorLine(applicationName + ": " + error);
        return kExitBadConfiguration;
    }
    if (commandLine.mode == CommandLine::Mode::BackupNow)
        return BackupNow(configuration, applicationName);
    return Service(configuration, applicationName);
}

} // namespace app
