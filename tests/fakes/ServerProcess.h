#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fakes {

// A test server run as a child process. It says it is ready with a first
// line on its standard output, "LISTENING <what it listens on>"; its
// standard output stays open until it is stopped, so that later lines do
// not end it. It gets SIGTERM when the test process dies.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { stop(); }

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Runs `args` (a program name without a slash is looked up in PATH),
    // its standard error going to `errorsFile` when one is named, and waits
    // up to `wait` for the first line. False, with error(), when the server
    // could not start or did not say it listens; it is stopped then, and
    // error() ends with what it wrote to `errorsFile`.
    bool start(std::vector<std::string> args, const std::string& errorsFile, std::chrono::seconds wait);

    // What followed "LISTENING " on the first line.
    const std::string& listening() const { return m_listening; }
    const std::string& error() const { return m_error; }
    pid_t pid() const { return m_pid; }

    // SIGSTOP, returning once every thread of the server has stopped, so
    // that nothing it was about to send gets out; thaw() resumes it.
    bool freeze();
    void thaw();

    // SIGTERM (a frozen server is resumed to receive it), SIGKILL after
    // `grace`; the process is reaped.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    bool fail(std::string reason, const std::string& errorsFile);

    pid_t m_pid = -1;
    int m_stdout = -1;
    std::string m_listening;
    std::string m_error;
};

} // namespace fakes
