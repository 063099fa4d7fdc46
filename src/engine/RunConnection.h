#pragma once

#include <memory>
#include <mutex>
#include <stop_token>

namespace db { class Connection; }

namespace engine {

// The database connection of a run, which the thread that stops the run
// reaches too: a stop cancels the command under way, and the run closes the
// connection as it ends, so that no more than one is open however many runs
// follow each other. Threads: any.
class RunConnection {
public:
    RunConnection() = default;
    RunConnection(const RunConnection&) = delete;
    RunConnection& operator=(const RunConnection&) = delete;

    // Takes `connection`, and cancels it at once when `stop` came first.
    void hold(std::shared_ptr<db::Connection> connection, const std::stop_token& stop);
    // Cancels the command under way, if any (from a stop callback).
    void cancel();
    // The connection held, or null; the run's own thread uses it.
    std::shared_ptr<db::Connection> get() const;
    // Lets go without closing: the connection stays with a hung command's
    // thread until the driver lets go of it.
    void abandon();
    // Closes the connection, if any, and lets go of it.
    void close();

private:
    mutable std::mutex m_mutex; // guards m_connection
    std::shared_ptr<db::Connection> m_connection;
};

} // namespace engine
