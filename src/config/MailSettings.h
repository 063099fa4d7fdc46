#pragma once

#include <cstdint>
#include <string>

namespace config {

// The live mail settings (section EMAILSERVERINFO of the settings file, and
// MAIL_ON_FAILURE of section OPTIONS). A plain value: copy it to read it
// consistently.
struct MailSettings {
    std::string security = "SIMPLE"; // "SIMPLE", "SSL" or "TLS"
    std::string recipient;           // stored under SVRSENDER
    std::string serverAddress;       // SVRIP
    std::string account;             // SVRID: login, and the sender's address
    std::string password;            // plain in memory; SVRPD encoded on disk
    std::uint32_t port = 0;          // SVRPORT
    std::string messageText;         // SVRMSG, may hold line breaks
    std::string subject;             // SVRSUBJECT
    std::string mailingServerName;   // SVRNAME: the sender's display name
    bool mailOnFailure = false;      // [OPTIONS] MAIL_ON_FAILURE: mail an alert when a backup fails

    bool operator==(const MailSettings&) const = default;
};

} // namespace config
