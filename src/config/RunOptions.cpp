#include "config/RunOptions.h"

#include "config/PasswordCodec.h"
#include "config/ProfileFile.h"
#include "config/SettingsFile.h"
#include "text/Text.h"

#include <algorithm>
#include <climits>

namespace config {

bool IsTrueOption(std::string_view value)
{
    return text::EqualsIgnoringCase(text::Trim(value), "TRUE");
}

bool IsOptionOn(const ProfileFile& profile, std::string_view key)
{
    return IsTrueOption(profile.read(kOptionsSection, key));
}

OffsiteOptions ReadOffsiteOptions(const ProfileFile& profile)
{
    const auto value = [&profile](const char* key) {
        return std::string(text::Trim(profile.read(kOptionsSection, key), " \t"));
    };
    OffsiteOptions offsite;
    offsite.url = value(kOffsiteUrlKey);
    offsite.endpoint = value(kOffsiteEndpointKey);
    offsite.region = value(kOffsiteRegionKey);
    offsite.accessKey = value(kOffsiteAccessKeyKey);
    if (const std::string stored = value(kOffsiteSecretKey); !stored.empty()) {
        PasswordCodec codec;
        std::string decoded;
        if (codec.Decode(stored, decoded) == PasswordCodec::kOk)
            offsite.secret = decoded;
    }
    offsite.keep = static_cast<int>(std::clamp<long long>(LeadingInteger(value(kOffsiteKeepKey)), 0, INT_MAX));
    return offsite;
}

RunOptions ReadRunOptions(const ProfileFile& profile, const std::string& settingsFolder)
{
    RunOptions options;
    options.zipCompression = profile.read(kOptionsSection, kZipCompressionKey);
    options.connection = ReadDatabaseSecurity(profile, settingsFolder);
    options.verifyBackup = IsOptionOn(profile, kVerifyBackupKey);
    options.startServiceOnLaunch = IsOptionOn(profile, kStartServiceOnLaunchKey);
    std::string metricsFile(text::Trim(profile.read(kOptionsSection, kMetricsFileKey), " \t"));
    if (!metricsFile.empty() && metricsFile.front() != '/' && !settingsFolder.empty())
        metricsFile = settingsFolder + "/" + metricsFile;
    options.metricsFile = std::move(metricsFile);
    options.offsite = ReadOffsiteOptions(profile);
    return options;
}

} // namespace config
