#include "engine/BackupFolders.h"

#include "text/Text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
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

std::string parentOf(const std::string& path)
{
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    const std::size_t slash = parent.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : parent.substr(0, slash);
}

// A new folder is as usable by others as the folder it is made in: the
// database server writes its backups into folders this program creates and
// runs under an account of its own, so granting that account the backup
// root once must reach every folder below it. With a default ACL on the
// parent the kernel gives the new folder the inherited ACL (the umask does
// not apply); otherwise the folder gets the parent's permission bits, umask
// aside, and the parent's group (which a setgid parent hands down anyway).
void inheritParentRights(const std::string& path, const std::string& parent, const struct stat& parentStatus)
{
    if (::getxattr(parent.c_str(), "system.posix_acl_default", nullptr, 0) > 0)
        return;
    // A group the process is not a member of cannot be given; the bits still are.
    (void)::chown(path.c_str(), static_cast<uid_t>(-1), parentStatus.st_gid);
    (void)::chmod(path.c_str(), parentStatus.st_mode & 03777);
}

// A folder counts only when it is a directory: a file in its place makes the
// creation fail instead of passing for the folder.
bool ensureDirectory(const std::string& path)
{
    if (isDirectory(path))
        return true;
    const std::string parent = parentOf(path);
    struct stat parentStatus {};
    const bool parentKnown = ::stat(parent.c_str(), &parentStatus) == 0;
    if (::mkdir(path.c_str(), 0777) == 0) {
        if (parentKnown)
            inheritParentRights(path, parent, parentStatus);
        return true;
    }
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

bool CreateFolderPath(const std::string& path, const text::MessageBoxFn& messageBox)
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

std::vector<std::string> MoveFolderFiles(const std::string& source, const std::string& target)
{
    std::vector<std::string> failures;
    DIR* dir = ::opendir(source.c_str());
    if (!dir) {
        // A folder that does not exist has nothing to move.
        if (errno != ENOENT)
            failures.push_back("Cannot read folder '" + source + "': " + std::strerror(errno));
        return failures;
    }
    ::closedir(dir);
    for (const std::string& name : fileNames(source)) {
        // rename() replaces a file of the same name at the target in one step.
        const std::string from = source + "/" + name;
        const std::string to = target + "/" + name;
        if (::rename(from.c_str(), to.c_str()) != 0)
            failures.push_back(MoveFailureText(from, to, errno));
    }
    return failures;
}

std::string MoveFailureText(const std::string& from, const std::string& to, int error)
{
    return "Cannot move '" + from + "' to '" + to + "': " + std::strerror(error);
}

std::vector<std::string> RotateBackupFolders(const std::string& databaseFolder, const std::string& tempFolder,
                                             const std::string& backupName, const std::string& extension)
{
    const std::string lastBackup = databaseFolder + kLastBackupFolder;
    const std::string oldBackup = databaseFolder + kOldBackupFolder;

    std::vector<std::string> failures;
    const auto add = [&failures](std::vector<std::string> more) {
        failures.insert(failures.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    };
    if (FileAgeDays(findIgnoringCase(lastBackup, backupName + extension)) >= 1)
        add(MoveFolderFiles(lastBackup, oldBackup));
    add(MoveFolderFiles(databaseFolder, lastBackup));
    // Only this run's file arrives (letter case aside, as the server may
    // name it ".bak"): anything else in temp was never reported complete by
    // the server and is never taken for a backup.
    const std::string from = findIgnoringCase(tempFolder, backupName + extension);
    const std::string to = databaseFolder + from.substr(from.rfind('/'));
    if (::rename(from.c_str(), to.c_str()) != 0)
        failures.push_back(MoveFailureText(from, to, errno));
    return failures;
}

std::vector<std::string> RemoveFolderFiles(const std::string& folder, std::vector<std::string>* removed)
{
    std::vector<std::string> failures;
    for (const std::string& name : fileNames(folder)) {
        const std::string path = folder + "/" + name;
        if (::unlink(path.c_str()) == 0) {
            if (removed)
                removed->push_back(path);
        } else if (errno != ENOENT) {
            failures.push_back("Cannot delete '" + path + "': " + std::strerror(errno));
        }
    }
    return failures;
}

std::optional<std::string> DatabaseNameProblem(const std::string& name)
{
    const std::string_view trimmed = text::Trim(name);
    if (trimmed.empty() || trimmed == "." || trimmed == ".." || name == "." || name == "..")
        return std::string(kInvalidDatabaseNameText);
    for (unsigned char ch : name) {
        if (ch == '/' || ch < 0x20 || ch == 0x7F)
            return std::string(kInvalidDatabaseNameText);
    }
    return std::nullopt;
}

} // namespace engine
