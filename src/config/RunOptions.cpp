#include "config/RunOptions.h"

#include "config/ProfileFile.h"
#include "config/SettingsFile.h"
#include "text/Text.h"

namespace config {

bool IsTrueOption(std::string_view value)
{
    return text::EqualsIgnoringCase(text::Trim(value), "TRUE");
}

bool IsOptionOn(const ProfileFile& profile, std::string_view key)
{
    return IsTrueOption(profile.read(kOptionsSection, key));
}

RunOptions ReadRunOptions(const ProfileFile& profile, const std::string& settingsFolder)
{
    RunOptions options;
    options.zipCompression = profile.read(kOptionsSection, kZipCompressionKey);
    options.connection = ReadDatabaseSecurity(profile, settingsFolder);
    options.verifyBackup = IsOptionOn(profile, kVerifyBackupKey);
    options.startServiceOnLaunch = IsOptionOn(profile, kStartServiceOnLaunchKey);
    return options;
}

} // namespace config
