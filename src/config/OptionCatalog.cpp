#include "config/OptionCatalog.h"

#include "config/DatabaseSecurity.h"
#include "config/PasswordCodec.h"
#include "config/ProfileFile.h"
#include "config/RunOptions.h"
#include "config/SettingsFile.h"
#include "text/Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace config {

namespace {

using text::EqualsIgnoringCase;
using text::StartsWithIgnoringCase;
using text::Trim;

// A folder as the database server names it: absolute on Linux ("/...") or
// Windows ("D:\...", "\\server\share\...").
std::string CheckServerFolder(std::string_view value)
{
    const bool unixPath = value.starts_with('/');
    const bool drive = value.size() >= 3 && std::isalpha(static_cast<unsigned char>(value[0])) && value[1] == ':'
        && (value[2] == '\\' || value[2] == '/');
    const bool share = value.starts_with("\\\\");
    if (unixPath || drive || share)
        return {};
    return std::string(kRestoreTestDataPathKey)
        + " must be a whole folder name as SQL Server sees it, such as /var/opt/mssql/data or D:\\SQLData.";
}

std::string CheckOffsiteUrl(std::string_view value)
{
    if (!StartsWithIgnoringCase(value, "s3://") || value.size() == 5 || value[5] == '/')
        return std::string(kOffsiteUrlKey) + " must have the form s3://bucket/prefix.";
    return {};
}

std::string CheckOffsiteEndpoint(std::string_view value)
{
    if (!StartsWithIgnoringCase(value, "http://") && !StartsWithIgnoringCase(value, "https://"))
        return std::string(kOffsiteEndpointKey) + " must have the form http(s)://host[:port].";
    return {};
}

std::vector<OptionEntry> MakeCatalog()
{
    // One entry per key. The entries of a group stand together; a group is
    // shown where its first entry stands.
    return {
        {
            .key = kStartServiceOnLaunchKey,
            .kind = OptionKind::OnOff,
            .defaultValue = kFalseText,
            .explanation = "Start the auto backup service as soon as the desktop program starts.",
            .group = "Program",
        },
        {
            .key = kZipCompressionKey,
            .kind = OptionKind::Choice,
            .defaultValue = "BALANCED",
            .explanation = "How hard zipping works: BALANCED is fast and small, FAST is faster with a larger "
                           "archive, SMALLEST is the smallest and slowest.",
            .group = "Backups",
            .choices = {"BALANCED", "FAST", "SMALLEST"},
        },
        {
            .key = kVerifyBackupKey,
            .kind = OptionKind::OnOff,
            .defaultValue = kFalseText,
            .explanation = "SQL Server writes each backup with checksums and reads it back before it counts.",
            .group = "Backups",
        },
        {
            .key = kStallMinutesKey,
            .kind = OptionKind::Number,
            .defaultValue = "30",
            .explanation = "Minutes without progress of the server's backup after which it is reported stalled "
                           "(0: never).",
            .group = "Backups",
            .minimum = 0,
            .maximum = RunOptions::kLongestStallMinutes,
            .fractions = true,
        },
        {
            .key = kCancelStalledBackupsKey,
            .kind = OptionKind::OnOff,
            .defaultValue = kFalseText,
            .explanation = "Cancel a stalled backup, so that the next database's backup can start.",
            .group = "Backups",
        },
        {
            .key = kRestoreTestKey,
            .kind = OptionKind::OnOff,
            .defaultValue = kFalseText,
            .explanation = "After each backup, SQL Server restores it under a scratch name, checks it with DBCC "
                           "CHECKDB and drops the copy again.",
            .group = "Restore tests",
        },
        {
            .key = kRestoreTestDaysKey,
            .kind = OptionKind::Number,
            .defaultValue = "0",
            .explanation = "Test each database at most once in this many days (0: after every backup).",
            .group = "Restore tests",
            .minimum = 0,
            .maximum = kMaxRestoreTestDays,
        },
        {
            .key = kRestoreTestDataPathKey,
            .kind = OptionKind::Text,
            .defaultValue = "",
            .explanation = "The folder, as SQL Server names it, for the scratch copy's files (empty: the server's "
                           "default data and log folders).",
            .group = "Restore tests",
            .check = CheckServerFolder,
        },
        {
            .key = kDbEncryptionKey,
            .kind = OptionKind::Choice,
            .defaultValue = "REQUEST",
            .explanation = "REQUEST encrypts what the server offers; REQUIRE refuses a server without encryption "
                           "and checks its certificate; OFF asks for none.",
            .group = "Database connections",
            .choices = {"REQUEST", "REQUIRE", "OFF"},
        },
        {
            .key = kDbCaFileKey,
            .kind = OptionKind::Path,
            .defaultValue = "",
            .explanation = "With REQUIRE: a PEM file of the authorities trusted for the server's certificate "
                           "(empty: the system's).",
            .group = "Database connections",
        },
        {
            .key = kDbTrustServerCertificateKey,
            .kind = OptionKind::OnOff,
            .defaultValue = kFalseText,
            .explanation = "With REQUIRE: encrypt, but take the server's certificate unchecked.",
            .group = "Database connections",
        },
        {
            .key = kMetricsFileKey,
            .kind = OptionKind::Path,
            .defaultValue = "",
            .explanation = "A Prometheus textfile (for the node exporter) written at start and after every run, "
                           "with each database's last good backup, last result and sizes (empty: none).",
            .group = "Monitoring",
        },
        {
            .key = kMailOnFailureKey,
            .kind = OptionKind::OnOff,
            .defaultValue = kFalseText,
            .explanation = "Mail the recipient of the e-mail settings when a backup fails (at most once an hour "
                           "per database).",
            .group = "Mail",
        },
        {
            .key = kOffsiteUrlKey,
            .kind = OptionKind::Text,
            .defaultValue = "",
            .explanation = "s3://bucket/prefix: every completed backup is also copied to this S3-compatible "
                           "storage (empty: no offsite copies).",
            .group = "Offsite copies",
            .check = CheckOffsiteUrl,
        },
        {
            .key = kOffsiteEndpointKey,
            .kind = OptionKind::Text,
            .defaultValue = "",
            .explanation = "The storage service's address, http(s)://host:port (empty: the provider's regional "
                           "endpoint).",
            .group = "Offsite copies",
            .check = CheckOffsiteEndpoint,
        },
        {
            .key = kOffsiteRegionKey,
            .kind = OptionKind::Text,
            .defaultValue = "",
            .explanation = "The region requests are signed for (empty: us-east-1).",
            .group = "Offsite copies",
        },
        {
            .key = kOffsiteAccessKeyKey,
            .kind = OptionKind::Text,
            .defaultValue = "",
            .explanation = "The access key id; AWS_ACCESS_KEY_ID in the program's environment takes precedence.",
            .group = "Offsite copies",
        },
        {
            .key = kOffsiteSecretKey,
            .kind = OptionKind::Secret,
            .defaultValue = "",
            .explanation = "The secret access key, stored encoded; AWS_SECRET_ACCESS_KEY in the program's "
                           "environment takes precedence.",
            .group = "Offsite copies",
        },
        {
            .key = kOffsiteKeepKey,
            .kind = OptionKind::Number,
            .defaultValue = "0",
            .explanation = "How many offsite copies of each database to keep, the newest (0: all).",
            .group = "Offsite copies",
            .minimum = 0,
            .maximum = 100000,
        },
    };
}

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// "1", "0.5": digits, and with `fractions` one point followed by digits. No
// sign, no exponent, no locale.
std::optional<double> ParseNumber(std::string_view text, bool fractions)
{
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto allDigits = [](std::string_view part) {
        return !part.empty() && std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!allDigits(whole) || (point != std::string_view::npos && (!fractions || !allDigits(fraction))))
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string NumberText(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

std::string JoinChoices(const std::vector<std::string>& choices)
{
    std::string out;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (i > 0)
            out += i + 1 == choices.size() ? " or " : ", ";
        out += choices[i];
    }
    return out;
}

} // namespace

const std::vector<OptionEntry>& OptionCatalog()
{
    static const std::vector<OptionEntry> catalog = MakeCatalog();
    return catalog;
}

const OptionEntry* FindOption(std::string_view key)
{
    for (const OptionEntry& entry : OptionCatalog()) {
        if (EqualsIgnoringCase(entry.key, Trim(key)))
            return &entry;
    }
    return nullptr;
}

std::string CheckOptionValue(const OptionEntry& entry, std::string_view value)
{
    value = Trim(value);
    if (value.empty())
        return {};
    switch (entry.kind) {
    case OptionKind::OnOff:
        if (!EqualsIgnoringCase(value, kTrueText) && !EqualsIgnoringCase(value, kFalseText))
            return entry.key + " must be TRUE or FALSE.";
        break;
    case OptionKind::Choice:
        if (std::none_of(entry.choices.begin(), entry.choices.end(),
                         [value](const std::string& choice) { return EqualsIgnoringCase(choice, value); }))
            return entry.key + " must be " + JoinChoices(entry.choices) + ".";
        break;
    case OptionKind::Number: {
        const std::optional<double> number = ParseNumber(value, entry.fractions);
        if (!number || *number < entry.minimum || *number > entry.maximum)
            return entry.key + " must be a " + (entry.fractions ? "number" : "whole number") + " from "
                + NumberText(entry.minimum) + " to " + NumberText(entry.maximum) + ".";
        break;
    }
    case OptionKind::Text:
    case OptionKind::Path:
    case OptionKind::Secret:
        if (HasLineBreak(value))
            return entry.key + " must be on one line.";
        break;
    }
    if (entry.check)
        return entry.check(value);
    return {};
}

std::string NormalizedOptionValue(const OptionEntry& entry, std::string_view value)
{
    value = Trim(value);
    switch (entry.kind) {
    case OptionKind::OnOff:
    case OptionKind::Choice:
        return text::ToUpper(value);
    default:
        return std::string(value);
    }
}

std::string StoredOptionValue(const OptionEntry& entry, std::string_view value)
{
    std::string normalized = NormalizedOptionValue(entry, value);
    if (entry.kind != OptionKind::Secret || normalized.empty())
        return normalized;
    std::string encoded;
    PasswordCodec codec;
    return codec.Encode(normalized, encoded) == PasswordCodec::kOk ? encoded : std::string();
}

std::vector<OptionValue> ReadOptionValues(const ProfileFile& profile)
{
    std::vector<OptionValue> values;
    for (const OptionEntry& entry : OptionCatalog()) {
        OptionValue value;
        value.entry = &entry;
        std::string text = std::string(Trim(profile.read(kOptionsSection, entry.key)));
        if (!text.empty() && entry.kind == OptionKind::Secret) {
            std::string decoded;
            PasswordCodec codec;
            if (codec.Decode(text, decoded) == PasswordCodec::kOk)
                text = decoded;
            else
                value.understood = false;
        }
        value.stored = !text.empty();
        if (!value.stored) {
            value.value = entry.defaultValue;
        } else {
            value.understood = value.understood && CheckOptionValue(entry, text).empty();
            value.value = value.understood ? NormalizedOptionValue(entry, text) : text;
        }
        values.push_back(std::move(value));
    }
    return values;
}

bool SaveOptionValues(const std::string& iniPath, const std::vector<std::pair<std::string, std::string>>& changes,
                      std::string* error)
{
    std::vector<std::pair<const OptionEntry*, std::string>> stored;
    for (const auto& [key, value] : changes) {
        const OptionEntry* entry = FindOption(key);
        std::string problem = entry ? CheckOptionValue(*entry, value) : key + " is not an option of this program.";
        if (!problem.empty()) {
            if (error)
                *error = problem;
            return false;
        }
        std::string storedValue = StoredOptionValue(*entry, value);
        if (storedValue.size() > ProfileFile::kMaxValueLength) {
            if (error)
                *error = ValueTooLongText(iniPath, kOptionsSection, entry->key, storedValue.size());
            return false;
        }
        stored.emplace_back(entry, std::move(storedValue));
    }
    if (stored.empty())
        return true;
    return UpdateProfileFile(iniPath, [&stored](ProfileFile& profile) {
        for (const auto& [entry, value] : stored)
            profile.write(kOptionsSection, entry->key, value);
    }, error);
}

} // namespace config
