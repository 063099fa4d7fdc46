#pragma once

// A look at how a server answers an encrypted connection, to say why one
// failed. FreeTDS reports every refusal before the login alike ("Unable to
// connect to data source"), whether the server offers no encryption or its
// certificate was refused.
//
// ProbeEncryption opens its own TCP connection, sends a pre-login message
// that asks for encryption and, when the server offers it, makes the TLS
// handshake inside pre-login packets as the driver does, then checks the
// certificate the way FreeTDS does (GnuTLS: the chain against the trusted
// certificates, then the host name). It never sends a login: no name or
// password leaves the program. Blocks for at most the time-out; any thread.

#include <chrono>
#include <string>

namespace db {

struct ProbeRequest {
    std::string host; // name or address, also the name the certificate is checked for
    int port = 1433;
    std::string instance; // sent in the pre-login message; empty: the default instance
    // "system": the system's trusted certificates; a path: that PEM file;
    // empty: the certificate is not checked.
    std::string caFile;
    bool checkHostName = true;
    std::chrono::seconds timeout{15};
};

enum class ProbeOutcome {
    Inconclusive, // no answer, an answer that is not a pre-login one, or a failed handshake
    NotOffered,   // the server answered that it does not encrypt
    Untrusted,    // the certificate does not chain to a trusted one (or has expired, ...)
    WrongName,    // the certificate is trusted but issued for other names
    Accepted,     // encryption offered and the certificate passes every check asked for
};

struct ProbeResult {
    ProbeOutcome outcome = ProbeOutcome::Inconclusive;
    // Untrusted: GnuTLS's reasons; WrongName: the names the certificate
    // carries; Inconclusive: what went wrong.
    std::string detail;
};

ProbeResult ProbeEncryption(const ProbeRequest& request);

// Loads the trusted certificates the driver is to use ("system" or a PEM
// file) as the driver will. False, with the reason, when none can be read.
bool CheckTrustedCertificates(const std::string& caFile, std::string& error);

} // namespace db
