#include "engine/BackupWorker.h"

#include "engine/Archiver.h"
#include "engine/BackupFolders.h"
#include "engine/BackupSession.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/Mailer.h"
#include "engine/BackupWatch.h"
#include "engine/OffsitePhase.h"
#include "engine/ProgressPoller.h"
#include "engine/ServerFolder.h"
#include "engine/SqlText.h"

#include "db/Connection.h"
#include "db/ResultTable.h"
#include "log/Log.h"
#include "text/Text.h"

#include <algorithm>
#include <cassert>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace engine {

namespace {

constexpr std::chrono::milliseconds kDeleteRetryPause{500};
constexpr int kDeleteRetries = 60; // 30 s of 500 ms pauses
constexpr int kRowsBeforeClearing = 1000;

std::string HexCode(db::HRESULT hr)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hr));
    return buffer;
}

bool IsDirectory(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string ProgramName()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.stem().empty())
        return "corvella";
    return exe.stem().string();
}

std::string BackupWorker::BackupCommand(const std::string& displayName, const std::string& tempFolder,
                                        const std::string& backupName, bool checksum)
{
    return "BACKUP DATABASE " + QuoteIdentifier(displayName) + " TO DISK = "
        + UnicodeLiteral(JoinServerPath(tempFolder, backupName + ".bak")) + " WITH INIT, NAME = "
        + UnicodeLiteral("Full  Backup of  " + displayName) + (checksum ? ", CHECKSUM" : "");
}

std::string BackupWorker::VerifyCommand(const std::string& file)
{
    return "RESTORE VERIFYONLY FROM DISK = " + UnicodeLiteral(file) + " WITH CHECKSUM";
}

int BackupWorker::sessionId(std::string* problem)
{
    // A leading blank makes it a plain batch: one round trip, no server cursor.
    std::string value;
    std::string error;
    if (db::Failed(m_connection.get()->QueryValue(" SELECT @@SPID", value, error))) {
        if (problem)
            *problem = error.empty() ? std::string("the server did not tell the backup's session") : error;
        return 0;
    }
    return std::atoi(value.c_str());
}

std::string BackupWorker::CurrentTimeText(const std::tm& local)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d/%d/%d  %d:%d:%d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}

std::string BackupWorker::TimeStamp(const std::tm& local)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}

std::int64_t BackupWorker::FileSizeBytes(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<std::int64_t>(st.st_size);
}

BackupWorker::BackupWorker(const BackupJob& job, const BackupServices& services)
    : m_job(job)
    , m_services(services)
    , m_owner(*job.owner)
{
    assert(m_services.clock);
    static FileOps s_realFileOps;
    if (!m_services.fileOps)
        m_services.fileOps = &s_realFileOps;
    if (m_services.applicationName.empty())
        m_services.applicationName = kDisplayName;
    // A notice never waits for the operator: the view queues it.
    m_notice = [this](const std::string& text, const std::string& caption) {
        m_owner.view().showNotice(text, caption.empty() ? m_services.applicationName : caption);
    };
}

BackupWorker::~BackupWorker() = default;

void BackupWorker::writeLog(const std::string& message)
{
    m_result.logLines.push_back(message);
    m_owner.log().Write(message);
}

void BackupWorker::setCell(int column, const std::string& text)
{
    m_result.row[column] = text;
    m_owner.statusJournal().setCell(m_row, column, text);
}

void BackupWorker::fail(const std::string& text)
{
    setCell(StatusBackupStatus, text);
    noteFailure(text);
}

void BackupWorker::noteFailure(const std::string& text)
{
    if (m_result.errorText.empty())
        m_result.errorText = text;
}

std::string BackupWorker::serverFile() const
{
    return m_tempFolder + "/" + m_backupName + ".bak";
}

std::string BackupWorker::backupFile() const
{
    return m_tempFolder + "/" + m_backupName + ".Bak";
}

