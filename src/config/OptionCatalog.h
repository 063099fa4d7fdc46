#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace config {

class ProfileFile;

// Every key of section OPTIONS of BackupConfig.ini, described once: what
// kind of value it takes, its default, one line that explains it to the
// operator, where the Options dialog shows it, and how a typed value is
// checked. The typed reading of a key stays with its user (RunOptions, the
// connection security, the mail settings, the zip level); the catalogue is
// what lets a person see and change the keys, and what the help and the
// dialog are made from. A new key of OPTIONS is one entry in
// OptionCatalog.cpp, in its group.
//
// Plain data and pure functions, except where a file is named; any thread.

enum class OptionKind {
    OnOff,  // TRUE or FALSE; read without regard to case
    Choice, // one of `choices`; read without regard to case
    Number, // a decimal number from `minimum` to `maximum`; a fraction only with `fractions`
    Text,   // free text on one line
    Path,   // a file or folder name; a relative one is relative to the settings file's folder
    Secret, // free text on one line, stored through the password codec and shown masked
};

struct OptionEntry {
    std::string key{};
    OptionKind kind = OptionKind::Text;
    // The value that applies when the key is missing or empty, as stored.
    std::string defaultValue{};
    // One line for the operator: what the option does.
    std::string explanation{};
    // The heading the Options dialog shows it under; groups keep the order
    // of their first entry.
    std::string group{};
    // Choice: the values understood, as stored (upper case).
    std::vector<std::string> choices{};
    // Number: the range, both ends included.
    double minimum = 0;
    double maximum = 0;
    bool fractions = false;
    // A check beyond the kind's: the reason a value that passed the kind's
    // check is refused, or an empty text. Optional.
    std::string (*check)(std::string_view value) = nullptr;
};

inline constexpr const char* kTrueText = "TRUE";
inline constexpr const char* kFalseText = "FALSE";

// The catalogue, in the order the dialog and the help show it.
const std::vector<OptionEntry>& OptionCatalog();

// The entry of `key` (compared without regard to case); null when the key is
// not in the catalogue.
const OptionEntry* FindOption(std::string_view key);

// The reason `value` cannot be stored for `entry` ("VERIFY_BACKUP must be TRUE
// or FALSE."), or an empty text when it can. Blanks around the value do not
// count; an empty value is always accepted and means the default.
std::string CheckOptionValue(const OptionEntry& entry, std::string_view value);

// The form a checked value is stored in: trimmed, on/off and choices in upper
// case, numbers as typed. Secrets are encoded by StoredOptionValue.
std::string NormalizedOptionValue(const OptionEntry& entry, std::string_view value);

// One catalogue key as the settings file holds it, for editing.
struct OptionValue {
    const OptionEntry* entry = nullptr;
    // The text as the operator sees it: decoded for a secret; the default
    // when the key is missing or empty.
    std::string value;
    // The key is in the file with a non-empty value.
    bool stored = false;
    // A stored value that CheckOptionValue refuses: the program applies the
    // default, and the operator should be told so. Shown as it stands.
    bool understood = true;
};

// Every catalogue key, in catalogue order, as `profile` holds it.
std::vector<OptionValue> ReadOptionValues(const ProfileFile& profile);

// The stored form of a value typed for `entry` (normalized; a secret encoded
// by the password codec, empty when it cannot be).
std::string StoredOptionValue(const OptionEntry& entry, std::string_view value);

// Writes the given keys (key, value as typed) to section OPTIONS of the file
// in one atomic save; every other line of the file, unknown keys included,
// stays as it was. Each value is checked first: when one is refused nothing
// is written and `error` holds the reason. A key not in the catalogue is
// refused. False, with the reason, when the file cannot be read or written.
bool SaveOptionValues(const std::string& iniPath, const std::vector<std::pair<std::string, std::string>>& changes,
                      std::string* error = nullptr);

} // namespace config
