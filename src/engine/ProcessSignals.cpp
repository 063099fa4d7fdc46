#include "engine/ProcessSignals.h"

#include <csignal>

namespace engine {

void IgnoreWriteSignals()
{
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace engine
