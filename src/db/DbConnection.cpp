#include "db/DbConnection.h"

#include "db/DriverSettings.h"
#include "db/EncryptionProbe.h"
#include "text/Text.h"
#include "text/Unicode.h"

#include <sql.h>
#include <sqlext.h>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace db {

namespace {

bool Succeeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Cuts a UTF-8 text to at most maxBytes bytes without splitting a character.
std::string CutUtf8(std::string text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    std::size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

// UTF-16 up to the first NUL (or `units`) as UTF-8. A high surrogate at the
// very end is the driver's truncation splitting a pair and is dropped; other
// unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const SQLWCHAR* text, std::size_t units)
{
    std::size_t length = 0;
    while (length < units && text[length] != 0)
        ++length;
    if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] < 0xDC00)
        --length;
    return text::Utf16ToUtf8(std::u16string(text, text + length));
}

// UTF-8 as UTF-16 for the driver's wide calls. A byte that does not start a
// well-formed sequence becomes U+FFFD.
std::vector<SQLWCHAR> Utf8ToUtf16(const std::string& text)
{
    std::u16string wide = text::Utf8ToUtf16(text);
    std::vector<SQLWCHAR> out(wide.begin(), wide.end());
    // The text may be a connection string with its password.
    std::fill(wide.begin(), wide.end(), u'\0');
    return out;
}

bool IsTextType(SQLSMALLINT type)
{
    switch (type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
        return true;
    default:
        return false;
    }
}

// A row query reads through a scrollable, read-only static cursor: the rows
// can be fetched backwards, scrolled to and marked. The driver keeps such a
// cursor on the server and fetches each rowset from it.
SQLRETURN SelectScrollableCursor(SQLHSTMT statement)
{
    auto set = [statement](SQLINTEGER attribute, SQLULEN value) {
        return SQLSetStmtAttr(statement, attribute, reinterpret_cast<SQLPOINTER>(value), 0);
    };
    SQLRETURN rc = set(SQL_ATTR_CURSOR_SCROLLABLE, SQL_SCROLLABLE);
    if (Succeeded(rc))
        rc = set(SQL_ATTR_CURSOR_TYPE, SQL_CURSOR_STATIC);
    if (Succeeded(rc))
        rc = set(SQL_ATTR_CONCURRENCY, SQL_CONCUR_READ_ONLY);
    return rc;
}

constexpr SQLINTEGER kLoginFailed = 18456;

// True when the process has too few descriptors left (ulimit -n) for the
// driver to open a connection: the driver reports a socket it could not
// open as a server it could not reach. The descriptors the failed attempt
// held for a moment are free again by now, so the open ones are counted.
bool OutOfDescriptors()
{
    constexpr rlim_t kDescriptorsPerConnection = 2; // the name lookup's and the connection's own
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return false;
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        return errno == EMFILE || errno == ENFILE;
    rlim_t open = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(folder))
            ++open;
    }
    ::closedir(folder);
    return open + kDescriptorsPerConnection > limit.rlim_cur;
}

// Reads the diagnostic record that says what went wrong: the first one, but
// when that is the server's "Login failed" summary, the server's own reason
// after it (for example 4060, a database the login cannot open), which the
// driver lists later. False when the handle has no record.
bool FirstDiagnostic(SQLSMALLINT type, SQLHANDLE handle, std::string& state, std::string& message)
{
    if (!handle)
        return false;
    bool found = false;
    for (SQLSMALLINT record = 1; record <= 16; ++record) {
        SQLCHAR sqlState[6] = {};
        SQLINTEGER native = 0;
        std::vector<SQLCHAR> text(4096);
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRec(type, handle, record, sqlState, &native, text.data(),
                                     static_cast<SQLSMALLINT>(text.size()), &length);
        if (!Succeeded(rc))
            break;
        std::string recordMessage(reinterpret_cast<const char*>(text.data()));
        if (record == 1) {
            state.assign(reinterpret_cast<const char*>(sqlState));
            message = recordMessage;
            found = true;
            if (native != kLoginFailed)
                break;
        } else if (native > 0 && native != kLoginFailed) {
            state.assign(reinterpret_cast<const char*>(sqlState));
            message = recordMessage;
            break;
        }
    }
    return found;
}

