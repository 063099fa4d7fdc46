#include "app/Headless.h"

#include "app/InstanceLock.h"
#include "app/StatusCommand.h"
#include "config/DatabaseEntry.h"
#include "config/DatabaseList.h"
#include "config/MailSettings.h"
#include "config/PasswordCodec.h"
#include "config/RunOptions.h"
#include "config/SettingsFile.h"
#include "config/SettingsLocation.h"
#include "engine/BackupFolders.h"
#include "engine/BackupScheduler.h"
#include "engine/BackupSession.h"
#include "engine/SettingsStore.h"
#include "engine/StatusJournal.h"
#include "engine/SystemServices.h"
#include "log/Log.h"
#include "text/Text.h"

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
#include <sstream>
#include <unistd.h>

namespace app {

namespace {

constexpr std::chrono::milliseconds kServiceStopBound = std::chrono::seconds(60);

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
        std::cerr << "\r\033[K" << text::PrintableName(m_names[row]) << ": " << text::PrintableName(text)
                  << std::flush;
        m_shown = true;
    }

    engine::StatusJournal& m_journal;
    const bool m_active;
    std::map<int, std::string> m_names;
    bool m_shown = false;
};

using TableRow = std::vector<std::string>;

// The cells of a result in the table --backup-now prints: its status row.
TableRow BackupCells(const engine::RunResult& result)
{
    return TableRow(result.row.begin(), result.row.end());
}

// The cells of a result in the table --restore-test prints.
TableRow RestoreTestCells(const engine::RunResult& result)
{
    return {result.row[engine::StatusSerial], result.row[engine::StatusDatabaseName],
            result.row[engine::StatusBackupStatus], result.restoreTest.backupFile,
            result.row[engine::StatusBackupTime]};
}

// The columns a UTF-8 text takes on a terminal: one per character.
std::size_t DisplayWidth(const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
        return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    }));
}

// One line per run: every cell is printed as the log spells it, control
// characters of a hand-edited name included.
std::string FormatTable(std::vector<engine::RunResult> results, const TableRow& headings,
                        TableRow (*cellsOf)(const engine::RunResult&))
{
    std::sort(results.begin(), results.end(), [](const engine::RunResult& a, const engine::RunResult& b) {
        return std::atoll(a.row[engine::StatusSerial].c_str()) < std::atoll(b.row[engine::StatusSerial].c_str());
    });
    std::vector<TableRow> rows;
    for (const auto& result : results) {
        TableRow cells = cellsOf(result);
        for (std::string& cell : cells)
            cell = text::PrintableName(cell);
        rows.push_back(std::move(cells));
    }
    std::vector<std::size_t> widths(headings.size());
    for (std::size_t c = 0; c < headings.size(); ++c) {
        widths[c] = DisplayWidth(headings[c]);
        for (const TableRow& row : rows)
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    }
    std::ostringstream out;
    const auto line = [&](const TableRow& cells) {
        std::string text;
        for (std::size_t c = 0; c < cells.size(); ++c) {
            text += cells[c];
            if (c + 1 < cells.size())
                text += std::string(widths[c] - DisplayWidth(cells[c]) + 2, ' ');
        }
        text.erase(text.find_last_not_of(' ') + 1);
        out << text << '\n';
    };
    line(headings);
    TableRow rule;
    for (std::size_t width : widths)
        rule.push_back(std::string(width, '-'));
    line(rule);
    for (const TableRow& row : rows)
        line(row);
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
    explicit HeadlessSession(const Invocation& invocation)
        : services(invocation.settings)
        , session({invocation.location.settingsPath, invocation.location.logPath, invocation.location.historyPath},
                  services.services(engine::kDisplayName),
                  [name = invocation.programName](const std::string& text, const std::string& caption) {
                      ErrorLine(name + ": " + caption + ": " + text);
                  })
    {
        session.setMailSettings(invocation.mail);
        session.addView(&view);
    }
    ~HeadlessSession() { session.removeView(&view); }

    engine::SystemServices services;
    HeadlessView view;
    engine::BackupSession session;
};

} // namespace

