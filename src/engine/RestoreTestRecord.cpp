#include "engine/RestoreTestRecord.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace engine {

namespace {

constexpr const char* kLastKind = "last";
constexpr const char* kScratchKind = "scratch";
constexpr const char* kHeading = "# Corvella restore tests: the last test of each database, and scratch databases "
                                 "not yet dropped.\n";

std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

bool Unescape(const std::string& text, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '\\': out += '\\'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        default: return false;
        }
    }
    return true;
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

bool WriteAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string RestoreTestKey(const std::string& server, const std::string& name)
{
    return server + "\n" + name;
}

RestoreTestStateFile::RestoreTestStateFile(std::string path)
    : m_path(std::move(path))
{
}

std::string RestoreTestStateFile::PathBesideLog(const std::string& logPath)
{
    const std::filesystem::path folder = std::filesystem::path(logPath).parent_path();
    return (folder / kFileName).string();
}

std::vector<RestoreTestStateFile::Entry> RestoreTestStateFile::load()
{
    std::vector<Entry> entries;
    std::ifstream in(m_path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() == '#')
            continue;
        const std::vector<std::string> fields = SplitTabs(line);
        Entry entry;
        std::string server, database;
        if (fields.size() == 4 && (fields[0] == kLastKind || fields[0] == kScratchKind)
            && Unescape(fields[1], server) && Unescape(fields[2], database) && Unescape(fields[3], entry.value)) {
            entry.kind = fields[0];
            entry.key = RestoreTestKey(server, database);
        } else {
            entry.line = line;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool RestoreTestStateFile::save(const std::vector<Entry>& entries, std::string& error)
{
    std::string text = kHeading;
    for (const Entry& entry : entries) {
        if (entry.kind.empty()) {
            text += entry.line + "\n";
            continue;
        }
        const std::size_t split = entry.key.find('\n');
        text += entry.kind + "\t" + Escape(entry.key.substr(0, split)) + "\t" + Escape(entry.key.substr(split + 1))
            + "\t" + Escape(entry.value) + "\n";
    }
    const std::string temporary = m_path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write '" + temporary + "': " + std::strerror(errno);
        return false;
    }
    const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), m_path.c_str()) != 0) {
        error = "cannot write '" + m_path + "': " + std::strerror(written ? errno : writeErrno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::optional<std::time_t> RestoreTestStateFile::lastTest(const std::string& key)
{
    std::lock_guard lock(m_mutex);
    for (const Entry& entry : load()) {
        if (entry.kind == kLastKind && entry.key == key) {
            char* end = nullptr;
            const long long seconds = std::strtoll(entry.value.c_str(), &end, 10);
            if (end && *end == '\0' && !entry.value.empty())
                return static_cast<std::time_t>(seconds);
        }
    }
    return std::nullopt;
}

bool RestoreTestStateFile::setLastTest(const std::string& key, std::time_t when, std::string& error)
{
    std::lock_guard lock(m_mutex);
    std::vector<Entry> entries = load();
    std::erase_if(entries, [&](const Entry& e) { return e.kind == kLastKind && e.key == key; });
    entries.push_back({kLastKind, key, std::to_string(static_cast<long long>(when)), {}});
    return save(entries, error);
}

std::vector<std::string> RestoreTestStateFile::scratchDatabases(const std::string& key)
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    for (const Entry& entry : load()) {
        if (entry.kind == kScratchKind && entry.key == key)
            names.push_back(entry.value);
    }
    return names;
}

bool RestoreTestStateFile::addScratchDatabase(const std::string& key, const std::string& name, std::string& error)
{
    std::lock_guard lock(m_mutex);
    std::vector<Entry> entries = load();
    const bool known = std::any_of(entries.begin(), entries.end(), [&](const Entry& e) {
        return e.kind == kScratchKind && e.key == key && e.value == name;
    });
    if (!known)
        entries.push_back({kScratchKind, key, name, {}});
    return save(entries, error);
}

bool RestoreTestStateFile::removeScratchDatabase(const std::string& key, const std::string& name, std::string& error)
{
    std::lock_guard lock(m_mutex);
    std::vector<Entry> entries = load();
    const auto removed = std::erase_if(
        entries, [&](const Entry& e) { return e.kind == kScratchKind && e.key == key && e.value == name; });
    return removed == 0 || save(entries, error);
}

} // namespace engine