// FreeTDS's "Adaptive Server connection failed": the connection ended
// before the login, which under required encryption means that the server
// offered none or that its certificate was refused.
constexpr SQLINTEGER kDriverConnectionFailed = 20002;
constexpr const char* kDefaultPort = "1433";

bool HasNativeError(SQLSMALLINT type, SQLHANDLE handle, SQLINTEGER wanted)
{
    for (SQLSMALLINT record = 1; handle && record <= 16; ++record) {
        SQLCHAR sqlState[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR text[8];
        SQLSMALLINT length = 0;
        if (!Succeeded(SQLGetDiagRec(type, handle, record, sqlState, &native, text, sizeof text, &length)))
            break;
        if (native == wanted)
            return true;
    }
    return false;
}

// An operator text with its %1, %2 and %3 filled in.
std::string FillText(const char* text, const std::string& first, const std::string& second = {},
                     const std::string& third = {})
{
    std::string out;
    for (const char* c = text; *c; ++c) {
        if (c[0] == '%' && c[1] >= '1' && c[1] <= '3') {
            out += c[1] == '1' ? first : c[1] == '2' ? second : third;
            ++c;
        } else {
            out += *c;
        }
    }
    return out;
}

// Where a login that requires encryption goes, and what its certificate is
// checked against.
struct RequiredEncryption {
    std::string server; // as the connection string names it, for the operator's texts
    std::string host;
    std::string instance;
    int port = 0;       // 0: the instance's port, which the driver asks the server's browser for
    std::string caFile; // "system", a PEM file, or empty: the certificate is not checked
};

// Checks the trusted certificates and writes the driver's settings section
// for a login that requires encryption; the driver then connects by its name.
HRESULT PrepareRequiredEncryption(const ConnectionProperties& properties, const EncryptionOptions& options,
                                  OdbcSettings& odbc, RequiredEncryption& required, std::string& errorText)
{
    ServerAddress address;
    std::string problem;
    if (!TranslateDataSource(FindDataSource(properties), address, problem)) {
        errorText = problem;
        return DB_E_BADINITSTRING;
    }
    const std::size_t slash = address.host.find('\\');
    required.host = address.host.substr(0, slash);
    if (slash != std::string::npos)
        required.instance = address.host.substr(slash + 1);
    std::string port = address.port;
    if (port.empty() && required.instance.empty())
        port = kDefaultPort;
    required.port = port.empty() ? 0 : std::stoi(port);
    required.server = FindDataSource(properties);
    if (required.server.empty())
        required.server = required.host + "," + port;

    if (!options.trustServerCertificate) {
        required.caFile = options.caFile.empty() ? std::string("system") : options.caFile;
        std::string why;
        if (!CheckTrustedCertificates(required.caFile, why)) {
            errorText = options.caFile.empty() ? FillText(kSystemCertificatesUnusableText, required.server, {}, why)
                                               : FillText(kCaFileUnusableText, required.server, options.caFile, why);
            return E_FAIL;
        }
    }
    // With a port the instance name is not needed, and FreeTDS takes both
    // together for a mistake.
    const EncryptedServerSection section{required.host, port.empty() ? required.instance : std::string(), port,
                                         odbc.tdsVersion, required.caFile};
    if (!RequireEncryptionSection(section, odbc.serverName, errorText))
        return E_FAIL;
    return S_OK;
}

// Why a login that requires encryption ended before the login: the driver
// does not say, so a probe that sends no login asks the server.
std::string ExplainRequiredEncryptionFailure(const RequiredEncryption& required, int loginTimeoutSeconds,
                                             const std::string& driverText)
{
    ProbeResult result;
    if (required.port > 0) {
        ProbeRequest request;
        request.host = required.host;
        request.port = required.port;
        request.instance = required.instance;
        request.caFile = required.caFile;
        request.timeout = std::chrono::seconds(loginTimeoutSeconds > 0 ? loginTimeoutSeconds : 15);
        result = ProbeEncryption(request);
    }
    switch (result.outcome) {
    case ProbeOutcome::NotOffered:
        return FillText(kEncryptionNotOfferedText, required.server);
    case ProbeOutcome::Untrusted:
        return FillText(kCertificateUntrustedText, required.server,
                        required.caFile == "system" ? std::string(kSystemCertificatesText) : required.caFile,
                        result.detail);
    case ProbeOutcome::WrongName:
        return FillText(kCertificateWrongNameText, required.server, required.host, result.detail);
    case ProbeOutcome::Accepted:
    case ProbeOutcome::Inconclusive:
        break;
    }
    return FillText(kEncryptedLoginFailedText, required.server,
                    driverText + (result.detail.empty() ? "" : " (" + result.detail + ")"));
}

} // namespace

