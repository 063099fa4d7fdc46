#include "app/DesktopMain.h"
#include "app/Headless.h"

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const app::CommandLine commandLine = app::ParseCommandLine(args);
    if (commandLine.mode == app::CommandLine::Mode::Desktop)
        return RunDesktop(argc, argv);
    return app::RunHeadless(commandLine);
}