bool LoadConfiguration(engine::SettingsStore& store, bool reload, config::DatabaseList& databases,
                       config::MailSettings& mail, std::string& error)
{
    const std::string& path = store.path();
    if (::access(path.c_str(), F_OK) != 0) {
        error = "cannot read the configuration file '" + path + "': " + std::strerror(errno);
        return false;
    }
    const std::shared_ptr<const engine::Settings> settings = reload ? store.reload() : store.current();
    if (!settings->readable) {
        error = settings->problem;
        return false;
    }
    databases = settings->databaseList;
    mail = settings->mail;
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
            if (text::IsBlank(*value)) {
                error = "database " + std::to_string(row + 1) + " of the configuration file '" + path + "' has no "
                    + what;
                return false;
            }
        }
    }
    return true;
}

namespace {

// Reads the settings file again for the running service: the database list
// goes to the scheduler, the mail settings to the session. A file that
// cannot be read leaves everything as it was.
// A reload that fails in any way, memory included, changes nothing: the
// settings in force stay, and the runs go on.
void Reload(HeadlessSession& headless)
{
    logging::Log& log = headless.session.log();
    try {
        config::DatabaseList databases;
        config::MailSettings mail;
        std::string error;
        if (!LoadConfiguration(headless.session.settings(), true, databases, mail, error)) {
            log.Write("Settings not reloaded on SIGHUP: " + error);
            return;
        }
        const auto summary = headless.session.scheduler().ReloadAutoService(databases);
        headless.session.setMailSettings(mail);
        log.Write("Settings reloaded on SIGHUP: " + std::to_string(summary.added) + " database(s) new or changed, "
                  + std::to_string(summary.removed) + " removed, " + std::to_string(summary.unchanged)
                  + " unchanged");
    } catch (const std::bad_alloc&) {
        log.Write("Settings not reloaded on SIGHUP: out of memory while reading '" + headless.session.settingsPath()
                  + "'");
    } catch (const std::exception& e) {
        log.Write("Settings not reloaded on SIGHUP: " + std::string(e.what()));
    }
}

// --backup-now, or --restore-test of `rows` (every row when empty): starts
// the runs, waits for them or for a stop signal, prints their table.
int RunNow(const Invocation& invocation, bool restoreTests, const std::vector<int>& rows = {})
{
    const std::string& name = invocation.programName;
    const sigset_t stopSignals = BlockStopSignals(false);
    auto* headless = new HeadlessSession(invocation);
    engine::BackupScheduler& scheduler = headless->session.scheduler();
    auto progress = std::make_unique<TerminalProgress>(headless->session.statusJournal());
    const int started = restoreTests ? scheduler.RestoreTests(invocation.databases, rows)
                                     : scheduler.ManualBackup(invocation.databases);

    // Waits for the runs, or for a stop signal, whichever comes first.
    bool stopped = false;
    bool ended = true;
    while (!scheduler.waitUntilIdle(std::chrono::milliseconds(0))) {
        const timespec poll{0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &poll);
        if (signal > 0) {
            headless->session.log().Write("Stopping on " + SignalName(signal) + ": the backup under way is ended");
            ErrorLine(name + ": stopping on " + SignalName(signal));
            stopped = true;
            ended = scheduler.shutdown(kServiceStopBound);
            break;
        }
    }
    int exitCode = kExitOk;
    progress.reset();
    {
        const std::vector<engine::RunResult> results = headless->view.results();
        if (restoreTests)
            std::cout << FormatTable(results, {"Serial", "Database Name", "Restore Test", "Backup File", "Tested At"},
                                     RestoreTestCells);
        else
            std::cout << FormatTable(results,
                                     {"Serial", "Database Name", "Backup Status", "File Size", "Backup Time",
                                      "Email Status"},
                                     BackupCells);
        std::cout << std::flush;
        const bool allCompleted = started > 0 && static_cast<int>(results.size()) == started
            && std::all_of(results.begin(), results.end(), [](const engine::RunResult& r) { return r.completed(); });
        exitCode = allCompleted && !stopped ? kExitOk : kExitRunFailed;
    }
    EndProcessIfRunHangs(ended, headless->session.log(),
                         restoreTests ? "Restore test ended while a test was still running"
                                      : "Backup now ended while a backup was still running",
                         kExitRunFailed, name + ": ended while a backup was still running");
    delete headless;
    return exitCode;
}

// The rows --restore-test tests: every one, or those whose name (as shown)
// is `name` (exactly, else without regard to case). False, with the reason,
// when none is or the restore-test options cannot be used.
bool RestoreTestRows(const Invocation& invocation, const std::string& name, std::vector<int>& rows,
                     std::string& error)
{
    const std::string& path = invocation.location.settingsPath;
    const std::shared_ptr<const engine::Settings> settings = invocation.settings->current();
    const config::RunOptions& options = settings->options;
    if (!options.problems.empty()) {
        error = "the configuration file '" + path + "': " + options.problems.front();
        return false;
    }
    rows.clear();
    if (name.empty())
        return true;
    for (bool exact : {true, false}) {
        for (int row = 0; row < invocation.databases.rowCount(); ++row) {
            const config::DatabaseEntry entry = config::DatabaseEntry::FromRow(invocation.databases.row(row));
            const std::string_view shown = text::Trim(entry.databaseName);
            if (exact ? shown == name : text::EqualsIgnoringCase(shown, name))
                rows.push_back(row);
        }
        if (!rows.empty())
            return true;
    }
    error = "the configuration file '" + path + "' lists no database named '" + name + "'";
    return false;
}

} // namespace

