#include "app/InstanceLock.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace app {

namespace {

constexpr const char* kRaiseRequest = "raise\n";
constexpr const char* kRaiseAnswer = "ok\n";
constexpr int kAnswerWaitMs = 2000;

std::string canonical(const std::string& path)
{
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

sockaddr_un addressFor(const std::string& settingsPath, socklen_t& length)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string name = InstanceLock::nameFor(settingsPath);
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

std::string InstanceLock::nameFor(const std::string& settingsPath)
{
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(canonical(settingsPath))));
    return std::string("corvella/") + hex;
}

InstanceLock::~InstanceLock()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

InstanceLock::Result InstanceLock::acquire(const std::string& settingsPath, pid_t& holder, std::string& error)
{
    holder = 0;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("Cannot create the instance lock: ") + std::strerror(errno);
        return Result::Failed;
    }
    socklen_t length = 0;
    const sockaddr_un address = addressFor(settingsPath, length);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int cause = errno;
        ::close(fd);
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
    if (::listen(fd, 8) != 0) {
        error = std::string("Cannot take the instance lock: ") + std::strerror(errno);
        ::close(fd);
        return Result::Failed;
    }
    m_socket = fd;
    return Result::Acquired;
}

bool InstanceLock::acceptRaiseRequest()
{
    if (m_socket < 0)
        return false;
    const int client = ::accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
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
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    socklen_t length = 0;
    const sockaddr_un address = addressFor(settingsPath, length);
    bool answered = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        holder = peerProcess(fd);
        if (::send(fd, kRaiseRequest, std::strlen(kRaiseRequest), MSG_NOSIGNAL) > 0 && waitReadable(fd, kAnswerWaitMs)) {
            char buffer[8] = {};
            answered = ::recv(fd, buffer, sizeof buffer - 1, 0) > 0 && std::strcmp(buffer, kRaiseAnswer) == 0;
        }
    }
    ::close(fd);
    return answered;
}

} // namespace app
