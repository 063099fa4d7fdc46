#include "app/Headless.h"

#include "config/DatabaseList.h"
#include "config/MailSettings.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "engine/BackupOwner.h"
#include "engine/BackupScheduler.h"
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
#include <mutex>
#include <pthread.h>
#include <sstream>
#include <unistd.h>

namespace app {

namespace {

constexpr std::chrono::milliseconds kServiceStopBound = std::chrono::seconds(60);

const char* const kUsage =
    "Usage: corvella [--backup-now | --service] [--config FILE]\n"
    "       corvella --encode-password < PASSWORD-FILE\n"
    "       corvella --help | --version\n"
    "\n"
    "Without options, opens the desktop window.\n"
    "\n"
    "  --backup-now   back up every database of the configuration once, print\n"
    "                 each run's final status, exit 0 when all completed, else 1\n"
    "  --service      run the auto backup service until SIGINT or SIGTERM\n"
    "  --encode-password\n"
    "                 read a password from standard input (one line) and print\n"
    "                 the form BackupConfig.ini stores it in (DB_INITER_n, SVRPD)\n"
    "  --config FILE  the settings file to use instead of BackupConfig.ini in the\n"
    "                 program folder\n"
    "  --help         show this text\n"
    "  --version      show the program's version\n"
    "\n"
    "BackupLog.log is written in the current folder. A missing or unusable\n"
    "configuration ends the program with exit code 2.\n";

// Lines on stderr never interleave, whichever thread writes them.
std::mutex s_stderrMutex;

void ErrorLine(const std::string& text)
{
    std::lock_guard lock(s_stderrMutex);
    std::cerr << text << '\n' << std::flush;
}

// The owner of headless runs: message boxes go to stderr; there are no
// controls and no status line to show.
class HeadlessOwner final : public engine::BackupOwner {
public:
    HeadlessOwner(const config::MailSettings& mail, const std::string& applicationName)
        : m_log(logging::Log::kDefaultFileName,
                [applicationName](const std::string& text, const std::string& caption) {
                    ErrorLine(applicationName + ": " + caption + ": " + text);
                })
        , m_mail(mail)
    {
        m_state.backupLock = &m_backupLock;
    }

