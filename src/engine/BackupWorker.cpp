#include "engine/BackupWorker.h"

#include "engine/Archiver.h"
#include "engine/BackupFolders.h"
#include "engine/BackupOwner.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/Mailer.h"

#include "db/Connection.h"
#include "db/ResultTable.h"
#include "log/Log.h"

#include <cassert>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace engine {

namespace {

constexpr std::chrono::milliseconds kPauseAfterRun{1000};
constexpr std::chrono::milliseconds kDeleteRetryPause{500};
constexpr int kDeleteRetries = 60; // 30 s of 500 ms pauses
constexpr int kRowsBeforeClearing = 1000;
constexpr const char* kNoMailerText = "Email Component Object initialization failed.";

std::string Trim(const std::string& text)
{
    constexpr const char* kBlanks = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string ReplaceAll(const std::string& text, char what, const std::string& with)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == what)
            out += with;
        else
            out += c;
    }
    return out;
}

// A name the operator already wrote as a bracketed identifier: "[...]" whose
// inner "]" are all doubled.
bool IsBracketedIdentifier(const std::string& name)
{
    if (name.size() < 2 || name.front() != '[' || name.back() != ']')
        return false;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        if (name[i] != ']')
            continue;
        if (i + 2 >= name.size() || name[i + 1] != ']')
            return false;
        ++i;
    }
    return true;
}

std::string QuoteIdentifier(const std::string& name)
{
    if (IsBracketedIdentifier(name))
        return name;
    return "[" + ReplaceAll(name, ']', "]]") + "]";
}

std::string UnicodeLiteral(const std::string& text)
{
    return "N'" + ReplaceAll(text, '\'', "''") + "'";
}

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

std::string ApplicationName()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.stem().empty())
        return "corvella";
    return exe.stem().string();
}

std::string BackupWorker::BackupCommand(const std::string& displayName, const std::string& tempFolder,
                                        const std::string& backupName)
{
    return "BACKUP DATABASE " + QuoteIdentifier(displayName) + " TO DISK = "
        + UnicodeLiteral(tempFolder + "/" + backupName + ".bak") + " WITH INIT, NAME = "
        + UnicodeLiteral("Full  Backup of  " + displayName);
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
        m_services.applicationName = ApplicationName();
}

BackupWorker::~BackupWorker() = default;

void BackupWorker::setCell(int column, const std::string& text)
{
    m_result.row[column] = text;
    m_owner.statusJournal().setCell(m_row, column, text);
}

RunResult BackupWorker::run()
{
    BackupState& state = m_owner.backupState();
    logging::Log& log = m_owner.log();

    // Step 1: the run counts as busy from its first action to its last.
    state.runsInProgress.fetch_add(1);
    struct BusyGuard {
        BackupState& state;
        ~BusyGuard() { state.runsInProgress.fetch_sub(1); }
    } busy{state};

    m_backupName = m_job.databaseName;
    if (m_job.keepOld)
        m_backupName += TimeStamp(m_services.clock->localTime());
    // The temp folder keeps the name as stored; only the database folder and
    // the shown name are trimmed.
    m_tempFolder = m_job.backupPath + "/" + m_job.databaseName + "/temp";
    m_databaseFolder = Trim(m_job.backupPath + "/" + m_job.databaseName);
    m_displayName = Trim(m_job.databaseName);

    std::unique_lock<std::mutex> lock;
    if (state.backupLock)
        lock = std::unique_lock(*state.backupLock);

    const bool manual = state.manualRun.load() != 0;
    if (manual) {
        m_owner.enableControl(IdManualBackup, false);
        m_owner.enableControl(IdSaveConfigurations, false);
    }

    bool completed = false;
    try {
        completed = runBody();
    } catch (const std::exception& e) {
        log.Write("Backup of database " + m_displayName + " stopped by an unexpected error: " + e.what());
    } catch (...) {
        log.Write("Backup of database " + m_displayName + " stopped by an unexpected error");
    }
    m_result.completed = completed;

    // End steps, reached by every path.
    if (state.manualRun.load() != 0) {
        m_owner.enableControl(IdManualBackup, true);
        m_owner.enableControl(IdSaveConfigurations, true);
    }
    if (lock.owns_lock())
        lock.unlock();
    if (m_services.pause)
        m_services.pause(kPauseAfterRun);
    if (m_connection) {
        m_connection->Close();
        m_connection.reset();
    }
    return m_result;
}