DbConnection::DbConnection() : DbConnection(DbConnectionOptions{}) {}

DbConnection::DbConnection(DbConnectionOptions options) : m_options(std::move(options)) {}

DbConnection::~DbConnection()
{
    Close();
}

bool DbConnection::IsOpen() const
{
    return m_connected;
}

void DbConnection::FreeStatement()
{
    std::lock_guard lock(m_statementMutex);
    if (m_statement) {
        SQLFreeHandle(SQL_HANDLE_STMT, m_statement);
        m_statement = nullptr;
    }
}

void DbConnection::Cancel()
{
    m_cancelRequested.store(true);
    // The driver lets another thread cancel a statement that is executing;
    // the executing call then returns with an error.
    std::lock_guard lock(m_statementMutex);
    if (m_statement)
        SQLCancel(m_statement);
}

void DbConnection::Close()
{
    FreeStatement();
    if (m_connection) {
        if (m_connected)
            SQLDisconnect(m_connection);
        SQLFreeHandle(SQL_HANDLE_DBC, m_connection);
        m_connection = nullptr;
    }
    m_connected = false;
    if (m_environment) {
        SQLFreeHandle(SQL_HANDLE_ENV, m_environment);
        m_environment = nullptr;
    }
}

bool DbConnection::IsRowQuery(const std::string& command)
{
    return text::StartsWithIgnoringCase(command, "SELECT");
}

std::string DbConnection::FormatErrorText(const std::string& diagnosticMessage)
{
    // The message is "[unixODBC][FreeTDS][SQL Server]text": the bracketed
    // prefix names who reported it.
    std::size_t end = 0;
    while (end < diagnosticMessage.size() && diagnosticMessage[end] == '[') {
        std::size_t close = diagnosticMessage.find(']', end);
        if (close == std::string::npos)
            break;
        end = close + 1;
    }
    std::string source = diagnosticMessage.substr(0, end);
    std::string contents = diagnosticMessage.substr(end);
    while (!contents.empty() && (contents.back() == '\n' || contents.back() == '\r'))
        contents.pop_back();
    if (source.empty())
        source = "No Source Description";
    if (contents.empty())
        contents = "No Error Description";
    return CutUtf8("Error Object : " + source + " Error Contents : " + contents, kMaxErrorBytes);
}

HRESULT DbConnection::ReportError(short handleType, void* handle, std::string& errorText, HRESULT failure)
{
    std::string state, message;
    if (!FirstDiagnostic(handleType, handle, state, message)) {
        errorText = kNoErrorInformationText;
        return failure;
    }
    // Class 08 is the link to the server, HYT00/HYT01 a time-out; either
    // leaves the session unusable.
    if (state.rfind("08", 0) == 0 || state == "HYT00" || state == "HYT01")
        failure = E_CONNECTION_ABORTED;
    errorText = FormatErrorText(message);
    Close();
    return failure;
}

