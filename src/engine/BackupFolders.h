#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace engine {

// Shows a message box (text, caption) and returns once it is dismissed.
using MessageBoxFn = std::function<void(const std::string& text, const std::string& caption)>;

// The folders of one database under its backup path: the database folder,
// its "temp", "Last Backup" and "Old Backup". Stateless; callers serialise
// rotations of one database (the backup lock does). Paths use "/".

// Refusal of a database name that cannot be a folder name below the backup
// path: the name leads to `<backup path>/<name>`, so it must stay inside it.
inline constexpr const char* kInvalidDatabaseNameText =
    "Database name cannot be used as a folder name: it must not be empty, \".\" or \"..\", and must not "
    "contain \"/\" or control characters.";

// Creates every missing folder along `path`, one component at a time. Each
// folder it creates takes its parent's permission bits and group (a default
// ACL on the parent is inherited instead), so whoever may write into the
// parent, such as the database server's account, may write into it too. On
// failure shows "Directory Creation Failed:" + path + ". Please check the
// path" (caption "Error") and returns false.
bool CreateFolderPath(const std::string& path, const MessageBoxFn& messageBox);

// True when `path` names an existing entry whose status can be read.
bool FileExists(const std::string& path);

// Whole days since the file's last write; 1 when it does not exist. A
// modification time in the future gives a value below 1.
long long FileAgeDays(const std::string& path);

// Moves every plain file of `source` into `target`, replacing files of the
// same name there atomically. Directories stay; a file that cannot be moved
// stays where it is. Returns one text per failure ("Cannot move 'a' to 'b':
// reason"); a missing source has nothing to move and is no failure.
std::vector<std::string> MoveFolderFiles(const std::string& source, const std::string& target);
std::string MoveFailureText(const std::string& from, const std::string& to, int error);

// The rotation after a run: "Last Backup" to "Old Backup" when the file of
// this run's name there is a day old or missing, the database folder to
// "Last Backup", then this run's file (backupName + extension) from temp to
// the database folder. Returns one text per failed move; the steps after a
// failure still run.
std::vector<std::string> RotateBackupFolders(const std::string& databaseFolder, const std::string& tempFolder,
                                             const std::string& backupName, const std::string& extension);

// Deletes every plain file of `folder` (what an interrupted run left in
// temp). The paths deleted go to `removed`; returns one text per failure.
std::vector<std::string> RemoveFolderFiles(const std::string& folder, std::vector<std::string>* removed);

// `name` as the log and the status table show it: line breaks and tabs as
// \n, \r and \t, other control characters as \xHH, so that one event stays
// one line whatever a hand-edited settings file holds.
std::string PrintableName(const std::string& name);

// `text` without white space at either end: the database folder and the
// shown name are trimmed this way.
std::string TrimBlanks(const std::string& text);

// kInvalidDatabaseNameText when `name`, as the backup run uses it (stored
// and trimmed), would make `<backup path>/<name>` leave the backup path or
// is no single folder name; nothing when it is usable.
std::optional<std::string> DatabaseNameProblem(const std::string& name);

} // namespace engine
