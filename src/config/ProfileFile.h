#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
// A plain value: no file is held open and nothing is shared between
// instances, so an instance may be used on any one thread at a time.
class ProfileFile {
public:
    // Reads give at most this many bytes of a value, cut before a partial
    // UTF-8 character.
    static constexpr std::size_t kMaxValueLength = 1023;
    // Larger files are refused: ten thousand databases take about 3 MiB.
    static constexpr std::size_t kMaxFileSize = 8 * 1024 * 1024;

    enum class LoadStatus { Loaded, Missing, Failed };

    static ProfileFile parse(std::string_view text);

    // Reads the file at `path` into `profile`. A missing file leaves an
    // empty profile and gives Missing; a file that exists but cannot be read,
    // is not a regular file (a FIFO, a device, a folder) or is larger than
    // kMaxFileSize gives Failed and the reason in `error` (when given).
    // Lines end at LF, CR LF or a lone CR.
    static LoadStatus load(const std::string& path, ProfileFile& profile, std::string* error = nullptr);

    // The whole file text as it would be saved.
    std::string text() const;

    // The value whole, or nothing when the section or the key is missing.
    std::optional<std::string> find(std::string_view section, std::string_view key) const;
    // The value cut to kMaxValueLength bytes; "" when it is missing.
    std::string read(std::string_view section, std::string_view key) const;
    void write(std::string_view section, std::string_view key, std::string_view value);
    // Removes every line of the key in the section (duplicates too); the
    // other lines, comments and blank lines stay. False when there was none.
    bool remove(std::string_view section, std::string_view key);
    // The names of the keys of a section as spelled in the file, in file
    // order, each name once.
    std::vector<std::string> keys(std::string_view section) const;

    // Writes the text to a temporary file in the folder of `path`, flushes it
    // to disk and renames it over `path`, so the file is never left half
    // written. A new file gets mode 0600; an existing one keeps its mode.
    // A symbolic link at `path` is followed. Blocks on disk I/O.
    bool save(const std::string& path, std::string* error = nullptr) const;

private:
    struct Line {
        std::string text;
        std::string eol; // "\r\n", "\n", or "" for a last line without one
    };
    struct Section {
        Line header;
        std::vector<Line> body;
        std::unordered_map<std::string, std::size_t> keys; // lower-case key -> body index
    };

    void addLine(Line line);
    static void indexKeys(Section& section);
    Line* lastLine();

    bool m_bom = false;
    std::string m_eol = "\n";
    std::vector<Line> m_preamble;
    std::vector<Section> m_sections;
    std::unordered_map<std::string, std::size_t> m_sectionIndex; // lower-case name -> index
};

// Loads `path`, lets `edit` change the profile and saves it once. A file that
// exists but cannot be read is left alone. False, with the reason in `error`,
// when the file could not be read or written.
bool UpdateProfileFile(const std::string& path, const std::function<void(ProfileFile&)>& edit,
                       std::string* error = nullptr);

} // namespace config
