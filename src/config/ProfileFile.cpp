#include "config/ProfileFile.h"

#include "text/Text.h"
#include "text/Unicode.h"

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace config {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The file's blanks are spaces and tabs alone.
constexpr std::string_view kBlanks = " \t";

bool isBlank(char ch)
{
    return kBlanks.find(ch) != std::string_view::npos;
}

std::string_view trim(std::string_view text)
{
    return text::Trim(text, kBlanks);
}

char lowerAscii(char ch)
{
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
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


bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

// 64-bit FNV-1a of the ASCII-lower-cased text, seeded with `seed`.
std::uint64_t caseFoldedHash(std::string_view text, std::uint64_t seed)
{
    std::uint64_t hash = 14695981039346656037ull ^ (seed * 0x9E3779B97F4A7C15ull);
    for (char ch : text) {
        hash ^= static_cast<unsigned char>(lowerAscii(ch));
        hash *= 1099511628211ull;
    }
    return hash;
}

// Where the line starting at `pos` ends (before its line ending) and where
// the next one starts. A line ends at LF, CR LF, or a CR alone (old
// Macintosh files, or a last line cut after its CR).
struct LineBounds {
    std::size_t end;
    std::size_t next;
};

LineBounds lineAt(std::string_view text, std::size_t pos)
{
    const std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos)
        return {text.size(), text.size()};
    return {end, end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1)};
}

// The index tables: open addressing with linear probing over slots that hold
// an entry's index + 1 (0 is free), at most half full.
constexpr std::uint32_t kNoEntry = 0xFFFFFFFFu;

template <typename Matches>
std::uint32_t lookup(const std::vector<std::uint32_t>& slots, std::uint64_t hash, Matches matches)
{
    if (slots.empty())
        return kNoEntry;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const std::uint32_t slot = slots[i];
        if (slot == 0)
            return kNoEntry;
        if (matches(slot - 1))
            return slot - 1;
    }
}

void place(std::vector<std::uint32_t>& slots, std::uint64_t hash, std::uint32_t index)
{
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hash & mask;
    while (slots[i] != 0)
        i = (i + 1) & mask;
    slots[i] = index + 1;
}

// Adds entry `index`, the count-th, growing the table first when needed.
template <typename HashOf>
void insert(std::vector<std::uint32_t>& slots, std::size_t count, std::uint64_t hash, std::uint32_t index,
            HashOf hashOf)
{
    if (count * 2 > slots.size()) {
        std::size_t size = slots.empty() ? 16 : slots.size();
        while (count * 2 > size)
            size *= 2;
        slots.assign(size, 0);
        for (std::uint32_t i = 0; i < index; ++i)
            place(slots, hashOf(i), i);
    }
    place(slots, hash, index);
}

} // namespace

