#include "engine/ProgressPoller.h"

#include "db/Connection.h"
#include "db/ResultTable.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>

namespace engine {

namespace {

constexpr std::chrono::milliseconds kLongestRetry{30000};
constexpr std::chrono::milliseconds kJoinBound{2000};

} // namespace

struct ProgressPoller::State {
    std::stop_source stop;
    std::mutex mutex; // guards every member below
    std::condition_variable ended;
    std::shared_ptr<db::Connection> connection;
    bool finished = false;
    bool detached = false; // the owner is gone: report nothing more
    ReportFn report;
    RefusedFn refused;

    void tell(const std::function<void()>& call)
    {
        std::lock_guard lock(mutex);
        if (!detached)
            call();
    }
};

std::string ProgressPoller::ProgressQuery(int sessionId)
{
    // A leading blank makes it a plain batch: one round trip, no server cursor.
    return " SELECT percent_complete FROM sys.dm_exec_requests WHERE session_id = " + std::to_string(sessionId);
}

ProgressPoller::ProgressPoller(db::Connector& connector, std::string connectionString, int sessionId,
                               ReportFn report, Clock& clock, std::chrono::milliseconds interval,
                               std::chrono::milliseconds delay, RefusedFn refused)
    : m_state(std::make_shared<State>())
{
    m_state->report = std::move(report);
    m_state->refused = std::move(refused);
    auto body = [state = m_state, &connector, &clock, connectionString = std::move(connectionString), sessionId,
                 interval, delay] {
        const std::stop_token stop = state->stop.get_token();
        const std::string text = ProgressQuery(sessionId);
        std::chrono::milliseconds retry = std::max(interval, std::chrono::milliseconds(1));
        int last = -1;
        bool wait = clock.waitUntil(SaturatingAdd(clock.now(), delay), stop);
        // After every call into the driver, a stop means the owner may be gone
        // (it waits only so long): nothing of its own is touched any more.
        while (wait) {
            std::string failure;
            std::shared_ptr<db::Connection> connection = connector.OpenBackupConnection(connectionString, failure);
            if (stop.stop_requested())
                break;
            if (connection) {
                {
                    std::lock_guard lock(state->mutex);
                    state->connection = connection;
                }
                for (;;) {
                    std::string value;
                    std::string error;
                    const db::HRESULT hr = connection->QueryValue(text, value, error);
                    if (stop.stop_requested()) {
                        wait = false;
                        break;
                    }
                    if (db::Failed(hr)) {
                        if (hr != db::E_CONNECTION_ABORTED) {
                            // The server said no: asking again changes nothing.
                            state->tell([&] {
                                if (state->refused)
                                    state->refused(error.empty() ? "the server refused the query" : error);
                            });
                            wait = false;
                        }
                        break;
                    }
                    retry = std::max(interval, std::chrono::milliseconds(1));
                    const int percent = value.empty() ? -1 : static_cast<int>(std::floor(std::atof(value.c_str())));
                    if (percent >= 0 && percent <= 100 && percent != last) {
                        last = percent;
                        state->tell([&] {
                            if (state->report)
                                state->report(percent);
                        });
                    }
                    if (!clock.waitUntil(SaturatingAdd(clock.now(), interval), stop)) {
                        wait = false;
                        break;
                    }
                }
                std::lock_guard lock(state->mutex);
                state->connection.reset();
            }
            if (!wait)
                break;
            // No connection, or it broke: try again, less and less often.
            wait = clock.waitUntil(SaturatingAdd(clock.now(), retry), stop);
            retry = std::min(retry * 2, kLongestRetry);
        }
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->ended.notify_all();
    };
    try {
        m_thread = std::thread(std::move(body));
    } catch (const std::system_error&) {
        // No thread, no percentage; the backup itself does not depend on it.
    }
}

ProgressPoller::~ProgressPoller()
{
    m_state->stop.request_stop();
    std::unique_lock lock(m_state->mutex);
    if (m_state->connection)
        m_state->connection->Cancel();
    const bool ended = m_state->ended.wait_for(lock, kJoinBound, [this] { return m_state->finished; });
    m_state->detached = true;
    lock.unlock();
    if (!m_thread.joinable())
        return;
    if (ended)
        m_thread.join();
    else
        m_thread.detach();
}

} // namespace engine
