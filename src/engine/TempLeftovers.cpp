#include "engine/TempLeftovers.h"

#include "engine/BackupFolders.h"
#include "engine/ServerFolder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <map>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace engine {

namespace {

constexpr std::size_t kStampLength = 14;
constexpr std::size_t kArchiveSuffixLength = 6; // the random part of an archive's temporary name

struct Entry {
    std::string name;
    struct stat status {};
};

std::vector<Entry> PlainFiles(const std::string& folder)
{
    std::vector<Entry> files;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return files;
    while (const dirent* found = ::readdir(dir)) {
        Entry entry{found->d_name, {}};
        if (entry.name == "." || entry.name == "..")
            continue;
        if (::stat((folder + "/" + entry.name).c_str(), &entry.status) != 0 || S_ISDIR(entry.status.st_mode))
            continue;
        files.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return files;
}

bool AllOf(const std::string& text, int (*test)(int))
{
    return std::all_of(text.begin(), text.end(), [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

// The backup name in `stem` ("<name>" or "<name><14 digits>"), or nothing.
bool IsBackupName(const std::string& stem, const std::string& databaseName)
{
    if (stem.compare(0, databaseName.size(), databaseName) != 0)
        return false;
    const std::string stamp = stem.substr(databaseName.size());
    return stamp.empty() || (stamp.size() == kStampLength && AllOf(stamp, isdigit));
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// ".<name>.zip.XXXXXX", the temporary name an archive is written under.
bool IsArchiveTempName(const std::string& name, const std::string& databaseName)
{
    if (name.size() < 1 + 4 + 1 + kArchiveSuffixLength || name.front() != '.')
        return false;
    const std::string suffix = name.substr(name.size() - kArchiveSuffixLength);
    const std::string archive = name.substr(1, name.size() - 1 - 1 - kArchiveSuffixLength);
    return name[name.size() - kArchiveSuffixLength - 1] == '.' && AllOf(suffix, isalnum) && EndsWith(archive, ".zip")
        && IsBackupName(archive.substr(0, archive.size() - 4), databaseName);
}

// "<backup name>_restoretest.Bak": an archive unpacked for a restore test.
bool IsUnpackedForRestoreTest(const std::string& name, const std::string& databaseName)
{
    constexpr std::string_view kSuffix = "_restoretest.Bak";
    return EndsWith(name, std::string(kSuffix))
        && IsBackupName(name.substr(0, name.size() - kSuffix.size()), databaseName);
}

bool IsMarkerName(const std::string& name)
{
    return name.rfind(kMarkerPrefix, 0) == 0 && EndsWith(name, ".chk");
}

} // namespace

TempLeftovers FindTempLeftovers(const std::string& tempFolder, const std::string& databaseName)
{
    TempLeftovers found;
    // Complete backups by name: the archive wins over the file it was made from.
    std::map<std::string, std::pair<TempLeftovers::Backup, time_t>> complete;
    std::vector<std::pair<std::string, std::string>> bakFiles; // backup name, path
    for (const Entry& entry : PlainFiles(tempFolder)) {
        const std::string path = tempFolder + "/" + entry.name;
        const std::size_t dot = entry.name.rfind('.');
        const std::string stem = dot == std::string::npos ? entry.name : entry.name.substr(0, dot);
        const std::string extension = dot == std::string::npos ? std::string() : entry.name.substr(dot);
        const bool ours = IsBackupName(stem, databaseName);
        if (ours && extension == ".zip") {
            complete[stem] = {{path, stem, extension}, entry.status.st_mtime};
        } else if (ours && extension == ".Bak") {
            bakFiles.emplace_back(stem, path);
            complete.try_emplace(stem, TempLeftovers::Backup{path, stem, extension}, entry.status.st_mtime);
        } else if ((ours && extension == ".bak") || IsArchiveTempName(entry.name, databaseName)
                   || IsUnpackedForRestoreTest(entry.name, databaseName) || IsMarkerName(entry.name)) {
            found.incomplete.push_back(path);
        } else {
            found.foreign.push_back(path);
        }
    }
    for (const auto& [stem, path] : bakFiles) {
        if (complete.at(stem).first.extension == ".zip")
            found.redundant.push_back(path);
    }
    std::vector<std::pair<TempLeftovers::Backup, time_t>> ordered;
    for (auto& [stem, backup] : complete)
        ordered.push_back(std::move(backup));
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    for (auto& [backup, modified] : ordered)
        found.complete.push_back(std::move(backup));
    return found;
}

std::vector<std::string> FinishInterruptedRotation(const std::string& databaseFolder, const std::string& tempFolder,
                                                   const TempLeftovers::Backup& backup)
{
    if (!PlainFiles(databaseFolder).empty())
        return RotateBackupFolders(databaseFolder, tempFolder, backup.backupName, backup.extension);
    const std::string to = databaseFolder + "/" + backup.backupName + backup.extension;
    if (::rename(backup.path.c_str(), to.c_str()) != 0)
        return {MoveFailureText(backup.path, to, errno)};
    return {};
}

} // namespace engine
