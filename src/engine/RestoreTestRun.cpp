#include "engine/RestoreTestRun.h"

#include "engine/BackupFolders.h"
#include "engine/BackupSession.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/RestoreTestPhase.h"

#include "db/Connection.h"
#include "log/Log.h"

#include "text/MessageBox.h"
#include "text/Text.h"
#include <cstdlib>
#include <exception>

namespace engine {

RestoreTestRun::RestoreTestRun(const BackupJob& job, const BackupServices& services)
    : m_job(job)
    , m_services(services)
    , m_owner(*job.owner)
{
    static FileOps s_realFileOps;
    if (!m_services.fileOps)
        m_services.fileOps = &s_realFileOps;
}

RestoreTestRun::~RestoreTestRun() = default;

void RestoreTestRun::setCell(int column, const std::string& text)
{
    m_result.row[column] = text;
    m_owner.statusJournal().setCell(m_row, column, text);
}

void RestoreTestRun::writeLog(const std::string& message)
{
    m_result.logLines.push_back(message);
    m_owner.log().Write(message);
}

void RestoreTestRun::fail(const std::string& why)
{
    m_result.restoreTest.result = RestoreTestOutcome::Result::Failed;
    m_result.restoreTest.errorText = why;
    setCell(StatusBackupStatus, RestoreTestPhase::VerdictCell(m_result.restoreTest));
    setCell(StatusBackupTime, BackupWorker::CurrentTimeText(m_services.clock->localTime()));
    writeLog(RestoreTestPhase::VerdictLine(m_displayName, m_result.restoreTest));
}

RunResult RestoreTestRun::run(std::stop_token stop)
{
    m_result.kind = RunResult::Kind::RestoreTest;
    m_displayName = std::string(text::Trim(m_job.databaseName));
    m_result.databaseName = m_displayName;
    std::unique_lock<std::mutex> lock;
    if (std::mutex* backupLock = m_owner.backupState().backupLock)
        lock = std::unique_lock(*backupLock);
    m_result.startTime = m_services.clock->systemTime();
    try {
        std::stop_callback cancelCommand(stop, [this] { m_connection.cancel(); });
        body(stop);
    } catch (const std::exception& e) {
        fail(std::string("stopped by an unexpected error: ") + e.what());
    }
    using Result = RestoreTestOutcome::Result;
    const RestoreTestOutcome& test = m_result.restoreTest;
    if (test.result == Result::Passed && !test.scratchLeft) {
        m_result.outcome = RunOutcome::Completed;
    } else if (test.result == Result::Stopped) {
        m_result.outcome = RunOutcome::Stopped;
    } else {
        m_result.outcome = RunOutcome::Failed;
        m_result.errorText = test.result == Result::Passed ? "the scratch database could not be dropped: "
                + test.dropErrorText : RestoreTestPhase::VerdictCell(test);
    }
    m_result.endTime = m_services.clock->systemTime();
    if (lock.owns_lock())
        lock.unlock();
    m_connection.close();
    return m_result;
}

void RestoreTestRun::body(std::stop_token stop)
{
    StatusJournal& journal = m_owner.statusJournal();
    do {
        m_row = journal.rowCount();
    } while (!journal.insertRow(m_row));
    setCell(StatusSerial, std::to_string(m_row + 1));
    setCell(StatusDatabaseName, m_displayName);
    setCell(StatusBackupStatus, kRestoreTestInProgressText);
    m_owner.view().runStarted({{m_job.databaseUrl, m_job.databaseName, false}, m_row});

    if (const auto problem = DatabaseNameProblem(m_job.databaseName)) {
        fail(*problem);
        return;
    }
    const std::string databaseFolder(text::Trim(m_job.backupPath + "/" + m_job.databaseName));
    const std::string tempFolder = m_job.backupPath + "/" + m_job.databaseName + "/temp";
    const std::string kept = NewestKeptBackup(databaseFolder);
    if (kept.empty()) {
        fail("no backup is kept in '" + databaseFolder + "'");
        return;
    }
    setCell(StatusFileSize, std::to_string(BackupWorker::FileSizeBytes(kept)));
    const text::MessageBoxFn messageBox = [this](const std::string& text, const std::string& caption) {
        m_owner.view().showNotice(text, caption);
    };
    if (!FileExists(tempFolder) && !CreateFolderPath(tempFolder, messageBox)) {
        fail(kTempCreationErrorText);
        return;
    }

    const std::string connectionString
        = db::BuildConnectionString(m_job.databaseUrl, m_job.databaseName, m_job.userName, m_job.password);
    std::string failureText;
    std::unique_ptr<db::Connection> connection;
    if (m_services.connector)
        connection = m_services.connector->OpenBackupConnection(connectionString, failureText);
    if (!connection) {
        fail(std::string(db::kConnectionFailedText) + (failureText.empty() ? "" : " " + failureText));
        return;
    }
    db::Connection* session = connection.get();
    m_connection.hold(std::move(connection), stop);

    RestoreTestPhase phase({m_owner, m_job, m_services, m_displayName, connectionString, m_row,
                            [this](const std::string& line) { writeLog(line); }});
    phase.dropLeftovers(*session);
    std::string spid;
    std::string ignored;
    const bool known = !db::Failed(session->QueryValue(" SELECT @@SPID", spid, ignored));
    const int sessionId = known ? std::atoi(spid.c_str()) : 0;
    m_result.restoreTest = phase.run(*session, sessionId, kept, tempFolder, stop);
    setCell(StatusBackupStatus, RestoreTestPhase::VerdictCell(m_result.restoreTest));
    setCell(StatusBackupTime, BackupWorker::CurrentTimeText(m_services.clock->localTime()));
}

} // namespace engine
