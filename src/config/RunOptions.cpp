#include "config/RunOptions.h"

#include "config/ProfileFile.h"

#include <cctype>

namespace config {

namespace {

constexpr const char* kVerifyBackupKey = "VERIFY_BACKUP";
constexpr const char* kRestoreTestKey = "RESTORE_TEST";
constexpr const char* kRestoreTestDaysKey = "RESTORE_TEST_DAYS";
constexpr const char* kRestoreTestDataPathKey = "RESTORE_TEST_DATA_PATH";

std::string_view Trimmed(std::string_view value)
{
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
    return value;
}

// A whole number of days from 0 to kMaxRestoreTestDays; empty counts as 0.
bool ParseDays(std::string_view text, int& days)
{
    text = Trimmed(text);
    days = 0;
    if (text.empty())
        return true;
    if (text.size() > 4)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        days = days * 10 + (c - '0');
    }
    return days <= kMaxRestoreTestDays;
}

} // namespace

bool IsTrueOption(std::string_view value)
{
    value = Trimmed(value);
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
    options.restoreTest = IsOptionOn(profile, kRestoreTestKey);
    const std::string days = profile.read(kOptionsSection, kRestoreTestDaysKey);
    if (!ParseDays(days, options.restoreTestDays)) {
        options.restoreTestDays = 0;
        options.problems.push_back(std::string(kRestoreTestDaysKey) + "=" + days + ": not a whole number of days from 0 to "
                                   + std::to_string(kMaxRestoreTestDays) + "; the restore test runs after every backup");
    }
    options.restoreTestDataPath = std::string(Trimmed(profile.read(kOptionsSection, kRestoreTestDataPathKey)));
    return options;
}

} // namespace config
