#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace config {

// The text of an INI ("profile") file, read and edited in memory and saved
// atomically.
//
// Section and key names compare without regard to ASCII case; the first
// section and the first key of a name win. A write replaces a key's value
// where it stands, appends a new key after the last non-blank line of its
// section, and creates the section at the end when it is missing; values
// that are not valid UTF-8 are read as code page 1252 (files written on
// Windows) and come back as UTF-8; every
// other line (comments, blank lines, unknown text, line endings, a UTF-8
// BOM) is kept byte for byte. Blanks around "=" and around a value are not
// part of it.
//
// Values are stored as given, except those that would not read back whole:
// a value with a line break, with blanks at either end, or enclosed in
// double quotes is written in double quotes with \\, \", \r and \n escaped.
// A read strips a pair of enclosing quotes and undoes those four escapes;
// a quoted text with any other backslash sequence (a hand-written
// "E:\Backups") is taken as it stands between the quotes.
//
// Memory stays in proportion to the file: the text is kept as read, and
// only the first line of each section name and of each key in it gets an
// entry (about 30 bytes); blank lines, comments, unknown text, repeated
// sections and repeated keys are runs of that text. An 8 MiB file of blank
// lines or of "[]" lines takes little more than its 8 MiB. Written lines are
// kept beside the text.
//
// A plain value: no file is held open and nothing is shared between
// instances, so an instance may be used on any one thread at a time.
class ProfileFile {
public:
    // A value the program reads holds at most this many bytes (what the
    // format's readers have always taken); the settings readers refuse a
    // longer one with the key's name, and never cut it.
    static constexpr std::size_t kMaxValueLength = 1023;
    // Larger files are refused: ten thousand databases take about 3 MiB.
    static constexpr std::size_t kMaxFileSize = 8 * 1024 * 1024;

    enum class LoadStatus { Loaded, Missing, Failed };

    // `text` is at most kMaxFileSize bytes, as load() ensures.
    static ProfileFile parse(std::string text);

    // Reads the file at `path` into `profile`. A missing file leaves an
    // empty profile and gives Missing; a file that exists but cannot be read,
    // is not a regular file (a FIFO, a device, a folder) or is larger than
    // kMaxFileSize gives Failed and the reason in `error` (when given).
    // Lines end at LF, CR LF or a lone CR. Running out of memory gives
    // Failed too.
    static LoadStatus load(const std::string& path, ProfileFile& profile, std::string* error = nullptr);

    // The whole file text as it would be saved.
    std::string text() const;

    // The value whole, or nothing when the section or the key is missing.
    std::optional<std::string> find(std::string_view section, std::string_view key) const;
    // The value whole; "" when it is missing.
    std::string read(std::string_view section, std::string_view key) const;
    void write(std::string_view section, std::string_view key, std::string_view value);
    // Removes every line of the key in the section (duplicates too); the
    // other lines, comments and blank lines stay. False when there was none.
    bool remove(std::string_view section, std::string_view key);
    // The names of the keys of a section as spelled in the file, in file
    // order (then those written since), each name once.
    std::vector<std::string> keys(std::string_view section) const;

    // Writes the text to a temporary file in the folder of `path`, flushes it
    // to disk and renames it over `path`, so the file is never left half
    // written. A new file gets mode 0600; an existing one keeps its mode.
    // A symbolic link at `path` is followed. Blocks on disk I/O.
    bool save(const std::string& path, std::string* error = nullptr) const;

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    // Marks a line reference as one of m_added rather than of m_pieces.
    static constexpr std::uint32_t kAddedBit = 0x80000000u;

    // Bytes [begin, begin + size) of m_text, or of m_edits when edited is set.
    struct Span {
        std::uint32_t begin = 0;
        std::uint32_t size : 31 = 0;
        std::uint32_t edited : 1 = 0;
    };
    struct Section {
        Span name;                      // trimmed, between the brackets
        std::uint32_t header = kNone;   // the piece of its header line; kNone for a section written since
        std::uint32_t insertAt = kNone; // piece before which new keys go; kNone for a section written since
        std::uint32_t firstAdded = kNone;
        std::uint32_t lastAdded = kNone;
    };
    struct AddedLine {
        Span line; // with its line ending
        std::uint32_t next = kNone;
    };
    struct Key {
        std::uint32_t section; // kNone once removed
        std::uint32_t line;    // a piece, or kAddedBit | an added line
    };

    static LoadStatus loadText(const std::string& path, ProfileFile& profile, std::string* error);
    std::string_view view(Span span) const;
    Span appendEdit(std::string_view text);
    Span& lineSpan(std::uint32_t line);
    std::string_view lineText(std::uint32_t line) const; // without its line ending
    std::uint32_t findSection(std::string_view name) const;
    std::uint32_t findKeyEntry(std::uint32_t section, std::string_view key) const; // an index into m_keys
    std::uint32_t findKey(std::uint32_t section, std::string_view key) const;      // a line
    std::uint32_t addSection(Span name, std::uint32_t header = kNone);
    void addKey(std::uint32_t section, std::uint32_t line);
    std::uint64_t keyHash(std::uint32_t section, std::string_view key) const;

    bool m_bom = false;
    std::string m_eol = "\n";
    std::string m_text;   // the file as read, without its BOM; never changed
    std::string m_edits;  // lines and section names written since
    // The file in order: runs of text, and lines of their own for section
    // headers and keys that are indexed. Each includes its line ending.
    std::vector<Span> m_pieces;
    std::vector<Section> m_sections;
    std::vector<AddedLine> m_added;
    std::vector<Key> m_keys;
    // Open addressing, 0 for free, else index + 1 into m_sections and m_keys.
    std::vector<std::uint32_t> m_sectionSlots;
    std::vector<std::uint32_t> m_keySlots;
};

// Loads `path`, lets `edit` change the profile and saves it once. A file that
// exists but cannot be read is left alone. False, with the reason in `error`,
// when the file could not be read or written.
bool UpdateProfileFile(const std::string& path, const std::function<void(ProfileFile&)>& edit,
                       std::string* error = nullptr);

} // namespace config
