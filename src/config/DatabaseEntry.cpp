#include "config/DatabaseEntry.h"

#include "config/SettingsFile.h"

#include <algorithm>
#include <limits>

namespace config {

namespace {

constexpr const char* kTrue = "True";
constexpr const char* kFalse = "False";

std::int32_t Saturate32(std::int64_t value)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                               std::numeric_limits<std::int32_t>::max()));
}

} // namespace

DatabaseEntry DatabaseEntry::FromRow(const DatabaseList::Row& row)
{
    DatabaseEntry entry;
    entry.databaseUrl = row[ColDatabaseUrl];
    entry.databaseName = row[ColDatabaseName];
    entry.userName = row[ColUserName];
    entry.storedPassword = row[ColEncodedPassword];
    entry.backupPath = row[ColBackupPath];
    entry.serverBackupPath = row[ColServerPath];
    entry.zip = row[ColZip] == kTrue;
    entry.email = row[ColEmail] == kTrue;
    entry.keepOld = row[ColKeepOld] == kTrue;

    const std::string& interval = row[ColInterval];
    const auto blank = interval.find(' ');
    if (blank != std::string::npos) {
        entry.intervalNumber = interval.substr(0, blank);
        const std::string prefix = interval.substr(0, blank + 1);
        std::string rest = interval;
        for (auto at = rest.find(prefix); at != std::string::npos; at = rest.find(prefix))
            rest.erase(at, prefix.size());
        entry.intervalUnit = rest == "Minutes" ? Unit::Minutes : Unit::Hours;
        // Clamped first, so that hours never overflow on their way to minutes.
        constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max() * std::int64_t{60};
        const std::int64_t n = std::clamp<std::int64_t>(LeadingInteger(entry.intervalNumber), -kLimit, kLimit);
        entry.intervalMinutes = Saturate32(entry.intervalUnit == Unit::Minutes ? n : n * 60);
    }
    return entry;
}

DatabaseList::Row DatabaseEntry::ToRow() const
{
    DatabaseList::Row row;
    row[ColDatabaseUrl] = databaseUrl;
    row[ColDatabaseName] = databaseName;
    row[ColUserName] = userName;
    row[ColEncodedPassword] = storedPassword;
    row[ColInterval] = intervalNumber + (intervalUnit == Unit::Minutes ? " Minutes" : " Hours");
    row[ColBackupPath] = backupPath;
    row[ColServerPath] = serverBackupPath;
    row[ColZip] = zip ? kTrue : kFalse;
    row[ColEmail] = email ? kTrue : kFalse;
    row[ColKeepOld] = keepOld ? kTrue : kFalse;
    return row;
}

} // namespace config
