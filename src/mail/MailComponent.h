#pragma once

#include "mail/Sender.h"

#include <memory>
#include <string>
#include <vector>

typedef void CURL;

namespace mail {

// The mail component: sends one message over SMTP through libcurl.
//
// Security modes: UseSimple() is plain SMTP; UseSsl() is TLS from the first
// byte (smtps); UseTls() is STARTTLS, and the message is not sent when the
// server cannot upgrade. With no mode set, STARTTLS is used when the server
// offers it. Certificates and host names are verified against the system's
// trust store; SSL_CERT_FILE (and SSL_CERT_DIR) in the environment replace
// it. A login happens only when a user name is set, and only when the
// server offers one.
//
// The message is multipart MIME: the subject and the sender's display name
// as UTF-8 encoded words, the body as text/plain UTF-8 (quoted-printable),
// each attachment as application/octet-stream (base64) under its file name.
// Attachments are read from their files and encoded while the message is
// sent, never held in memory whole.
//
// Threads and blocking: see Sender. Waiting for the server is bounded: a
// connection attempt gives up after 60 s, and a server that neither takes
// data nor answers for 10 minutes ends the attempt; a requested stop (see
// SetStopToken) ends it within about a second.
class MailComponent final : public Sender {
public:
    // Returns null when libcurl cannot give a transfer handle.
    static std::unique_ptr<MailComponent> create();
    ~MailComponent() override;

    MailComponent(const MailComponent&) = delete;
    MailComponent& operator=(const MailComponent&) = delete;

    Status SetSubject(const std::string& subject) override;
    Status SetMailingServerName(const std::string& name) override;
    Status SetBody(const std::string& text) override;
    Status SetServer(const std::string& address, std::uint32_t port) override;
    Status UseTls() override;
    Status UseSsl() override;
    Status UseSimple() override;
    Status SetUserName(const std::string& userName) override;
    Status SetPassword(const std::string& password) override;
    Status AddRecipient(const std::string& address, const std::string& name) override;
    Status SetSenderAddress(const std::string& address) override;
    Status SetSenderAccount(const std::string& account) override;
    Status AddAttachment(const std::string& path) override;
    Status SetStopToken(std::stop_token stop) override;
    Status SendMail(std::optional<std::string>& failureText) override;

    std::string lastError() const override { return m_lastError; }

private:
    enum class Security { Unset, Simple, Ssl, Tls };
    struct Recipient {
        std::string address;
        std::string name;
    };

    explicit MailComponent(CURL* curl);
    Status fail(Status status, std::string text);
    // The reason the message cannot be sent as configured; empty when it can.
    std::string configurationProblem() const;
    std::string url() const;
    static const char* adviceFor(int curlCode, Security security);

    CURL* m_curl;
    std::string m_subject;
    std::string m_senderName;
    std::string m_body;
    std::string m_server;
    std::uint32_t m_port = 0;
    Security m_security = Security::Unset;
    std::string m_userName;
    std::string m_password;
    std::vector<Recipient> m_recipients;
    std::string m_senderAddress;
    std::string m_senderAccount;
    std::vector<std::string> m_attachments;
    std::stop_token m_stop;
    std::string m_lastError;
};

} // namespace mail