std::string BackupWorker::archiveFile() const
{
    return m_tempFolder + "/" + m_backupName + ".zip";
}

RunResult BackupWorker::run(std::stop_token stop)
{
    BackupState& state = m_owner.backupState();
    m_stop = stop;

    m_backupName = m_job.databaseName;
    if (m_job.keepOld)
        m_backupName += TimeStamp(m_services.clock->localTime());
    // The temp folder keeps the name as stored; only the database folder and
    // the shown name are trimmed.
    m_tempFolder = m_job.backupPath + "/" + m_job.databaseName + "/temp";
    m_databaseFolder = text::Trim(m_job.backupPath + "/" + m_job.databaseName);
    m_displayName = text::Trim(m_job.databaseName);
    m_serverTempFolder = ServerTempFolder(m_job.serverBackupPath, m_job.databaseName, m_tempFolder);
    m_result.databaseName = m_displayName;

    std::unique_lock<std::mutex> lock;
    if (state.backupLock)
        lock = std::unique_lock(*state.backupLock);
    m_result.startTime = m_services.clock->systemTime();
    recordStart();

    m_manual = state.manualRun.load() != 0;
    if (m_manual)
        m_owner.view().manualRunStarted();

    bool completed = false;
    try {
        // A stop that arrives while the server writes the backup cancels the
        // command; the phases after it look at the token themselves.
        std::stop_callback cancelCommand(m_stop, [this] { m_connection.cancel(); });
        completed = runPhases();
    } catch (const std::exception& e) {
        writeLog("Backup of database " + m_displayName + " stopped by an unexpected error: " + e.what());
        fail(std::string(kUnexpectedErrorText) + e.what());
    } catch (...) {
        writeLog("Backup of database " + m_displayName + " stopped by an unexpected error");
        fail(kUnexpectedErrorText);
    }
    m_folderLock.release();
    m_result.outcome = completed ? RunOutcome::Completed
        : m_stop.stop_requested()  ? RunOutcome::Stopped
                                   : RunOutcome::Failed;
    if (m_result.outcome == RunOutcome::Stopped)
        noteFailure(kStoppedText);
    m_result.endTime = m_services.clock->systemTime();

    // End steps, reached by every path. The connection is closed as the run
    // leaves the lock, so that no more than one is open however many runs
    // follow each other; the pause after the run is its owner's (the run
    // still counts as busy during it).
    if (state.manualRun.load() != 0)
        m_owner.view().manualRunEnded();
    if (lock.owns_lock())
        lock.unlock();
    m_connection.close();
    recordEnd();
    return m_result;
}

void BackupWorker::recordStart()
{
    if (m_services.history)
        m_ticket = m_services.history->runStarted(StartedRunRecord(m_job, m_result.startTime));
}

void BackupWorker::recordEnd()
{
    if (m_services.history)
        m_services.history->runFinished(m_ticket, FinishedRunRecord(m_job, m_result));
}

bool BackupWorker::runPhases()
{
    openRow();
    if (EndsTheRun(checkName()) || EndsTheRun(prepareTemp()) || EndsTheRun(lockFolder())
        || EndsTheRun(clearLeftovers()) || EndsTheRun(connect()) || EndsTheRun(dropLeftoverScratchDatabases())
        || EndsTheRun(serverBackup()) || EndsTheRun(verify()) || EndsTheRun(finishFile()))
        return false;
    // A stop from here on keeps the finished backup: the compression and
    // the mail are skipped, the quick rotation still runs.
    const Phase zipped = compress();
    const Phase mailed = sendMail();
    if (rotate() != Phase::Done)
        return false;
    const Phase uploaded = uploadOffsite();
    // The test reports; it deletes nothing the rotation kept.
    const Phase tested = restoreTest();
    return !EndsTheRun(zipped) && !EndsTheRun(mailed) && !EndsTheRun(uploaded) && !EndsTheRun(tested)
        && !m_stop.stop_requested();
}

