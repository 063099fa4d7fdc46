#pragma once

#include "config/MailSettings.h"
#include "mail/Sender.h"

#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace logging { class Log; }

namespace mail {

// Sending a backup by mail, the settings dialog's test message and plain
// notices such as failure alerts.
//
// All run on the calling thread and block it until the server has answered
// (or the transport has given up). They read only the settings copy they are
// given, create one Sender each, and never throw. The password is never
// written to the log.

inline constexpr const char* kInternetNotAvailableText = "Internet not available.";
inline constexpr const char* kComponentInitFailedText = "Email Component Object initialization failed.";
inline constexpr const char* kSendingStartedText = "Sending Email started.";
inline constexpr const char* kEmailSentText = "Email Sent";
inline constexpr const char* kTestMailSentText =
    "Email has been sent. Please check your email to verify your settings.";

// Shows a message box (text) owned by the main window and returns once it is
// dismissed; the caption is the application's name.
using MessageBoxFn = std::function<void(const std::string& text)>;

// What became of one backup mail: whether the server took it, and the text
// for the run's "Email Status" cell and its log line ("Email Sent" when it
// was sent, otherwise a text saying what failed).
struct Delivery {
    bool sent = false;
    std::string text;
};

// What a mail attempt needs from the outside world.
struct MailTransport {
    // Whether the mail server can be reached at all; given the server address.
    std::function<bool(const std::string& serverAddress)> isInternetAvailable;
    // A fresh sender for one message; null when none can be set up.
    std::function<std::unique_ptr<Sender>()> createSender;
};

// The real transport: name resolution and MailComponent.
MailTransport SystemMailTransport();

// True when the server's name resolves to an address (a numeric or loopback
// address always does). An empty address counts as reachable, so that the
// sender itself reports the missing server.
bool MailServerResolves(const std::string& serverAddress);

// Sends one message with `attachmentPath` attached, configured from
// `settings` (a consistent copy taken by the caller), and says whether it
// went out, with the text for the run's "Email Status" cell: "Email Sent",
// "Internet not available.", "Email Component Object initialization failed."
// or the transport's own failure text. Writes its log lines to `log`. Blocks
// the calling thread until the server has answered.
Delivery SendBackupMail(const std::string& attachmentPath, const config::MailSettings& settings,
                        logging::Log& log, const MessageBoxFn& messageBox);
Delivery SendBackupMail(const std::string& attachmentPath, const config::MailSettings& settings,
                        logging::Log& log, const MessageBoxFn& messageBox, const MailTransport& transport);

// Sends the settings dialog's test message: the same configuration, no
// attachment, nothing logged. Returns the text the dialog shows: "Internet
// not available.", "Email Component Object initialization failed.", the
// transport's failure text, or "Email has been sent. Please check your email
// to verify your settings.".
std::string SendTestMail(const config::MailSettings& settings);
std::string SendTestMail(const config::MailSettings& settings, const MailTransport& transport);

// Sends a plain message without attachment to the configured recipient
// through the configured server, with `subject` and `body` in place of the
// configured subject and message text. True once the server took it;
// otherwise false with the reason in `error` ("Internet not available.", the
// transport's failure text without its "Email not sent: "). Nothing is
// logged. A stop requested through `stop` ends the attempt within about a
// second.
bool SendPlainMail(const config::MailSettings& settings, const std::string& subject, const std::string& body,
                   std::string& error, std::stop_token stop = {});
bool SendPlainMail(const config::MailSettings& settings, const std::string& subject, const std::string& body,
                   std::string& error, std::stop_token stop, const MailTransport& transport);

} // namespace mail
