#include "history/HistoryStore.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace history {

namespace {

constexpr int kBusyTimeoutMs = 2000;

// Each step brings a file from the version before it to the one after; the
// whole list runs in one transaction.
constexpr const char* kMigrations[] = {
    // 0 -> 1
    "CREATE TABLE runs ("
    " id INTEGER PRIMARY KEY,"
    " database_name TEXT NOT NULL,"
    " server TEXT NOT NULL,"
    " started_ms INTEGER NOT NULL,"
    " ended_ms INTEGER,"
    " result TEXT NOT NULL,"
    " status_text TEXT NOT NULL DEFAULT '',"
    " backup_file TEXT NOT NULL DEFAULT '',"
    " backup_bytes INTEGER NOT NULL DEFAULT 0,"
    " archive_bytes INTEGER NOT NULL DEFAULT 0,"
    " verification TEXT NOT NULL DEFAULT '',"
    " restore_test TEXT NOT NULL DEFAULT '',"
    " restore_test_ms INTEGER,"
    " mail_status TEXT NOT NULL DEFAULT '',"
    " error_text TEXT NOT NULL DEFAULT '',"
    " owner TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX runs_by_database ON runs (database_name, server, started_ms);"
    "CREATE INDEX runs_by_result ON runs (database_name, server, result, started_ms);"
    "CREATE INDEX runs_unfinished ON runs (result) WHERE result = 'started';"
    "CREATE TABLE databases ("
    " database_name TEXT NOT NULL,"
    " server TEXT NOT NULL,"
    " completed INTEGER NOT NULL DEFAULT 0,"
    " failed INTEGER NOT NULL DEFAULT 0,"
    " cancelled INTEGER NOT NULL DEFAULT 0,"
    " stopped INTEGER NOT NULL DEFAULT 0,"
    " interrupted INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (database_name, server)) WITHOUT ROWID;",
};
static_assert(std::size(kMigrations) == kSchemaVersion, "one migration per schema version");

constexpr const char* kInsertDatabase = "INSERT OR IGNORE INTO databases (database_name, server) VALUES (?1, ?2)";
constexpr const char* kInsertRun
    = "INSERT INTO runs (database_name, server, started_ms, ended_ms, result, status_text, backup_file, backup_bytes,"
      " archive_bytes, verification, restore_test, restore_test_ms, mail_status, error_text, owner)"
      " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)";
constexpr const char* kFinishRun
    = "UPDATE runs SET ended_ms = ?4, result = ?5, status_text = ?6, backup_file = ?7, backup_bytes = ?8,"
      " archive_bytes = ?9, verification = ?10, restore_test = ?11, restore_test_ms = ?12, mail_status = ?13,"
      " error_text = ?14 WHERE id = ?16 AND result = 'started' AND database_name = ?1 AND server = ?2";
constexpr const char* kCountRun
    = "UPDATE databases SET completed = completed + (?3 = 'completed'), failed = failed + (?3 = 'failed'),"
      " cancelled = cancelled + (?3 = 'cancelled'), stopped = stopped + (?3 = 'stopped'),"
      " interrupted = interrupted + (?3 = 'interrupted') WHERE database_name = ?1 AND server = ?2";
constexpr const char* kUnfinished = "SELECT id, database_name, server, owner FROM runs WHERE result = 'started'";
constexpr const char* kMarkInterrupted = "UPDATE runs SET result = 'interrupted' WHERE id = ?1 AND result = 'started'";
// The columns of a run, as ReadRun() reads them.
#define CORVELLA_RUN_COLUMNS(t)                                                                              \
    t ".id, " t ".database_name, " t ".server, " t ".started_ms, " t ".ended_ms, " t ".result, " t              \
      ".status_text, " t ".backup_file, " t ".backup_bytes, " t ".archive_bytes, " t ".verification, " t        \
      ".restore_test, " t ".restore_test_ms, " t ".mail_status, " t ".error_text, " t ".owner"
constexpr int kRunColumnCount = 16;

// Each database with its totals, its oldest kept run and its newest run,
// newest finished run and newest completed run, in one pass: index seeks per
// database, so the cost grows with the number of databases, not of runs.
#define CORVELLA_SUMMARIES(where)                                                                            \
    "SELECT d.database_name, d.server, d.completed, d.failed, d.cancelled, d.stopped, d.interrupted,"          \
    " d.first_ms, " CORVELLA_RUN_COLUMNS("l") ", " CORVELLA_RUN_COLUMNS("f") ", " CORVELLA_RUN_COLUMNS("s")    \
    " FROM (SELECT x.*,"                                                                                      \
    "  (SELECT id FROM runs r WHERE r.database_name = x.database_name AND r.server = x.server"                 \
    "   ORDER BY r.started_ms DESC, r.id DESC LIMIT 1) AS last_id,"                                           \
    "  (SELECT id FROM runs r WHERE r.database_name = x.database_name AND r.server = x.server"                 \
    "   AND r.result <> 'started' ORDER BY r.started_ms DESC, r.id DESC LIMIT 1) AS finished_id,"             \
    "  (SELECT id FROM runs r WHERE r.database_name = x.database_name AND r.server = x.server"                 \
    "   AND r.result = 'completed' ORDER BY r.started_ms DESC, r.id DESC LIMIT 1) AS success_id,"             \
    "  (SELECT MIN(started_ms) FROM runs r WHERE r.database_name = x.database_name AND r.server = x.server)"   \
    "   AS first_ms"                                                                                          \
    "  FROM databases x " where ") AS d"                                                                      \
    " LEFT JOIN runs l ON l.id = d.last_id LEFT JOIN runs f ON f.id = d.finished_id"                          \
    " LEFT JOIN runs s ON s.id = d.success_id ORDER BY d.database_name, d.server"
constexpr const char* kSummaries = CORVELLA_SUMMARIES("");
constexpr const char* kSummaryOf = CORVELLA_SUMMARIES("WHERE x.database_name = ?1 AND x.server = ?2");
constexpr const char* kRunsOf = "SELECT " CORVELLA_RUN_COLUMNS("runs")
                                " FROM runs WHERE database_name = ?1 AND server = ?2"
                                " ORDER BY started_ms DESC, id DESC LIMIT ?3";
#undef CORVELLA_SUMMARIES
#undef CORVELLA_RUN_COLUMNS
constexpr const char* kPrune
    = "DELETE FROM runs WHERE started_ms < ?1 AND id NOT IN ("
      " SELECT (SELECT id FROM runs r WHERE r.database_name = d.database_name AND r.server = d.server"
      "  ORDER BY r.started_ms DESC, r.id DESC LIMIT 1) FROM databases d"
      " UNION ALL"
      " SELECT (SELECT id FROM runs r WHERE r.database_name = d.database_name AND r.server = d.server"
      "  AND r.result = 'completed' ORDER BY r.started_ms DESC, r.id DESC LIMIT 1) FROM databases d)";

constexpr std::string_view kOutcomeNames[kOutcomeCount]
    = {"started", "completed", "failed", "cancelled", "stopped", "interrupted"};

bool IsDamageCode(int code)
{
    const int primary = code & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string UtcStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &utc);
    return buffer;
}

