#pragma once

#include "engine/Clock.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace db { class Connection; class Connector; class ResultTable; }

namespace engine {

class RestoreTestRecord;

// Operator texts of a restore test, compared verbatim by tests.
inline constexpr const char* kRestoreTestInProgressText = "Restore test in progress";
inline constexpr const char* kConsistencyCheckInProgressText = "Consistency check in progress";
// "Restore test passed for Database X (restored in S s, no consistency errors)"
inline constexpr const char* kRestoreTestPassedText = "Restore test passed for Database ";
// "Restore test failed for Database X: " + the server's text
inline constexpr const char* kRestoreTestFailedText = "Restore test failed for Database ";
inline constexpr const char* kNoDefaultDataPathText =
    "the server names no default data folder (SERVERPROPERTY('InstanceDefaultDataPath') is NULL); set "
    "RESTORE_TEST_DATA_PATH in section OPTIONS to a folder the server can write";

// The scratch database a test restores into: the database's own name (the
// inside of a bracketed one), "_restoretest_" and the 14-digit local time,
// e.g. Sales_restoretest_20240315101530. The name is cut, between
// characters, so that the whole stays within the server's 128 characters.
std::string ScratchDatabaseName(const std::string& databaseName, const std::tm& local);

// True only for a name that ScratchDatabaseName can have given for this
// database: the same prefix and exactly 14 digits after it. The program
// drops no database for which this is false.
bool IsScratchDatabaseName(const std::string& candidate, const std::string& databaseName);

// One file of a backup, as RESTORE FILELISTONLY lists it.
struct BackupFileEntry {
    std::string logicalName;
    char type = 'D';    // D data, L log, S FILESTREAM, F full-text
    std::string fileId; // unique within the backup
};

// Where a file of the scratch database goes: `folder` (as the server names
// it; "\" between folder and name when the folder is a Windows path) and a
// name made of the scratch name with characters no file system takes
// replaced by "_": <scratch>.mdf for the primary data file (file id 1),
// <scratch>_<id>.ndf for other data files, <scratch>_log.ldf for the first
// log file, <scratch>_log<id>.ldf for others, <scratch>_<id> for FILESTREAM
// and full-text folders.
std::string MovedFilePath(const std::string& folder, const std::string& scratch, const BackupFileEntry& file,
                          bool firstLog);

// The commands of a test; every name quoted, every path an N'...' literal.
std::string HeaderOnlyCommand(const std::string& serverFile);
std::string FileListCommand(const std::string& serverFile);
std::string DefaultFoldersQuery();
struct FileMove {
    std::string logicalName;
    std::string path;
};
// RESTORE DATABASE [<scratch>] FROM DISK = N'...' WITH MOVE N'a' TO N'...', ...[, CHECKSUM], RECOVERY
std::string RestoreCommand(const std::string& scratch, const std::string& serverFile,
                           const std::vector<FileMove>& moves, bool checksum);
// DBCC CHECKDB ([<scratch>]) WITH NO_INFOMSGS, ALL_ERRORMSGS
std::string CheckCommand(const std::string& scratch);
// DROP DATABASE [<scratch>]
std::string DropCommand(const std::string& scratch);
std::string ExistsQuery(const std::string& scratch);

// "restored in S s": seconds with one decimal.
std::string SecondsText(double seconds);

// Whether a database last tested at `last` is due at `now` with a test at
// most every `days` days (0: every time).
bool IsRestoreTestDue(std::optional<std::time_t> last, std::time_t now, int days);

// How one restore test ended.
struct RestoreTestOutcome {
    enum class Result { NotRun, Passed, Failed, Stopped };
    Result result = Result::NotRun;
    std::string backupFile;   // the kept backup that was tested (local path)
    std::string scratchName;
    std::string errorText;    // Failed: the server's text, or why the test could not run
    double restoreSeconds = 0; // the restore alone
    std::time_t testedAt = 0;  // when it started (seconds since 1970)
    // The scratch database could not be dropped (it is at the next run);
    // the run fails, whatever the verdict on the backup.
    bool scratchLeft = false;
    std::string dropErrorText;
};

// Proves one backup on its server: reads its header (for checksums) and
// file list, restores it under a scratch name with every file moved to the
// data folder asked for (or the server's default data and log folders),
// runs DBCC CHECKDB on the copy and drops it again: always, also after a
// failed step or a stop. The scratch name is recorded before the restore is
// sent and forgotten once the database is gone, so that a test killed
// half-way is cleaned up by DropLeftovers at the next run.
//
// Threads: blocks the calling thread for the whole test, as long as the
// server's restore and check take. The caller arranges that a stop cancels
// the command under way on `connection` (as it does for its backup); the
// drop after a stop then goes through a new connection of its own. Progress
// is reported on another thread.
class RestoreTester {
public:
    enum class Stage { Restore, ConsistencyCheck };
    // The server's percentage of the stage under way; any thread.
    using ProgressFn = std::function<void(Stage stage, int percent)>;

    struct Services {
        db::Connector* connector = nullptr; // for the progress and a drop after a cancel
        std::string connectionString;
        RestoreTestRecord* record = nullptr;
        Clock* clock = nullptr;
        std::chrono::milliseconds progressInterval{0}; // 0: no progress
    };

    struct Request {
        std::string key;          // RestoreTestKey of the database
        std::string databaseName; // as shown: trimmed, maybe bracketed
        std::string backupFile;   // the kept backup, as the program reads it
        std::string serverFile;   // the same file as the server names it
        std::string dataPath;     // RESTORE_TEST_DATA_PATH; empty: the server's default folders
    };

    RestoreTester(Services services, ProgressFn progress = {});

    RestoreTestOutcome run(db::Connection& connection, int sessionId, const Request& request, std::stop_token stop);

    // Drops every scratch database the record holds for `key` that an
    // interrupted test left on the server. One log line per database dropped
    // or not droppable.
    std::vector<std::string> dropLeftovers(db::Connection& connection, const std::string& key,
                                           const std::string& databaseName);

private:
    // Drops `scratch` when it is one of the database's scratch names and
    // recorded; forgets it once gone. False with the reason when it stays.
    bool dropScratch(db::Connection& connection, const std::string& key, const std::string& databaseName,
                     const std::string& scratch, bool& existed, std::string& error);

    Services m_services;
    ProgressFn m_progress;
};

} // namespace engine
