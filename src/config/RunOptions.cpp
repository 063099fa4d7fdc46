#include "config/RunOptions.h"

#include "config/OptionCatalog.h"
#include "config/PasswordCodec.h"
#include "config/ProfileFile.h"
#include "config/SettingsFile.h"
#include "text/Text.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <optional>
#include <string>

namespace config {

bool IsTrueOption(std::string_view value)
{
    return text::EqualsIgnoringCase(text::Trim(value), "TRUE");
}

double ParseStallMinutes(std::string_view value)
{
    // A decimal comma is taken as the point it means.
    std::string text(text::Trim(value));
    for (char& c : text) {
        if (c == ',')
            c = '.';
    }
    double minutes = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), minutes);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(minutes)
        || minutes < 0)
        return RunOptions::kDefaultStallMinutes;
    return std::min(minutes, RunOptions::kLongestStallMinutes);
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
    options.restoreTest = IsOptionOn(profile, kRestoreTestKey);
    // The catalogue's check decides what is understood; what is not counts
    // as the default, and says so.
    const auto checked = [&](const char* key, const char* fallback) -> std::optional<std::string> {
        const std::string value = profile.read(kOptionsSection, key);
        const OptionEntry* entry = FindOption(key);
        const std::string problem = entry ? CheckOptionValue(*entry, value) : std::string();
        if (problem.empty())
            return entry ? NormalizedOptionValue(*entry, value) : value;
        options.problems.push_back(problem + " " + key + "=" + value + " counts as " + fallback + ".");
        return std::nullopt;
    };
    if (const auto days = checked(kRestoreTestDaysKey, "0 (a test after every backup)"); days && !days->empty())
        options.restoreTestDays = std::stoi(*days);
    options.restoreTestDataPath = checked(kRestoreTestDataPathKey, "empty (the server's default folders)").value_or("");
    options.stallMinutes = ParseStallMinutes(profile.read(kOptionsSection, kStallMinutesKey));
    options.cancelStalledBackups = IsOptionOn(profile, kCancelStalledBackupsKey);
    std::string metricsFile(text::Trim(profile.read(kOptionsSection, kMetricsFileKey), " \t"));
    if (!metricsFile.empty() && metricsFile.front() != '/' && !settingsFolder.empty())
        metricsFile = settingsFolder + "/" + metricsFile;
    options.metricsFile = std::move(metricsFile);
    options.offsite = ReadOffsiteOptions(profile);
    return options;
}

} // namespace config
