#include "config/DatabaseEntry.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace config {

namespace {

constexpr const char* kTrue = "True";
constexpr const char* kFalse = "False";

// The integer at the start of `text` as atoi reads it (leading white space,
// a sign, digits), saturated instead of overflowing.
std::int64_t LeadingInteger(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max() * std::int64_t{60};
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = std::min(kLimit, value * 10 + (text[i] - '0'));
    return negative ? -value : value;
}

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
        const std::int64_t n = LeadingInteger(entry.intervalNumber);
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
    row[ColZip] = zip ? kTrue : kFalse;
    row[ColEmail] = email ? kTrue : kFalse;
    row[ColKeepOld] = keepOld ? kTrue : kFalse;
    return row;
}

} // namespace config