HRESULT DbConnection::Open(const std::string& connectionString, std::string& errorText)
{
    if (connectionString.empty())
        return E_INVALIDARG;
    Close();

    ConnectionProperties properties;
    std::string problem;
    if (!ParseConnectionString(connectionString, properties, problem)) {
        errorText = kBadInitStringText;
        return DB_E_BADINITSTRING;
    }
    if (auto provider = properties.Find({"Provider"})) {
        const std::string name = text::ToUpper(*provider);
        bool sqlServer = name.rfind("SQLOLEDB", 0) == 0 || name.rfind("SQLNCLI", 0) == 0
            || name.rfind("MSOLEDBSQL", 0) == 0;
        if (!sqlServer) {
            errorText = kProviderNotFoundText;
            return REGDB_E_CLASSNOTREG;
        }
    }
    OdbcSettings odbc = m_options.odbc;
    RequiredEncryption required;
    switch (m_options.encryption.mode) {
    case EncryptionOptions::Mode::Request:
        break;
    case EncryptionOptions::Mode::Off:
        odbc.encryption = "off";
        break;
    case EncryptionOptions::Mode::Require:
        if (HRESULT hr = PrepareRequiredEncryption(properties, m_options.encryption, odbc, required, errorText);
            Failed(hr)) {
            return hr;
        }
        break;
    }
    std::string odbcString;
    if (!BuildOdbcConnectionString(properties, odbc, odbcString, problem)) {
        errorText = problem;
        return DB_E_BADINITSTRING;
    }

    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_environment))) {
        m_environment = nullptr;
        return E_OUTOFMEMORY;
    }
    SQLSetEnvAttr(m_environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, m_environment, &m_connection))) {
        m_connection = nullptr;
        Close();
        return E_OUTOFMEMORY;
    }
    if (m_options.loginTimeoutSeconds > 0) {
        SQLRETURN rc = SQLSetConnectAttr(m_connection, SQL_ATTR_LOGIN_TIMEOUT,
                                         reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(m_options.loginTimeoutSeconds)), 0);
        if (!Succeeded(rc)) {
            errorText = kPropertyNotSupportedText;
            Close();
            return DB_E_ERRORSOCCURRED;
        }
    }

    // The wide call: the narrow one hands the login name, password and
    // database to the driver byte by byte, so anything beyond ASCII would
    // reach the server as other characters.
    std::vector<SQLWCHAR> wideString = Utf8ToUtf16(odbcString);
    SQLSMALLINT outLength = 0;
    SQLRETURN rc = SQLDriverConnectW(m_connection, nullptr, wideString.data(),
                                     static_cast<SQLSMALLINT>(wideString.size()), nullptr, 0, &outLength,
                                     SQL_DRIVER_NOPROMPT);
    // The strings hold the password; they do not outlive the call.
    std::fill(odbcString.begin(), odbcString.end(), '\0');
    std::fill(wideString.begin(), wideString.end(), SQLWCHAR{0});
    if (!Succeeded(rc)) {
        std::string state, message;
        FirstDiagnostic(SQL_HANDLE_DBC, m_connection, state, message);
        // unixODBC names a driver it cannot load in a warning-class record.
        bool noDriver = state == "IM002" || state == "IM003"
            || message.find("[Driver Manager]Can't open lib") != std::string::npos;
        if (noDriver) {
            errorText = kProviderNotFoundText;
            Close();
            return REGDB_E_CLASSNOTREG;
        }
        const bool refusedBeforeLogin = m_options.encryption.mode == EncryptionOptions::Mode::Require
            && HasNativeError(SQL_HANDLE_DBC, m_connection, kDriverConnectionFailed);
        HRESULT hr = ReportError(SQL_HANDLE_DBC, m_connection, errorText);
        Close();
        if (refusedBeforeLogin)
            errorText = ExplainRequiredEncryptionFailure(required, m_options.loginTimeoutSeconds, errorText);
        // The driver reports a socket it could not open as a server it
        // could not reach.
        if (OutOfDescriptors())
            errorText += std::string(". Cannot open a connection: ") + std::strerror(EMFILE);
        return hr;
    }
    m_connected = true;
    return S_OK;
}