bool BackupWorker::stopRequested()
{
    if (!m_stop.stop_requested())
        return false;
    if (!m_stopLogged) {
        m_stopLogged = true;
        writeLog("Backup of database " + m_displayName + " stopped because the program is ending");
    }
    return true;
}

void BackupWorker::openRow()
{
    StatusJournal& journal = m_owner.statusJournal();
    // The journal may be emptied between counting and inserting; then count again.
    do {
        m_row = journal.rowCount();
    } while (!journal.insertRow(m_row));
    setCell(StatusSerial, std::to_string(m_row + 1));
    setCell(StatusDatabaseName, m_displayName);
    setCell(StatusBackupStatus, kBackupInProgressText);
    m_result.journalRow = m_row;
    m_owner.view().runStarted({{m_job.databaseUrl, m_job.databaseName, m_manual}, m_row});
    writeLog("Backup Started for Database " + text::PrintableName(m_displayName));
}

BackupWorker::Phase BackupWorker::checkName()
{
    // The name becomes a folder: nothing outside "<backup path>/<name>" may
    // ever be created, moved or deleted because of it.
    if (const auto problem = DatabaseNameProblem(m_job.databaseName)) {
        fail(*problem);
        writeLog("Backup of database '" + text::PrintableName(m_job.databaseName) + "' refused. " + *problem);
        return Phase::Failed;
    }
    if (stopRequested()) {
        fail(kStoppedText);
        return Phase::Stopped;
    }
    return Phase::Done;
}

// One database folder is backed up by one run at a time, whatever settings
// file each copy of the program reads: a second run would take the first
// one's unfinished file in temp for an interrupted run's and delete it.
BackupWorker::Phase BackupWorker::lockFolder()
{
    pid_t holder = 0;
    std::string error;
    switch (m_folderLock.acquire(m_databaseFolder, holder, error)) {
    case FolderLock::Result::Acquired:
        return Phase::Done;
    case FolderLock::Result::HeldByOther: {
        const std::string text = "Backup of database " + text::PrintableName(m_displayName)
            + " skipped: another copy of Corvella" + (holder > 0 ? " (process " + std::to_string(holder) + ")" : "")
            + " is backing it up";
        fail(text);
        writeLog(text);
        return Phase::Failed;
    }
    case FolderLock::Result::Failed:
        break;
    }
    // A file system without locks (some network shares) still gets its backups.
    writeLog("Backup of database " + text::PrintableName(m_displayName)
             + " goes on without keeping other copies of Corvella out of its folder. " + error);
    return Phase::Done;
}

BackupWorker::Phase BackupWorker::prepareTemp()
{
    // The database folder, which the run locks, is temp's parent unless the
    // stored name ends in blanks (the folder is trimmed, temp is not).
    for (const std::string* folder : {&m_tempFolder, &m_databaseFolder}) {
        if (!IsDirectory(*folder) && !CreateFolderPath(*folder, m_notice)) {
            fail(kTempCreationErrorText);
            writeLog("Temp directory creation error for database " + m_displayName);
            return Phase::Failed;
        }
    }
    return Phase::Done;
}

BackupWorker::Phase BackupWorker::clearLeftovers()
{
    // What an interrupted run left in temp is sorted only once this run holds
    // the folder: another copy's backup under way is never taken for one.
    handleLeftovers([this](const std::string& text, const std::string& caption) {
        m_owner.view().showNotice(text, caption);
    });
    return Phase::Done;
}

BackupWorker::Phase BackupWorker::connect()
{
    m_connectionString
        = db::BuildConnectionString(m_job.databaseUrl, m_job.databaseName, m_job.userName, m_job.password);
    std::string failureText;
    std::unique_ptr<db::Connection> connection;
    if (m_services.connector)
        connection = m_services.connector->OpenBackupConnection(m_connectionString, failureText);
    if (!connection) {
        m_owner.view().setStatusLine(db::kConnectionFailedText);
        // The row says why, when the driver or the server said.
        fail(failureText.empty() ? std::string(db::kConnectionFailedText)
                                 : std::string(db::kConnectionFailedText) + " " + failureText);
        if (failureText.empty())
            failureText = "no reason was given";
        writeLog("Error: Database connection Error for DB " + m_displayName + " Error Message: " + failureText);
        return Phase::Failed;
    }
    m_connection.hold(std::move(connection), m_stop);
    return Phase::Done;
}

