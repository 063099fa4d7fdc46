#include "app/DesktopMain.h"
#include "app/Headless.h"
#include "db/DriverSettings.h"
#include "engine/ProcessSignals.h"
#include "offsite/Credentials.h"

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // Before anything is written: under a file size limit even the driver
    // settings below are a write that must fail instead of killing the program.
    engine::IgnoreWriteSignals();
    // While no other thread exists: it sets FREETDSCONF. A failure is
    // reported by each connection that requires encryption.
    db::PrepareDriverSettings();
    // Also before any thread: the storage credentials leave the environment,
    // so that no program started from here inherits them.
    offsite::CaptureEnvironmentCredentials();
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const app::CommandLine commandLine = app::ParseCommandLine(args);
    if (commandLine.mode == app::CommandLine::Mode::Desktop)
        return RunDesktop(argc, argv, commandLine);
    return app::RunHeadless(commandLine);
}