ProfileFile ProfileFile::parse(std::string text)
{
    assert(text.size() < kAddedBit);
    ProfileFile profile;
    if (std::string_view(text).starts_with(kBom)) {
        profile.m_bom = true;
        text.erase(0, kBom.size());
    }
    profile.m_text = std::move(text);
    const std::string_view all = profile.m_text;

    // Text that is not indexed collects in a run until the next indexed
    // line. A section's region ends at the next header of any kind; new keys
    // go before the blank lines at its end, so the run is split there.
    std::uint32_t runStart = 0;
    std::uint32_t current = kNone; // the region's section; kNone in the preamble and in a repeated section
    std::uint32_t lastNonBlankEnd = 0;
    const auto flush = [&](std::uint32_t end) {
        if (end > runStart)
            profile.m_pieces.push_back(Span {runStart, end - runStart, 0});
        runStart = end;
    };
    const auto closeRegion = [&] {
        if (current == kNone)
            return;
        flush(lastNonBlankEnd);
        profile.m_sections[current].insertAt = static_cast<std::uint32_t>(profile.m_pieces.size());
    };
    const auto ownPiece = [&](std::uint32_t begin, std::uint32_t next) {
        flush(begin);
        profile.m_pieces.push_back(Span {begin, next - begin, 0});
        runStart = next;
        return static_cast<std::uint32_t>(profile.m_pieces.size() - 1);
    };

    bool eolSeen = false;
    std::size_t pos = 0;
    while (pos < all.size()) {
        const auto [end, next] = lineAt(all, pos);
        if (!eolSeen && next > end) {
            profile.m_eol = std::string(all.substr(end, next - end));
            eolSeen = true;
        }
        const std::string_view line = all.substr(pos, end - pos);
        const auto begin = static_cast<std::uint32_t>(pos);
        const auto after = static_cast<std::uint32_t>(next);
        if (const auto name = sectionName(line)) {
            closeRegion();
            current = kNone;
            if (profile.findSection(*name) == kNone) {
                const std::uint32_t header = ownPiece(begin, after);
                const auto nameBegin = static_cast<std::uint32_t>(name->data() - all.data());
                current = profile.addSection(Span {nameBegin, static_cast<std::uint32_t>(name->size()), 0}, header);
                lastNonBlankEnd = after;
            }
        } else if (current != kNone) {
            if (const auto key = keyName(line); key && profile.findKey(current, *key) == kNone)
                profile.addKey(current, ownPiece(begin, after));
            if (!trim(line).empty())
                lastNonBlankEnd = after;
        }
        pos = next;
    }
    closeRegion();
    flush(static_cast<std::uint32_t>(all.size()));
    profile.m_pieces.shrink_to_fit();
    profile.m_sections.shrink_to_fit();
    profile.m_keys.shrink_to_fit();
    return profile;
}

std::string_view ProfileFile::view(Span span) const
{
    return std::string_view(span.edited ? m_edits : m_text).substr(span.begin, span.size);
}

ProfileFile::Span ProfileFile::appendEdit(std::string_view text)
{
    const auto begin = static_cast<std::uint32_t>(m_edits.size());
    m_edits.append(text);
    assert(m_edits.size() < kAddedBit);
    return Span {begin, static_cast<std::uint32_t>(text.size()), 1};
}

ProfileFile::Span& ProfileFile::lineSpan(std::uint32_t line)
{
    return line & kAddedBit ? m_added[line & ~kAddedBit].line : m_pieces[line];
}

