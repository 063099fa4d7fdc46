#include "mail/BackupMail.h"

#include "log/Log.h"
#include "mail/MailComponent.h"

#include <netdb.h>
#include <sys/socket.h>

#include <string_view>

namespace mail {

namespace {

constexpr const char* kNotSentPrefix = "Email not sent: ";

std::string failureOf(const Sender& sender)
{
    const std::string reason = sender.lastError();
    return kNotSentPrefix + (reason.empty() ? std::string("the mail component refused the settings.") : reason);
}

std::string withoutNotSentPrefix(const std::string& text)
{
    return text.starts_with(kNotSentPrefix) ? text.substr(std::string_view(kNotSentPrefix).size()) : text;
}

// The configuration every message shares. Returns an empty text when every
// step succeeded, otherwise the reason the first failing step gives.
std::string configure(Sender& sender, const config::MailSettings& settings)
{
    Status status = sender.SetSubject(settings.subject);
    if (!IsFailure(status))
        status = sender.SetMailingServerName(settings.mailingServerName);
    if (!IsFailure(status))
        status = sender.SetBody(settings.messageText);
    if (!IsFailure(status))
        status = sender.SetServer(settings.serverAddress, settings.port);
    if (!IsFailure(status)) {
        // Only the exact texts choose a mode.
        if (settings.security == "TLS")
            status = sender.UseTls();
        else if (settings.security == "SSL")
            status = sender.UseSsl();
        else if (settings.security == "SIMPLE")
            status = sender.UseSimple();
    }
    if (!IsFailure(status))
        status = sender.SetUserName(settings.account);
    if (!IsFailure(status))
        status = sender.SetPassword(settings.password);
    if (!IsFailure(status))
        status = sender.AddRecipient(settings.recipient, settings.recipient);
    if (!IsFailure(status))
        status = sender.SetSenderAddress(settings.account);
    if (!IsFailure(status))
        status = sender.SetSenderAccount(settings.account);
    return IsFailure(status) ? failureOf(sender) : std::string();
}

} // namespace

bool MailServerResolves(const std::string& serverAddress)
{
    std::string host = serverAddress;
    const auto first = host.find_first_not_of(" \t");
    const auto last = host.find_last_not_of(" \t");
    if (first == std::string::npos)
        return true;
    host = host.substr(first, last - first + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found)
        ::freeaddrinfo(found);
    return result == 0;
}

MailTransport SystemMailTransport()
{
    return MailTransport{
        &MailServerResolves,
        []() -> std::unique_ptr<Sender> { return MailComponent::create(); },
    };
}

Delivery SendBackupMail(const std::string& attachmentPath, const config::MailSettings& settings,
                        logging::Log& log, const MessageBoxFn& messageBox)
{
    return SendBackupMail(attachmentPath, settings, log, messageBox, SystemMailTransport());
}

Delivery SendBackupMail(const std::string& attachmentPath, const config::MailSettings& settings,
                        logging::Log& log, const MessageBoxFn& messageBox, const MailTransport& transport)
{
    const auto failed = [](std::string text) { return Delivery{false, std::move(text)}; };
    if (!transport.isInternetAvailable(settings.serverAddress)) {
        log.Write(kInternetNotAvailableText);
        return failed(kInternetNotAvailableText);
    }
    std::unique_ptr<Sender> sender = transport.createSender();
    if (!sender) {
        log.Write(kComponentInitFailedText);
        return failed(kComponentInitFailedText);
    }
    if (std::string problem = configure(*sender, settings); !problem.empty())
        return failed(std::move(problem));

    const auto showFailure = [&](const std::string& text) {
        if (messageBox)
            messageBox(text);
        return failed(text);
    };
    if (IsFailure(sender->AddAttachment(attachmentPath)))
        return showFailure(failureOf(*sender));
    log.Write(kSendingStartedText);
    std::optional<std::string> failureText;
    if (IsFailure(sender->SendMail(failureText)))
        return showFailure(failureOf(*sender));
    if (failureText)
        return failed(*failureText);
    return Delivery{true, kEmailSentText};
}

std::string SendTestMail(const config::MailSettings& settings)
{
    return SendTestMail(settings, SystemMailTransport());
}

std::string SendTestMail(const config::MailSettings& settings, const MailTransport& transport)
{
    if (!transport.isInternetAvailable(settings.serverAddress))
        return kInternetNotAvailableText;
    std::unique_ptr<Sender> sender = transport.createSender();
    if (!sender)
        return kComponentInitFailedText;
    if (std::string problem = configure(*sender, settings); !problem.empty())
        return problem;
    std::optional<std::string> failureText;
    if (IsFailure(sender->SendMail(failureText)))
        return failureOf(*sender);
    return failureText ? *failureText : std::string(kTestMailSentText);
}


bool SendPlainMail(const config::MailSettings& settings, const std::string& subject, const std::string& body,
                   std::string& error, std::stop_token stop)
{
    return SendPlainMail(settings, subject, body, error, std::move(stop), SystemMailTransport());
}

bool SendPlainMail(const config::MailSettings& settings, const std::string& subject, const std::string& body,
                   std::string& error, std::stop_token stop, const MailTransport& transport)
{
    if (!transport.isInternetAvailable(settings.serverAddress)) {
        error = kInternetNotAvailableText;
        return false;
    }
    std::unique_ptr<Sender> sender = transport.createSender();
    if (!sender) {
        error = kComponentInitFailedText;
        return false;
    }
    config::MailSettings message = settings;
    message.subject = subject;
    message.messageText = body;
    std::string problem = configure(*sender, message);
    if (problem.empty() && IsFailure(sender->SetStopToken(std::move(stop))))
        problem = failureOf(*sender);
    std::optional<std::string> failureText;
    if (problem.empty() && IsFailure(sender->SendMail(failureText)))
        problem = failureOf(*sender);
    if (problem.empty() && failureText)
        problem = *failureText;
    if (problem.empty())
        return true;
    error = withoutNotSentPrefix(problem);
    return false;
}

} // namespace mail
