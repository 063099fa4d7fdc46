#pragma once

#include "fakes/ServerProcess.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace fakes {

// One attachment as the test SMTP server decoded it.
struct ReceivedAttachment {
    std::string fileName;         // decoded
    std::string contentType;      // type/subtype, lower case
    std::string transferEncoding; // lower case, as sent
    std::uint64_t size = 0;       // decoded bytes
    std::string sha256;           // of the decoded bytes, lower-case hex
    std::string path;             // a file holding the decoded bytes

    std::string bytes() const;
};

// One message as the test SMTP server received it and Python's email package
// read it: what a person's mail program would show.
struct ReceivedMail {
    std::string envelopeFrom;              // MAIL FROM
    std::vector<std::string> envelopeTo;   // RCPT TO, in order
    std::string authenticatedAs;           // the login used, empty without one
    std::uint64_t dataBytes = 0;           // size of the message data as received
    std::vector<std::pair<std::string, std::string>> headers; // top level, decoded
    std::string subject;                   // decoded
    std::string to;                        // decoded
    std::string fromName;                  // the From header's display name, decoded
    std::string fromAddress;
    std::string contentType;               // of the whole message
    std::string textType;                  // of the text part: type/subtype
    std::string textCharset;               // lower case
    std::string textTransferEncoding;      // lower case
    std::string body;                      // the text part, decoded
    std::vector<ReceivedAttachment> attachments;
    std::vector<std::string> defects;      // what the parser found malformed
    std::string parseError;                // set when the message could not be read
    std::string rawPath;                   // the message as received

    // The first top-level header of that name (any case), or empty.
    std::string header(const std::string& name) const;
    int headerCount(const std::string& name) const;
};

// An SMTP server for tests, run as a child process on 127.0.0.1 with a free
// port: plain SMTP, STARTTLS (required) or TLS from the first byte, with an
// optional login that it then requires. Its certificate, for 127.0.0.1 and
// localhost, is signed by a throw-away test CA made once per test process.
//
// start() blocks until the server listens (or fails, then error() says why);
// stop() and the destructor end it by its process id and wait for it. Every
// accepted message is on disk before the server answers the client, so
// messages() sees it as soon as the sending call has returned. Not
// thread-safe; one thread drives a server.
class SmtpTestServer {
public:
    enum class Mode { Plain, StartTls, ImplicitTls };

    struct Options {
        Mode mode = Mode::Plain;
        std::string user;      // with a user the server requires a login
        std::string password;
        bool discard = false;  // count message data instead of keeping it
    };

    explicit SmtpTestServer(Options options);
    ~SmtpTestServer();

    SmtpTestServer(const SmtpTestServer&) = delete;
    SmtpTestServer& operator=(const SmtpTestServer&) = delete;

    bool start();
    void stop();

    bool isRunning() const { return m_process.pid() > 0; }
    int port() const { return m_port; }
    const std::string& error() const { return m_error; }

    // Every message received so far, oldest first. A description the server
    // wrote but this cannot read gives a message with parseError set.
    std::vector<ReceivedMail> messages() const;

    // The CA that signed the server's certificate; empty when the openssl
    // command line failed (then start() fails for the TLS modes too).
    static std::string caFile();
    // A CA that signed nothing this server uses.
    static std::string otherCaFile();

private:
    Options m_options;
    std::string m_folder;
    ServerProcess m_process;
    int m_port = 0;
    std::string m_error;
};

} // namespace fakes
