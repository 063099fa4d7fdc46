#pragma once

#include <string>
#include <vector>
#include <sys/types.h>

namespace app {

// One running copy per settings file, whatever name it is reached by. The
// copy that holds the lock listens on two abstract local sockets: one named
// after the file's canonical path (links followed, so a symbolic link or
// another path to it is the same file, also once a save has replaced it),
// one after the file itself, its device and inode (so a hard link is the
// same file). The kernel releases both when the process ends, however it
// ends, and nothing is written to the file system (the system service may
// only read its settings folder). A second copy cannot take either name: a
// desktop copy asks the holder to raise its window, a headless one exits.
// Copies on different settings files run side by side.
//
// Threads: any; acquire() and askHolderToRaise() block at most a few seconds.
class InstanceLock {
public:
    enum class Result { Acquired, HeldByOther, Failed };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock for `settingsPath`. On HeldByOther, `holder` is the
    // other copy's process id when it can be known (else 0); on Failed,
    // `error` says why.
    Result acquire(const std::string& settingsPath, pid_t& holder, std::string& error);

    // The listening sockets while the lock is held (none otherwise). Each
    // connection carries one request line; see acceptRaiseRequest().
    const std::vector<int>& listeningSockets() const { return m_sockets; }

    // Accepts one connection on `socket`, one of listeningSockets(); true
    // when it asked to raise the window. The answer "ok" is sent back before
    // it is closed.
    bool acceptRaiseRequest(int socket);

    // Asks the copy holding `settingsPath` to raise its window; true once it
    // answered (within about two seconds). A headless holder never answers.
    static bool askHolderToRaise(const std::string& settingsPath, pid_t& holder);

    // The socket names for a settings file: its canonical path (links
    // followed; the file itself need not exist yet), hashed, and, when the
    // file exists, its device and inode.
    static std::vector<std::string> namesFor(const std::string& settingsPath);

private:
    std::vector<int> m_sockets;
};

} // namespace app
