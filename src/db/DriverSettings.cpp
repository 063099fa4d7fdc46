#include "db/DriverSettings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace db {

namespace {

// FreeTDS reads its settings files with fgets into 256 bytes: a longer line
// is read as two.
constexpr std::size_t kMaxLineBytes = 254;
// An administrator's settings file larger than this is not a settings file.
constexpr off_t kMaxSourceBytes = 1 << 20;

class DriverSettingsFile {
public:
    bool prepare(std::string* error);
    bool requireSection(const EncryptedServerSection& section, std::string& sectionName, std::string& error);

private:
    bool append(const std::string& text, std::string& error);

    std::mutex m_mutex; // guards every member and the writes to m_fd
    bool m_prepareCalled = false;
    std::string m_prepareError; // why the file could not be made; empty once it was
    int m_fd = -1;
    std::vector<std::string> m_globalSources;       // in the order FreeTDS reads them
    std::map<std::string, std::string> m_sections; // section text -> its name
};

DriverSettingsFile& TheFile()
{
    static DriverSettingsFile file;
    return file;
}

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

// The text of a regular file, or nothing. The file is opened without
// blocking, so a FIFO or a device named where a settings file should be
// cannot hold a connect up.
bool ReadSmallFile(const std::string& path, std::string& text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= kMaxSourceBytes;
    text.clear();
    char buffer[8192];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

// The lines of the [global] sections of a FreeTDS settings file, as they
// stand. Sections and comments are recognised the way FreeTDS does: a line
// whose first non-blank character is ';' or '#' is a comment, and a line
// whose name (the text before '=', blanks collapsed, lower case) starts with
// '[' opens the section named up to ']'.
std::vector<std::string> GlobalLines(const std::string& text)
{
    std::vector<std::string> lines;
    bool inGlobal = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();

        std::size_t i = 0;
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i == line.size() || line[i] == ';' || line[i] == '#')
            continue;
        std::string name;
        char previous = 0;
        for (; i < line.size() && line[i] != '='; ++i) {
            const auto c = static_cast<unsigned char>(line[i]);
            if (!std::isspace(c)) {
                if (std::isspace(static_cast<unsigned char>(previous)) && !name.empty())
                    name += ' ';
                name += static_cast<char>(std::tolower(c));
            }
            previous = line[i];
        }
        if (name.empty())
            continue;
        if (name.front() == '[') {
            inGlobal = name.substr(1, name.find(']') - 1) == "global";
        } else if (inGlobal) {
            lines.push_back(line);
        }
    }
    return lines;
}

// Whether FreeTDS reads `value` back exactly: it ends a value at ';' or '#',
// collapses runs of blanks into one space and drops blanks at either end.
bool FitsSettingsLine(const std::string& key, const std::string& value)
{
    if (value.find_first_of(";#\r\n\t\v\f") != std::string::npos)
        return false;
    if (!value.empty() && (value.front() == ' ' || value.back() == ' '))
        return false;
    if (value.find("  ") != std::string::npos)
        return false;
    return 1 + key.size() + 3 + value.size() <= kMaxLineBytes;
}

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

