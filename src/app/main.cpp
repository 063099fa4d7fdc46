#include "app/DesktopMain.h"
#include "app/Headless.h"
#include "db/DriverSettings.h"
#include "offsite/Credentials.h"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // First, while no other thread exists: it sets FREETDSCONF. A failure
    // is reported by each connection that requires encryption.
    db::PrepareDriverSettings();
    // Also before any thread: the storage credentials leave the environment,
    // so that no program started from here inherits them.
    offsite::CaptureEnvironmentCredentials();
    // A file size limit (ulimit -f, LimitFSIZE=) makes a write fail like a
    // full disk instead of killing the program mid-backup; a peer that closes
    // its socket is an error of that call, not the end of the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const app::CommandLine commandLine = app::ParseCommandLine(args);
    if (commandLine.mode == app::CommandLine::Mode::Desktop)
        return RunDesktop(argc, argv, commandLine);
    return app::RunHeadless(commandLine);
}
