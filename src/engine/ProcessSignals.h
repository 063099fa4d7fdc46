#pragma once

namespace engine {

// Turns the signals that would end the program on a failed write into errors
// of that write: SIGXFSZ (a file size limit, `ulimit -f` or a unit's
// LimitFSIZE=) makes the write fail with EFBIG, as a full disk would, and
// SIGPIPE (a peer that closed its socket) with EPIPE. Every executable calls
// it first in main, before anything is written and before any thread starts,
// so that the disposition is inherited by every thread.
void IgnoreWriteSignals();

} // namespace engine