std::string ReadSmallFile(const char* path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Trim(std::string text)
{
    constexpr const char* kBlanks = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// Field 22 of /proc/<pid>/stat: the process's start, in clock ticks after boot.
std::string ProcessStartTime(const std::string& pid)
{
    const std::string stat = ReadSmallFile(("/proc/" + pid + "/stat").c_str());
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return {};
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    // After the name come the state (field 3) and 18 more before the start time.
    for (int index = 3; index <= 22 && (fields >> field); ++index) {
        if (index == 22)
            return field;
    }
    return {};
}

std::string BootId()
{
    return Trim(ReadSmallFile("/proc/sys/kernel/random/boot_id"));
}

// "file:<path>?immutable=1", the path percent-encoded where URIs need it.
std::string ImmutableUri(const std::string& path)
{
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            uri += escaped;
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?immutable=1";
}

void BindText(sqlite3_stmt* statement, int index, const std::string& text)
{
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void BindOptional(sqlite3_stmt* statement, int index, const std::optional<Millis>& value)
{
    if (value)
        sqlite3_bind_int64(statement, index, *value);
    else
        sqlite3_bind_null(statement, index);
}

std::string ColumnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))) : std::string();
}

std::optional<Millis> ColumnOptional(sqlite3_stmt* statement, int column)
{
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return std::nullopt;
    return sqlite3_column_int64(statement, column);
}

