#include "engine/BackupFolders.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

namespace engine {

namespace {

constexpr const char* kCreateFailedText = "Directory Creation Failed:";
constexpr const char* kCreateFailedTail = ". Please check the path";
constexpr const char* kCreateFailedCaption = "Error";
constexpr const char* kLastBackupFolder = "/Last Backup";
constexpr const char* kOldBackupFolder = "/Old Backup";
constexpr long long kSecondsPerDay = 86400;

bool isDirectory(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A folder counts only when it is a directory: a file in its place makes the
// creation fail instead of passing for the folder.
bool ensureDirectory(const std::string& path)
{
    if (isDirectory(path))
        return true;
    if (::mkdir(path.c_str(), 0777) == 0)
        return true;
    // Another thread may have created it in the meantime.
    return errno == EEXIST && isDirectory(path);
}

// The names of the entries of `folder` that are files (or links to files),
// read completely before anything is moved.
std::vector<std::string> fileNames(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (isDirectory(folder + "/" + name))
            continue;
        names.push_back(std::move(name));
    }
    ::closedir(dir);
    return names;
}

// The path of the entry of `folder` named `name`, letter case aside: the
// server may write "D.bak" where the rotation asks for "D.Bak". The exact
// name wins when it exists.
std::string findIgnoringCase(const std::string& folder, const std::string& name)
{
    std::string exact = folder + "/" + name;
    if (FileExists(exact))
        return exact;
    for (const std::string& candidate : fileNames(folder)) {
        if (::strcasecmp(candidate.c_str(), name.c_str()) == 0)
            return folder + "/" + candidate;
    }
    return exact;
}

} // namespace

bool CreateFolderPath(const std::string& path, const MessageBoxFn& messageBox)
{
    auto fail = [&] {
        if (messageBox)
            messageBox(kCreateFailedText + path + kCreateFailedTail, kCreateFailedCaption);
        return false;
    };
    if (path.empty())
        return fail();

    // `built` is the prefix checked next, `rest` the part not yet walked. An
    // absolute path starts with "/" itself, which always exists.
    std::string rest;
    std::string built;
    if (std::size_t slash = path.find('/'); slash != std::string::npos) {
        rest = path;
        built = path.substr(0, slash + 1);
    } else {
        built = path;
    }

    while (!built.empty()) {
        if (!ensureDirectory(built))
            return fail();
        if (std::size_t slash = rest.find('/'); slash != std::string::npos)
            rest.erase(0, slash + 1);
        else
            rest.clear();
        if (std::size_t slash = rest.find('/'); slash != std::string::npos) {
            built += rest.substr(0, slash + 1);
        } else if (rest.empty()) {
            break;
        } else {
            built += rest;
            rest.clear();
        }
    }
    return true;
}

bool FileExists(const std::string& path)
{
    struct stat status {};
    return !path.empty() && ::stat(path.c_str(), &status) == 0;
}

long long FileAgeDays(const std::string& path)
{
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0)
        return 1;
    const long long elapsed = static_cast<long long>(std::time(nullptr)) - static_cast<long long>(status.st_mtime);
    return elapsed / kSecondsPerDay;
}

void MoveFolderFiles(const std::string& source, const std::string& target)
{
    for (const std::string& name : fileNames(source)) {
        // rename() replaces a file of the same name at the target in one
        // step; a file it cannot move stays for a later rotation.
        (void)::rename((source + "/" + name).c_str(), (target + "/" + name).c_str());
    }
}

void RotateBackupFolders(const std::string& databaseFolder, const std::string& tempFolder,
                         const std::string& backupName, const std::string& extension)
{
    const std::string lastBackup = databaseFolder + kLastBackupFolder;
    const std::string oldBackup = databaseFolder + kOldBackupFolder;

    if (FileAgeDays(findIgnoringCase(lastBackup, backupName + extension)) >= 1)
        MoveFolderFiles(lastBackup, oldBackup);
    MoveFolderFiles(databaseFolder, lastBackup);
    MoveFolderFiles(tempFolder, databaseFolder);
}

} // namespace engine
