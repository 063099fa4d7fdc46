#pragma once

#include "config/MailSettings.h"
#include "mail/BackupMail.h"

#include <functional>
#include <stop_token>
#include <string>

namespace logging { class Log; }

namespace engine {

// The mail transport of the engine: backups by mail, and plain notices such
// as failure alerts.
//
// Threads: any; calls block until the mail server has answered. Instances
// may serve several threads at once.
class Mailer {
public:
    using MessageBoxFn = std::function<void(const std::string& text)>;

    virtual ~Mailer() = default;
    // Sends one backup and says whether it went out, with the text for the
    // run's "Email Status" cell ("Email Sent" on success, otherwise a text
    // saying what failed). Called on a backup worker inside the backup lock.
    // `messageBox` shows a message and blocks until it is dismissed.
    virtual mail::Delivery send(const std::string& attachmentPath, const config::MailSettings& settings,
                                logging::Log& log, const MessageBoxFn& messageBox) = 0;
    // Sends a plain message without attachment to the configured recipient
    // through the configured server. True once the server took it, otherwise
    // false with the reason in `error`. Logs nothing and shows nothing; a
    // stop requested through `stop` ends the attempt soon.
    virtual bool sendAlert(const config::MailSettings& settings, const std::string& subject,
                           const std::string& body, std::string& error, std::stop_token stop) = 0;
};

// The real mailer: SMTP through the mail layer.
class SmtpMailer final : public Mailer {
public:
    mail::Delivery send(const std::string& attachmentPath, const config::MailSettings& settings,
                        logging::Log& log, const MessageBoxFn& messageBox) override;
    bool sendAlert(const config::MailSettings& settings, const std::string& subject, const std::string& body,
                   std::string& error, std::stop_token stop) override;
};

} // namespace engine
