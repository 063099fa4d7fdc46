#pragma once

#include <string>

namespace db { class Connection; }

namespace engine {

// The backup folder as the SQL Server names it. A server in a container sees
// the host's /srv/backup as, say, /var/opt/mssql/backup, a Windows server as
// D:\Backups or \\fileserver\backup: every command that names a file on the
// server uses the server's name, while Corvella reads, zips, mails and rotates
// through its own. Plain functions of their inputs; any thread.

// "\" for a path that starts with a drive letter ("D:") or with "\\" (a
// share), "/" for every other.
char ServerPathSeparator(const std::string& path);

// `folder` and `name` joined in the folder's own style; separators at the end
// of the folder are dropped, except where they are all of it ("/", "D:\").
std::string JoinServerPath(const std::string& folder, const std::string& name);

// The database's temp folder as the server names it: `localTempFolder`
// itself when `serverBackupPath` is empty (the server names the folder as
// Corvella does), else <server backup path>/<database name>/temp in the
// server path's style.
std::string ServerTempFolder(const std::string& serverBackupPath, const std::string& databaseName,
                             const std::string& localTempFolder);

// A file below the local backup path as the server names it: `localFile`
// itself when `serverBackupPath` is empty or the file is not below
// `backupPath`, else the same folders below the server backup path.
std::string ServerFileName(const std::string& localFile, const std::string& backupPath,
                           const std::string& serverBackupPath);

// One database's folders under both names, for the visibility check.
struct ServerFolderNames {
    std::string backupPath;       // the backup path as Corvella names it
    std::string serverBackupPath; // as the server names it; empty: as Corvella does
    std::string localTempFolder;  // <backup path>/<name>/temp
    std::string serverTempFolder; // the same as the server names it
};

// The names for `databaseName` (as stored, untrimmed) under the two paths.
ServerFolderNames FolderNamesFor(const std::string& backupPath, const std::string& serverBackupPath,
                                 const std::string& databaseName);

// What the server answered about a marker file in the temp folder.
struct FolderVisibility {
    enum class Outcome {
        Seen,        // the server opened the file ("incorrectly formed": 3241)
        NotSeen,     // operating system error 2 or 3: it does not see the folder
        NotReadable, // operating system error 5: it sees it but may not read in it
        Unchecked,   // the check itself could not be made (see text)
    };
    Outcome outcome = Outcome::Unchecked;
    // What was found in plain words, naming both paths, and what to do.
    std::string text;
};

// The marker files the check writes start with this and end in ".chk".
inline constexpr const char* kMarkerPrefix = "corvella-check-";

// Writes a marker file into the local temp folder (creating the folder as a
// run would, when it is missing), asks the server about it under the server's
// name (RESTORE HEADERONLY) on `connection`, and removes the marker again.
// Blocks for one round trip to the server. The connection may be closed
// afterwards (a command the server refuses closes it).
FolderVisibility CheckServerSeesFolder(db::Connection& connection, const ServerFolderNames& names);

} // namespace engine
