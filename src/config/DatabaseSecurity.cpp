#include "config/DatabaseSecurity.h"

#include "config/ProfileFile.h"

#include <algorithm>
#include <cctype>

namespace config {

namespace {

constexpr const char* kOptionsSection = "OPTIONS";

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

    const std::string trust = Upper(profile.read(kOptionsSection, kDbTrustServerCertificateKey));
    security.trustServerCertificate = trust == "TRUE" || trust == "YES" || trust == "1";
    return security;
}

bool LoadDatabaseSecurity(const std::string& iniPath, DatabaseSecurity& security, std::string* error)
{
    ProfileFile profile;
    std::string reason;
    if (ProfileFile::load(iniPath, profile, &reason) == ProfileFile::LoadStatus::Failed) {
        if (error)
            *error = reason + "; no database connection is made without the encryption settings it holds.";
        return false;
    }
    const std::size_t slash = iniPath.rfind('/');
    security = ReadDatabaseSecurity(profile, slash == std::string::npos ? std::string() : iniPath.substr(0, slash));
    return true;
}

} // namespace config
