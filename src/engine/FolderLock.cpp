#include "engine/FolderLock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace engine {

namespace {

// The process that holds a flock on the file `status` describes, as the
// kernel lists it in /proc/locks ("1: FLOCK  ADVISORY  WRITE 4711
// 08:02:1234 0 EOF"; lines with "->" are waiters); 0 when it is not found.
// Some file systems (overlay) give stat a device other than the one listed:
// then the inode alone decides.
pid_t flockHolder(const struct stat& status)
{
    std::ifstream locks("/proc/locks");
    pid_t byInode = 0;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, kind, advisory, mode, file;
        long long pid = 0;
        if (!(fields >> id >> kind) || kind != "FLOCK" || !(fields >> advisory >> mode >> pid >> file) || pid <= 0)
            continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3 || inode != status.st_ino)
            continue;
        if (major == major(status.st_dev) && minor == minor(status.st_dev))
            return static_cast<pid_t>(pid);
        byInode = static_cast<pid_t>(pid);
    }
    return byInode;
}

} // namespace

FolderLock::~FolderLock()
{
    release();
}

void FolderLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

FolderLock::Result FolderLock::acquire(const std::string& folder, pid_t& holder, std::string& error)
{
    release();
    holder = 0;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = "Cannot open folder '" + folder + "': " + std::strerror(errno);
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int cause = errno;
        if (cause == EWOULDBLOCK) {
            struct stat status {};
            if (::fstat(fd, &status) == 0)
                holder = flockHolder(status);
            ::close(fd);
            return Result::HeldByOther;
        }
        ::close(fd);
        error = "Cannot lock folder '" + folder + "': " + std::strerror(cause);
        return Result::Failed;
    }
    m_fd = fd;
    return Result::Acquired;
}

} // namespace engine