BackupWorker::Phase BackupWorker::serverBackup()
{
    std::string errorText;
    bool cancelledForStall = false;
    const db::HRESULT hr = runWatchedBackup(errorText, cancelledForStall);
    if (!db::Failed(hr))
        return Phase::Done;
    if (discardAfterFailure(serverFile()))
        return Phase::Stopped;
    // The row and the log already say that the stalled backup was cancelled.
    if (cancelledForStall)
        return Phase::Failed;
    // A failure without a text still says that it failed.
    if (errorText.empty())
        errorText = "Backup failed for database " + m_displayName + " (error " + HexCode(hr) + ")";
    fail(errorText);
    writeLog(errorText);
    if (errorText.find(kAccessDeniedMarker) != std::string::npos)
        writeLog(AccessDeniedAdvice(m_tempFolder, m_job.backupPath));
    if (errorText.find(kPathNotFoundMarker) != std::string::npos)
        explainUnseenFolder();
    return Phase::Failed;
}

BackupWorker::Phase BackupWorker::verify()
{
    if (!m_job.verify)
        return Phase::Skipped;
    db::ResultTable table;
    std::string errorText;
    const db::HRESULT hr = m_connection.get()->ExecuteCommand(
        VerifyCommand(JoinServerPath(m_serverTempFolder, m_backupName + ".bak")), table, errorText);
    if (!db::Failed(hr)) {
        m_result.verification = Verification::Passed;
        writeLog("Backup verified for Database " + m_displayName);
        return Phase::Done;
    }
    // An unverified file is no backup: it goes, and the earlier backups stay as they are.
    if (discardAfterFailure(serverFile()))
        return Phase::Stopped;
    m_result.verification = Verification::Failed;
    if (errorText.empty())
        errorText = "error " + HexCode(hr);
    const std::string text = kVerificationFailedText + errorText;
    fail(text);
    writeLog(text);
    return Phase::Failed;
}

BackupWorker::Phase BackupWorker::finishFile()
{
    m_result.backupDone = true;
    removeIncompleteLeftovers();
    // The server names the file ".bak"; everything after this reaches it as ".Bak".
    if (FileExists(serverFile())) {
        std::string error;
        if (!m_services.fileOps->renameFile(serverFile(), backupFile(), error)) {
            const std::string text = "Cannot rename '" + serverFile() + "' to '" + backupFile() + "': " + error;
            fail(text);
            writeLog(text);
            return Phase::Failed;
        }
    }
    m_result.backupBytes = FileSizeBytes(FileExists(backupFile()) ? backupFile() : serverFile());
    m_result.backupFileName = m_backupName + m_extension;

    setCell(StatusBackupStatus, kBackupCompletedText);
    setCell(StatusFileSize, std::to_string(m_result.backupBytes));
    setCell(StatusBackupTime, CurrentTimeText(m_services.clock->localTime()));
    if (m_row > kRowsBeforeClearing)
        m_owner.statusJournal().clear();

    CreateFolderPath(m_databaseFolder + "/Old Backup", m_notice);
    CreateFolderPath(m_databaseFolder + "/Last Backup", m_notice);
    return Phase::Done;
}

