#include "fakes/ScriptedConnector.h"

#include "db/ResultTable.h"

#include <algorithm>
#include <fstream>

namespace fakes {

class ScriptedConnector::ScriptedConnection final : public db::Connection {
public:
    explicit ScriptedConnection(ScriptedConnector& connector)
        : m_connector(connector)
    {
    }
    ~ScriptedConnection() override { Close(); }

    db::HRESULT ExecuteCommand(const std::string& command, db::ResultTable& table, std::string& errorText) override
    {
        table.Clear();
        ExecuteFn onExecute;
        {
            std::lock_guard lock(m_connector.m_mutex);
            m_connector.m_commands.push_back(command);
            onExecute = m_connector.m_onExecute;
        }
        return onExecute ? onExecute(command, errorText) : db::S_OK;
    }
    bool IsOpen() const override { return m_open; }
    void Close() override
    {
        if (!m_open)
            return;
        m_open = false;
        std::lock_guard lock(m_connector.m_mutex);
        --m_connector.m_open;
    }

private:
    ScriptedConnector& m_connector;
    bool m_open = true;
};

std::string ScriptedConnector::DiskPath(const std::string& command)
{
    const auto disk = command.find("TO DISK");
    if (disk == std::string::npos)
        return {};
    auto at = command.find('\'', disk);
    if (at == std::string::npos)
        return {};
    std::string path;
    for (++at; at < command.size(); ++at) {
        if (command[at] == '\'') {
            if (at + 1 < command.size() && command[at + 1] == '\'') {
                path += '\'';
                ++at;
                continue;
            }
            break;
        }
        path += command[at];
    }
    return path;
}

ScriptedConnector::ExecuteFn ScriptedConnector::WriteBackupFile(std::int64_t bytes)
{
    return [bytes](const std::string& command, std::string& errorText) -> db::HRESULT {
        std::ofstream out(DiskPath(command), std::ios::binary | std::ios::trunc);
        if (!out) {
            errorText = "Cannot open backup device '" + DiskPath(command) + "'.";
            return db::E_FAIL;
        }
        const std::string block(4096, 'B');
        for (std::int64_t left = bytes; left > 0; left -= static_cast<std::int64_t>(block.size()))
            out.write(block.data(), static_cast<std::streamsize>(std::min<std::int64_t>(left, block.size())));
        return db::S_OK;
    };
}

void ScriptedConnector::refuseConnections(std::string failureText)
{
    std::lock_guard lock(m_mutex);
    m_refuse = true;
    m_failureText = std::move(failureText);
}

void ScriptedConnector::acceptConnections()
{
    std::lock_guard lock(m_mutex);
    m_refuse = false;
}

void ScriptedConnector::setOnExecute(ExecuteFn onExecute)
{
    std::lock_guard lock(m_mutex);
    m_onExecute = std::move(onExecute);
}

std::unique_ptr<db::Connection> ScriptedConnector::OpenBackupConnection(const std::string& connectionString,
                                                                        std::string& failureText)
{
    {
        std::lock_guard lock(m_mutex);
        m_connectionStrings.push_back(connectionString);
        if (!m_refuse) {
            ++m_open;
            return std::make_unique<ScriptedConnection>(*this);
        }
        failureText = m_failureText;
    }
    return nullptr;
}

std::vector<std::string> ScriptedConnector::commands() const
{
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<std::string> ScriptedConnector::connectionStrings() const
{
    std::lock_guard lock(m_mutex);
    return m_connectionStrings;
}

int ScriptedConnector::openConnections() const
{
    std::lock_guard lock(m_mutex);
    return m_open;
}

} // namespace fakes
