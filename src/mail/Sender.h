#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

namespace mail {

// Status of a mail component operation: zero or positive is success,
// negative is failure (the HRESULT convention).
using Status = std::int32_t;

inline constexpr Status kOk = 0;
inline constexpr Status kFailed = static_cast<Status>(0x80004005u);          // unspecified failure
inline constexpr Status kInvalidArgument = static_cast<Status>(0x80070057u); // a text the message cannot carry
inline constexpr Status kOutOfMemory = static_cast<Status>(0x8007000Eu);

constexpr bool IsFailure(Status status) { return status < 0; }

// One outgoing message: configured step by step, then sent once.
//
// A fresh instance serves one message. Instances are used by one thread at a
// time; different instances may send at the same time. Every operation
// returns a Status; after a failure, lastError() says in words what went
// wrong. Only SendMail() blocks (on the network, until the server has
// answered); everything else only records its arguments. Texts are UTF-8.
class Sender {
public:
    virtual ~Sender() = default;

    virtual Status SetSubject(const std::string& subject) = 0;
    // The sender's display name in the From header.
    virtual Status SetMailingServerName(const std::string& name) = 0;
    virtual Status SetBody(const std::string& text) = 0;
    virtual Status SetServer(const std::string& address, std::uint32_t port) = 0;
    // Security modes; the last one called counts. Without any call the
    // connection upgrades to TLS where the server offers it.
    virtual Status UseTls() = 0;    // STARTTLS, required
    virtual Status UseSsl() = 0;    // TLS from the first byte
    virtual Status UseSimple() = 0; // no TLS
    // The login name; an empty one means no login.
    virtual Status SetUserName(const std::string& userName) = 0;
    virtual Status SetPassword(const std::string& password) = 0;
    virtual Status AddRecipient(const std::string& address, const std::string& name) = 0;
    // The address shown in the From header.
    virtual Status SetSenderAddress(const std::string& address) = 0;
    // The envelope sender the server is given.
    virtual Status SetSenderAccount(const std::string& account) = 0;
    virtual Status AddAttachment(const std::string& path) = 0;
    // A send under way when `stop` is requested, or started after, gives up
    // with "Email not sent: the program is ending.".
    virtual Status SetStopToken(std::stop_token stop) = 0;
    // Sends the message. A delivery failure is reported as a success status
    // with `failureText` set to what went wrong; `failureText` stays empty
    // when the message went out. A failure status means the message could
    // not even be put together.
    virtual Status SendMail(std::optional<std::string>& failureText) = 0;

    virtual std::string lastError() const = 0;
};

} // namespace mail
