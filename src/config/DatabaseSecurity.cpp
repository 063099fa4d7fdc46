#include "config/DatabaseSecurity.h"

#include "config/ProfileFile.h"
#include "config/RunOptions.h"

#include "text/Text.h"

namespace config {

DatabaseSecurity ReadDatabaseSecurity(const ProfileFile& profile, const std::string& settingsFolder)
{
    DatabaseSecurity security;
    const std::string mode = profile.read(kOptionsSection, kDbEncryptionKey);
    if (text::EqualsIgnoringCase(mode, "REQUIRE"))
        security.encryption = DbEncryption::Require;
    else if (text::EqualsIgnoringCase(mode, "OFF"))
        security.encryption = DbEncryption::Off;

    security.caFile = profile.read(kOptionsSection, kDbCaFileKey);
    if (!security.caFile.empty() && security.caFile.front() != '/' && !settingsFolder.empty())
        security.caFile = settingsFolder + (settingsFolder.back() == '/' ? "" : "/") + security.caFile;

    security.trustServerCertificate = IsOptionOn(profile, kDbTrustServerCertificateKey);
    return security;
}

} // namespace config
