#include "engine/RunHistory.h"

#include "engine/BackupJob.h"
#include "engine/BackupWorker.h"

namespace engine {

history::Millis HistoryTime(std::chrono::system_clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

history::RunRecord StartedRunRecord(const BackupJob& job, std::chrono::system_clock::time_point start)
{
    history::RunRecord run;
    run.database = history::Trimmed(job.databaseName);
    run.server = history::Trimmed(job.databaseUrl);
    run.startedAt = HistoryTime(start);
    run.outcome = history::Outcome::Started;
    return run;
}

history::RunRecord FinishedRunRecord(const BackupJob& job, const RunResult& result)
{
    history::RunRecord run = StartedRunRecord(job, result.startTime);
    run.endedAt = HistoryTime(result.endTime);
    switch (result.outcome) {
    case RunOutcome::Completed: run.outcome = history::Outcome::Completed; break;
    case RunOutcome::Failed: run.outcome = history::Outcome::Failed; break;
    case RunOutcome::Cancelled: run.outcome = history::Outcome::Cancelled; break;
    case RunOutcome::Stopped: run.outcome = history::Outcome::Stopped; break;
    }
    run.statusText = result.row[StatusBackupStatus];
    run.backupFile = result.backupFileName;
    run.backupBytes = result.backupBytes;
    run.archiveBytes = result.archiveBytes;
    run.verification = result.verification == Verification::Passed ? "passed"
        : result.verification == Verification::Failed              ? "failed"
                                                                    : "";
    switch (result.restoreTest.result) {
    case RestoreTestOutcome::Result::NotRun: break;
    case RestoreTestOutcome::Result::Passed: run.restoreTest = "passed"; break;
    case RestoreTestOutcome::Result::Failed: run.restoreTest = "failed"; break;
    case RestoreTestOutcome::Result::Stopped: run.restoreTest = "stopped"; break;
    }
    if (result.restoreTest.result != RestoreTestOutcome::Result::NotRun)
        run.restoreTestAt = static_cast<history::Millis>(result.restoreTest.testedAt) * 1000;
    run.mailStatus = result.mailText;
    run.errorText = result.errorText;
    return run;
}

} // namespace engine
