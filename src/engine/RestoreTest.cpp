#include "engine/RestoreTest.h"

#include "engine/ProgressPoller.h"
#include "engine/RestoreTestRecord.h"
#include "engine/SqlText.h"

#include "db/Connection.h"
#include "db/ResultTable.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

namespace engine {

namespace {

constexpr const char* kScratchInfix = "_restoretest_";
constexpr std::size_t kStampDigits = 14;
// The server's identifiers hold at most 128 UTF-16 code units.
constexpr std::size_t kMaxIdentifierUnits = 128;

// The length of the first UTF-8 character at `at` (1 for a byte that starts none).
std::size_t CharacterBytes(const std::string& text, std::size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return std::min(length, text.size() - at);
}

// The longest start of `text` that fits into `units` UTF-16 code units, cut between characters.
std::string CutToUnits(const std::string& text, std::size_t units)
{
    std::size_t at = 0;
    std::size_t used = 0;
    while (at < text.size()) {
        const std::size_t bytes = CharacterBytes(text, at);
        const std::size_t need = bytes == 4 ? 2 : 1;
        if (used + need > units)
            break;
        used += need;
        at += bytes;
    }
    return text.substr(0, at);
}

std::string ScratchPrefix(const std::string& databaseName)
{
    const std::string infix = kScratchInfix;
    return CutToUnits(UnquotedName(databaseName), kMaxIdentifierUnits - infix.size() - kStampDigits) + infix;
}

// A name any file system takes: characters Windows or Linux refuse become "_",
// and so do a trailing dot or blank.
std::string SafeFileName(const std::string& name)
{
    std::string out;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool refused = u < 0x20 || u == 0x7F || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos;
        out += refused ? '_' : c;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' '))
        out.back() = '_';
    return out;
}

std::string HexCode(db::HRESULT hr)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hr));
    return buffer;
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The column of a result by its name (any case); -1 when it has none.
int ColumnOf(const db::ResultTable& table, const std::string& name)
{
    const auto& cells = table.header().cells();
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (EqualNoCase(cells[i].text, name))
            return static_cast<int>(i);
    }
    return -1;
}

const db::ResultCell* Cell(const db::ResultRow& row, int column)
{
    if (column < 0 || static_cast<std::size_t>(column) >= row.cells().size())
        return nullptr;
    return &row.cells()[static_cast<std::size_t>(column)];
}

} // namespace

std::string ScratchDatabaseName(const std::string& databaseName, const std::tm& local)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return ScratchPrefix(databaseName) + std::string(stamp).substr(0, kStampDigits);
}

