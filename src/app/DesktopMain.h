#pragma once

// Runs the desktop program: the application object, the main window, the
// event loop. Called on the main thread; returns when the window has closed,
// with the process's exit code. When backups are still running at that
// point (a server can take hours over one backup command) the process ends
// at once instead, since those runs cannot be interrupted and nothing waits
// for them.
int RunDesktop(int argc, char** argv);
