#include "app/Commands.h"
#include "app/DesktopMain.h"
#include "app/StartUp.h"

#include <string>
#include <vector>

// corvella: the desktop window, or with a command the program without one.
int main(int argc, char** argv)
{
    app::PrepareProcess();
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const app::CommandLine commandLine = app::ParseCommandLine(args, true);
    if (commandLine.mode == app::CommandLine::Mode::Desktop)
        return RunDesktop(argc, argv, commandLine);
    return app::RunHeadless(commandLine, true);
}