HRESULT DbConnection::ExecuteCommand(const std::string& command, ResultTable& table, std::string& errorText)
{
    if (!IsOpen())
        return E_POINTER;
    table.Clear();
    FreeStatement();

    {
        std::lock_guard lock(m_statementMutex);
        if (!Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, m_connection, &m_statement)))
            m_statement = nullptr;
    }
    if (!m_statement)
        return ReportError(SQL_HANDLE_DBC, m_connection, errorText);
    if (m_cancelRequested.load()) {
        errorText = kCancelledText;
        FreeStatement();
        return E_FAIL;
    }
    if (IsRowQuery(command)) {
        SQLRETURN rc = SelectScrollableCursor(m_statement);
        if (!Succeeded(rc))
            return ReportError(SQL_HANDLE_STMT, m_statement, errorText);
    }
    // On a time-out the driver cancels the command, and when that too goes
    // unanswered for as long it drops the connection.
    if (m_queryTimeoutSeconds > 0) {
        SQLRETURN rc = SQLSetStmtAttr(m_statement, SQL_ATTR_QUERY_TIMEOUT,
                                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(m_queryTimeoutSeconds)), 0);
        if (!Succeeded(rc))
            return ReportError(SQL_HANDLE_STMT, m_statement, errorText);
    }

    std::vector<SQLWCHAR> text = Utf8ToUtf16(command);
    SQLRETURN rc = SQLExecDirectW(m_statement, text.data(), static_cast<SQLINTEGER>(text.size()));
    if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE)
        return ReportError(SQL_HANDLE_STMT, m_statement, errorText);

    HRESULT result = S_OK;
    if (rc != SQL_NO_DATA) {
        SQLSMALLINT columnCount = 0;
        if (!Succeeded(SQLNumResultCols(m_statement, &columnCount)))
            return ReportError(SQL_HANDLE_STMT, m_statement, errorText);
        if (columnCount > 0) {
            std::vector<Column> columns;
            std::size_t rowSize = 0;
            result = BindColumns(table, columns, rowSize, errorText);
            if (!Failed(result))
                result = FetchRows(table, columns, rowSize, errorText);
            if (!IsOpen())
                return result;
        }
    }

    // Every statement of the text runs to its end before the call returns; a
    // later one that fails makes the whole command fail.
    while (true) {
        rc = SQLMoreResults(m_statement);
        if (rc == SQL_NO_DATA)
            break;
        if (!Succeeded(rc))
            return ReportError(SQL_HANDLE_STMT, m_statement, errorText);
    }
    FreeStatement();
    return result;
}

HRESULT DbConnection::BindColumns(ResultTable& table, std::vector<Column>& columns, std::size_t& rowSize,
                                  std::string& errorText)
{
    SQLSMALLINT count = 0;
    if (!Succeeded(SQLNumResultCols(m_statement, &count)) || count <= 0)
        return E_POINTER;

    rowSize = 0;
    columns.clear();
    columns.reserve(static_cast<std::size_t>(count));
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
        SQLCHAR name[1024] = {};
        SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLRETURN rc = SQLDescribeCol(m_statement, i, name, sizeof name, &nameLength, &type, &size, &digits,
                                      &nullable);
        if (!Succeeded(rc))
            return ReportError(SQL_HANDLE_STMT, m_statement, errorText);
        Column column;
        column.name = CutUtf8(reinterpret_cast<const char*>(name), kMaxHeaderBytes);
        // Text columns of known size hold their characters and a NUL in
        // UTF-16; anything else is read as text of up to 126 characters.
        std::size_t bytes = 255;
        if (IsTextType(type) && size > 0 && size < 0x7FFFFFFF)
            bytes = 2 * static_cast<std::size_t>(size) + 2;
        column.valueBytes = std::min<std::size_t>(bytes, 1000);
        column.indicatorOffset = rowSize;
        column.valueOffset = rowSize + sizeof(SQLLEN);
        rowSize = (column.valueOffset + column.valueBytes + 7) / 8 * 8;
        columns.push_back(std::move(column));
    }
    for (const Column& column : columns)
        table.AddHeaderCell(false, column.name);
    return S_OK;
}

