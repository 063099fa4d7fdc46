#include "config/RunOptions.h"

#include "config/OptionCatalog.h"
#include "config/PasswordCodec.h"
#include "config/ProfileFile.h"
#include "config/SettingsFile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <optional>
#include <string>

namespace config {

bool IsTrueOption(std::string_view value)
{
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
    constexpr std::string_view kTrue = "TRUE";
    if (value.size() != kTrue.size())
        return false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(value[i])) != kTrue[i])
            return false;
    }
    return true;
}

double ParseStallMinutes(std::string_view value)
{
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
    // A decimal comma is taken as the point it means.
    std::string text(value);
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
    const auto text = [&profile](const char* key) {
        std::string value = profile.read(kOptionsSection, key);
        const auto first = value.find_first_not_of(" \t");
        if (first == std::string::npos)
            return std::string();
        return value.substr(first, value.find_last_not_of(" \t") - first + 1);
    };
    OffsiteOptions offsite;
    offsite.url = text(kOffsiteUrlKey);
    offsite.endpoint = text(kOffsiteEndpointKey);
    offsite.region = text(kOffsiteRegionKey);
    offsite.accessKey = text(kOffsiteAccessKeyKey);
    if (const std::string stored = text(kOffsiteSecretKey); !stored.empty()) {
        PasswordCodec codec;
        std::string decoded;
        if (codec.Decode(stored, decoded) == PasswordCodec::kOk)
            offsite.secret = decoded;
    }
    offsite.keep = static_cast<int>(std::clamp<long long>(LeadingInteger(text(kOffsiteKeepKey)), 0, INT_MAX));
    return offsite;
}

RunOptions LoadRunOptions(const std::string& iniPath)
{
    RunOptions options;
    ProfileFile profile;
    if (iniPath.empty() || ProfileFile::load(iniPath, profile) != ProfileFile::LoadStatus::Loaded)
        return options;
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
    std::string metricsFile = profile.read(kOptionsSection, kMetricsFileKey);
    const auto first = metricsFile.find_first_not_of(" \t");
    metricsFile = first == std::string::npos ? std::string()
                                             : metricsFile.substr(first, metricsFile.find_last_not_of(" \t") - first + 1);
    if (!metricsFile.empty() && metricsFile.front() != '/') {
        const auto slash = iniPath.rfind('/');
        if (slash != std::string::npos)
            metricsFile = iniPath.substr(0, slash + 1) + metricsFile;
    }
    options.metricsFile = std::move(metricsFile);
    options.offsite = ReadOffsiteOptions(profile);
    return options;
}

} // namespace config