// Binds ?1..?15 of kInsertRun (and the same numbers of kFinishRun).
void BindRun(sqlite3_stmt* statement, const RunRecord& run, const std::string& owner)
{
    BindText(statement, 1, run.database);
    BindText(statement, 2, run.server);
    sqlite3_bind_int64(statement, 3, run.startedAt);
    BindOptional(statement, 4, run.endedAt);
    const std::string_view outcome = OutcomeName(run.outcome);
    sqlite3_bind_text(statement, 5, outcome.data(), static_cast<int>(outcome.size()), SQLITE_STATIC);
    BindText(statement, 6, run.statusText);
    BindText(statement, 7, run.backupFile);
    sqlite3_bind_int64(statement, 8, run.backupBytes);
    sqlite3_bind_int64(statement, 9, run.archiveBytes);
    BindText(statement, 10, run.verification);
    BindText(statement, 11, run.restoreTest);
    BindOptional(statement, 12, run.restoreTestAt);
    BindText(statement, 13, run.mailStatus);
    BindText(statement, 14, run.errorText);
    BindText(statement, 15, owner);
}

// Resets a prepared statement when it goes out of scope.
class Reset {
public:
    explicit Reset(sqlite3_stmt* statement)
        : m_statement(statement)
    {
    }
    ~Reset()
    {
        if (m_statement) {
            sqlite3_reset(m_statement);
            sqlite3_clear_bindings(m_statement);
        }
    }
    Reset(const Reset&) = delete;
    Reset& operator=(const Reset&) = delete;

private:
    sqlite3_stmt* m_statement;
};