HRESULT DbConnection::FetchRows(ResultTable& table, const std::vector<Column>& columns, std::size_t rowSize,
                                std::string& errorText)
{
    if (columns.empty() || rowSize == 0)
        return E_POINTER;
    std::unique_ptr<std::byte[]> buffer(new (std::nothrow) std::byte[rowSize * kFetchBatch]);
    if (!buffer)
        return E_OUTOFMEMORY;
    std::vector<SQLUSMALLINT> rowStatus(kFetchBatch);
    SQLULEN fetched = 0;

    auto setAttr = [this](SQLINTEGER attribute, SQLULEN value) {
        return SQLSetStmtAttr(m_statement, attribute, reinterpret_cast<SQLPOINTER>(value), 0);
    };
    if (!Succeeded(setAttr(SQL_ATTR_ROW_BIND_TYPE, rowSize))
        || !Succeeded(setAttr(SQL_ATTR_ROW_ARRAY_SIZE, kFetchBatch))
        || !Succeeded(SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_STATUS_PTR, rowStatus.data(), 0))
        || !Succeeded(SQLSetStmtAttr(m_statement, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0))) {
        return ReportError(SQL_HANDLE_STMT, m_statement, errorText);
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column& column = columns[i];
        SQLRETURN rc = SQLBindCol(m_statement, static_cast<SQLUSMALLINT>(i + 1), SQL_C_WCHAR,
                                  buffer.get() + column.valueOffset, static_cast<SQLLEN>(column.valueBytes),
                                  reinterpret_cast<SQLLEN*>(buffer.get() + column.indicatorOffset));
        if (!Succeeded(rc))
            return ReportError(SQL_HANDLE_STMT, m_statement, errorText);
    }

    m_converted = 0;
    while (true) {
        std::memset(buffer.get(), 0, rowSize * kFetchBatch);
        fetched = 0;
        SQLRETURN rc = SQLFetchScroll(m_statement, SQL_FETCH_NEXT, 0);
        if (rc == SQL_NO_DATA)
            break;
        if (!Succeeded(rc))
            return ReportError(SQL_HANDLE_STMT, m_statement, errorText);
        if (fetched == 0)
            break;
        for (SQLULEN i = 0; i < fetched && i < static_cast<SQLULEN>(kFetchBatch); ++i) {
            if (rowStatus[i] == SQL_ROW_NOROW)
                continue;
            ConvertRow(table, columns, buffer.get() + i * rowSize, rowStatus[i] == SQL_ROW_ERROR,
                       static_cast<std::size_t>(i + 1));
        }
    }
    return S_OK;
}

