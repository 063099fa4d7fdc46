#pragma once

#include <string>
#include <sys/types.h>

namespace app {

// One running copy per settings file. The copy that holds the lock listens
// on an abstract local socket named after the settings file's canonical path
// (the same file reached by the same path, whichever user runs it); the
// kernel releases it when the process ends, however it ends, and nothing is
// written to the file system (the system service may only read its settings
// folder). A second copy cannot take the name: a desktop copy asks the holder
// to raise its window, a headless one exits. Copies on different settings
// files run side by side.
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

    // The listening socket while the lock is held (-1 otherwise). Each
    // connection carries one request line; see acceptRaiseRequest().
    int listeningSocket() const { return m_socket; }

    // Accepts one connection on the listening socket; true when it asked to
    // raise the window. The answer "ok" is sent back before it is closed.
    bool acceptRaiseRequest();

    // Asks the copy holding `settingsPath` to raise its window; true once it
    // answered (within about two seconds). A headless holder never answers.
    static bool askHolderToRaise(const std::string& settingsPath, pid_t& holder);

    // The socket name for a settings file: its canonical path (the folder
    // resolved, the file itself need not exist yet), hashed.
    static std::string nameFor(const std::string& settingsPath);

private:
    int m_socket = -1;
};

} // namespace app
