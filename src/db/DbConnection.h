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

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
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
inline constexpr const char* kCancelledText = "The command was cancelled before it started.";

// Why a login that DB_ENCRYPTION=REQUIRE asks to encrypt was refused. In
// each, %1 is the server as the connection string names it ("host,port").
inline constexpr const char* kEncryptionNotOfferedText =
    "The server %1 does not offer encryption; DB_ENCRYPTION=REQUIRE refuses to log in without it.";
// %2: the CA file, or kSystemCertificatesText; %3: GnuTLS's reason.
inline constexpr const char* kCertificateUntrustedText =
    "The certificate of the server %1 could not be verified against %2; set DB_CA_FILE to the certificate "
    "authority that issued it, or DB_TRUST_SERVER_CERTIFICATE=TRUE. (GnuTLS: %3)";
inline constexpr const char* kSystemCertificatesText = "the system's trusted certificates";
// %2: the host name the certificate was checked for; %3: the names it carries.
inline constexpr const char* kCertificateWrongNameText =
    "The certificate of the server %1 is not issued for the name %2 (it names %3); connect by a name the "
    "certificate carries, or set DB_TRUST_SERVER_CERTIFICATE=TRUE.";
// %2: the CA file; %3: why it cannot be used.
inline constexpr const char* kCaFileUnusableText =
    "DB_CA_FILE %2 cannot be used: %3. No connection to the server %1 was attempted.";
// %3: why they cannot be read.
inline constexpr const char* kSystemCertificatesUnusableText =
    "The system's trusted certificates cannot be read: %3. Install ca-certificates or set DB_CA_FILE; no "
    "connection to the server %1 was attempted.";
// %2: the driver's own text, as FormatErrorText gives it.
inline constexpr const char* kEncryptedLoginFailedText =
    "The encrypted connection to the server %1 failed before the login. %2";

// Waits between converted rows; a test passes one that only counts.
using Sleeper = std::function<void(std::chrono::milliseconds)>;

// How a connection protects itself (the settings DB_ENCRYPTION, DB_CA_FILE
// and DB_TRUST_SERVER_CERTIFICATE).
struct EncryptionOptions {
    enum class Mode {
        Request, // the driver's default: the login packet is encrypted when the
                 // server has a certificate, everything when it insists;
                 // the certificate is never checked
        Require, // everything encrypted; a server that does not offer it is
                 // refused before the login, and so is a certificate that
                 // fails the checks below
        Off,     // no encryption asked for (a server that insists still gets it)
    };
    Mode mode = Mode::Request;
    // Require: the PEM file of the authorities the certificate must chain
    // to; empty: the system's trusted certificates. The host name of the
    // Data Source must be one the certificate is issued for.
    std::string caFile;
    // Require: encrypt, but take the certificate unchecked.
    bool trustServerCertificate = false;
};

struct DbConnectionOptions {
    OdbcSettings odbc;            // driver name and TDS version
    int loginTimeoutSeconds = 15; // 0: none (a silent server then blocks Open for good)
    // The program's own one-value queries give up on a server that does not
    // answer after this, and again as long for the cancel (0: never).
    int valueQueryTimeoutSeconds = 10;
    Sleeper sleeper;              // empty: std::this_thread::sleep_for
    // Require needs PrepareDriverSettings (db/DriverSettings.h) to have run.
    EncryptionOptions encryption;
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
    // earlier one first). Callers judge the outcome by IsOpen(). When a login
    // that requires encryption fails before the login, a second connection
    // that sends no login looks at the server's answer and certificate to
    // say why (see EncryptionProbe.h).
    HRESULT Open(const std::string& connectionString, std::string& errorText);

    // Runs one command text and waits for all of its results. The rows of
    // its first result set go into `table` (cleared first); a failure of any
    // statement in the text fails the call.
    HRESULT ExecuteCommand(const std::string& command, ResultTable& table, std::string& errorText) override;

    bool IsOpen() const override;
    void Close() override;
    // Cancels the command under way, and makes every later one fail at once.
    void Cancel() override;
    // Reads its one row without the pause between rows.
    HRESULT QueryValue(const std::string& command, std::string& value, std::string& errorText) override;

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
    std::mutex m_statementMutex; // guards m_statement against a Cancel from another thread
    void* m_statement = nullptr;
    std::atomic<bool> m_cancelRequested{false};
    bool m_connected = false;
    std::size_t m_converted = 0; // rows converted in the current result
    bool m_paced = true;         // false during the program's own one-value queries
    int m_queryTimeoutSeconds = 0; // of the command under way; 0: none
};

// Opens a throw-away connection to test settings and closes it again; leaves
// no connection open whatever the answer. On failure `failureText` says why,
// when the driver or the server said. Blocks for the login.
bool CheckConnection(const std::string& connectionString, std::string& failureText,
                     const DbConnectionOptions& options = {});

// The connection a backup run uses, or null (then `failureText` says why,
// when known). Blocks for the login; runs on the backup thread, which then
// owns the connection.
std::unique_ptr<DbConnection> OpenBackupConnection(const std::string& connectionString, std::string& failureText,
                                                   const DbConnectionOptions& options = {});

// The real Connector: ODBC connections made with the given options, or with
// the options a source gives for each connection.
class OdbcConnector final : public Connector {
public:
    // Fills `options` for one connection; false refuses it, with the reason
    // in `failureText`. Called on the thread that connects.
    using OptionsSource = std::function<bool(DbConnectionOptions& options, std::string& failureText)>;

    OdbcConnector() = default;
    explicit OdbcConnector(DbConnectionOptions options) : m_options(std::move(options)) {}
    explicit OdbcConnector(OptionsSource source) : m_source(std::move(source)) {}

    std::unique_ptr<Connection> OpenBackupConnection(const std::string& connectionString,
                                                     std::string& failureText) override;

private:
    DbConnectionOptions m_options;
    OptionsSource m_source;
};

} // namespace db
