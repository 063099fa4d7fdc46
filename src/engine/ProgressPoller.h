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
// Threads: the constructor starts one thread and returns at once; `report`
// and `refused` are called on that thread and must be thread-safe. The
// connection is opened only when the backup is still running after `delay`,
// so short backups cost no login. A connection that fails or breaks (a
// server that does not answer, a cut network) is opened anew after the
// interval, at most every 30 s; a server that refuses the query (no right to
// read its state) is told to `refused` once, with its reason, and asked no
// more. The destructor stops the thread, cancels a query under way and
// waits up to two seconds for it; a thread still blocked in the driver then
// (a login to a server that does not answer) is left to end on its own and
// reports nothing more. The connector and the clock must outlive it.
class ProgressPoller {
public:
    using ReportFn = std::function<void(int percent)>;
    using RefusedFn = std::function<void(const std::string& reason)>;

    ProgressPoller(db::Connector& connector, std::string connectionString, int sessionId, ReportFn report,
                   Clock& clock, std::chrono::milliseconds interval, std::chrono::milliseconds delay,
                   RefusedFn refused = {});
    ~ProgressPoller();

    ProgressPoller(const ProgressPoller&) = delete;
    ProgressPoller& operator=(const ProgressPoller&) = delete;

    // The query that reads a session's progress.
    static std::string ProgressQuery(int sessionId);

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace engine
