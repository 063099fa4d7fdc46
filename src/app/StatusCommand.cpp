#include "app/StatusCommand.h"

#include "config/DatabaseList.h"
#include "config/SettingsFile.h"
#include "config/SettingsLocation.h"
#include "engine/StoredRunHistory.h"
#include "history/HistoryStore.h"
#include "history/Verdict.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace app {

namespace {

int Unknown(const std::string& reason)
{
    std::cout << history::UnknownLine(reason) << '\n' << std::flush;
    return static_cast<int>(history::CheckState::Unknown);
}

} // namespace

int RunStatusCommand(const CommandLine& commandLine)
{
    const config::SettingsLocation location = config::ResolveSettingsLocation(
        config::ProcessLocationInputs(commandLine.configPath, commandLine.logPath, commandLine.historyPath));
    const std::string& settings = location.settingsPath;
    if (::access(settings.c_str(), R_OK) != 0)
        return Unknown("cannot read the configuration file '" + settings + "': " + std::strerror(errno));
    config::DatabaseList list;
    std::string error;
    if (!config::LoadDatabaseList(settings, list, &error))
        return Unknown(error);
    if (list.rowCount() == 0)
        return Unknown("the configuration file '" + settings + "' lists no database (section DBBackInfo)");
    const std::vector<history::WatchedDatabase> watched = engine::WatchedDatabases(list);
    for (std::size_t i = 0; i < watched.size(); ++i) {
        if (watched[i].database.empty() || watched[i].server.empty())
            return Unknown("database " + std::to_string(i + 1) + " of the configuration file '" + settings
                           + "' has no " + (watched[i].database.empty() ? "database name" : "server address"));
    }

    history::HistoryStore::Opened opened
        = history::HistoryStore::open(location.historyPath, history::HistoryStore::Access::ReadOnly);
    std::vector<history::DatabaseSummary> known;
    if (!opened.store)
        return Unknown(opened.error);
    if (!opened.store->summaries(known, error))
        return Unknown(error);

    const history::Millis now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    const history::Verdict verdict = history::Evaluate(watched, known, now);
    if (commandLine.mode == CommandLine::Mode::Status)
        std::cout << history::StatusTable(verdict, now);
    else
        std::cout << history::CheckLine(verdict) << '\n';
    std::cout << std::flush;
    return static_cast<int>(verdict.state);
}

} // namespace app
