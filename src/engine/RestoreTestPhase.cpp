#include "engine/RestoreTestPhase.h"

#include "engine/BackupSession.h"
#include "engine/BackupWorker.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/RestoreTestRecord.h"
#include "engine/ServerFolder.h"
#include "engine/SqlText.h"

#include "log/Log.h"
#include "zip/ZipExtract.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace engine {

namespace {

constexpr const char* kUnpackedSuffix = "_restoretest.Bak";

bool EndsWithNoCase(const std::string& text, const std::string& suffix)
{
    if (text.size() < suffix.size())
        return false;
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()), same);
}

std::time_t Now(Clock& clock)
{
    return std::chrono::system_clock::to_time_t(clock.systemTime());
}

} // namespace

RestoreTestPhase::RestoreTestPhase(Context context)
    : m_context(std::move(context))
{
}

std::string RestoreTestPhase::key() const
{
    return RestoreTestKey(m_context.job.databaseUrl, m_context.displayName);
}

bool RestoreTestPhase::isDue()
{
    if (!m_context.job.restoreTest)
        return false;
    const auto last = m_context.owner.restoreTestRecord().lastTest(key());
    return IsRestoreTestDue(last, Now(*m_context.services.clock), m_context.job.restoreTestDays);
}

void RestoreTestPhase::dropLeftovers(db::Connection& connection)
{
    RestoreTestRecord& record = m_context.owner.restoreTestRecord();
    if (record.scratchDatabases(key()).empty())
        return;
    RestoreTester tester({m_context.services.connector, m_context.connectionString, &record, m_context.services.clock});
    for (const std::string& line : tester.dropLeftovers(connection, key(), m_context.displayName))
        m_context.writeLog(line);
}

void RestoreTestPhase::setProgress(const std::string& text)
{
    m_context.owner.statusJournal().setCell(m_context.row, StatusBackupStatus, text);
}

RestoreTestOutcome RestoreTestPhase::run(db::Connection& connection, int sessionId, const std::string& keptFile,
                                         const std::string& tempFolder, std::stop_token stop)
{
    setProgress(kRestoreTestInProgressText);
    m_context.writeLog("Restore test started for Database " + m_context.displayName + " with '" + keptFile + "'");
    RestoreTestOutcome outcome;
    outcome.backupFile = keptFile;

    // An archive is unpacked beside the backups, where the server may read.
    std::string tested = keptFile;
    std::string unpacked;
    if (EndsWithNoCase(keptFile, ".zip")) {
        unpacked = tempFolder + "/" + std::filesystem::path(keptFile).stem().string() + kUnpackedSuffix;
        std::string error;
        m_context.services.fileOps->removeFile(unpacked, error);
        if (!zip::ExtractSingleEntry(keptFile, unpacked, error, stop)) {
            outcome.result = stop.stop_requested() ? RestoreTestOutcome::Result::Stopped
                                                   : RestoreTestOutcome::Result::Failed;
            outcome.errorText = error;
            m_context.writeLog(VerdictLine(m_context.displayName, outcome));
            return outcome;
        }
        tested = unpacked;
    }

    RestoreTestRecord& record = m_context.owner.restoreTestRecord();
    RestoreTester::Services services{m_context.services.connector, m_context.connectionString, &record,
                                     m_context.services.clock, m_context.services.progressInterval};
    RestoreTester tester(services, [this](RestoreTester::Stage stage, int percent) {
        std::string text = stage == RestoreTester::Stage::Restore ? kRestoreTestInProgressText
                                                                  : kConsistencyCheckInProgressText;
        if (percent >= 0)
            text += " " + std::to_string(percent) + "%";
        setProgress(text);
    });
    RestoreTester::Request request;
    request.key = key();
    request.databaseName = m_context.displayName;
    request.backupFile = keptFile;
    // The server reaches the file under its own name for the backup path.
    request.serverFile = ServerFileName(tested, m_context.job.backupPath, m_context.job.serverBackupPath);
    request.dataPath = m_context.job.restoreTestDataPath;
    outcome = tester.run(connection, sessionId, request, stop);
    outcome.backupFile = keptFile;

    if (!unpacked.empty()) {
        std::string error;
        if (!m_context.services.fileOps->removeFile(unpacked, error))
            m_context.writeLog("Cannot delete '" + unpacked + "', unpacked for the restore test: " + error);
    }
    using Result = RestoreTestOutcome::Result;
    if (outcome.result == Result::Passed || outcome.result == Result::Failed) {
        std::string error;
        if (!record.setLastTest(key(), outcome.testedAt, error))
            m_context.writeLog("Cannot record the time of the restore test of Database " + m_context.displayName
                               + ": " + error);
    }
    m_context.writeLog(VerdictLine(m_context.displayName, outcome));
    if (outcome.scratchLeft)
        m_context.writeLog("Cannot drop the scratch database " + QuoteIdentifier(outcome.scratchName) + " of Database "
                           + m_context.displayName + ": " + outcome.dropErrorText
                           + "; it is dropped at the next run of the database");
    return outcome;
}

std::string RestoreTestPhase::VerdictLine(const std::string& displayName, const RestoreTestOutcome& outcome)
{
    switch (outcome.result) {
    case RestoreTestOutcome::Result::Passed:
        return kRestoreTestPassedText + displayName + " (restored in " + SecondsText(outcome.restoreSeconds)
            + " s, no consistency errors)";
    case RestoreTestOutcome::Result::Stopped:
        return "Restore test of Database " + displayName + " stopped because the program is ending";
    case RestoreTestOutcome::Result::Failed:
    case RestoreTestOutcome::Result::NotRun:
        break;
    }
    return kRestoreTestFailedText + displayName + ": " + outcome.errorText;
}

std::string RestoreTestPhase::VerdictCell(const RestoreTestOutcome& outcome)
{
    switch (outcome.result) {
    case RestoreTestOutcome::Result::Passed:
        return "Restore test passed (restored in " + SecondsText(outcome.restoreSeconds) + " s, no consistency errors)";
    case RestoreTestOutcome::Result::Stopped:
        return "Restore test stopped because the program is ending.";
    case RestoreTestOutcome::Result::Failed:
    case RestoreTestOutcome::Result::NotRun:
        break;
    }
    return "Restore test failed: " + outcome.errorText;
}

std::string NewestKeptBackup(const std::string& databaseFolder)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string newest;
    fs::file_time_type newestTime{};
    for (fs::directory_iterator it(databaseFolder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!it->is_regular_file(ec) || !(EndsWithNoCase(name, ".bak") || EndsWithNoCase(name, ".zip")))
            continue;
        const fs::file_time_type modified = it->last_write_time(ec);
        if (ec)
            continue;
        if (newest.empty() || modified > newestTime || (modified == newestTime && it->path().string() > newest)) {
            newest = it->path().string();
            newestTime = modified;
        }
    }
    return newest;
}

} // namespace engine
