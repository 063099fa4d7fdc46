#pragma once

#include "history/RunRecord.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace history {

inline constexpr const char* kHistoryFileName = "BackupHistory.db";
// Runs started longer ago than this are pruned; each database keeps its
// newest run and its newest completed run whatever their age.
inline constexpr int kKeepDays = 400;
// The schema this program writes (PRAGMA user_version).
inline constexpr int kSchemaVersion = 1;

// The run history: one SQLite file (BackupHistory.db) with a row per run and
// the running totals per database.
//
// A writer opens it ReadWrite: a missing file is created, an older schema is
// migrated in one transaction, a file that is no database or is damaged is
// moved aside (to "<file>.damaged-<UTC time>", with its -wal) and a new one
// is started, and the runs whose process has ended without finishing them
// are marked Interrupted. The file is in WAL mode with synchronous=NORMAL: a
// committed run survives the process being killed; readers never wait for
// the writer. The WAL files are kept when the writer closes, so that a
// reader without write rights on the folder (a monitoring account) can
// still open the file. Readers open it ReadOnly and change nothing.
//
// Threads: every call may come from any thread; calls are serialised on one
// connection and block while another process holds the write lock, at most
// about two seconds. Nothing throws: a failure returns false (or 0) with the
// reason, and the store is usable for the next call. A file with a newer
// schema can be read but is never written.
class HistoryStore {
public:
    enum class Access { ReadWrite, ReadOnly };

    struct Opened {
        std::unique_ptr<HistoryStore> store; // null when it cannot be opened
        std::string error;                   // why not
        std::vector<std::string> notes;      // what opening did besides: a file moved aside, runs marked interrupted
    };

    static Opened open(const std::string& path, Access access);
    ~HistoryStore();

    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    const std::string& path() const { return m_path; }
    // True once a call found the file damaged; reopening moves it aside.
    bool isDamaged() const;

    // Stores the start of a run (Started, owned by this process) and returns
    // its id; 0 on failure.
    std::int64_t recordStart(const RunRecord& run, std::string& error);
    // Stores the end of a run in one transaction: its row (the one `run.id`
    // names; a new row when that is 0 or gone) and the database's totals.
    // Sets run.id.
    bool recordFinish(RunRecord& run, std::string& error);
    // Deletes the runs started before `cutoff`, except each database's
    // newest run and newest completed run. Returns how many; -1 on failure.
    int prune(Millis cutoff, std::string& error);
    // Marks the Started runs whose process has ended as Interrupted; returns
    // how many, -1 on failure. Open() does it for a writer.
    int markInterrupted(std::string& error);

    // Every database the history knows, in name order.
    bool summaries(std::vector<DatabaseSummary>& out, std::string& error);
    // One database; `out` is empty when the history does not know it.
    bool summary(const std::string& database, const std::string& server, std::optional<DatabaseSummary>& out,
                 std::string& error);
    // The newest `limit` runs of one database, newest first.
    bool runs(const std::string& database, const std::string& server, int limit, std::vector<RunRecord>& out,
              std::string& error);

    // The schema version of the file as opened.
    int schemaVersion() const { return m_version; }

private:
    HistoryStore(std::string path, Access access);

    // Expects m_mutex held. Prepared once per connection, by the text's address.
    sqlite3_stmt* statement(const char* sql, std::string& error);
    bool execute(const char* sql, std::string& error);
    // Keeps a message of the connection's last failure and notes damage.
    std::string failure(const char* what);
    bool readSummaries(const char* sql, const std::string& database, const std::string& server,
                       std::vector<DatabaseSummary>& out, std::string& error);
    bool migrate(std::string& error);
    int markInterruptedLocked(std::string& error);

    std::string m_path;
    Access m_access;
    int m_version = 0;
    mutable std::mutex m_mutex; // guards the connection and every member below
    sqlite3* m_db = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> m_statements;
    bool m_damaged = false;
};

// This process as the owner of the runs it starts: boot, process id and the
// process's start time, so that a reused process id is not taken for it.
std::string CurrentProcessOwner();
// True while the process an owner text names is alive on this host.
bool IsOwnerAlive(const std::string& owner);

} // namespace history
