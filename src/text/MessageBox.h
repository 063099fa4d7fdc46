#pragma once

#include <functional>
#include <string>

namespace text {

// Shows a message to the operator: the message box of the desktop, a line on
// stderr without one. An empty caption stands for the program's name.
// Whether it waits until the message is dismissed is the caller's choice of
// function; a run never waits for one.
using MessageBoxFn = std::function<void(const std::string& text, const std::string& caption)>;

} // namespace text
