#pragma once

#include <string>
#include <sys/types.h>

namespace engine {

// The lock a backup run holds on its database's folder for its whole length,
// so that one folder is backed up by one run at a time whatever settings
// file each copy of the program reads. It is an advisory lock (flock) on an
// open descriptor of the folder itself: it keeps out every other holder, in
// this process or another; the kernel drops it when the process ends,
// however it ends; and nothing is written into the folder.
//
// Not copyable; the destructor releases the lock. Calls do not block.
class FolderLock {
public:
    enum class Result { Acquired, HeldByOther, Failed };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock on the existing folder `folder`. On HeldByOther,
    // `holder` is the holding process when the system tells it (else 0); on
    // Failed (the folder cannot be opened, or its file system has no locks),
    // `error` says why.
    Result acquire(const std::string& folder, pid_t& holder, std::string& error);
    void release();
    bool isHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace engine