// Rolls back unless committed.
class Transaction {
public:
    Transaction(sqlite3* db, bool write)
        : m_db(db)
    {
        m_open = sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction()
    {
        if (m_open)
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool isOpen() const { return m_open; }
    bool commit()
    {
        if (!m_open)
            return false;
        if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            return false;
        m_open = false;
        return true;
    }

private:
    sqlite3* m_db;
    bool m_open = false;
};

} // namespace

std::string_view OutcomeName(Outcome outcome)
{
    return kOutcomeNames[static_cast<int>(outcome)];
}

std::optional<Outcome> OutcomeFromName(std::string_view name)
{
    for (int i = 0; i < kOutcomeCount; ++i) {
        if (kOutcomeNames[i] == name)
            return static_cast<Outcome>(i);
    }
    return std::nullopt;
}

namespace {

// The run whose kRunColumnCount columns start at `first`. A Started run is
// running while its process lives, and Interrupted once it does not.
void ReadRun(sqlite3_stmt* select, int first, RunRecord& run)
{
    run.id = sqlite3_column_int64(select, first);
    run.database = ColumnText(select, first + 1);
    run.server = ColumnText(select, first + 2);
    run.startedAt = sqlite3_column_int64(select, first + 3);
    run.endedAt = ColumnOptional(select, first + 4);
    // A result this program does not know (a newer one wrote it) reads as failed.
    run.outcome = OutcomeFromName(ColumnText(select, first + 5)).value_or(Outcome::Failed);
    run.statusText = ColumnText(select, first + 6);
    run.backupFile = ColumnText(select, first + 7);
    run.backupBytes = sqlite3_column_int64(select, first + 8);
    run.archiveBytes = sqlite3_column_int64(select, first + 9);
    run.verification = ColumnText(select, first + 10);
    run.restoreTest = ColumnText(select, first + 11);
    run.restoreTestAt = ColumnOptional(select, first + 12);
    run.mailStatus = ColumnText(select, first + 13);
    run.errorText = ColumnText(select, first + 14);
    run.running = false;
    if (run.outcome == Outcome::Started) {
        run.running = IsOwnerAlive(ColumnText(select, first + 15));
        if (!run.running)
            run.outcome = Outcome::Interrupted;
    }
}

} // namespace

std::string Trimmed(std::string_view text)
{
    return Trim(std::string(text));
}

std::string CurrentProcessOwner()
{
    // Worked out once per process; a forked child works out its own.
    static std::mutex s_mutex;
    static pid_t s_pid = 0;
    static std::string s_owner;
    std::lock_guard lock(s_mutex);
    if (s_pid != ::getpid()) {
        s_pid = ::getpid();
        const std::string pid = std::to_string(s_pid);
        s_owner = BootId() + "/" + pid + "/" + ProcessStartTime(pid);
    }
    return s_owner;
}

bool IsOwnerAlive(const std::string& owner)
{
    const auto first = owner.find('/');
    const auto second = owner.find('/', first == std::string::npos ? first : first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return false;
    if (owner.substr(0, first) != BootId())
        return false;
    const std::string pid = owner.substr(first + 1, second - first - 1);
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::string started = ProcessStartTime(pid);
    return !started.empty() && started == owner.substr(second + 1);
}

HistoryStore::HistoryStore(std::string path, Access access)
    : m_path(std::move(path))
    , m_access(access)
{
}

HistoryStore::~HistoryStore()
{
    for (auto& [sql, statement] : m_statements)
        sqlite3_finalize(statement);
    if (m_db)
        sqlite3_close(m_db);
}

HistoryStore::Opened HistoryStore::open(const std::string& givenPath, Access access)
{
    // Messages name the file wherever the process runs from.
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(givenPath, ignored);
    const std::string path = absolute.empty() ? givenPath : absolute.string();
    Opened opened;
    const bool write = access == Access::ReadWrite;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::unique_ptr<HistoryStore> store(new HistoryStore(path, access));
        if (!write) {
            // A reader must not create the file, and says plainly when there is none.
            struct stat status {};
            if (::stat(path.c_str(), &status) != 0) {
                opened.error = std::string("no run history at '") + path + "': " + std::strerror(errno);
                return opened;
            }
        }
        // A reader that may not create the -shm file beside a history whose
        // writer has checkpointed and closed it (no -wal left) reads the file
        // as it stands.
        const bool asItStands = !write && attempt == 1;
        const int flags = (write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY)
            | SQLITE_OPEN_NOMUTEX | (asItStands ? SQLITE_OPEN_URI : 0);
        const std::string name = asItStands ? ImmutableUri(path) : path;
        int code = sqlite3_open_v2(name.c_str(), &store->m_db, flags, nullptr);
        std::string error;
        if (code == SQLITE_OK) {
            sqlite3_extended_result_codes(store->m_db, 1);
            sqlite3_busy_timeout(store->m_db, kBusyTimeoutMs);
            if (write && sqlite3_db_readonly(store->m_db, "main") == 1) {
                opened.error = "cannot write the run history '" + path + "': the file is read-only";
                return opened;
            }
            if (write) {
                int persist = 1;
                sqlite3_file_control(store->m_db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
            }
            std::lock_guard lock(store->m_mutex);
            // The unfinished runs are the first rows a writer reads: damage
            // found there counts as damage found on opening.
            int marked = 0;
            if (store->migrate(error) && (!write || (marked = store->markInterruptedLocked(error)) >= 0)) {
                if (marked > 0)
                    opened.notes.push_back(std::to_string(marked)
                                           + " run(s) of an earlier process marked as interrupted in the run history '"
                                           + path + "'");
                opened.store = std::move(store);
                return opened;
            }
            code = sqlite3_extended_errcode(store->m_db);
        } else {
            error = store->m_db ? sqlite3_errmsg(store->m_db) : sqlite3_errstr(code);
        }
        struct stat walStatus {};
        if (!write && attempt == 0 && ((code & 0xFF) == SQLITE_CANTOPEN || (code & 0xFF) == SQLITE_READONLY)
            && ::stat((path + "-wal").c_str(), &walStatus) != 0)
            continue;
        if (!write || attempt > 0 || !(IsDamageCode(code) || store->m_damaged)) {
            opened.error = std::string(write ? "cannot open the run history '" : "cannot read the run history '")
                + path + "': " + error;
            return opened;
        }
        // A file that is no database or is damaged: kept aside for whoever
        // wants to look at it, and a new history begins. Its -wal goes with
        // it, so that it is never replayed into the new file.
        store.reset();
        const std::string aside = path + ".damaged-" + UtcStamp();
        if (std::rename(path.c_str(), aside.c_str()) != 0) {
            opened.error = "cannot open the run history '" + path + "': " + error + "; moving it aside failed: "
                + std::strerror(errno);
            return opened;
        }
        std::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
        ::unlink((path + "-shm").c_str());
        opened.notes.push_back("The run history '" + path + "' was damaged (" + error + "); it was moved to '" + aside
                               + "' and a new one was started");
    }
    return opened;
}

bool HistoryStore::isDamaged() const
{
    std::lock_guard lock(m_mutex);
    return m_damaged;
}

std::string HistoryStore::failure(const char* what)
{
    const int code = sqlite3_extended_errcode(m_db);
    if (IsDamageCode(code))
        m_damaged = true;
    return std::string(what) + " in the run history '" + m_path + "': " + sqlite3_errmsg(m_db);
}

sqlite3_stmt* HistoryStore::statement(const char* sql, std::string& error)
{
    if (const auto found = m_statements.find(sql); found != m_statements.end())
        return found->second;
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &prepared, nullptr) != SQLITE_OK) {
        error = failure("cannot prepare a query");
        return nullptr;
    }
    m_statements.emplace(sql, prepared);
    return prepared;
}