std::string_view ProfileFile::lineText(std::uint32_t line) const
{
    std::string_view text = view(line & kAddedBit ? m_added[line & ~kAddedBit].line : m_pieces[line]);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::uint32_t ProfileFile::findSection(std::string_view name) const
{
    return lookup(m_sectionSlots, caseFoldedHash(name, 0), [&](std::uint32_t index) {
        return equalIgnoringCase(view(m_sections[index].name), name);
    });
}

std::uint64_t ProfileFile::keyHash(std::uint32_t section, std::string_view key) const
{
    return caseFoldedHash(key, std::uint64_t(section) + 1);
}

std::uint32_t ProfileFile::findKeyEntry(std::uint32_t section, std::string_view key) const
{
    return lookup(m_keySlots, keyHash(section, key), [&](std::uint32_t candidate) {
        const Key& entry = m_keys[candidate];
        return entry.section == section && equalIgnoringCase(*keyName(lineText(entry.line)), key);
    });
}

std::uint32_t ProfileFile::findKey(std::uint32_t section, std::string_view key) const
{
    const std::uint32_t entry = findKeyEntry(section, key);
    return entry == kNoEntry ? kNone : m_keys[entry].line;
}

std::uint32_t ProfileFile::addSection(Span name, std::uint32_t header)
{
    const auto index = static_cast<std::uint32_t>(m_sections.size());
    m_sections.push_back(Section {name, header, kNone, kNone, kNone});
    insert(m_sectionSlots, m_sections.size(), caseFoldedHash(view(name), 0), index,
           [this](std::uint32_t i) { return caseFoldedHash(view(m_sections[i].name), 0); });
    return index;
}

void ProfileFile::addKey(std::uint32_t section, std::uint32_t line)
{
    const auto index = static_cast<std::uint32_t>(m_keys.size());
    m_keys.push_back(Key {section, line});
    // A removed key's entry matches nothing; where it lies does not matter.
    const auto hashOf = [this](std::uint32_t i) {
        return m_keys[i].section == kNone ? 0 : keyHash(m_keys[i].section, *keyName(lineText(m_keys[i].line)));
    };
    insert(m_keySlots, m_keys.size(), hashOf(index), index, hashOf);
}

ProfileFile::LoadStatus ProfileFile::load(const std::string& path, ProfileFile& profile, std::string* error)
{
    profile = ProfileFile();
    try {
        return loadText(path, profile, error);
    } catch (const std::bad_alloc&) {
        profile = ProfileFile();
        if (error)
            *error = "Cannot read settings file '" + path + "': out of memory";
        return LoadStatus::Failed;
    }
}

ProfileFile::LoadStatus ProfileFile::loadText(const std::string& path, ProfileFile& profile, std::string* error)
{
    const auto fail = [&](const std::string& reason) {
        if (error)
            *error = "Cannot read settings file '" + path + "': " + reason;
        return LoadStatus::Failed;
    };
    // Non-blocking, so that a FIFO in its place cannot hold the program; the
    // type is checked before anything is read.
    struct Descriptor {
        int fd;
        ~Descriptor()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } file {::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (file.fd < 0) {
        if (errno == ENOENT)
            return LoadStatus::Missing;
        return fail(std::strerror(errno));
    }
    struct stat status {};
    if (::fstat(file.fd, &status) != 0)
        return fail(std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        return fail("not a regular file");
    const auto tooLarge = [&] {
        return fail("larger than " + std::to_string(kMaxFileSize / (1024 * 1024)) + " MiB");
    };
    if (status.st_size > static_cast<off_t>(kMaxFileSize))
        return tooLarge();
    std::string text;
    text.reserve(static_cast<std::size_t>(status.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(file.fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return fail(std::strerror(errno));
        }
        if (got == 0)
            break;
        // The file may grow while it is read.
        if (text.size() + static_cast<std::size_t>(got) > kMaxFileSize)
            return tooLarge();
        text.append(buffer, static_cast<std::size_t>(got));
    }
    profile = parse(std::move(text));
    return LoadStatus::Loaded;
}

std::string ProfileFile::text() const
{
    std::string out;
    out.reserve(m_text.size() + m_edits.size() + kBom.size());
    if (m_bom)
        out += kBom;
    const std::size_t start = out.size();
    // What follows a last line without a line ending starts a line of its own.
    const auto endLine = [&] {
        if (out.size() > start && out.back() != '\n' && out.back() != '\r')
            out += m_eol;
    };
    const auto appendAdded = [&](const Section& section) {
        if (section.firstAdded == kNone)
            return;
        endLine();
        for (std::uint32_t added = section.firstAdded; added != kNone; added = m_added[added].next)
            out += view(m_added[added].line);
    };
    // The sections of the file come first, their insertion points in file
    // order; the sections written since follow at the end.
    std::size_t section = 0;
    for (std::size_t piece = 0; piece <= m_pieces.size(); ++piece) {
        for (; section < m_sections.size() && m_sections[section].insertAt == piece; ++section)
            appendAdded(m_sections[section]);
        if (piece < m_pieces.size())
            out += view(m_pieces[piece]);
    }
    for (; section < m_sections.size(); ++section) {
        const Section& added = m_sections[section];
        endLine();
        out += '[';
        out += view(added.name);
        out += ']';
        out += m_eol;
        appendAdded(added);
    }
    return out;
}

std::optional<std::string> ProfileFile::find(std::string_view section, std::string_view key) const
{
    const std::uint32_t sectionIndex = findSection(section);
    if (sectionIndex == kNone)
        return std::nullopt;
    const std::uint32_t line = findKey(sectionIndex, key);
    if (line == kNone)
        return std::nullopt;
    const std::string_view text = lineText(line);
    const std::string_view value = trim(text.substr(text.find('=') + 1));
    // A file written on Windows holds code page 1252.
    if (isQuoted(value))
        return text::Utf8OrCp1252(unquote(value));
    return text::Utf8OrCp1252(value);
}

std::string ProfileFile::read(std::string_view section, std::string_view key) const
{
    return find(section, key).value_or(std::string());
}

std::vector<std::string> ProfileFile::keys(std::string_view section) const
{
    std::vector<std::string> names;
    const std::uint32_t sectionIndex = findSection(section);
    if (sectionIndex == kNone)
        return names;
    for (const Key& key : m_keys) {
        if (key.section == sectionIndex)
            names.emplace_back(*keyName(lineText(key.line)));
    }
    return names;
}

void ProfileFile::write(std::string_view section, std::string_view key, std::string_view value)
{
    const std::string stored = needsQuoting(value) ? quote(value) : std::string(value);

    std::uint32_t sectionIndex = findSection(section);
    if (sectionIndex == kNone)
        sectionIndex = addSection(appendEdit(section));

    if (const std::uint32_t line = findKey(sectionIndex, key); line != kNone) {
        // The key's own spelling, the blanks around "=" and the line ending
        // stay as they are. The new line is made whole before it is added:
        // the old one may lie in the buffer that the addition moves.
        const std::string_view old = lineText(line);
        const std::string_view eol = view(lineSpan(line)).substr(old.size());
        std::size_t valueStart = old.find('=') + 1;
        while (valueStart < old.size() && isBlank(old[valueStart]))
            ++valueStart;
        std::string replaced;
        replaced.reserve(valueStart + stored.size() + eol.size());
        replaced.append(old.substr(0, valueStart)).append(stored).append(eol);
        lineSpan(line) = appendEdit(replaced);
        return;
    }

    m_added.push_back(AddedLine {appendEdit(std::string(key) + "=" + stored + m_eol), kNone});
    const auto added = static_cast<std::uint32_t>(m_added.size() - 1);
    Section& target = m_sections[sectionIndex];
    if (target.lastAdded == kNone)
        target.firstAdded = added;
    else
        m_added[target.lastAdded].next = added;
    target.lastAdded = added;
    addKey(sectionIndex, kAddedBit | added);
}

bool ProfileFile::remove(std::string_view section, std::string_view key)
{
    const std::uint32_t sectionIndex = findSection(section);
    if (sectionIndex == kNone)
        return false;
    const auto isKey = [key](std::string_view line) {
        const auto name = keyName(line);
        return name && equalIgnoringCase(*name, key);
    };
    // The index entry is found while its line is still there; it stays in
    // the index, matching nothing, and a key written again gets a new one.
    if (const std::uint32_t entry = findKeyEntry(sectionIndex, key); entry != kNone)
        m_keys[entry].section = kNone;
    bool removed = false;
    // The section's lines in the file run from its header to the next
    // header of any kind, which may stand inside a run of text.
    const std::uint32_t header = m_sections[sectionIndex].header;
    bool ended = header == kNone;
    for (std::size_t piece = header + 1; !ended && piece < m_pieces.size(); ++piece) {
        const std::string_view text = view(m_pieces[piece]);
        std::size_t keep = 0; // the text before this offset is kept as it is
        std::string kept;
        bool changed = false;
        for (std::size_t pos = 0; pos < text.size();) {
            const LineBounds bounds = lineAt(text, pos);
            const std::string_view line = text.substr(pos, bounds.end - pos);
            if (sectionName(line)) {
                ended = true;
                break;
            }
            if (isKey(line)) {
                kept.append(text.substr(keep, pos - keep));
                keep = bounds.next;
                changed = true;
            }
            pos = bounds.next;
        }
        if (changed) {
            kept.append(text.substr(keep));
            m_pieces[piece] = kept.empty() ? Span {} : appendEdit(kept);
            removed = true;
        }
    }
    for (std::uint32_t added = m_sections[sectionIndex].firstAdded; added != kNone; added = m_added[added].next) {
        if (isKey(lineText(kAddedBit | added))) {
            m_added[added].line = Span {};
            removed = true;
        }
    }
    return removed;
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
