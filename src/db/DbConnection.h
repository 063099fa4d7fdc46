#pragma once

// One ODBC session to SQL Server (unixODBC with the FreeTDS driver by
// default), the commands run on it, and the reading of result rows.
//
// Threads: a DbConnection belongs to the thread that opened it; nothing in
// it is shared, and different connections may be used on different threads
// at once. Blocking: Open blocks for the login (at most the login time-out,
// 15 s by default); ExecuteCommand blocks until the server has answered the
// whole command (a backup can take hours; there is no command time-out).
// Failures: every operation returns an HRESULT-style code (negative is
// failure) and sets errorText only on the failures that have a text; a
// failure with a diagnostic from the driver or server closes the connection
// (see ReportError), so the next ExecuteCommand answers E_POINTER.

#include "db/Connection.h"
#include "db/ConnectionString.h"
#include "db/ResultTable.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace db {

inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT DB_E_ERRORSOCCURRED = static_cast<HRESULT>(0x80040E21u);
inline constexpr HRESULT DB_E_BADINITSTRING = static_cast<HRESULT>(0x80040E73u);

inline constexpr const char* kProviderNotFoundText = "The provider indicated in pwszInitializationString was not found.";
inline constexpr const char* kPropertyNotSupportedText =
    "A property specified in pwszInitializationString was not supported by the provider.";
inline constexpr const char* kBadInitStringText =
    "A property or value specified in pwszInitializationString was invalid or not supported by the provider.";
inline constexpr const char* kNoErrorInformationText = "No extended error information posted or supported";

// Waits between converted rows; a test passes one that only counts.
using Sleeper = std::function<void(std::chrono::milliseconds)>;

struct DbConnectionOptions {
    OdbcSettings odbc;            // driver name and TDS version
    int loginTimeoutSeconds = 15; // 0: none (a silent server then blocks Open for good)
    Sleeper sleeper;              // empty: std::this_thread::sleep_for
};

class DbConnection final : public Connection {
public:
    // Rows asked of the driver at a time.
    static constexpr int kFetchBatch = 100;
    // Pause after the 1st, 11th, 21st ... converted row of a result.
    static constexpr std::chrono::milliseconds kRowPause{20};
    static constexpr std::size_t kMaxErrorBytes = 511;
    static constexpr std::size_t kMaxHeaderBytes = 511;

    DbConnection();
    explicit DbConnection(DbConnectionOptions options);
    ~DbConnection() override;

    DbConnection(const DbConnection&) = delete;
    DbConnection& operator=(const DbConnection&) = delete;

    // Opens a session from the program's connection string (closing any
    // earlier one first). Callers judge the outcome by IsOpen().
    HRESULT Open(const std::string& connectionString, std::string& errorText);

    // Runs one command text and waits for all of its results. The rows of
    // its first result set go into `table` (cleared first); a failure of any
    // statement in the text fails the call.
    HRESULT ExecuteCommand(const std::string& command, ResultTable& table, std::string& errorText) override;

    bool IsOpen() const override;
    void Close() override;

    // A command text counts as a row query when its first six characters
    // are "SELECT" in any case; leading blanks are not skipped. A row query
    // runs on a scrollable, read-only static cursor, which the driver keeps
    // on the server and fetches from a rowset at a time; every other command
    // runs as a plain batch.
    static bool IsRowQuery(const std::string& command);

    // The text for a diagnostic message as ODBC gives it ("[vendor][component]
    // message"): "Error Object : <prefix> Error Contents : <message>", at
    // most kMaxErrorBytes bytes, cut between characters.
    static std::string FormatErrorText(const std::string& diagnosticMessage);

private:
    struct Column {
        std::string name;
        std::size_t indicatorOffset = 0;
        std::size_t valueOffset = 0;
        std::size_t valueBytes = 0;
    };

    // Reads the first diagnostic record of a handle into errorText and, when
    // there was one, closes the connection. Returns `failure`.
    HRESULT ReportError(short handleType, void* handle, std::string& errorText, HRESULT failure = E_FAIL);
    HRESULT BindColumns(ResultTable& table, std::vector<Column>& columns, std::size_t& rowSize,
                        std::string& errorText);
    HRESULT FetchRows(ResultTable& table, const std::vector<Column>& columns, std::size_t rowSize,
                      std::string& errorText);
    void ConvertRow(ResultTable& table, const std::vector<Column>& columns, const std::byte* row,
                    bool rowFailed, std::size_t batchRow);
    void Pause();
    void FreeStatement();

    DbConnectionOptions m_options;
    void* m_environment = nullptr;
    void* m_connection = nullptr;
    void* m_statement = nullptr;
    bool m_connected = false;
    std::size_t m_converted = 0; // rows converted in the current result
};

// Opens a throw-away connection to test settings and closes it again; leaves
// no connection open whatever the answer. On failure the status line reads
// kConnectionFailedText. Blocks for the login.
bool CheckConnection(const std::string& connectionString, const StatusLineFn& statusLine,
                     const DbConnectionOptions& options = {});

// The connection a backup run uses, or null (then the status line reads
// kConnectionFailedText and failureText the reason, when known). Blocks for
// the login; runs on the backup thread, which then owns the connection.
std::unique_ptr<DbConnection> OpenBackupConnection(const std::string& connectionString,
                                                   const StatusLineFn& statusLine, std::string& failureText,
                                                   const DbConnectionOptions& options = {});

// The real Connector: ODBC connections made with the given options.
class OdbcConnector final : public Connector {
public:
    OdbcConnector() = default;
    explicit OdbcConnector(DbConnectionOptions options) : m_options(std::move(options)) {}

    std::unique_ptr<Connection> OpenBackupConnection(const std::string& connectionString,
                                                     const StatusLineFn& statusLine,
                                                     std::string& failureText) override;

private:
    DbConnectionOptions m_options;
};

} // namespace db
