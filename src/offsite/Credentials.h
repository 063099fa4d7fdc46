#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace offsite {

struct Credentials {
    std::string accessKey;
    std::string secret;
    std::string sessionToken; // temporary credentials only
};

// Takes AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN out of
// the process environment and keeps them for EnvironmentCredentials(), so
// that no program this one starts inherits a secret. Call once at start-up,
// before any other thread runs; later calls change nothing.
void CaptureEnvironmentCredentials();

// What CaptureEnvironmentCredentials() found, when AWS_ACCESS_KEY_ID was set:
// then these credentials replace the ones in the settings file. Any thread.
std::optional<Credentials> EnvironmentCredentials();

// `text` with every occurrence of `secret` (when it is at least four bytes)
// replaced by "<secret>": the last guard before a text reaches the log, the
// status grid or a message.
std::string Redact(std::string text, std::string_view secret);

} // namespace offsite
