#include "engine/ProgressPoller.h"

#include "db/Connection.h"
#include "db/ResultTable.h"

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <system_error>

namespace engine {

struct ProgressPoller::State {
    std::mutex mutex; // guards connection against the cancel from the destructor
    std::unique_ptr<db::Connection> connection;
};

std::string ProgressPoller::ProgressQuery(int sessionId)
{
    // A leading blank makes it a plain batch: one round trip, no server cursor.
    return " SELECT percent_complete FROM sys.dm_exec_requests WHERE session_id = " + std::to_string(sessionId);
}

ProgressPoller::ProgressPoller(db::Connector& connector, std::string connectionString, int sessionId,
                               ReportFn report, Clock& clock, std::chrono::milliseconds interval,
                               std::chrono::milliseconds delay)
    : m_state(std::make_shared<State>())
{
    auto body = [state = m_state, &connector, &clock, connectionString = std::move(connectionString), sessionId,
                 report = std::move(report), interval, delay](std::stop_token stop) {
        if (!clock.waitUntil(SaturatingAdd(clock.now(), delay), stop))
            return;
        std::string failure;
        std::unique_ptr<db::Connection> connection = connector.OpenBackupConnection(connectionString, failure);
        if (!connection)
            return;
        db::Connection* query = connection.get();
        {
            std::lock_guard lock(state->mutex);
            state->connection = std::move(connection);
            if (stop.stop_requested())
                return;
        }
        const std::string text = ProgressQuery(sessionId);
        int last = -1;
        do {
            std::string value;
            std::string error;
            if (db::Failed(query->QueryValue(text, value, error)))
                return; // no right to ask, or no such view: no percentage
            const int percent = value.empty() ? -1 : static_cast<int>(std::floor(std::atof(value.c_str())));
            if (percent >= 0 && percent <= 100 && percent != last) {
                last = percent;
                report(percent);
            }
        } while (clock.waitUntil(SaturatingAdd(clock.now(), interval), stop));
    };
    try {
        m_thread = std::thread(std::move(body), m_stop.get_token());
    } catch (const std::system_error&) {
        // No thread, no percentage; the backup itself does not depend on it.
    }
}

ProgressPoller::~ProgressPoller()
{
    m_stop.request_stop();
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->connection)
            m_state->connection->Cancel();
    }
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_state->mutex);
    if (m_state->connection) {
        m_state->connection->Close();
        m_state->connection.reset();
    }
}

} // namespace engine
