#include "config/ProfileFile.h"

#include "config/TextEncoding.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace config {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool isBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& ch : out) {
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    }
    return out;
}

std::optional<std::string_view> sectionName(std::string_view line)
{
    std::string_view text = trim(line);
    if (text.empty() || text.front() != '[')
        return std::nullopt;
    std::size_t close = text.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return trim(text.substr(1, close - 1));
}

std::optional<std::string_view> keyName(std::string_view line)
{
    std::string_view text = trim(line);
    if (text.empty() || text.front() == ';' || text.front() == '#' || text.front() == '[')
        return std::nullopt;
    std::size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    std::string_view key = trim(text.substr(0, eq));
    if (key.empty())
        return std::nullopt;
    return key;
}

bool isQuoted(std::string_view value)
{
    return value.size() >= 2 && value.front() == '"' && value.back() == '"';
}

bool needsQuoting(std::string_view value)
{
    if (value.empty())
        return false;
    return value.find_first_of("\r\n") != std::string_view::npos || isQuoted(value)
        || isBlank(value.front()) || isBlank(value.back());
}

std::string quote(std::string_view value)
{
    std::string out;
    out.reserve(value.size() + 8);
    out += '"';
    for (char ch : value) {
        switch (ch) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += ch;
        }
    }
    out += '"';
    return out;
}

char unescaped(char ch)
{
    switch (ch) {
    case '\\': return '\\';
    case '"': return '"';
    case 'r': return '\r';
    case 'n': return '\n';
    default: return 0;
    }
}

// A quoted text with any other backslash sequence was not written by
// quote(), so it is taken as it stands: a quoted folder path such as
// "E:\SqlBackups\new" reads as typed.
std::string unquote(std::string_view value)
{
    std::string_view inner = value.substr(1, value.size() - 2);
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '\\') {
            if (i + 1 == inner.size() || !unescaped(inner[i + 1]))
                return std::string(inner);
            ++i;
        }
    }
    std::string out;
    out.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '\\')
            out += unescaped(inner[++i]);
        else
            out += inner[i];
    }
    return out;
}

std::string errnoText(const std::string& what, const std::string& path, int error)
{
    return what + " '" + path + "': " + std::strerror(error);
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

ProfileFile ProfileFile::parse(std::string_view text)
{
    ProfileFile profile;
    if (text.starts_with(kBom)) {
        profile.m_bom = true;
        text.remove_prefix(kBom.size());
    }
    bool eolSeen = false;
    while (!text.empty()) {
        // A line ends at LF, CR LF, or a CR alone (old Macintosh files, or a
        // last line cut after its CR).
        Line line;
        std::size_t end = text.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            line.text = std::string(text);
            text = {};
        } else {
            std::size_t eolLength = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
            line.text = std::string(text.substr(0, end));
            line.eol = std::string(text.substr(end, eolLength));
            text.remove_prefix(end + eolLength);
            if (!eolSeen) {
                profile.m_eol = line.eol;
                eolSeen = true;
            }
        }
        profile.addLine(std::move(line));
    }
    return profile;
}

void ProfileFile::addLine(Line line)
{
    if (auto name = sectionName(line.text)) {
        m_sectionIndex.try_emplace(lower(*name), m_sections.size());
        m_sections.push_back(Section {std::move(line), {}, {}});
        return;
    }
    if (m_sections.empty()) {
        m_preamble.push_back(std::move(line));
        return;
    }
    Section& section = m_sections.back();
    if (auto key = keyName(line.text))
        section.keys.try_emplace(lower(*key), section.body.size());
    section.body.push_back(std::move(line));
}

ProfileFile::Line* ProfileFile::lastLine()
{
    if (!m_sections.empty()) {
        Section& section = m_sections.back();
        return section.body.empty() ? &section.header : &section.body.back();
    }
    return m_preamble.empty() ? nullptr : &m_preamble.back();
}

