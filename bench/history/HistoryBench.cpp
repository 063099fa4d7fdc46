// What the run history costs, run by hand:
//   corvella_history_bench [databases] [days] [runs-per-day]
// (defaults 1000, 400, 1). Reports:
//   - recording a run (its started row, then its finished row) through the
//     engine's history, median and 99th percentile over 2,000 runs, without
//     and with the metrics file of `databases` listed databases;
//   - the file's size after 10,000 runs;
//   - `--status` over `databases` databases with `days` of history at
//     `runs-per-day` runs a day: the reading and judging in process, and the
//     whole `corvella --status` process, median of 15.
// Targets: recording <= 2 ms median; `corvella --status` < 300 ms.
// Files live in a fresh folder under /tmp, removed at the end.

#include "config/DatabaseList.h"
#include "config/SettingsFile.h"
#include "engine/StoredRunHistory.h"
#include "history/HistoryStore.h"
#include "history/Verdict.h"
#include "log/Log.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

constexpr history::Millis kDay = 24LL * 3600 * 1000;

double Ms(Steady::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

history::Millis Now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Spread {
    double median = 0;
    double p99 = 0;
};

Spread SpreadOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)]};
}

std::string Name(int i)
{
    return "Database_" + std::to_string(i);
}

std::string Server(int i)
{
    return "sql" + std::to_string(i % 17) + ".corp.example,1433";
}

// A settings file that lists `databases` databases, every 24 hours.
void WriteSettings(const std::string& path, int databases)
{
    config::DatabaseList list;
    for (int i = 0; i < databases; ++i) {
        const int r = list.insertRow(list.rowCount());
        const std::string cells[] = {std::to_string(r + 1), Server(i), Name(i), "backup_operator", "moC7vPygpbE=",
                                     "24 Hours", "/srv/backups", "True", "False", "False"};
        for (int c = 0; c < config::kConfigColumnCount; ++c)
            list.setCell(r, c, cells[c]);
    }
    logging::Log log(path + ".log");
    config::SaveDatabaseList(path, list, log);
}

history::RunRecord RunOf(int database, history::Millis started, history::Outcome outcome)
{
    history::RunRecord run;
    run.database = Name(database);
    run.server = Server(database);
    run.startedAt = started;
    run.outcome = outcome;
    return run;
}

void Finish(history::RunRecord& run, int sequence)
{
    run.endedAt = run.startedAt + 95'000 + sequence % 1000;
    if (run.outcome == history::Outcome::Completed) {
        run.statusText = "Zip Completed";
        run.backupFile = run.database + "20240714090503.zip";
        run.backupBytes = 4'000'000'000LL + sequence;
        run.archiveBytes = 900'000'000LL + sequence;
        run.verification = "passed";
        run.mailStatus = "Email Sent";
    } else {
        run.statusText = run.errorText
            = "Write on \"/var/opt/mssql/backup/" + run.database + "/temp/" + run.database
            + ".bak\" failed: 112(There is not enough space on the disk.)";
    }
}

// Recording runs through the engine's history, as a run does.
void RecordingBench(const std::string& folder, int databases)
{
    for (const bool metrics : {false, true}) {
        const std::string settings = folder + "/record" + (metrics ? "-metrics" : "") + ".ini";
        WriteSettings(settings, databases);
        if (metrics)
            std::ofstream(settings, std::ios::app) << "[OPTIONS]\r\nMETRICS_FILE=" << folder << "/corvella.prom\r\n";
        logging::Log log(folder + "/record.log");
        engine::StoredRunHistory stored(folder + "/record" + (metrics ? "-metrics" : "") + ".db", settings, log);
        std::vector<double> times;
        const history::Millis base = Now() - 3 * kDay;
        for (int i = 0; i < 2000; ++i) {
            history::RunRecord run = RunOf(i % databases, base + i * 60'000, i % 20 ? history::Outcome::Completed
                                                                                   : history::Outcome::Failed);
            const auto start = Steady::now();
            const engine::RunTicket ticket = stored.runStarted(run);
            Finish(run, i);
            stored.runFinished(ticket, run);
            times.push_back(Ms(Steady::now() - start));
        }
        const Spread spread = SpreadOf(times);
        std::printf("record a run%-28s median %6.3f ms   p99 %6.3f ms\n",
                    metrics ? (" + metrics of " + std::to_string(databases) + " databases").c_str() : "",
                    spread.median, spread.p99);
    }
}

void SizeAfter10000(const std::string& folder)
{
    const std::string path = folder + "/size.db";
    auto opened = history::HistoryStore::open(path, history::HistoryStore::Access::ReadWrite);
    std::string error;
    const history::Millis base = Now() - 400 * kDay;
    for (int i = 0; i < 10'000; ++i) {
        history::RunRecord run = RunOf(i % 25, base + i * 3'456'000LL, i % 20 ? history::Outcome::Completed
                                                                               : history::Outcome::Failed);
        run.id = opened.store->recordStart(run, error);
        Finish(run, i);
        opened.store->recordFinish(run, error);
    }
    opened.store.reset();
    // The writer keeps its -wal for readers; what it holds is in the file
    // once checkpointed.
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::printf("file after 10,000 runs (25 databases)    %8.2f MB (%llu bytes)\n",
                static_cast<double>(fs::file_size(path)) / 1e6, static_cast<unsigned long long>(fs::file_size(path)));
}