bool BackupWorker::runBody()
{
    logging::Log& log = m_owner.log();
    StatusJournal& journal = m_owner.statusJournal();

    // The journal may be emptied between counting and inserting; then count again.
    do {
        m_row = journal.rowCount();
    } while (!journal.insertRow(m_row));
    setCell(StatusSerial, std::to_string(m_row + 1));
    setCell(StatusDatabaseName, m_displayName);
    setCell(StatusBackupStatus, kBackupInProgressText);
    log.Write("Backup Started for Database " + m_displayName);

    const MessageBoxFn messageBox = [this](const std::string& text, const std::string& caption) {
        m_owner.showMessage(text, caption);
    };
    if (!IsDirectory(m_tempFolder) && !CreateFolderPath(m_tempFolder, messageBox)) {
        setCell(StatusBackupStatus, kTempCreationErrorText);
        log.Write("Temp directory creation error for database " + m_displayName);
        return false;
    }

    const std::string connectionString
        = db::BuildConnectionString(m_job.databaseUrl, m_job.databaseName, m_job.userName, m_job.password);
    std::string failureText;
    if (m_services.connector) {
        m_connection = m_services.connector->OpenBackupConnection(
            connectionString, [this](const std::string& text) { m_owner.setStatusLine(text); }, failureText);
    }
    if (!m_connection) {
        setCell(StatusBackupStatus, db::kConnectionFailedText);
        if (failureText.empty())
            failureText = "no reason was given";
        log.Write("Error: Database connection Error for DB " + m_displayName + " Error Message: " + failureText);
        return false;
    }

    db::ResultTable table;
    std::string errorText;
    const db::HRESULT hr
        = m_connection->ExecuteCommand(BackupCommand(m_displayName, m_tempFolder, m_backupName), table, errorText);
    table.Clear();
    if (db::Failed(hr)) {
        // A failure without a text still says that it failed.
        if (errorText.empty())
            errorText = "Backup failed for database " + m_displayName + " (error " + HexCode(hr) + ")";
        setCell(StatusBackupStatus, errorText);
        log.Write(errorText);
        return false;
    }
    m_result.backupDone = true;

    // The server names the file ".bak"; everything after this reaches it as ".Bak".
    const std::string serverFile = m_tempFolder + "/" + m_backupName + ".bak";
    const std::string backupFile = m_tempFolder + "/" + m_backupName + ".Bak";
    if (FileExists(serverFile)) {
        std::string error;
        if (!m_services.fileOps->renameFile(serverFile, backupFile, error))
            log.Write("Cannot rename '" + serverFile + "' to '" + backupFile + "': " + error);
    }

    setCell(StatusBackupStatus, kBackupCompletedText);
    setCell(StatusFileSize, std::to_string(FileSizeBytes(FileExists(backupFile) ? backupFile : serverFile)));
    setCell(StatusBackupTime, CurrentTimeText(m_services.clock->localTime()));
    if (m_row > kRowsBeforeClearing)
        journal.clear();

    CreateFolderPath(m_databaseFolder + "/Old Backup", messageBox);
    CreateFolderPath(m_databaseFolder + "/Last Backup", messageBox);
    m_extension = ".Bak";

    bool zipped = true;
    if (m_job.zip) {
        compressionStep();
        zipped = m_extension == ".zip";
    }
    bool mailed = true;
    if (m_job.email) {
        mailStep();
        mailed = m_result.row[StatusEmailStatus] == kEmailSentText;
    }
    RotateBackupFolders(m_databaseFolder, m_tempFolder, m_backupName, m_extension);
    return zipped && mailed;
}

void BackupWorker::compressionStep()
{
    logging::Log& log = m_owner.log();
    StatusJournal& journal = m_owner.statusJournal();
    setCell(StatusBackupStatus, kCompressingText);

    const std::string source = m_tempFolder + "/" + m_backupName + ".Bak";
    const std::string archive = m_tempFolder + "/" + m_backupName + ".zip";
    const int row = m_row;
    const Archiver::ProgressFn progress = [&journal, row](int percent) {
        journal.setCell(row, StatusBackupStatus, std::string(kCompressingText) + " " + std::to_string(percent) + "%");
    };
    if (!m_services.archiver || !m_services.archiver->compress(source, archive, log, progress)) {
        // An incomplete archive must not enter the rotation in place of the backup.
        std::string error;
        if (!m_services.fileOps->removeFile(archive, error))
            log.Write("Cannot delete the incomplete archive '" + archive + "': " + error);
        setCell(StatusBackupStatus, kCompressingText);
        return;
    }
    removeWithRetry(source);
    log.Write("Zip Completed for  and backup name: " + m_backupName + ".zip");
    setCell(StatusBackupStatus, kZipCompletedText);
    m_extension = ".zip";
}

bool BackupWorker::removeWithRetry(const std::string& path)
{
    std::string error;
    for (int attempt = 0;; ++attempt) {
        if (m_services.fileOps->removeFile(path, error))
            return true;
        if (attempt == kDeleteRetries)
            break;
        if (m_services.pause)
            m_services.pause(kDeleteRetryPause);
    }
    m_owner.log().Write("Cannot delete the backup file '" + path + "' after compression: " + error);
    return false;
}

void BackupWorker::mailStep()
{
    setCell(StatusEmailStatus, kSendingEmailText);
    const std::string attachment = m_tempFolder + "/" + m_backupName + (m_job.zip ? ".zip" : ".Bak");
    const std::string caption = m_services.applicationName;
    const std::string text = m_services.mailer
        ? m_services.mailer->send(attachment, m_owner.mailSettings(), m_owner.log(),
                                  [this, &caption](const std::string& message) { m_owner.showMessage(message, caption); })
        : std::string(kNoMailerText);
    m_owner.log().Write(text + " Attached Backup Name: " + m_backupName);
    setCell(StatusEmailStatus, text);
}

} // namespace engine
