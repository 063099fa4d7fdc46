#pragma once

#include <string>
#include <vector>

namespace engine {

// What earlier runs left in a database's temp folder, sorted by what it may
// be. A run names its files after the database: the server writes
// "<name>.bak" (or "<name><14 digits>.bak" when old backups are kept); only
// once the server reported it complete (and it passed verification) does the
// run rename it "<name>.Bak", and an archive gets "<name>.zip" only once it
// is whole. So a ".Bak" or ".zip" of the database's naming is a complete
// backup whose rotation was interrupted, while the server's ".bak", an
// archive's temporary name (".<name>.zip.XXXXXX") and a folder check's
// marker may be incomplete. Anything else was put there by somebody else.
struct TempLeftovers {
    struct Backup {
        std::string path;
        std::string backupName; // the name without extension
        std::string extension;  // ".Bak" or ".zip"
    };
    // Complete backups, oldest first; of a ".Bak" with the ".zip" made from
    // it only the archive is here, the ".Bak" is in `redundant`.
    std::vector<Backup> complete;
    // ".Bak" files whose archive is complete too.
    std::vector<std::string> redundant;
    // Files of Corvella's naming that may be incomplete.
    std::vector<std::string> incomplete;
    // Files Corvella does not name.
    std::vector<std::string> foreign;
};

// Sorts the plain files of `tempFolder` for the database `databaseName` (as
// stored, untrimmed). Folders are not looked at.
TempLeftovers FindTempLeftovers(const std::string& tempFolder, const std::string& databaseName);

// Finishes the rotation of one complete backup an interrupted run left in
// temp. When the database folder holds no plain file, that run had already
// moved the folder's files on and only the last step is missing: the backup
// moves into the database folder. Otherwise the whole rotation runs. Returns
// one text per failed move.
std::vector<std::string> FinishInterruptedRotation(const std::string& databaseFolder, const std::string& tempFolder,
                                                   const TempLeftovers::Backup& backup);

} // namespace engine