BackupWorker::Phase BackupWorker::compress()
{
    if (!m_job.zip)
        return Phase::Skipped;
    if (stopRequested())
        return Phase::Stopped;
    logging::Log& log = m_owner.log();
    StatusJournal& journal = m_owner.statusJournal();
    setCell(StatusBackupStatus, kCompressingText);

    const std::string source = backupFile();
    const std::string archive = archiveFile();
    const int row = m_row;
    const Archiver::ProgressFn progress = [&journal, row](int percent) {
        journal.setCell(row, StatusBackupStatus, std::string(kCompressingText) + " " + std::to_string(percent) + "%");
    };
    if (!m_services.archiver || !m_services.archiver->compress(source, archive, log, progress, m_stop)) {
        // An incomplete archive must not enter the rotation in place of the backup.
        std::string error;
        if (!m_services.fileOps->removeFile(archive, error))
            writeLog("Cannot delete the incomplete archive '" + archive + "': " + error);
        fail(kCompressionFailedText);
        return m_stop.stop_requested() ? Phase::Stopped : Phase::Failed;
    }
    // The archive is the backup even when the source cannot be deleted: only
    // the archive is rotated, and the next run clears temp.
    removeWithRetry(source);
    writeLog("Zip Completed for  and backup name: " + m_backupName + ".zip");
    setCell(StatusBackupStatus, kZipCompletedText);
    m_extension = ".zip";
    m_result.archiveBytes = FileSizeBytes(archive);
    m_result.backupFileName = m_backupName + m_extension;
    return Phase::Done;
}

BackupWorker::Phase BackupWorker::sendMail()
{
    if (!m_job.email)
        return Phase::Skipped;
    if (stopRequested()) {
        m_result.mail = MailOutcome::Skipped;
        m_result.mailText = kMailSkippedText;
        setCell(StatusEmailStatus, kMailSkippedText);
        return Phase::Stopped;
    }
    setCell(StatusEmailStatus, kSendingEmailText);
    // The file the rotation keeps: the archive once the compression
    // succeeded, else the backup file, which a failed compression leaves.
    const std::string attachment = m_extension == ".zip" ? archiveFile() : backupFile();
    const mail::Delivery delivery = m_services.mailer
        ? m_services.mailer->send(attachment, m_owner.mailSettings(), m_owner.log(), m_notice)
        : mail::Delivery{false, mail::kComponentInitFailedText};
    writeLog(delivery.text + " Attached Backup Name: " + m_backupName);
    setCell(StatusEmailStatus, delivery.text);
    m_result.mail = delivery.sent ? MailOutcome::Sent : MailOutcome::Failed;
    m_result.mailText = delivery.text;
    if (delivery.sent)
        return Phase::Done;
    noteFailure(delivery.text);
    return Phase::Failed;
}

BackupWorker::Phase BackupWorker::rotate()
{
    const std::vector<std::string> failures
        = RotateBackupFolders(m_databaseFolder, m_tempFolder, m_backupName, m_extension);
    for (const std::string& failure : failures)
        writeLog(failure);
    if (failures.empty())
        return Phase::Done;
    fail(kRotationFailedText + failures.front());
    return Phase::Failed;
}

RestoreTestPhase BackupWorker::restoreTestPhase()
{
    return RestoreTestPhase({m_owner, m_job, m_services, m_displayName, m_connectionString, m_row,
                             [this](const std::string& line) { writeLog(line); }});
}

BackupWorker::Phase BackupWorker::dropLeftoverScratchDatabases()
{
    restoreTestPhase().dropLeftovers(*m_connection.get());
    return Phase::Done;
}

