#include "fakes/ServerProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fakes {

namespace {

constexpr const char* kListening = "LISTENING ";

std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

bool ServerProcess::start(std::vector<std::string> args, const std::string& errorsFile, std::chrono::seconds wait)
{
    stop();
    m_error.clear();
    m_listening.clear();
    if (args.empty())
        return fail("no program to run", {});
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return fail(std::string("pipe: ") + std::strerror(errno), {});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return fail(std::string("fork: ") + std::strerror(errno), {});
    }
    if (pid == 0) {
        // The server must not outlive a test process that dies.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(fds[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        if (!errorsFile.empty()) {
            const int errors = ::open(errorsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (errors >= 0)
                ::dup2(errors, STDERR_FILENO);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    m_pid = pid;
    m_stdout = fds[0];

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (line.find('\n') == std::string::npos) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return fail("it did not say it listens within " + std::to_string(wait.count()) + " s", errorsFile);
        pollfd ready{m_stdout, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[512];
        const ssize_t got = ::read(m_stdout, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return fail("it ended before it listened", errorsFile);
        line.append(buffer, static_cast<std::size_t>(got));
    }
    line.erase(line.find('\n'));
    if (line.rfind(kListening, 0) != 0)
        return fail("its first line was '" + line + "'", errorsFile);
    m_listening = line.substr(std::strlen(kListening));
    return true;
}

bool ServerProcess::fail(std::string reason, const std::string& errorsFile)
{
    // A server explains a refused start (a bad option, a key it cannot
    // read) on its standard error.
    if (!errorsFile.empty()) {
        const std::string said = ReadWhole(errorsFile);
        if (const auto end = said.find_last_not_of('\n'); end != std::string::npos)
            reason += ": " + said.substr(0, end + 1);
    }
    stop();
    m_error = std::move(reason);
    return false;
}

bool ServerProcess::freeze()
{
    if (m_pid <= 0 || ::kill(m_pid, SIGSTOP) != 0)
        return false;
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(m_pid, &status, WUNTRACED)) < 0 && errno == EINTR) {
    }
    return got == m_pid && WIFSTOPPED(status);
}

void ServerProcess::thaw()
{
    if (m_pid > 0)
        ::kill(m_pid, SIGCONT);
}

void ServerProcess::stop(std::chrono::milliseconds grace)
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::kill(m_pid, SIGCONT);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(m_pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done == 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
    if (m_stdout >= 0) {
        ::close(m_stdout);
        m_stdout = -1;
    }
}

} // namespace fakes
