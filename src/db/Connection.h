#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace db {

class ResultTable;

// Database operations return an HRESULT-style code: negative is failure.
using HRESULT = std::int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr bool Failed(HRESULT hr) { return hr < 0; }

// Sets the main window's status line (control 1016).
using StatusLineFn = std::function<void(const std::string& text)>;
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
};

// Opens connections; the seam the backup engine reaches the server through.
class Connector {
public:
    virtual ~Connector() = default;
    // An open connection, or null; on null the status line already reads
    // kConnectionFailedText. The reason, if known, goes into failureText.
    virtual std::unique_ptr<Connection> OpenBackupConnection(const std::string& connectionString,
                                                             const StatusLineFn& statusLine,
                                                             std::string& failureText) = 0;
};

// "Provider=SQLOLEDB.1;Data Source=%s;Initial Catalog=%s;User ID=%s;Password=%s;Persist Security Info=True;"
std::string BuildConnectionString(const std::string& server, const std::string& database,
                                  const std::string& user, const std::string& password);

} // namespace db
