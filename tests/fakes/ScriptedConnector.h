#pragma once

#include "db/Connection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fakes {

// A db::Connector whose connections follow a script set by the test: refuse
// the connection, or run every command through `onExecute`. It records the
// connection strings and commands it saw. Thread-safe.
class ScriptedConnector final : public db::Connector {
public:
    using ExecuteFn = std::function<db::HRESULT(const std::string& command, std::string& errorText)>;

    // Stands in for the server writing the backup: writes `bytes` bytes to
    // the path of the command's TO DISK literal and succeeds.
    static ExecuteFn WriteBackupFile(std::int64_t bytes);
    // The path of the command's TO DISK literal, quotes undoubled.
    static std::string DiskPath(const std::string& command);

    void refuseConnections(std::string failureText);
    void acceptConnections();
    void setOnExecute(ExecuteFn onExecute);

    std::unique_ptr<db::Connection> OpenBackupConnection(const std::string& connectionString,
                                                         std::string& failureText) override;

    std::vector<std::string> commands() const;
    std::vector<std::string> connectionStrings() const;
    int openConnections() const;

private:
    class ScriptedConnection;
    friend class ScriptedConnection;

    mutable std::mutex m_mutex; // guards every member below
    bool m_refuse = false;
    std::string m_failureText;
    ExecuteFn m_onExecute;
    std::vector<std::string> m_commands;
    std::vector<std::string> m_connectionStrings;
    int m_open = 0;
};

} // namespace fakes
