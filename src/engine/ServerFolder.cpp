#include "engine/ServerFolder.h"

#include "engine/BackupFolders.h"

#include "db/Connection.h"
#include "db/ResultTable.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace engine {

namespace {

constexpr const char* kMarkerText =
    "Corvella checks whether the SQL Server sees this folder. This file is no backup; it is removed at once.\n";
// What the server's text says about the marker, as it words it.
constexpr const char* kMalformedMarker = "incorrectly formed";
constexpr const char* kNoFileMarker = "Operating system error 2(";
constexpr const char* kNoPathMarker = "Operating system error 3(";
constexpr const char* kDeniedMarker = "Operating system error 5(";

bool IsDriveOrShare(const std::string& path)
{
    const bool drive = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
    return drive || path.rfind("\\\\", 0) == 0;
}

// The text of the server's message without the driver's "Error Object : ...
// Error Contents : " frame.
std::string ServerMessage(const std::string& errorText)
{
    constexpr const char* kContents = " Error Contents : ";
    const std::size_t at = errorText.find(kContents);
    return at == std::string::npos ? errorText : errorText.substr(at + std::strlen(kContents));
}

std::string MarkerName()
{
    static std::atomic<unsigned> counter{0};
    return std::string(kMarkerPrefix) + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1))
        + ".chk";
}

// Writes the marker readable by every account: the server reads it as its own.
bool WriteMarker(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    (void)::fchmod(fd, 0644);
    const std::size_t length = std::strlen(kMarkerText);
    const bool written = ::write(fd, kMarkerText, length) == static_cast<ssize_t>(length);
    if (!written)
        error = std::strerror(errno ? errno : EIO);
    ::close(fd);
    if (!written)
        ::unlink(path.c_str());
    return written;
}

std::string Quoted(const std::string& path)
{
    return "'" + path + "'";
}

// `text` as a T-SQL Unicode literal: N'...' with every quote doubled.
std::string UnicodeLiteral(const std::string& text)
{
    std::string out = "N'";
    for (char c : text)
        out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// The command the check sends: the server opens the file it names.
std::string HeaderOnlyCommand(const std::string& serverFile)
{
    return "RESTORE HEADERONLY FROM DISK = " + UnicodeLiteral(serverFile);
}

} // namespace

char ServerPathSeparator(const std::string& path)
{
    return IsDriveOrShare(path) ? '\\' : '/';
}

std::string JoinServerPath(const std::string& folder, const std::string& name)
{
    const char separator = ServerPathSeparator(folder);
    std::string joined = folder;
    while (!joined.empty() && (joined.back() == separator || joined.back() == '/')) {
        // "/" and "D:\" are roots: their separator stays.
        const bool root = joined.size() == 1 || (joined.size() == 3 && joined[1] == ':');
        if (root)
            break;
        joined.pop_back();
    }
    if (joined.empty() || (joined.back() != separator && joined.back() != '/'))
        joined += separator;
    return joined + name;
}

std::string ServerTempFolder(const std::string& serverBackupPath, const std::string& databaseName,
                             const std::string& localTempFolder)
{
    if (serverBackupPath.empty())
        return localTempFolder;
    return JoinServerPath(JoinServerPath(serverBackupPath, databaseName), "temp");
}

std::string ServerFileName(const std::string& localFile, const std::string& backupPath,
                           const std::string& serverBackupPath)
{
    if (serverBackupPath.empty())
        return localFile;
    const std::filesystem::path relative
        = std::filesystem::path(localFile).lexically_normal().lexically_relative(
            std::filesystem::path(backupPath).lexically_normal());
    if (relative.empty() || *relative.begin() == "..")
        return localFile;
    std::string name = serverBackupPath;
    for (const auto& part : relative)
        name = JoinServerPath(name, part.string());
    return name;
}

ServerFolderNames FolderNamesFor(const std::string& backupPath, const std::string& serverBackupPath,
                                 const std::string& databaseName)
{
    ServerFolderNames names;
    names.backupPath = backupPath;
    names.serverBackupPath = serverBackupPath;
    names.localTempFolder = backupPath + "/" + databaseName + "/temp";
    names.serverTempFolder = ServerTempFolder(serverBackupPath, databaseName, names.localTempFolder);
    return names;
}

FolderVisibility CheckServerSeesFolder(db::Connection& connection, const ServerFolderNames& names)
{
    FolderVisibility result;
    const std::string both = Quoted(names.localTempFolder)
        + (names.serverTempFolder == names.localTempFolder ? std::string()
                                                           : " (to the SQL Server " + Quoted(names.serverTempFolder) + ")");
    const std::string unchecked = "Corvella could not check whether the SQL Server sees the backup folder " + both + ": ";

    struct stat status {};
    if (::stat(names.localTempFolder.c_str(), &status) != 0 && !CreateFolderPath(names.localTempFolder, {})) {
        result.text = unchecked + "the folder cannot be created here.";
        return result;
    }
    const std::string marker = MarkerName();
    const std::string localFile = names.localTempFolder + "/" + marker;
    std::string error;
    if (!WriteMarker(localFile, error)) {
        result.text = unchecked + "cannot write the check file " + Quoted(localFile) + ": " + error + ".";
        return result;
    }

    db::ResultTable table;
    std::string errorText;
    const db::HRESULT hr
        = connection.ExecuteCommand(HeaderOnlyCommand(JoinServerPath(names.serverTempFolder, marker)), table, errorText);
    ::unlink(localFile.c_str());

    const std::string said = ServerMessage(errorText);
    const std::string setPath = "Set Server's Backup Path to the path under which the SQL Server sees "
        + names.backupPath + ".";
    if (!db::Failed(hr) || said.find(kMalformedMarker) != std::string::npos) {
        result.outcome = FolderVisibility::Outcome::Seen;
        result.text = "The SQL Server sees the backup folder " + both + ".";
    } else if (said.find(kNoFileMarker) != std::string::npos || said.find(kNoPathMarker) != std::string::npos) {
        result.outcome = FolderVisibility::Outcome::NotSeen;
        result.text = "The SQL Server does not see the backup folder: it cannot find "
            + Quoted(names.serverTempFolder) + ", which is " + Quoted(names.localTempFolder) + " here. " + setPath;
    } else if (said.find(kDeniedMarker) != std::string::npos) {
        result.outcome = FolderVisibility::Outcome::NotReadable;
        result.text = "The SQL Server finds the backup folder " + Quoted(names.serverTempFolder) + " (here "
            + Quoted(names.localTempFolder) + ") but may not read in it (operating system error 5): give its "
              "service account the rights of "
            + names.backupPath + ".";
    } else {
        result.text = unchecked + (said.empty() ? std::string("the server gave no reason.") : said);
    }
    return result;
}

} // namespace engine
