#pragma once

#include "config/MailSettings.h"

#include <functional>
#include <string>

namespace logging { class Log; }

namespace engine {

// Sends one backup by mail and returns the text for the run's "Email Status"
// cell ("Email Sent" on success, otherwise a text saying what failed).
//
// Threads: called on a backup worker inside the backup lock; blocks until the
// mail server has answered. `messageBox` shows a message and blocks until it
// is dismissed.
class Mailer {
public:
    using MessageBoxFn = std::function<void(const std::string& text)>;

    virtual ~Mailer() = default;
    virtual std::string send(const std::string& attachmentPath, const config::MailSettings& settings,
                             logging::Log& log, const MessageBoxFn& messageBox) = 0;
};

// The real mailer: SMTP through the mail layer.
class SmtpMailer final : public Mailer {
public:
    std::string send(const std::string& attachmentPath, const config::MailSettings& settings,
                     logging::Log& log, const MessageBoxFn& messageBox) override;
};

} // namespace engine
