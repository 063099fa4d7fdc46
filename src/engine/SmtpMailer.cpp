#include "engine/Mailer.h"

#include "mail/BackupMail.h"

namespace engine {

std::string SmtpMailer::send(const std::string& attachmentPath, const config::MailSettings& settings,
                             logging::Log& log, const MessageBoxFn& messageBox)
{
    return mail::SendBackupMail(attachmentPath, settings, log, messageBox);
}

} // namespace engine