bool IsScratchDatabaseName(const std::string& candidate, const std::string& databaseName)
{
    const std::string prefix = ScratchPrefix(databaseName);
    if (candidate.size() != prefix.size() + kStampDigits || candidate.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(candidate.begin() + static_cast<std::ptrdiff_t>(prefix.size()), candidate.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::string MovedFilePath(const std::string& folder, const std::string& scratch, const BackupFileEntry& file,
                          bool firstLog)
{
    std::string name = SafeFileName(scratch);
    if (file.type == 'D')
        name += file.fileId == "1" ? ".mdf" : "_" + file.fileId + ".ndf";
    else if (file.type == 'L')
        name += firstLog ? "_log.ldf" : "_log" + file.fileId + ".ldf";
    else
        name += "_" + file.fileId;
    const bool windows = folder.find('\\') != std::string::npos && folder.find('/') == std::string::npos;
    const char separator = windows ? '\\' : '/';
    if (folder.empty() || folder.back() == '/' || folder.back() == '\\')
        return folder + name;
    return folder + separator + name;
}

std::string HeaderOnlyCommand(const std::string& serverFile)
{
    return "RESTORE HEADERONLY FROM DISK = " + UnicodeLiteral(serverFile);
}

std::string FileListCommand(const std::string& serverFile)
{
    return "RESTORE FILELISTONLY FROM DISK = " + UnicodeLiteral(serverFile);
}

std::string DefaultFoldersQuery()
{
    // A leading blank makes it a plain batch: one round trip, no server cursor.
    return " SELECT SERVERPROPERTY('InstanceDefaultDataPath') AS DataPath, "
           "SERVERPROPERTY('InstanceDefaultLogPath') AS LogPath";
}

std::string RestoreCommand(const std::string& scratch, const std::string& serverFile,
                           const std::vector<FileMove>& moves, bool checksum)
{
    std::string command = "RESTORE DATABASE " + QuoteIdentifier(scratch) + " FROM DISK = " + UnicodeLiteral(serverFile)
        + " WITH ";
    for (const FileMove& move : moves)
        command += "MOVE " + UnicodeLiteral(move.logicalName) + " TO " + UnicodeLiteral(move.path) + ", ";
    return command + (checksum ? "CHECKSUM, " : "") + "RECOVERY";
}

std::string CheckCommand(const std::string& scratch)
{
    return "DBCC CHECKDB (" + QuoteIdentifier(scratch) + ") WITH NO_INFOMSGS, ALL_ERRORMSGS";
}

std::string DropCommand(const std::string& scratch)
{
    return "DROP DATABASE " + QuoteIdentifier(scratch);
}

std::string ExistsQuery(const std::string& scratch)
{
    return " SELECT name FROM sys.databases WHERE name = " + UnicodeLiteral(scratch);
}

std::string SecondsText(double seconds)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", std::max(seconds, 0.0));
    return buffer;
}

bool IsRestoreTestDue(std::optional<std::time_t> last, std::time_t now, int days)
{
    if (days <= 0 || !last)
        return true;
    // A clock set back makes the last test look like a future one: test then.
    if (*last > now)
        return true;
    return now - *last >= static_cast<std::time_t>(days) * 86400;
}

RestoreTester::RestoreTester(Services services, ProgressFn progress)
    : m_services(std::move(services))
    , m_progress(std::move(progress))
{
}

RestoreTestOutcome RestoreTester::run(db::Connection& connection, int sessionId, const Request& request,
                                      std::stop_token stop)
{
    RestoreTestOutcome outcome;
    outcome.backupFile = request.backupFile;
    const std::tm local = m_services.clock->localTime();
    outcome.testedAt = std::chrono::system_clock::to_time_t(m_services.clock->systemTime());
    using Result = RestoreTestOutcome::Result;

    // One step on the connection: false with the reason in `failure`.
    std::string failure;
    const auto execute = [&](const std::string& command, db::ResultTable& table) {
        std::string errorText;
        const db::HRESULT hr = connection.ExecuteCommand(command, table, errorText);
        if (!db::Failed(hr))
            return true;
        failure = errorText.empty() ? "error " + HexCode(hr) : errorText;
        return false;
    };
    const auto ended = [&](std::string text) {
        outcome.result = stop.stop_requested() ? Result::Stopped : Result::Failed;
        outcome.errorText = std::move(text);
        return outcome;
    };
    if (stop.stop_requested())
        return ended("stopped before it began");

    // What the backup holds: checksums, and the files to move.
    db::ResultTable table;
    if (!execute(HeaderOnlyCommand(request.serverFile), table))
        return ended(failure);
    bool checksum = false;
    if (!table.rows().empty()) {
        const db::ResultCell* cell = Cell(table.rows().front(), ColumnOf(table, "HasBackupChecksums"));
        checksum = cell && !cell->isNull && (cell->text == "1" || EqualNoCase(cell->text, "true"));
    }
    if (!execute(FileListCommand(request.serverFile), table))
        return ended(failure);
    const int nameColumn = ColumnOf(table, "LogicalName");
    const int typeColumn = ColumnOf(table, "Type");
    const int idColumn = ColumnOf(table, "FileId");
    std::vector<BackupFileEntry> files;
    for (const db::ResultRow& row : table.rows()) {
        const db::ResultCell* name = Cell(row, nameColumn);
        const db::ResultCell* type = Cell(row, typeColumn);
        const db::ResultCell* id = Cell(row, idColumn);
        if (!name || !type || !id || name->isNull || type->text.empty())
            return ended("RESTORE FILELISTONLY did not name the backup's files");
        files.push_back({name->text, static_cast<char>(std::toupper(static_cast<unsigned char>(type->text[0]))),
                         id->text});
    }
    if (files.empty())
        return ended("RESTORE FILELISTONLY lists no files in the backup");

    // Where the copy's files go.
    std::string dataFolder = request.dataPath;
    std::string logFolder = request.dataPath;
    if (dataFolder.empty()) {
        if (!execute(DefaultFoldersQuery(), table))
            return ended(failure);
        const db::ResultCell* data = table.rows().empty() ? nullptr : Cell(table.rows().front(), 0);
        const db::ResultCell* log = table.rows().empty() ? nullptr : Cell(table.rows().front(), 1);
        if (!data || data->isNull || data->text.empty())
            return ended(kNoDefaultDataPathText);
        dataFolder = data->text;
        logFolder = log && !log->isNull && !log->text.empty() ? log->text : dataFolder;
    }
    std::vector<FileMove> moves;
    bool firstLog = true;
    outcome.scratchName = ScratchDatabaseName(request.databaseName, local);
    for (const BackupFileEntry& file : files) {
        moves.push_back({file.logicalName, MovedFilePath(file.type == 'L' ? logFolder : dataFolder,
                                                         outcome.scratchName, file, file.type == 'L' && firstLog)});
        if (file.type == 'L')
            firstLog = false;
    }

    // Recorded first: a database this program cannot account for is never created.
    std::string recordError;
    if (!m_services.record->addScratchDatabase(request.key, outcome.scratchName, recordError))
        return ended("the scratch database cannot be recorded, so it is not created: " + recordError);

    const auto follow = [&](Stage stage) -> std::unique_ptr<ProgressPoller> {
        if (!m_progress)
            return nullptr;
        m_progress(stage, -1);
        if (!m_services.connector || sessionId <= 0 || m_services.progressInterval.count() <= 0)
            return nullptr;
        return std::make_unique<ProgressPoller>(
            *m_services.connector, m_services.connectionString, sessionId,
            [this, stage](int percent) { m_progress(stage, percent); }, *m_services.clock,
            m_services.progressInterval, m_services.progressInterval);
    };
    bool passed = false;
    std::string verdictFailure;
    {
        std::unique_ptr<ProgressPoller> progress = follow(Stage::Restore);
        const Clock::TimePoint started = m_services.clock->now();
        const bool restored = execute(RestoreCommand(outcome.scratchName, request.serverFile, moves, checksum), table);
        outcome.restoreSeconds = std::chrono::duration<double>(m_services.clock->now() - started).count();
        progress.reset();
        if (!restored) {
            verdictFailure = failure;
        } else {
            progress = follow(Stage::ConsistencyCheck);
            passed = execute(CheckCommand(outcome.scratchName), table);
            progress.reset();
            if (!passed)
                verdictFailure = failure;
        }
    }

    // Always dropped again; after a stop or a failure that closed the
    // session, through a session of its own.
    db::Connection* dropOn = &connection;
    std::unique_ptr<db::Connection> own;
    if (!connection.IsOpen() || stop.stop_requested()) {
        std::string connectFailure;
        if (m_services.connector)
            own = m_services.connector->OpenBackupConnection(m_services.connectionString, connectFailure);
        dropOn = own.get();
        if (!own)
            outcome.dropErrorText = "no connection to drop it: "
                + (connectFailure.empty() ? std::string("no reason was given") : connectFailure);
    }
    bool existed = false;
    if (dropOn && !dropScratch(*dropOn, request.key, request.databaseName, outcome.scratchName, existed,
                               outcome.dropErrorText)) {
        dropOn = nullptr;
    }
    outcome.scratchLeft = dropOn == nullptr;
    if (own)
        own->Close();

    if (passed) {
        outcome.result = Result::Passed;
        return outcome;
    }
    return ended(verdictFailure);
}

bool RestoreTester::dropScratch(db::Connection& connection, const std::string& key, const std::string& databaseName,
                                const std::string& scratch, bool& existed, std::string& error)
{
    existed = false;
    RestoreTestRecord& record = *m_services.record;
    const std::vector<std::string> recorded = record.scratchDatabases(key);
    if (!IsScratchDatabaseName(scratch, databaseName)
        || std::find(recorded.begin(), recorded.end(), scratch) == recorded.end()) {
        error = "'" + scratch + "' is not a scratch database this program created for " + databaseName
            + "; it is left alone";
        return false;
    }
    std::string value;
    std::string errorText;
    db::HRESULT hr = connection.QueryValue(ExistsQuery(scratch), value, errorText);
    if (db::Failed(hr)) {
        error = errorText.empty() ? "error " + HexCode(hr) : errorText;
        return false;
    }
    if (!value.empty()) {
        existed = true;
        db::ResultTable table;
        hr = connection.ExecuteCommand(DropCommand(scratch), table, errorText);
        if (db::Failed(hr)) {
            error = errorText.empty() ? "error " + HexCode(hr) : errorText;
            return false;
        }
    }
    // Gone: a record that cannot be updated only means one more look next time.
    std::string ignored;
    record.removeScratchDatabase(key, scratch, ignored);
    return true;
}

std::vector<std::string> RestoreTester::dropLeftovers(db::Connection& connection, const std::string& key,
                                                      const std::string& databaseName)
{
    std::vector<std::string> lines;
    for (const std::string& scratch : m_services.record->scratchDatabases(key)) {
        if (!IsScratchDatabaseName(scratch, databaseName)) {
            std::string ignored;
            m_services.record->removeScratchDatabase(key, scratch, ignored);
            lines.push_back("The restore test record names the database " + QuoteIdentifier(scratch) + " for Database "
                            + databaseName + ", which is not one of its scratch names: left alone and forgotten");
            continue;
        }
        bool existed = false;
        std::string error;
        if (!dropScratch(connection, key, databaseName, scratch, existed, error)) {
            lines.push_back("Cannot drop the scratch database " + QuoteIdentifier(scratch)
                            + " left by an interrupted restore test of Database " + databaseName + ": " + error);
        } else if (existed) {
            lines.push_back("Dropped the scratch database " + QuoteIdentifier(scratch)
                            + " left by an interrupted restore test of Database " + databaseName);
        }
    }
    return lines;
}

} // namespace engine