BackupWorker::Phase BackupWorker::restoreTest()
{
    if (!m_job.restoreTest || m_stop.stop_requested())
        return Phase::Skipped;
    RestoreTestPhase phase = restoreTestPhase();
    if (!phase.isDue())
        return Phase::Skipped;
    // The backup keeps its own text when the test passes.
    const std::string backupStatus = m_result.row[StatusBackupStatus];
    const std::string kept = m_databaseFolder + "/" + m_result.backupFileName;
    m_result.restoreTest = phase.run(*m_connection.get(), sessionId(), kept, m_tempFolder, m_stop);
    const RestoreTestOutcome& outcome = m_result.restoreTest;
    switch (outcome.result) {
    case RestoreTestOutcome::Result::Passed:
        setCell(StatusBackupStatus, backupStatus);
        if (!outcome.scratchLeft)
            return Phase::Done;
        noteFailure("the scratch database " + outcome.scratchName + " could not be dropped: " + outcome.dropErrorText);
        return Phase::Failed;
    case RestoreTestOutcome::Result::Stopped:
        setCell(StatusBackupStatus, backupStatus);
        return Phase::Stopped;
    case RestoreTestOutcome::Result::Failed:
    case RestoreTestOutcome::Result::NotRun:
        break;
    }
    fail(RestoreTestPhase::VerdictCell(outcome));
    return Phase::Failed;
}

BackupWorker::Phase BackupWorker::uploadOffsite()
{
    if (!m_job.offsite.enabled() || !m_services.offsite)
        return Phase::Skipped;
    if (stopRequested())
        return Phase::Stopped;
    const std::string status = m_result.row[StatusBackupStatus];
    const OffsitePhase offsite{m_job,
                               m_services.offsite,
                               m_displayName,
                               m_databaseFolder + "/" + m_backupName + m_extension,
                               m_backupName + m_extension,
                               [this](const std::string& text) { setCell(StatusBackupStatus, text); },
                               [this](const std::string& text) { fail(text); },
                               [this](const std::string& line) { writeLog(line); }};
    if (!offsite.run(m_stop))
        return Phase::Failed;
    // The row goes back to what the run achieved before the upload.
    setCell(StatusBackupStatus, status);
    return Phase::Done;
}

bool BackupWorker::discardAfterFailure(const std::string& serverFile)
{
    // What the server may have written is not a backup.
    std::string ignored;
    m_services.fileOps->removeFile(serverFile, ignored);
    if (!stopRequested())
        return false;
    fail(kStoppedText);
    return true;
}

bool BackupWorker::removeWithRetry(const std::string& path)
{
    std::string error;
    for (int attempt = 0;; ++attempt) {
        if (m_services.fileOps->removeFile(path, error))
            return true;
        if (attempt == kDeleteRetries || m_stop.stop_requested())
            break;
        if (m_services.pause)
            m_services.pause(kDeleteRetryPause);
    }
    writeLog("Cannot delete the backup file '" + path + "' after compression: " + error);
    return false;
}

void BackupWorker::handleLeftovers(const text::MessageBoxFn& messageBox)
{
    m_leftovers = FindTempLeftovers(m_tempFolder, m_job.databaseName);
    for (const std::string& path : m_leftovers.foreign)
        writeLog("Left '" + path + "' in the temp folder: Corvella did not write it");
    for (const std::string& path : m_leftovers.redundant) {
        std::string error;
        if (m_services.fileOps->removeFile(path, error))
            writeLog("Removed '" + path + "', left in the temp folder by an interrupted run: its archive is complete");
        else
            writeLog("Cannot delete '" + path + "': " + error);
    }
    if (m_leftovers.complete.empty())
        return;
    // The rotation that run did not finish needs the folders it had.
    CreateFolderPath(m_databaseFolder + "/Old Backup", messageBox);
    CreateFolderPath(m_databaseFolder + "/Last Backup", messageBox);
    for (const TempLeftovers::Backup& backup : m_leftovers.complete) {
        const std::vector<std::string> failures = FinishInterruptedRotation(m_databaseFolder, m_tempFolder, backup);
        if (failures.empty())
            writeLog("Rotated '" + backup.path + "', a complete backup an interrupted run left in the temp folder, into '"
                     + m_databaseFolder + "'");
        for (const std::string& failure : failures)
            writeLog(failure);
    }
}

