#pragma once

#include "db/ResultTable.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace db {


// Database operations return an HRESULT-style code: negative is failure.
using HRESULT = std::int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
// The connection to the server broke or timed out (a cut network, a server
// that stopped answering), as opposed to the server refusing the command.
inline constexpr HRESULT E_CONNECTION_ABORTED = static_cast<HRESULT>(0x800704D4u);
inline constexpr bool Failed(HRESULT hr) { return hr < 0; }

// What the window's status line (control 1016) reads after a failed connection.
inline constexpr const char* kConnectionFailedText = "Database Connection failed. Please check the DB info...";

// One open session to a database server. A connection stays on the thread
// that opened it. Calls block until the server answers; there is no command
// time-out (a backup may take hours).
class Connection {
public:
    virtual ~Connection() = default;
    // Runs one command text. On failure returns a negative code and, where
    // one is available, puts the server's error text into errorText (which
    // is otherwise left as it was). Rows a command returns go into table.
    virtual HRESULT ExecuteCommand(const std::string& command, ResultTable& table, std::string& errorText) = 0;
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;
    // Asks the server to end the command under way (or the next one) at
    // once; that command then fails. Safe from any thread while another
    // thread waits in ExecuteCommand; never blocks for long.
    virtual void Cancel() {}

    // The program's own one-value queries (the session's id, a backup's
    // progress): the first column of the first row, as text, into `value`
    // (empty when there is no row); failures as for ExecuteCommand. A server
    // that does not answer fails it within a bounded time, with
    // E_CONNECTION_ABORTED.
    virtual HRESULT QueryValue(const std::string& command, std::string& value, std::string& errorText);
};

inline HRESULT Connection::QueryValue(const std::string& command, std::string& value, std::string& errorText)
{
    ResultTable table;
    const HRESULT hr = ExecuteCommand(command, table, errorText);
    value.clear();
    if (!Failed(hr) && !table.rows().empty() && !table.rows().front().cells().empty())
        value = table.rows().front().cells().front().text;
    return hr;
}

// Opens connections; the seam the backup engine reaches the server through.
class Connector {
public:
    virtual ~Connector() = default;
    // An open connection, or null; the reason, if known, goes into failureText.
    virtual std::unique_ptr<Connection> OpenBackupConnection(const std::string& connectionString,
                                                             std::string& failureText) = 0;
};

// "Provider=SQLOLEDB.1;Data Source=%s;Initial Catalog=%s;User ID=%s;Password=%s;Persist Security Info=True;"
std::string BuildConnectionString(const std::string& server, const std::string& database,
                                  const std::string& user, const std::string& password);

} // namespace db
