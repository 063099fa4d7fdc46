#pragma once

#include "app/InstanceLock.h"
#include "config/SettingsLocation.h"

#include <string>
#include <sys/types.h>

namespace logging { class Log; }

// The start-up both executables share, the desktop program and the one
// without a window.
namespace app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRunFailed = 1;
inline constexpr int kExitBadConfiguration = 2;

// The very first call of every executable, while no other thread exists. A
// file size limit (ulimit -f, LimitFSIZE=) makes a write fail like a full
// disk instead of killing the program mid-backup; a peer that closes its
// socket is an error of that call, not the end of the program. Then the
// database driver's settings are prepared (FREETDSCONF; a failure is
// reported by each connection that requires encryption), and the storage
// credentials leave the environment, so that no program started from here
// inherits them.
void PrepareProcess();

// Where the settings file, the log and the run history are (from --config,
// --log, --history and the environment), their folders made when they are the user's, and, with a
// lock to take, this copy the only one on the settings file.
struct StartUp {
    enum class Result {
        Ready,
        InUse,  // another copy holds the settings file; `holder` is its process id when known (else 0)
        Failed, // `error` says why
    };
    Result result = Result::Failed;
    config::SettingsLocation location;
    pid_t holder = 0;
    std::string error;
};
StartUp Start(const std::string& configOption, const std::string& logOption, const std::string& historyOption,
              InstanceLock* lock);

// "the settings file '<path>' is in use by another copy of Corvella (process N)".
std::string InUseText(const std::string& settingsPath, pid_t holder);

// A shutdown that gave up (`ended` false) leaves a run blocked in its server,
// and nothing that run uses may be destroyed: writes `logLine` to the log
// (and `errorLine`, when given, to stderr) and ends the process at once with
// `exitCode`. Returns when `ended`.
void EndProcessIfRunHangs(bool ended, logging::Log& log, const std::string& logLine, int exitCode,
                          const std::string& errorLine = {});

} // namespace app
