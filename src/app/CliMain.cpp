#include "app/Commands.h"
#include "app/StartUp.h"

#include <string>
#include <vector>

// corvella-cli: the commands without a window, linked to the core alone.
int main(int argc, char** argv)
{
    app::PrepareProcess();
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return app::RunHeadless(app::ParseCommandLine(args, false), false);
}
