#pragma once

// Starting the program itself as a child process, for the suites that test it
// from outside: stdout and stderr go to files, and the child can be given
// another OS account, a umask and resource limits.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace integration {

// An OS account the program runs under.
struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// What the child gets besides its arguments.
struct Launch {
    std::string program;      // empty: corvella-cli, the program of the service and of scripts
    std::string outputName;   // stdout and stderr go to <name>.out and <name>.err; empty: out.txt, err.txt
    std::optional<Account> account;
    mode_t umask = 022;
    rlim_t maxOpenFiles = 0;  // 0: unchanged
    rlim_t maxProcesses = 0;  // 0: unchanged
    rlim_t maxFileSize = 0;   // 0: unchanged
    rlim_t maxAddressSpace = 0; // bytes (ulimit -v is in KiB); 0: unchanged
};

// The whole content of a file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The account `name`, made on first use as a system account without a home.
inline std::optional<Account> SystemAccount(const std::string& name, const std::string& extraGroup = {})
{
    if (!getpwnam(name.c_str())) {
        const std::string command = "useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "
            + std::string(extraGroup.empty() ? "" : "--groups " + extraGroup + " ") + name + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0 && !getpwnam(name.c_str()))
            return std::nullopt;
    }
    const passwd* entry = getpwnam(name.c_str());
    if (!entry)
        return std::nullopt;
    if (!extraGroup.empty())
        (void)std::system(("usermod -aG " + extraGroup + " " + name + " >/dev/null 2>&1").c_str());
    Account account{entry->pw_uid, entry->pw_gid, {}};
    int count = 64;
    account.groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(name.c_str(), entry->pw_gid, account.groups.data(), &count) < 0)
        return std::nullopt;
    account.groups.resize(static_cast<std::size_t>(count));
    return account;
}

// Only where the program itself is built.
#ifdef CORVELLA_CLI_BINARY

// Starts the program in `folder`. Everything the child does between fork
// and exec is async-signal-safe: the arguments, the environment and the
// account's groups are made ready before.
inline pid_t StartProgram(const std::string& folder, const std::vector<std::string>& args, const Launch& launch = {})
{
    std::vector<std::string> all = {launch.program.empty() ? std::string(CORVELLA_CLI_BINARY) : launch.program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = {"QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("QT_QPA_PLATFORM=", 0) != 0)
            environment.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string out = folder + "/" + (launch.outputName.empty() ? "out.txt" : launch.outputName + ".out");
    const std::string err = folder + "/" + (launch.outputName.empty() ? "err.txt" : launch.outputName + ".err");

    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int inFd = ::open("/dev/null", O_RDONLY);
    if (outFd < 0 || errFd < 0 || inFd < 0)
        _exit(120);
    dup2(inFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    if (launch.account) {
        if (::fchown(outFd, launch.account->uid, launch.account->gid) != 0
            || ::fchown(errFd, launch.account->uid, launch.account->gid) != 0)
            _exit(121);
        if (setgroups(launch.account->groups.size(), launch.account->groups.data()) != 0
            || setgid(launch.account->gid) != 0 || setuid(launch.account->uid) != 0)
            _exit(122);
    }
    ::umask(launch.umask);
    const auto limit = [](int resource, rlim_t value) {
        if (value == 0)
            return;
        const rlimit l{value, value};
        if (setrlimit(resource, &l) != 0)
            _exit(123);
    };
    limit(RLIMIT_NOFILE, launch.maxOpenFiles);
    limit(RLIMIT_NPROC, launch.maxProcesses);
    limit(RLIMIT_FSIZE, launch.maxFileSize);
    limit(RLIMIT_AS, launch.maxAddressSpace);
    if (chdir(folder.c_str()) != 0)
        _exit(124);
    execve(argv[0], argv.data(), envp.data());
    _exit(125);
}

// The exit code, or 128 + the signal that ended it; -1 when it is still
// running after `bound` (it is then killed).
inline int WaitForExit(pid_t pid, std::chrono::milliseconds bound = std::chrono::minutes(2))
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif // CORVELLA_CLI_BINARY

} // namespace integration
