#include "app/StartUp.h"

#include "db/DriverSettings.h"
#include "engine/ProcessSignals.h"
#include "log/Log.h"
#include "offsite/Credentials.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace app {

void PrepareProcess()
{
    engine::IgnoreWriteSignals();
    db::PrepareDriverSettings();
    offsite::CaptureEnvironmentCredentials();
}

StartUp Start(const std::string& configOption, const std::string& logOption, const std::string& historyOption,
              InstanceLock* lock)
{
    StartUp start;
    start.location = config::ResolveSettingsLocation(config::ProcessLocationInputs(configOption, logOption, historyOption));
    if (!config::PrepareUserFolders(start.location, start.error))
        return start;
    if (lock) {
        // One copy per settings file: the lock is taken before the log is opened.
        switch (lock->acquire(start.location.settingsPath, start.holder, start.error)) {
        case InstanceLock::Result::Acquired:
            break;
        case InstanceLock::Result::HeldByOther:
            start.result = StartUp::Result::InUse;
            return start;
        case InstanceLock::Result::Failed:
            return start;
        }
    }
    start.result = StartUp::Result::Ready;
    return start;
}

std::string InUseText(const std::string& settingsPath, pid_t holder)
{
    return "the settings file '" + settingsPath + "' is in use by another copy of Corvella"
        + (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string());
}

void EndProcessIfRunHangs(bool ended, logging::Log& log, const std::string& logLine, int exitCode,
                          const std::string& errorLine)
{
    if (ended)
        return;
    log.Write(logLine);
    if (!errorLine.empty())
        std::cerr << errorLine << '\n';
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

} // namespace app
