#include "config/DatabaseSecurity.h"

#include "config/CachedProfile.h"
#include "config/ProfileFile.h"
#include "config/RunOptions.h"

#include <algorithm>
#include <cctype>

namespace config {

namespace {

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

} // namespace

DatabaseSecurity ReadDatabaseSecurity(const ProfileFile& profile, const std::string& settingsFolder)
{
    DatabaseSecurity security;
    const std::string mode = Upper(profile.read(kOptionsSection, kDbEncryptionKey));
    if (mode == "REQUIRE")
        security.encryption = DbEncryption::Require;
    else if (mode == "OFF")
        security.encryption = DbEncryption::Off;

    security.caFile = profile.read(kOptionsSection, kDbCaFileKey);
    if (!security.caFile.empty() && security.caFile.front() != '/' && !settingsFolder.empty())
        security.caFile = settingsFolder + (settingsFolder.back() == '/' ? "" : "/") + security.caFile;

    security.trustServerCertificate = IsOptionOn(profile, kDbTrustServerCertificateKey);
    return security;
}

bool LoadDatabaseSecurity(CachedProfile& settings, DatabaseSecurity& security, std::string* error)
{
    std::string reason;
    const auto profile = settings.current(&reason);
    if (!profile) {
        if (error)
            *error = reason + "; no database connection is made without the encryption settings it holds.";
        return false;
    }
    const std::size_t slash = settings.path().rfind('/');
    security = ReadDatabaseSecurity(*profile, slash == std::string::npos ? std::string() : settings.path().substr(0, slash));
    return true;
}

} // namespace config
