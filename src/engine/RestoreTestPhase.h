#pragma once

#include "engine/BackupJob.h"
#include "engine/RestoreTest.h"

#include <functional>
#include <stop_token>
#include <string>

namespace db { class Connection; }

namespace engine {

class BackupSession;
struct BackupServices;

// The restore test as a step of a run, shared by the backup run (after its
// rotation) and the restore test on its own: it unpacks an archive into the
// temp folder first (and removes the copy after), runs the RestoreTester on
// the run's connection, shows the server's progress in the run's row, logs
// the verdict, and records when the database was tested.
class RestoreTestPhase {
public:
    struct Context {
        BackupSession& owner;
        const BackupJob& job;
        const BackupServices& services;
        std::string displayName;      // the database as shown
        std::string connectionString; // the run's, for the progress and a drop after a stop
        int row = 0;                  // the run's row, for the progress
        // Writes a line to the log and keeps it with the run's result.
        std::function<void(const std::string&)> writeLog;
    };

    explicit RestoreTestPhase(Context context);

    // The database's key in the restore-test record.
    std::string key() const;

    // Whether the settings ask for a test after this backup: RESTORE_TEST on,
    // and the last test at least RESTORE_TEST_DAYS days ago.
    bool isDue();

    // Drops the scratch databases interrupted tests of this database left;
    // a server round trip only when the record holds one.
    void dropLeftovers(db::Connection& connection);

    // Tests `keptFile` (a .Bak, or a .zip holding one) on `connection`,
    // which a stop cancels. The row's status cell shows the progress; the
    // caller sets the final cells.
    RestoreTestOutcome run(db::Connection& connection, int sessionId, const std::string& keptFile,
                           const std::string& tempFolder, std::stop_token stop);

    // The log line of a verdict: "Restore test passed for Database X
    // (restored in S s, no consistency errors)", "Restore test failed for
    // Database X: " + why, or that it was stopped.
    static std::string VerdictLine(const std::string& displayName, const RestoreTestOutcome& outcome);
    // The status cell of a verdict of a restore test on its own (the backup
    // run keeps its own text when the test passes).
    static std::string VerdictCell(const RestoreTestOutcome& outcome);

private:
    void setProgress(const std::string& text);

    Context m_context;
};

// The newest backup kept in `databaseFolder` (a .Bak or .zip file directly
// in it, by modification time); empty when there is none.
std::string NewestKeptBackup(const std::string& databaseFolder);

} // namespace engine