bool DriverSettingsFile::prepare(std::string* error)
{
    std::lock_guard lock(m_mutex);
    if (!m_prepareCalled) {
        m_prepareCalled = true;
        m_prepareError = "the program did not prepare its FreeTDS settings file";

        // The files FreeTDS reads when FREETDSCONF does not define a server,
        // named now: the environment is read only before threads exist.
        if (const char* own = std::getenv("FREETDSCONF"); own && *own)
            m_globalSources.emplace_back(own);
        if (const char* prefix = std::getenv("FREETDS"); prefix && *prefix)
            m_globalSources.push_back(std::string(prefix) + "/etc/freetds.conf");
        if (const std::string home = HomeFolder(); !home.empty())
            m_globalSources.push_back(home + "/.freetds.conf");
        m_globalSources.emplace_back("/etc/freetds/freetds.conf");

        const int fd = ::memfd_create("corvella-freetds.conf", MFD_CLOEXEC);
        if (fd < 0) {
            m_prepareError = "cannot create the private FreeTDS settings file: " + ErrnoText(errno);
        } else {
            ::fchmod(fd, 0600);
            const std::string path = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
            // FreeTDS opens the file by that name; without /proc it could not.
            struct stat byName {}, byDescriptor {};
            if (::stat(path.c_str(), &byName) != 0 || ::fstat(fd, &byDescriptor) != 0
                || byName.st_ino != byDescriptor.st_ino || byName.st_dev != byDescriptor.st_dev) {
                m_prepareError = "cannot reach the private FreeTDS settings file as " + path + " (is /proc mounted?)";
                ::close(fd);
            } else {
                m_fd = fd;
                m_prepareError.clear();
                std::string ignored;
                append("# Corvella's FreeTDS settings: one section for each server connection that requires\n"
                       "# encryption. Held in memory only; it ends with the program.\n",
                       ignored);
                ::setenv("FREETDSCONF", path.c_str(), 1);
            }
        }
    }
    if (!m_prepareError.empty() && error)
        *error = m_prepareError;
    return m_prepareError.empty();
}

bool DriverSettingsFile::append(const std::string& text, std::string& error)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(m_fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write the private FreeTDS settings file: " + ErrnoText(errno);
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool DriverSettingsFile::requireSection(const EncryptedServerSection& section, std::string& sectionName,
                                        std::string& error)
{
    struct Entry {
        const char* key;
        const std::string& value;
        const char* what; // for the operator, when the value cannot be written
    };
    const Entry entries[] = {
        {"host", section.host, "the server name"},
        {"instance", section.instance, "the instance name"},
        {"port", section.port, "the port"},
        {"tds version", section.tdsVersion, "the TDS version"},
        {"ca file", section.caFile, "DB_CA_FILE"},
    };
    std::string own;
    for (const Entry& entry : entries) {
        if (!FitsSettingsLine(entry.key, entry.value)) {
            error = std::string("DB_ENCRYPTION=REQUIRE cannot connect: ") + entry.what + " '" + entry.value
                + "' cannot be written into a FreeTDS settings file, which cannot hold ';', '#', tabs, line "
                  "breaks, repeated or surrounding blanks, or lines over "
                + std::to_string(kMaxLineBytes) + " bytes.";
            return false;
        }
        // An empty "ca file" is written on purpose: it undoes one that a
        // global setting may name.
        if (!entry.value.empty() || std::strcmp(entry.key, "ca file") == 0)
            own += std::string("\t") + entry.key + " = " + entry.value + "\n";
    }
    own += "\tencryption = require\n";
    if (!section.caFile.empty())
        own += "\tcheck certificate hostname = yes\n";

    std::string carried;
    std::lock_guard lock(m_mutex);
    if (!m_prepareError.empty()) {
        error = "DB_ENCRYPTION=REQUIRE cannot connect: " + m_prepareError + ".";
        return false;
    }
    for (const std::string& source : m_globalSources) {
        std::string text;
        if (!ReadSmallFile(source, text))
            continue;
        const std::vector<std::string> lines = GlobalLines(text);
        if (lines.empty())
            continue;
        if (const std::string note = "\t# [global] of " + source; FitsSettingsLine("#", source) && note.size() <= kMaxLineBytes)
            carried += note + "\n";
        for (const std::string& line : lines)
            carried += line + "\n";
    }
    const std::string body = carried + own;
    if (auto known = m_sections.find(body); known != m_sections.end()) {
        sectionName = known->second;
        return true;
    }
    char name[32];
    std::snprintf(name, sizeof name, "corvella-require-%06zu", m_sections.size() + 1);
    if (!append(std::string("[") + name + "]\n" + body, error)) {
        error = "DB_ENCRYPTION=REQUIRE cannot connect: " + error + ".";
        return false;
    }
    m_sections.emplace(body, name);
    sectionName = name;
    return true;
}

} // namespace

bool PrepareDriverSettings(std::string* error)
{
    return TheFile().prepare(error);
}

bool RequireEncryptionSection(const EncryptedServerSection& section, std::string& sectionName, std::string& error)
{
    return TheFile().requireSection(section, sectionName, error);
}

} // namespace db
