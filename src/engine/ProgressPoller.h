#pragma once

#include "engine/Clock.h"

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

namespace db { class Connector; }

namespace engine {

// Follows one backup the server is writing: on a connection of its own it
// asks the server for the backup's percent_complete (sys.dm_exec_requests,
// for the session that runs the backup) and reports each new whole
// percentage. The backup's own command is left exactly as it is.
//
// Threads: the constructor starts one thread and returns at once; the
// destructor stops it, closes its connection and joins it (promptly: waits
// end on the stop, a query under way is cancelled). `report` is called on
// that thread and must be thread-safe. The connection is opened only when
// the backup is still running after `delay`, so short backups cost no login.
// Anything that fails (the thread, the login, a server that refuses the
// query) just means no percentage; nothing is reported as an error.
class ProgressPoller {
public:
    using ReportFn = std::function<void(int percent)>;

    ProgressPoller(db::Connector& connector, std::string connectionString, int sessionId, ReportFn report,
                   Clock& clock, std::chrono::milliseconds interval, std::chrono::milliseconds delay);
    ~ProgressPoller();

    ProgressPoller(const ProgressPoller&) = delete;
    ProgressPoller& operator=(const ProgressPoller&) = delete;

    // The query that reads a session's progress.
    static std::string ProgressQuery(int sessionId);

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::stop_source m_stop;
    std::thread m_thread;
};

} // namespace engine