bool HistoryStore::execute(const char* sql, std::string& error)
{
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = failure("cannot run a command");
        return false;
    }
    return true;
}

bool HistoryStore::migrate(std::string& error)
{
    // Reading the version is the first access to the file: a file that is no
    // database fails here.
    sqlite3_stmt* version = nullptr;
    if (sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &version, nullptr) != SQLITE_OK
        || sqlite3_step(version) != SQLITE_ROW) {
        error = failure("cannot read the schema version");
        sqlite3_finalize(version);
        return false;
    }
    m_version = sqlite3_column_int(version, 0);
    sqlite3_finalize(version);

    if (m_access == Access::ReadOnly)
        return true;
    if (m_version > kSchemaVersion) {
        error = "it was written by a newer version of Corvella (schema " + std::to_string(m_version)
            + ", this one knows " + std::to_string(kSchemaVersion) + ") and is left as it is";
        return false;
    }
    // WAL is a property of the file: set once, kept by every later opening.
    if (!execute("PRAGMA journal_mode = WAL", error) || !execute("PRAGMA synchronous = NORMAL", error))
        return false;
    if (m_version == kSchemaVersion)
        return true;

    Transaction transaction(m_db, true);
    if (!transaction.isOpen()) {
        error = failure("cannot start the schema update");
        return false;
    }
    // Another process may have migrated it meanwhile.
    sqlite3_stmt* again = nullptr;
    int current = m_version;
    if (sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &again, nullptr) == SQLITE_OK
        && sqlite3_step(again) == SQLITE_ROW)
        current = sqlite3_column_int(again, 0);
    sqlite3_finalize(again);
    for (int step = current; step < kSchemaVersion; ++step) {
        if (!execute(kMigrations[step], error))
            return false;
    }
    const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    if (!execute(setVersion.c_str(), error))
        return false;
    if (!transaction.commit()) {
        error = failure("cannot store the schema update");
        return false;
    }
    m_version = kSchemaVersion;
    return true;
}

std::int64_t HistoryStore::recordStart(const RunRecord& run, std::string& error)
{
    std::lock_guard lock(m_mutex);
    if (m_access != Access::ReadWrite) {
        error = "the run history '" + m_path + "' is open for reading only";
        return 0;
    }
    Transaction transaction(m_db, true);
    if (!transaction.isOpen()) {
        error = failure("cannot record the start of a run");
        return 0;
    }
    sqlite3_stmt* database = statement(kInsertDatabase, error);
    sqlite3_stmt* insert = statement(kInsertRun, error);
    if (!database || !insert)
        return 0;
    {
        Reset reset(database);
        BindText(database, 1, run.database);
        BindText(database, 2, run.server);
        if (sqlite3_step(database) != SQLITE_DONE) {
            error = failure("cannot record the start of a run");
            return 0;
        }
    }
    RunRecord started = run;
    started.outcome = Outcome::Started;
    started.endedAt.reset();
    {
        Reset reset(insert);
        BindRun(insert, started, CurrentProcessOwner());
        if (sqlite3_step(insert) != SQLITE_DONE) {
            error = failure("cannot record the start of a run");
            return 0;
        }
    }
    const std::int64_t id = sqlite3_last_insert_rowid(m_db);
    if (!transaction.commit()) {
        error = failure("cannot record the start of a run");
        return 0;
    }
    return id;
}