void BackupWorker::removeIncompleteLeftovers()
{
    for (const std::string& path : m_leftovers.incomplete) {
        // With the same name, this run's own file took that one's place.
        if (path == serverFile())
            continue;
        std::string error;
        if (m_services.fileOps->removeFile(path, error))
            writeLog("Removed '" + path + "', left in the temp folder by an interrupted run");
        else if (FileExists(path))
            writeLog("Cannot delete '" + path + "': " + error);
    }
    m_leftovers.incomplete.clear();
}

db::HRESULT BackupWorker::runWatchedBackup(std::string& errorText, bool& cancelledForStall)
{
    BackupWatch::Settings settings;
    settings.progressInterval = m_services.progressInterval;
    settings.stallAfter = std::chrono::duration_cast<Clock::Duration>(
        std::chrono::duration<double, std::ratio<60>>(std::max(m_job.stallMinutes, 0.0)));
    settings.cancelStalled = m_job.cancelStalled;
    if (settings.progressInterval.count() > 0)
        settings.sessionId = sessionId(&settings.sessionIdProblem);

    // The events come one at a time, while this thread waits for the command.
    StatusJournal& journal = m_owner.statusJournal();
    const std::string inProgress = std::string(kBackupInProgressText) + " ";
    BackupWatch::Events events;
    events.progress = [&journal, row = m_row, inProgress](int percent) {
        journal.setCell(row, StatusBackupStatus, inProgress + std::to_string(percent) + "%");
    };
    events.stalled = [this, inProgress](int percent, const std::string& minutes, bool first) {
        setCell(StatusBackupStatus,
                inProgress + std::to_string(percent) + "%" + FillWatchText(kNoProgressRowText, m_displayName, minutes));
        if (!first)
            return;
        writeLog(FillWatchText(kNoProgressLogText, m_displayName, minutes));
        m_owner.view().runStalled(m_result);
    };
    events.cancelled = [this](const std::string& minutes) {
        const std::string text = FillWatchText(kStallCancelledText, m_displayName, minutes);
        fail(text);
        writeLog(text);
    };
    events.abandoned = [this] {
        writeLog(FillWatchText(kCancelUnansweredText, m_displayName,
                               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kCancelGrace).count())));
    };
    events.undetectable = [this](const std::string& reason) {
        writeLog(FillWatchText(kStallsUndetectableText, m_displayName, {}) + reason);
    };

    const BackupWatch::Outcome outcome
        = BackupWatch::Run(m_connection.get(), BackupCommand(m_displayName, m_serverTempFolder, m_backupName, m_job.verify),
                           m_services.connector, m_connectionString, *m_services.clock, settings, events, m_stop);
    if (outcome.abandoned) {
        m_connection.abandon();
    }
    errorText = outcome.errorText;
    cancelledForStall = outcome.cancelledForStall;
    return outcome.hr;
}

void BackupWorker::explainUnseenFolder()
{
    // The failed command may have closed the run's connection: the check has one of its own.
    std::string failure;
    std::unique_ptr<db::Connection> connection
        = m_services.connector ? m_services.connector->OpenBackupConnection(m_connectionString, failure) : nullptr;
    if (!connection) {
        writeLog("Corvella could not check whether the SQL Server sees the backup folder '" + m_tempFolder
                 + "': " + (failure.empty() ? std::string("no second connection") : failure));
        return;
    }
    writeLog(CheckServerSeesFolder(*connection, FolderNamesFor(m_job.backupPath, m_job.serverBackupPath,
                                                               m_job.databaseName))
                 .text);
    connection->Close();
}

std::string AccessDeniedAdvice(const std::string& tempFolder, const std::string& backupPath)
{
    std::string user = "USER";
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_name)
        user = entry->pw_name;
    return "The SQL Server service cannot write into '" + tempFolder
        + "'. On Linux it runs as its own account (mssql) and writes the backup itself: grant that account the "
          "backup folder once, for example: sudo chgrp mssql '"
        + backupPath + "' && sudo chmod 2770 '" + backupPath + "' && sudo usermod -aG mssql " + user
        + " (then log in again). Folders created below it take the same rights.";
}

} // namespace engine