    logging::Log& log() override { return m_log; }
    engine::StatusJournal& statusJournal() override { return m_journal; }
    engine::BackupState& backupState() override { return m_state; }
    void enableControl(int, bool) override {}
    void setStatusLine(const std::string&) override {}
    void showMessage(const std::string& text, const std::string& caption) override
    {
        ErrorLine(caption + ": " + text);
    }
    config::MailSettings mailSettings() const override { return m_mail; }

private:
    logging::Log m_log;
    engine::StatusJournal m_journal;
    std::mutex m_backupLock;
    engine::BackupState m_state;
    const config::MailSettings m_mail; // read-only while runs go on
};

struct Configuration {
    std::string path;
    config::DatabaseList databases;
    config::MailSettings mail;
};

// Loads and checks the configuration; on failure returns false with the reason.
bool LoadConfiguration(const std::string& path, Configuration& configuration, std::string& error)
{
    configuration.path = path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read the configuration file '" + path + "': " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    config::LoadDatabaseList(path, configuration.databases);
    config::LoadMailSettings(path, configuration.mail);
    const config::DatabaseList& list = configuration.databases;
    if (list.rowCount() == 0) {
        error = "the configuration file '" + path + "' lists no database (section DBBackInfo)";
        return false;
    }
    const std::pair<int, const char*> required[] = {
        {config::ColDatabaseUrl, "server address"},
        {config::ColDatabaseName, "database name"},
        {config::ColBackupPath, "backup path"},
    };
    for (int row = 0; row < list.rowCount(); ++row) {
        for (const auto& [column, what] : required) {
            if (list.cell(row, column).find_first_not_of(" \t") == std::string::npos) {
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

int BackupNow(Configuration& configuration, const std::string& applicationName)
{
    HeadlessOwner owner(configuration.mail, applicationName);
    engine::SystemServices real(configuration.path);
    engine::BackupScheduler scheduler(owner, real.services(applicationName));
    std::mutex resultsMutex;
    std::vector<engine::RunResult> results;
    scheduler.setRunFinishedHandler([&](const engine::RunResult& result) {
        std::lock_guard lock(resultsMutex);
        results.push_back(result);
    });
    const int started = scheduler.ManualBackup(configuration.databases);
    scheduler.waitUntilIdle(std::chrono::milliseconds::max());

    std::lock_guard lock(resultsMutex);
    std::cout << FormatTable(results) << std::flush;
    const bool allCompleted = started > 0 && static_cast<int>(results.size()) == started
        && std::all_of(results.begin(), results.end(), [](const engine::RunResult& r) { return r.completed; });
    return allCompleted ? kExitOk : kExitRunFailed;
}

int Service(Configuration& configuration, const std::string& applicationName)
{
    // Blocked before any thread starts, so every thread inherits the mask and
    // only sigwait below receives the stop signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Left undestroyed on purpose when a run is still blocked at the end.
    auto* owner = new HeadlessOwner(configuration.mail, applicationName);
    // The services outlive a run still blocked in the server at the end.
    auto* real = new engine::SystemServices(configuration.path);
    auto* scheduler = new engine::BackupScheduler(*owner, real->services(applicationName));
    if (scheduler->StartAutoBackupService(configuration.databases) == 0)
        return kExitBadConfiguration;

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    owner->log().Write("Auto backup service stopped");
    if (!scheduler->shutdown(kServiceStopBound)) {
        owner->log().Write("Auto backup service ended while a backup was still running");
        ErrorLine(applicationName + ": ended while a backup was still running");
        std::_Exit(kExitOk);
    }
    delete scheduler;
    delete real;
    delete owner;
    return kExitOk;
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
    bool headless = false;
    for (const std::string& arg : args) {
        if (arg == "--backup-now" || arg == "--service" || arg == "--encode-password" || arg == "--help"
            || arg == "--version" || arg == "--config" || arg.starts_with("--config=")) {
            headless = true;
        }
    }
    if (!headless)
        return result;

    const auto invalid = [&result](std::string error) {
        result.mode = CommandLine::Mode::Invalid;
        result.error = std::move(error);
        return result;
    };
    CommandLine::Mode mode = CommandLine::Mode::Desktop;
    bool help = false;
    bool version = false;
    bool configGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--backup-now" || arg == "--service" || arg == "--encode-password") {
            const auto wanted = arg == "--service"        ? CommandLine::Mode::Service
                : arg == "--encode-password" ? CommandLine::Mode::EncodePassword
                                             : CommandLine::Mode::BackupNow;
            if (mode != CommandLine::Mode::Desktop && mode != wanted)
                return invalid("--backup-now, --service and --encode-password cannot be combined");
            mode = wanted;
        } else if (arg == "--config" || arg.starts_with("--config=")) {
            if (configGiven)
                return invalid("--config is given twice");
            configGiven = true;
            if (arg == "--config") {
                if (i + 1 >= args.size() || args[i + 1].empty())
                    return invalid("--config needs a file name");
                result.configPath = args[++i];
            } else {
                result.configPath = arg.substr(std::strlen("--config="));
                if (result.configPath.empty())
                    return invalid("--config needs a file name");
            }
        } else {
            return invalid("unknown option '" + arg + "'");
        }
    }
    if (help) {
        result.mode = CommandLine::Mode::Help;
    } else if (version) {
        result.mode = CommandLine::Mode::Version;
    } else if (mode == CommandLine::Mode::Desktop) {
        return invalid("--config needs --backup-now or --service");
    } else if (mode == CommandLine::Mode::EncodePassword && configGiven) {
        return invalid("--encode-password takes no --config");
    } else {
        result.mode = mode;
    }
    return result;
}

int RunHeadless(const CommandLine& commandLine)
{
    const std::string applicationName = engine::ApplicationName();
    switch (commandLine.mode) {
    case CommandLine::Mode::Help:
        std::cout << kUsage;
        return kExitOk;
    case CommandLine::Mode::Version:
        std::cout << applicationName << " " << CORVELLA_VERSION << '\n';
        return kExitOk;
    case CommandLine::Mode::Invalid:
        ErrorLine(applicationName + ": " + commandLine.error);
        ErrorLine("Try '" + applicationName + " --help'.");
        return kExitBadConfiguration;
    case CommandLine::Mode::Desktop:
        return kExitBadConfiguration;
    case CommandLine::Mode::EncodePassword:
        return EncodePassword(applicationName);
    case CommandLine::Mode::BackupNow:
    case CommandLine::Mode::Service:
        break;
    }

    Configuration configuration;
    std::string error;
    const std::string path = commandLine.configPath.empty() ? config::DefaultSettingsPath() : commandLine.configPath;
    if (!LoadConfiguration(path, configuration, error)) {
        ErrorLine(applicationName + ": " + error);
        return kExitBadConfiguration;
    }
    if (commandLine.mode == CommandLine::Mode::BackupNow)
        return BackupNow(configuration, applicationName);
    return Service(configuration, applicationName);
}

} // namespace app
