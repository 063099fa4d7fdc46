#include "log/Log.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace logging {

namespace {

constexpr const char* kTimeFormat = "%m/%d/%y %H:%M:%S  ";
constexpr const char* kLineEnd = "\r\n";

std::string formatLine(const Log::ClockFn& clock, std::string_view message)
{
    std::time_t now = clock ? clock() : std::time(nullptr);
    std::tm local {};
    char stamp[64];
    std::size_t stampLength = 0;
    if (::localtime_r(&now, &local))
        stampLength = std::strftime(stamp, sizeof stamp, kTimeFormat, &local);

    std::string line;
    line.reserve(stampLength + message.size() + 2);
    line.append(stamp, stampLength);
    line.append(message);
    line.append(kLineEnd);
    return line;
}

// One write call for the whole line; only a short write (a signal, a nearly
// full disk) continues with the rest, still under the caller's lock.
void writeLine(int fd, const std::string& line)
{
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // disk full or device error: the line is lost, nothing else
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

} // namespace

Log::Log(std::string fileName, text::MessageBoxFn onOpenFailure, ClockFn clock)
    : m_fileName(std::move(fileName)), m_clock(std::move(clock))
{
    // O_APPEND keeps every write at the end of the file, so the position is
    // never moved by hand. The exclusive lock keeps a second writer process
    // out while readers stay free to open the file.
    int fd = ::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        std::fprintf(stderr, "File could not be opened %d\n", error);
        std::fflush(stderr);
        if (onOpenFailure)
            onOpenFailure(kOpenFailedText, kOpenFailedCaption);
        return;
    }
    m_fd = fd;
}

Log::~Log()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void Log::Write(std::string_view message)
{
    if (m_fd < 0 || message.empty())
        return;
    try {
        const std::string line = formatLine(m_clock, message);
        std::lock_guard lock(m_writeMutex);
        writeLine(m_fd, line);
    } catch (...) {
        // Out of memory or a failing clock: the line is lost, the caller goes on.
    }
}

} // namespace logging