bool HistoryStore::recordFinish(RunRecord& run, std::string& error)
{
    std::lock_guard lock(m_mutex);
    if (m_access != Access::ReadWrite) {
        error = "the run history '" + m_path + "' is open for reading only";
        return false;
    }
    Transaction transaction(m_db, true);
    if (!transaction.isOpen()) {
        error = failure("cannot record the end of a run");
        return false;
    }
    sqlite3_stmt* database = statement(kInsertDatabase, error);
    sqlite3_stmt* finish = statement(kFinishRun, error);
    sqlite3_stmt* insert = statement(kInsertRun, error);
    sqlite3_stmt* count = statement(kCountRun, error);
    if (!database || !finish || !insert || !count)
        return false;
    bool updated = false;
    if (run.id != 0) {
        Reset reset(finish);
        BindRun(finish, run, {});
        sqlite3_bind_int64(finish, 16, run.id);
        if (sqlite3_step(finish) != SQLITE_DONE) {
            error = failure("cannot record the end of a run");
            return false;
        }
        updated = sqlite3_changes(m_db) == 1;
    }
    {
        Reset reset(database);
        BindText(database, 1, run.database);
        BindText(database, 2, run.server);
        if (sqlite3_step(database) != SQLITE_DONE) {
            error = failure("cannot record the end of a run");
            return false;
        }
    }
    // Without its started row (not recorded, or in a history begun since),
    // the run gets a row of its own.
    if (!updated) {
        Reset reset(insert);
        BindRun(insert, run, {});
        if (sqlite3_step(insert) != SQLITE_DONE) {
            error = failure("cannot record the end of a run");
            return false;
        }
    }
    const std::int64_t id = updated ? run.id : sqlite3_last_insert_rowid(m_db);
    {
        Reset reset(count);
        BindText(count, 1, run.database);
        BindText(count, 2, run.server);
        const std::string_view outcome = OutcomeName(run.outcome);
        sqlite3_bind_text(count, 3, outcome.data(), static_cast<int>(outcome.size()), SQLITE_STATIC);
        if (sqlite3_step(count) != SQLITE_DONE) {
            error = failure("cannot record the end of a run");
            return false;
        }
    }
    if (!transaction.commit()) {
        error = failure("cannot record the end of a run");
        return false;
    }
    run.id = id;
    return true;
}

int HistoryStore::prune(Millis cutoff, std::string& error)
{
    std::lock_guard lock(m_mutex);
    if (m_access != Access::ReadWrite) {
        error = "the run history '" + m_path + "' is open for reading only";
        return -1;
    }
    sqlite3_stmt* prune = statement(kPrune, error);
    if (!prune)
        return -1;
    Reset reset(prune);
    sqlite3_bind_int64(prune, 1, cutoff);
    if (sqlite3_step(prune) != SQLITE_DONE) {
        error = failure("cannot delete old runs");
        return -1;
    }
    return sqlite3_changes(m_db);
}

int HistoryStore::markInterrupted(std::string& error)
{
    std::lock_guard lock(m_mutex);
    if (m_access != Access::ReadWrite) {
        error = "the run history '" + m_path + "' is open for reading only";
        return -1;
    }
    return markInterruptedLocked(error);
}

int HistoryStore::markInterruptedLocked(std::string& error)
{
    Transaction transaction(m_db, true);
    if (!transaction.isOpen()) {
        error = failure("cannot mark interrupted runs");
        return -1;
    }
    struct Unfinished {
        std::int64_t id;
        std::string database;
        std::string server;
    };
    std::vector<Unfinished> dead;
    {
        sqlite3_stmt* unfinished = statement(kUnfinished, error);
        if (!unfinished)
            return -1;
        Reset reset(unfinished);
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(unfinished)) == SQLITE_ROW) {
            if (!IsOwnerAlive(ColumnText(unfinished, 3)))
                dead.push_back({sqlite3_column_int64(unfinished, 0), ColumnText(unfinished, 1), ColumnText(unfinished, 2)});
        }
        if (step != SQLITE_DONE) {
            error = failure("cannot read the unfinished runs");
            return -1;
        }
    }
    sqlite3_stmt* mark = statement(kMarkInterrupted, error);
    sqlite3_stmt* count = statement(kCountRun, error);
    if (!mark || !count)
        return -1;
    for (const Unfinished& run : dead) {
        Reset resetMark(mark);
        sqlite3_bind_int64(mark, 1, run.id);
        Reset resetCount(count);
        BindText(count, 1, run.database);
        BindText(count, 2, run.server);
        sqlite3_bind_text(count, 3, "interrupted", -1, SQLITE_STATIC);
        if (sqlite3_step(mark) != SQLITE_DONE || sqlite3_step(count) != SQLITE_DONE) {
            error = failure("cannot mark interrupted runs");
            return -1;
        }
    }
    if (!transaction.commit()) {
        error = failure("cannot mark interrupted runs");
        return -1;
    }
    return static_cast<int>(dead.size());
}

