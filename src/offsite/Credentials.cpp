#include "offsite/Credentials.h"

#include <cstdlib>
#include <mutex>

namespace offsite {

namespace {

std::once_flag s_captured;
std::optional<Credentials> s_environment;

std::string TakeVariable(const char* name)
{
    const char* value = std::getenv(name);
    std::string text = value ? value : "";
    ::unsetenv(name);
    return text;
}

} // namespace

void CaptureEnvironmentCredentials()
{
    std::call_once(s_captured, [] {
        Credentials credentials;
        credentials.accessKey = TakeVariable("AWS_ACCESS_KEY_ID");
        credentials.secret = TakeVariable("AWS_SECRET_ACCESS_KEY");
        credentials.sessionToken = TakeVariable("AWS_SESSION_TOKEN");
        if (!credentials.accessKey.empty())
            s_environment = std::move(credentials);
    });
}

std::optional<Credentials> EnvironmentCredentials()
{
    return s_environment;
}

std::string Redact(std::string text, std::string_view secret)
{
    if (secret.size() < 4)
        return text;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at))
        text.replace(at, secret.size(), "<secret>");
    return text;
}

} // namespace offsite