int BackupNow(const Invocation& invocation)
{
    return RunNow(invocation, false);
}

int RestoreTest(const Invocation& invocation)
{
    std::vector<int> rows;
    std::string error;
    if (!RestoreTestRows(invocation, invocation.commandLine.value("--database"), rows, error)) {
        ErrorLine(invocation.programName + ": " + error);
        return kExitBadConfiguration;
    }
    return RunNow(invocation, true, rows);
}

int Service(const Invocation& invocation)
{
    const std::string& name = invocation.programName;
    const sigset_t stopSignals = BlockStopSignals(true);
    auto* headless = new HeadlessSession(invocation);
    engine::BackupScheduler& scheduler = headless->session.scheduler();
    if (scheduler.StartAutoBackupService(invocation.databases) == 0)
        return kExitBadConfiguration;

    int signal = 0;
    for (;;) {
        if (sigwait(&stopSignals, &signal) != 0)
            continue;
        if (signal != SIGHUP)
            break;
        Reload(*headless);
    }
    logging::Log& log = headless->session.log();
    log.Write("Stopping on " + SignalName(signal));
    const bool ended = scheduler.shutdown(kServiceStopBound);
    log.Write("Auto backup service stopped");
    EndProcessIfRunHangs(ended, log, "Auto backup service ended while a backup was still running", kExitRunFailed,
                         name + ": ended while a backup was still running");
    const int abandoned = scheduler.abandonedRuns();
    if (abandoned > 0)
        ErrorLine(name + ": " + std::to_string(abandoned) + " backup(s) cut short by the stop");
    delete headless;
    return abandoned > 0 ? kExitRunFailed : kExitOk;
}

// The password comes on stdin, never on the command line, where other users
// could read it.
int EncodePassword(const Invocation& invocation)
{
    std::string password;
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    std::string stored;
    config::PasswordCodec codec;
    if (codec.Encode(password, stored) != config::PasswordCodec::kOk) {
        ErrorLine(invocation.programName + ": "
                  + (password.empty() ? "no password on standard input" : "the password cannot be encoded"));
        return kExitBadConfiguration;
    }
    std::cout << stored << '\n' << std::flush;
    return kExitOk;
}

} // namespace app