// A history of `databases` databases over `days` days, written in one
// transaction straight into the schema the program creates.
void Generate(const std::string& path, int databases, int days, int perDay)
{
    { auto opened = history::HistoryStore::open(path, history::HistoryStore::Access::ReadWrite); }
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO runs (database_name, server, started_ms, ended_ms, result, status_text, backup_file,"
                       " backup_bytes, archive_bytes, verification, mail_status, error_text)"
                       " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, 'passed', 'Email Sent', ?10)",
                       -1, &insert, nullptr);
    sqlite3_stmt* totals = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO databases (database_name, server, completed, failed) VALUES (?1, ?2, ?3, ?4)",
                       -1, &totals, nullptr);
    const history::Millis start = Now() - static_cast<history::Millis>(days) * kDay;
    const history::Millis step = kDay / perDay;
    for (int d = 0; d < databases; ++d) {
        const std::string name = Name(d);
        const std::string server = Server(d);
        int completed = 0;
        int failed = 0;
        for (int n = 0; n < days * perDay; ++n) {
            const bool ok = (n + d) % 37 != 0;
            const history::Millis at = start + n * step + d * 1000;
            sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 2, server.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 3, at);
            sqlite3_bind_int64(insert, 4, at + 95'000);
            sqlite3_bind_text(insert, 5, ok ? "completed" : "failed", -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 6, ok ? "Zip Completed" : "Login failed for user 'backup'.", -1, SQLITE_STATIC);
            const std::string file = ok ? name + ".zip" : std::string();
            sqlite3_bind_text(insert, 7, file.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 8, ok ? 4'000'000'000LL + n : 0);
            sqlite3_bind_int64(insert, 9, ok ? 900'000'000LL + n : 0);
            sqlite3_bind_text(insert, 10, ok ? "" : "Login failed for user 'backup'.", -1, SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
            (ok ? completed : failed)++;
        }
        sqlite3_bind_text(totals, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(totals, 2, server.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(totals, 3, completed);
        sqlite3_bind_int(totals, 4, failed);
        sqlite3_step(totals);
        sqlite3_reset(totals);
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(totals);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// Runs `corvella --status` to its end; its exit code, and the processor
// time it used in `cpu` (what a busy machine does not add to).
int RunStatusProcess(const std::string& folder, const std::string& settings, const std::string& historyPath,
                     double& cpu)
{
    const std::string out = folder + "/status.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {CORVELLA_BINARY, "--status", "--config", settings, "--history", historyPath};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return -1;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void StatusBench(const std::string& folder, int databases, int days, int perDay)
{
    const std::string settings = folder + "/status.ini";
    const std::string path = folder + "/status.db";
    WriteSettings(settings, databases);
    const auto generating = Steady::now();
    Generate(path, databases, days, perDay);
    std::printf("history of %d databases x %d days x %d a day: %lld runs, %.1f MB (written in %.1f s)\n", databases,
                days, perDay, static_cast<long long>(databases) * days * perDay,
                static_cast<double>(fs::file_size(path)) / 1e6, Ms(Steady::now() - generating) / 1000);

    config::DatabaseList list;
    config::LoadDatabaseList(settings, list);
    const std::vector<history::WatchedDatabase> watched = engine::WatchedDatabases(list);
    std::vector<double> inProcess;
    std::string table;
    for (int i = 0; i < 15; ++i) {
        const auto start = Steady::now();
        auto opened = history::HistoryStore::open(path, history::HistoryStore::Access::ReadOnly);
        std::vector<history::DatabaseSummary> known;
        std::string error;
        opened.store->summaries(known, error);
        const history::Millis now = Now();
        table = history::StatusTable(history::Evaluate(watched, known, now), now);
        inProcess.push_back(Ms(Steady::now() - start));
    }
    const Spread reading = SpreadOf(inProcess);
    std::printf("read and judge (in process)                median %6.1f ms   p99 %6.1f ms\n", reading.median,
                reading.p99);

    std::vector<double> process;
    std::vector<double> processor;
    int exitCode = -1;
    for (int i = 0; i < 15; ++i) {
        const auto start = Steady::now();
        double cpu = 0;
        exitCode = RunStatusProcess(folder, settings, path, cpu);
        process.push_back(Ms(Steady::now() - start));
        processor.push_back(cpu);
    }
    const Spread whole = SpreadOf(process);
    std::printf("corvella --status (whole process)          median %6.1f ms   p99 %6.1f ms   exit %d, %zu lines\n",
                whole.median, whole.p99, exitCode,
                static_cast<std::size_t>(std::count(table.begin(), table.end(), '\n')));
    std::printf("  of which processor time                  median %6.1f ms\n", SpreadOf(processor).median);
    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        std::printf("  (load average while measured: %.1f)\n", load[0]);
}

} // namespace

int main(int argc, char** argv)
{
    const int databases = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int days = argc > 2 ? std::atoi(argv[2]) : 400;
    const int perDay = argc > 3 ? std::atoi(argv[3]) : 1;
    std::string pattern = "/tmp/corvella-history-bench-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return 1;
    const std::string folder = pattern;
    RecordingBench(folder, databases);
    SizeAfter10000(folder);
    StatusBench(folder, databases, days, perDay);
    fs::remove_all(folder);
    return 0;
}
