#pragma once

namespace app { struct CommandLine; }

// Runs the desktop program: the application object, the backup session, the
// main window, the event loop. Called on the main thread; returns when the
// window has closed, with the process's exit code. When a backup is still
// running at that point and cannot be stopped (a server that does not answer
// the cancel), the process ends at once instead, since nothing may wait for
// it. A second copy on the same settings file asks the first to raise its
// window and exits.
int RunDesktop(int argc, char** argv, const app::CommandLine& commandLine);
