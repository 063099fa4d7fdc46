#pragma once

#include "config/DatabaseList.h"

#include <cstdint>
#include <string>

namespace config {

// One database of the list as typed values, parsed once from the texts of
// its row (the form the settings file and ConfigGrid hold) and turned back
// into them. Used by the backup commands, the list editing and the headless
// loading, so the row format is read in this one place.
//
// Parsing follows the stored rules: a switch is on only for the exact text
// "True"; the interval text is split at its first blank, the part before it
// is the number (as typed; its value read like atoi, saturating at the
// 32-bit range), and only a rest of exactly "Minutes" (after removing every
// occurrence of the part up to and including the blank) means minutes; a
// text without a blank has no number, counts as hours and as 0 minutes.
struct DatabaseEntry {
    enum class Unit { Hours, Minutes };

    std::string databaseUrl;
    std::string databaseName;     // as stored, untrimmed
    std::string userName;
    std::string storedPassword;   // the encoded form (or, when encoding failed, the plain one)
    std::string intervalNumber;   // the text before the first blank of the interval
    Unit intervalUnit = Unit::Hours;
    std::int32_t intervalMinutes = 0;
    std::string backupPath;
    // The backup path as the SQL Server names it (a container's or another
    // machine's name for the same folder); empty: the server names it as
    // backupPath.
    std::string serverBackupPath;
    bool zip = false;
    bool email = false;
    bool keepOld = false;

    static DatabaseEntry FromRow(const DatabaseList::Row& row);
    // The cells of a row; column 0 (the serial) is left empty. The interval
    // is written "<number> Minutes" or "<number> Hours", the switches
    // "True" or "False".
    DatabaseList::Row ToRow() const;

    bool operator==(const DatabaseEntry&) const = default;
};

} // namespace config