void DbConnection::ConvertRow(ResultTable& table, const std::vector<Column>& columns, const std::byte* row,
                              bool rowFailed, std::size_t batchRow)
{
    // For a row the driver could not deliver, the diagnostics name the cause
    // and, where the driver says so, the column.
    std::string failureWord;
    SQLLEN failedColumn = 0;
    if (rowFailed) {
        failureWord = "unknown status";
        for (SQLSMALLINT record = 1;; ++record) {
            SQLCHAR state[6] = {};
            SQLINTEGER native = 0;
            SQLSMALLINT length = 0;
            SQLCHAR message[8];
            SQLRETURN rc = SQLGetDiagRec(SQL_HANDLE_STMT, m_statement, record, state, &native, message,
                                         sizeof message, &length);
            if (!Succeeded(rc))
                break;
            SQLLEN rowNumber = 0, columnNumber = 0;
            bool hasRow = Succeeded(SQLGetDiagField(SQL_HANDLE_STMT, m_statement, record, SQL_DIAG_ROW_NUMBER,
                                                    &rowNumber, 0, nullptr));
            if (hasRow && rowNumber > 0 && static_cast<std::size_t>(rowNumber) != batchRow)
                continue;
            std::string sqlState(reinterpret_cast<const char*>(state));
            if (sqlState == "22018" || sqlState == "07006")
                failureWord = "convert fail";
            else if (sqlState == "22003")
                failureWord = "overflow";
            else if (sqlState.rfind("01", 0) == 0)
                continue;
            if (Succeeded(SQLGetDiagField(SQL_HANDLE_STMT, m_statement, record, SQL_DIAG_COLUMN_NUMBER,
                                          &columnNumber, 0, nullptr))
                && columnNumber > 0) {
                failedColumn = columnNumber;
            }
            break;
        }
    }

    ResultRow result;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column& column = columns[i];
        SQLLEN indicator = 0;
        std::memcpy(&indicator, row + column.indicatorOffset, sizeof indicator);
        bool cellFailed = rowFailed && (failedColumn == 0 || static_cast<std::size_t>(failedColumn) == i + 1);
        if (cellFailed) {
            result.AddCell(false, failureWord);
        } else if (indicator == SQL_NULL_DATA) {
            result.AddCell(true, std::string());
        } else {
            result.AddCell(false, Utf16ToUtf8(reinterpret_cast<const SQLWCHAR*>(row + column.valueOffset),
                                              column.valueBytes / sizeof(SQLWCHAR)));
        }
    }
    table.AddRow(result);
    if (m_converted % 10 == 0)
        Pause();
    ++m_converted;
}

HRESULT DbConnection::QueryValue(const std::string& command, std::string& value, std::string& errorText)
{
    // The pause between rows paces reading long results; one value needs none.
    m_paced = false;
    m_queryTimeoutSeconds = m_options.valueQueryTimeoutSeconds;
    const HRESULT hr = Connection::QueryValue(command, value, errorText);
    m_queryTimeoutSeconds = 0;
    m_paced = true;
    return hr;
}

void DbConnection::Pause()
{
    if (!m_paced)
        return;
    if (m_options.sleeper)
        m_options.sleeper(kRowPause);
    else
        std::this_thread::sleep_for(kRowPause);
}

bool CheckConnection(const std::string& connectionString, std::string& failureText,
                     const DbConnectionOptions& options)
{
    DbConnection connection(options);
    std::string errorText;
    connection.Open(connectionString, errorText);
    if (connection.IsOpen()) {
        connection.Close();
        return true;
    }
    failureText = errorText;
    return false;
}

std::unique_ptr<DbConnection> OpenBackupConnection(const std::string& connectionString, std::string& failureText,
                                                   const DbConnectionOptions& options)
{
    auto connection = std::make_unique<DbConnection>(options);
    std::string errorText;
    connection->Open(connectionString, errorText);
    if (connection->IsOpen())
        return connection;
    failureText = errorText;
    return nullptr;
}

std::unique_ptr<Connection> OdbcConnector::OpenBackupConnection(const std::string& connectionString,
                                                                std::string& failureText)
{
    if (!m_source)
        return db::OpenBackupConnection(connectionString, failureText, m_options);
    DbConnectionOptions options = m_options;
    if (!m_source(options, failureText))
        return nullptr;
    return db::OpenBackupConnection(connectionString, failureText, options);
}

} // namespace db
