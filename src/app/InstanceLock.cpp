#include "app/InstanceLock.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace app {

namespace {

constexpr const char* kRaiseRequest = "raise\n";
constexpr const char* kRaiseAnswer = "ok\n";
constexpr int kAnswerWaitMs = 2000;

// The file's path with every link followed; when it does not exist yet, its
// folder's path so resolved, and its name.
std::string canonical(const std::string& path)
{
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        std::string full = resolved;
        std::free(resolved);
        return full;
    }
    std::string folder = ".";
    std::string name = path;
    if (const auto slash = path.rfind('/'); slash != std::string::npos) {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
    if (char* resolved = ::realpath(folder.c_str(), nullptr)) {
        folder = resolved;
        std::free(resolved);
    }
    return (folder == "/" ? "" : folder) + "/" + name;
}

// 64-bit FNV-1a: the path may be longer than a socket name can be.
std::uint64_t fnv1a(const std::string& text)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

sockaddr_un addressFor(const std::string& name, socklen_t& length)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    // A leading zero byte puts the name in the abstract namespace.
    address.sun_path[0] = '\0';
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

pid_t peerProcess(int socket)
{
    ucred credentials {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0)
        return credentials.pid;
    return 0;
}

bool waitReadable(int socket, int timeoutMs)
{
    pollfd entry {socket, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) > 0 && (entry.revents & POLLIN);
}

} // namespace

std::vector<std::string> InstanceLock::namesFor(const std::string& settingsPath)
{
    char hex[64];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(canonical(settingsPath))));
    std::vector<std::string> names = {std::string("corvella/") + hex};
    struct stat file {};
    if (::stat(settingsPath.c_str(), &file) == 0) {
        std::snprintf(hex, sizeof hex, "%llx-%llx", static_cast<unsigned long long>(file.st_dev),
                      static_cast<unsigned long long>(file.st_ino));
        names.push_back(std::string("corvella/file-") + hex);
    }
    return names;
}

InstanceLock::~InstanceLock()
{
    for (const int socket : m_sockets)
        ::close(socket);
}

InstanceLock::Result InstanceLock::acquire(const std::string& settingsPath, pid_t& holder, std::string& error)
{
    holder = 0;
    std::vector<int> taken;
    const auto release = [&taken] {
        for (const int socket : taken)
            ::close(socket);
    };
    for (const std::string& name : namesFor(settingsPath)) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = std::string("Cannot create the instance lock: ") + std::strerror(errno);
            release();
            return Result::Failed;
        }
        socklen_t length = 0;
        const sockaddr_un address = addressFor(name, length);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            const int cause = errno;
            ::close(fd);
            release();
            if (cause == EADDRINUSE) {
                const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (probe >= 0) {
                    if (::connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0)
                        holder = peerProcess(probe);
                    ::close(probe);
                }
                return Result::HeldByOther;
            }
            error = std::string("Cannot take the instance lock: ") + std::strerror(cause);
            return Result::Failed;
        }
        taken.push_back(fd);
        if (::listen(fd, 8) != 0) {
            error = std::string("Cannot take the instance lock: ") + std::strerror(errno);
            release();
            return Result::Failed;
        }
    }
    m_sockets = std::move(taken);
    return Result::Acquired;
}

bool InstanceLock::acceptRaiseRequest(int socket)
{
    const int client = ::accept4(socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return false;
    char buffer[32] = {};
    bool raise = false;
    if (waitReadable(client, kAnswerWaitMs)) {
        const ssize_t got = ::recv(client, buffer, sizeof buffer - 1, 0);
        raise = got > 0 && std::strcmp(buffer, kRaiseRequest) == 0;
    }
    if (raise)
        (void)::send(client, kRaiseAnswer, std::strlen(kRaiseAnswer), MSG_NOSIGNAL);
    ::close(client);
    return raise;
}

bool InstanceLock::askHolderToRaise(const std::string& settingsPath, pid_t& holder)
{
    holder = 0;
    for (const std::string& name : namesFor(settingsPath)) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        socklen_t length = 0;
        const sockaddr_un address = addressFor(name, length);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            ::close(fd);
            continue;
        }
        holder = peerProcess(fd);
        bool answered = false;
        if (::send(fd, kRaiseRequest, std::strlen(kRaiseRequest), MSG_NOSIGNAL) > 0 && waitReadable(fd, kAnswerWaitMs)) {
            char buffer[8] = {};
            answered = ::recv(fd, buffer, sizeof buffer - 1, 0) > 0 && std::strcmp(buffer, kRaiseAnswer) == 0;
        }
        ::close(fd);
        return answered;
    }
    return false;
}

} // namespace app