ProfileFile::LoadStatus ProfileFile::load(const std::string& path, ProfileFile& profile, std::string* error)
{
    profile = ProfileFile();
    const auto fail = [&](const std::string& reason) {
        if (error)
            *error = "Cannot read settings file '" + path + "': " + reason;
        return LoadStatus::Failed;
    };
    // Non-blocking, so that a FIFO in its place cannot hold the program; the
    // type is checked before anything is read.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return LoadStatus::Missing;
        return fail(std::strerror(errno));
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int statError = errno;
        ::close(fd);
        return fail(std::strerror(statError));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return fail("not a regular file");
    }
    const auto tooLarge = [&] {
        return fail("larger than " + std::to_string(kMaxFileSize / (1024 * 1024)) + " MiB");
    };
    if (status.st_size > static_cast<off_t>(kMaxFileSize)) {
        ::close(fd);
        return tooLarge();
    }
    std::string text;
    text.reserve(static_cast<std::size_t>(status.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            int readError = errno;
            ::close(fd);
            return fail(std::strerror(readError));
        }
        if (got == 0)
            break;
        // The file may grow while it is read.
        if (text.size() + static_cast<std::size_t>(got) > kMaxFileSize) {
            ::close(fd);
            return tooLarge();
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    profile = parse(text);
    return LoadStatus::Loaded;
}

std::string ProfileFile::text() const
{
    std::string out;
    if (m_bom)
        out += kBom;
    auto append = [&out](const Line& line) {
        out += line.text;
        out += line.eol;
    };
    for (const Line& line : m_preamble)
        append(line);
    for (const Section& section : m_sections) {
        append(section.header);
        for (const Line& line : section.body)
            append(line);
    }
    return out;
}

std::optional<std::string> ProfileFile::find(std::string_view section, std::string_view key) const
{
    auto sectionIt = m_sectionIndex.find(lower(section));
    if (sectionIt == m_sectionIndex.end())
        return std::nullopt;
    const Section& found = m_sections[sectionIt->second];
    auto keyIt = found.keys.find(lower(key));
    if (keyIt == found.keys.end())
        return std::nullopt;
    std::string_view text = found.body[keyIt->second].text;
    std::string_view value = trim(text.substr(text.find('=') + 1));
    // A file written on Windows holds code page 1252.
    if (isQuoted(value))
        return Utf8OrCp1252(unquote(value));
    return Utf8OrCp1252(value);
}

std::string ProfileFile::read(std::string_view section, std::string_view key) const
{
    std::optional<std::string> value = find(section, key);
    if (!value)
        return {};
    if (value->size() > kMaxValueLength) {
        std::size_t cut = kMaxValueLength;
        while (cut > 0 && (static_cast<unsigned char>((*value)[cut]) & 0xC0) == 0x80)
            --cut;
        value->resize(cut);
    }
    return std::move(*value);
}

void ProfileFile::write(std::string_view section, std::string_view key, std::string_view value)
{
    std::string stored = needsQuoting(value) ? quote(value) : std::string(value);

    std::string sectionKey = lower(section);
    auto sectionIt = m_sectionIndex.find(sectionKey);
    if (sectionIt == m_sectionIndex.end()) {
        if (Line* last = lastLine(); last && last->eol.empty())
            last->eol = m_eol;
        sectionIt = m_sectionIndex.emplace(sectionKey, m_sections.size()).first;
        m_sections.push_back(Section {Line {"[" + std::string(section) + "]", m_eol}, {}, {}});
    }
    Section& target = m_sections[sectionIt->second];

    std::string keyKey = lower(key);
    if (auto keyIt = target.keys.find(keyKey); keyIt != target.keys.end()) {
        // The key's own spelling and the blanks around "=" stay as they are.
        std::string& text = target.body[keyIt->second].text;
        std::size_t valueStart = text.find('=') + 1;
        while (valueStart < text.size() && isBlank(text[valueStart]))
            ++valueStart;
        text.replace(valueStart, std::string::npos, stored);
        return;
    }

    // A new key goes after the last non-blank line of its section, so blank
    // lines that separate it from the next section stay in place. Every key
    // line is at or before that point, so the key index stays valid.
    std::size_t insertAt = target.body.size();
    while (insertAt > 0 && trim(target.body[insertAt - 1].text).empty())
        --insertAt;
    Line& before = insertAt == 0 ? target.header : target.body[insertAt - 1];
    if (before.eol.empty())
        before.eol = m_eol;
    target.body.insert(target.body.begin() + static_cast<std::ptrdiff_t>(insertAt),
                       Line {std::string(key) + "=" + stored, m_eol});
    target.keys.emplace(std::move(keyKey), insertAt);
}

bool ProfileFile::remove(std::string_view section, std::string_view key)
{
    auto sectionIt = m_sectionIndex.find(lower(section));
    if (sectionIt == m_sectionIndex.end())
        return false;
    Section& target = m_sections[sectionIt->second];
    const std::string wanted = lower(key);
    const auto removed = std::erase_if(target.body, [&wanted](const Line& line) {
        const auto name = keyName(line.text);
        return name && lower(*name) == wanted;
    });
    if (removed == 0)
        return false;
    indexKeys(target);
    return true;
}

std::vector<std::string> ProfileFile::keys(std::string_view section) const
{
    std::vector<std::string> names;
    auto sectionIt = m_sectionIndex.find(lower(section));
    if (sectionIt == m_sectionIndex.end())
        return names;
    const Section& found = m_sections[sectionIt->second];
    for (const Line& line : found.body) {
        const auto name = keyName(line.text);
        if (name && found.keys.at(lower(*name)) == static_cast<std::size_t>(&line - found.body.data()))
            names.emplace_back(*name);
    }
    return names;
}

void ProfileFile::indexKeys(Section& section)
{
    section.keys.clear();
    for (std::size_t i = 0; i < section.body.size(); ++i) {
        if (auto key = keyName(section.body[i].text))
            section.keys.try_emplace(lower(*key), i);
    }
}

bool ProfileFile::save(const std::string& path, std::string* error) const
{
    std::string target = path;
    struct stat linkStatus {};
    if (::lstat(path.c_str(), &linkStatus) == 0 && S_ISLNK(linkStatus.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    std::size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);

    struct stat existing {};
    bool exists = ::stat(target.c_str(), &existing) == 0;

    std::string tempPath = target + ".XXXXXX";
    int fd = ::mkstemp(tempPath.data());
    if (fd < 0) {
        if (error)
            *error = errnoText("Cannot write settings file", path, errno);
        return false;
    }
    auto fail = [&](int cause) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(tempPath.c_str());
        if (error)
            *error = errnoText("Cannot write settings file", path, cause);
        return false;
    };

    // mkstemp creates the file with mode 0600, which a new settings file
    // keeps: it holds credentials.
    if (exists) {
        if (::fchmod(fd, existing.st_mode & 07777) != 0)
            return fail(errno);
        if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())
            (void)::fchown(fd, existing.st_uid, existing.st_gid);
    }
    if (!writeAll(fd, text()))
        return fail(errno);
    if (::fsync(fd) != 0)
        return fail(errno);
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return fail(errno);
    if (::rename(tempPath.c_str(), target.c_str()) != 0)
        return fail(errno);

    // The rename itself reaches the disk only with its folder.
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

bool UpdateProfileFile(const std::string& path, const std::function<void(ProfileFile&)>& edit, std::string* error)
{
    ProfileFile profile;
    if (ProfileFile::load(path, profile, error) == ProfileFile::LoadStatus::Failed)
        return false;
    edit(profile);
    return profile.save(path, error);
}

} // namespace config
