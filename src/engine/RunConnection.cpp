#include "engine/RunConnection.h"

#include "db/Connection.h"

namespace engine {

void RunConnection::hold(std::shared_ptr<db::Connection> connection, const std::stop_token& stop)
{
    std::lock_guard guard(m_mutex);
    m_connection = std::move(connection);
    if (m_connection && stop.stop_requested())
        m_connection->Cancel();
}

void RunConnection::cancel()
{
    std::lock_guard guard(m_mutex);
    if (m_connection)
        m_connection->Cancel();
}

std::shared_ptr<db::Connection> RunConnection::get() const
{
    std::lock_guard guard(m_mutex);
    return m_connection;
}

void RunConnection::abandon()
{
    std::lock_guard guard(m_mutex);
    m_connection.reset();
}

void RunConnection::close()
{
    std::shared_ptr<db::Connection> connection;
    {
        std::lock_guard guard(m_mutex);
        connection = std::move(m_connection);
    }
    // Outside the lock: closing may wait on the server, and a stop must not.
    if (connection)
        connection->Close();
}

} // namespace engine
