#include "config/RunOptions.h"

#include "config/ProfileFile.h"

#include <cctype>

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

bool IsOptionOn(const ProfileFile& profile, std::string_view key)
{
    return IsTrueOption(profile.read(kOptionsSection, key));
}

RunOptions LoadRunOptions(const std::string& iniPath)
{
    RunOptions options;
    ProfileFile profile;
    if (iniPath.empty() || ProfileFile::load(iniPath, profile) != ProfileFile::LoadStatus::Loaded)
        return options;
    options.verifyBackup = IsOptionOn(profile, kVerifyBackupKey);
    options.startServiceOnLaunch = IsOptionOn(profile, kStartServiceOnLaunchKey);
    return options;
}

} // namespace config
