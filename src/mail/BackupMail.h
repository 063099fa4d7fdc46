#pragma once

#include "config/MailSettings.h"

#include <functional>
#include <string>

namespace logging { class Log; }

namespace mail {

// Shows a message box (text) owned by the main window and returns once it is
// dismissed; the caption is the application's name.
using MessageBoxFn = std::function<void(const std::string& text)>;

// Sends one message with `attachmentPath` attached, configured from
// `settings` (a consistent copy taken by the caller), and returns the status
// text for the run's "Email Status" cell: "Email Sent", "Internet not
// available.", "Email Component Object initialization failed." or the
// transport's own failure text. Writes its log lines to `log`. Blocks the
// calling thread until the server has answered.
std::string SendBackupMail(const std::string& attachmentPath, const config::MailSettings& settings,
                           logging::Log& log, const MessageBoxFn& messageBox);

} // namespace mail