bool HistoryStore::summaries(std::vector<DatabaseSummary>& out, std::string& error)
{
    std::lock_guard lock(m_mutex);
    return readSummaries(kSummaries, {}, {}, out, error);
}

bool HistoryStore::summary(const std::string& database, const std::string& server, std::optional<DatabaseSummary>& out,
                           std::string& error)
{
    std::lock_guard lock(m_mutex);
    std::vector<DatabaseSummary> found;
    out.reset();
    if (!readSummaries(kSummaryOf, database, server, found, error))
        return false;
    if (!found.empty())
        out = std::move(found.front());
    return true;
}

bool HistoryStore::readSummaries(const char* sql, const std::string& database, const std::string& server,
                                 std::vector<DatabaseSummary>& out, std::string& error)
{
    out.clear();
    if (m_version == 0)
        return true;
    // One snapshot: a run recorded meanwhile is either wholly in or out.
    Transaction transaction(m_db, false);
    sqlite3_stmt* select = statement(sql, error);
    if (!select)
        return false;
    Reset reset(select);
    if (sql == kSummaryOf) {
        BindText(select, 1, database);
        BindText(select, 2, server);
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select)) == SQLITE_ROW) {
        DatabaseSummary summary;
        summary.database = ColumnText(select, 0);
        summary.server = ColumnText(select, 1);
        summary.totals[static_cast<int>(Outcome::Completed)] = sqlite3_column_int64(select, 2);
        summary.totals[static_cast<int>(Outcome::Failed)] = sqlite3_column_int64(select, 3);
        summary.totals[static_cast<int>(Outcome::Cancelled)] = sqlite3_column_int64(select, 4);
        summary.totals[static_cast<int>(Outcome::Stopped)] = sqlite3_column_int64(select, 5);
        summary.totals[static_cast<int>(Outcome::Interrupted)] = sqlite3_column_int64(select, 6);
        summary.firstRunAt = ColumnOptional(select, 7);
        std::optional<RunRecord>* targets[] = {&summary.lastRun, &summary.lastFinished, &summary.lastSuccess};
        for (int i = 0; i < 3; ++i) {
            const int first = 8 + i * kRunColumnCount;
            if (sqlite3_column_type(select, first) == SQLITE_NULL)
                continue;
            RunRecord run;
            ReadRun(select, first, run);
            *targets[i] = std::move(run);
        }
        // A run whose process is gone has finished, by being interrupted.
        if (summary.lastRun && summary.lastRun->outcome == Outcome::Interrupted
            && (!summary.lastFinished || summary.lastFinished->startedAt <= summary.lastRun->startedAt))
            summary.lastFinished = summary.lastRun;
        out.push_back(std::move(summary));
    }
    if (step != SQLITE_DONE) {
        error = failure("cannot read the databases");
        out.clear();
        return false;
    }
    return true;
}

bool HistoryStore::runs(const std::string& database, const std::string& server, int limit, std::vector<RunRecord>& out,
                        std::string& error)
{
    std::lock_guard lock(m_mutex);
    out.clear();
    if (m_version == 0)
        return true;
    Transaction transaction(m_db, false);
    sqlite3_stmt* select = statement(kRunsOf, error);
    if (!select)
        return false;
    Reset reset(select);
    BindText(select, 1, database);
    BindText(select, 2, server);
    sqlite3_bind_int(select, 3, limit);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select)) == SQLITE_ROW) {
        RunRecord run;
        ReadRun(select, 0, run);
        out.push_back(std::move(run));
    }
    if (step != SQLITE_DONE) {
        error = failure("cannot read the runs");
        out.clear();
        return false;
    }
    return true;
}

} // namespace history
