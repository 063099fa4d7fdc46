#include "engine/Mailer.h"

#include "mail/BackupMail.h"

namespace engine {

mail::Delivery SmtpMailer::send(const std::string& attachmentPath, const config::MailSettings& settings,
                                logging::Log& log, const MessageBoxFn& messageBox)
{
    return mail::SendBackupMail(attachmentPath, settings, log, messageBox);
}

bool SmtpMailer::sendAlert(const config::MailSettings& settings, const std::string& subject, const std::string& body,
                           std::string& error, std::stop_token stop)
{
    return mail::SendPlainMail(settings, subject, body, error, std::move(stop));
}

} // namespace engine
