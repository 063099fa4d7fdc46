#pragma once

#include <functional>
#include <string>

namespace engine {

// Shows a message box (text, caption) and returns once it is dismissed.
using MessageBoxFn = std::function<void(const std::string& text, const std::string& caption)>;

// The folders of one database under its backup path: the database folder,
// its "temp", "Last Backup" and "Old Backup". Stateless; callers serialise
// rotations of one database (the backup lock does). Paths use "/".

// Creates every missing folder along `path`, one component at a time. On
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
// stays where it is. Nothing is reported.
void MoveFolderFiles(const std::string& source, const std::string& target);

// The rotation after a run: "Last Backup" to "Old Backup" when the file of
// this run's name there is a day old or missing, the database folder to
// "Last Backup", then temp to the database folder.
void RotateBackupFolders(const std::string& databaseFolder, const std::string& tempFolder,
                         const std::string& backupName, const std::string& extension);

} // namespace engine
