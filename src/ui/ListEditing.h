#pragma once

#include "config/DatabaseList.h"

#include <functional>
#include <string>

namespace config { class PasswordCodec; }

namespace ui {

// The rules of the "Database Settings" editor, apart from the widgets: the
// checks a database passes before it enters the list, and the mapping between
// the form and the ten cells of a list row. Plain functions of their inputs;
// any thread.

inline constexpr const char* kEnterUrlText = "Please enter database URL.";
inline constexpr const char* kEnterUserText = "Please enter database Username.";
inline constexpr const char* kEnterNameText = "Please enter database Name.";
inline constexpr const char* kDuplicateText = "Database already in list";
inline constexpr const char* kInvalidPathText = "Please enter valid backup directory path.";
inline constexpr const char* kNotADirectoryText = "Path is not a valid directory.";
inline constexpr const char* kEnterIntervalText = "Please set Time interval.";
inline constexpr const char* kIntervalNotNumberText = "Time interval should be an integer value.";
inline constexpr const char* kConnectionErrorText =
    "Database connection error. Please enter valid database configuratons.";

// Index of the interval unit box: the list is sorted.
inline constexpr int kUnitHours = 0;
inline constexpr int kUnitMinutes = 1;

// What the editing area holds.
struct DatabaseForm {
    std::string serverAddress;
    std::string databaseName;
    std::string login;
    std::string password;
    std::string intervalText;
    std::string backupPath;
    std::string serverBackupPath; // empty: the server names the folder as Corvella does
    int unitIndex = kUnitMinutes; // -1 when nothing is selected
    bool zip = false;
    bool email = false;
    bool keepOld = false;

    bool operator==(const DatabaseForm&) const = default;
};

// The file-system checks the validation needs.
struct FolderChecks {
    std::function<bool(const std::string& path)> isFolder;
    // Creates missing folders; on failure has already told the operator why.
    std::function<bool(const std::string& path)> createFolderPath;
};

// True when every character is one of 0 to 9; the empty text passes.
bool IsAllDigits(const std::string& text);

// Runs the checks in their fixed order and returns the message of the first
// that fails, or an empty text when all pass. A database name that cannot be
// a folder name below the backup path (engine::DatabaseNameProblem) is
// refused right after the check for an empty name. `editingRow` is skipped in the
// duplicate check (-1 in add mode).
std::string ValidateDatabaseForm(const DatabaseForm& form, const config::DatabaseList& list, int editingRow,
                                 const FolderChecks& folders);

// The cells of a row for `form`; column 0 (the serial) is left empty. The
// server's backup path is taken without blanks at either end.
config::DatabaseList::Row RowFromForm(const DatabaseForm& form, config::PasswordCodec& codec);

// The form for a stored row (the password decoded when it decodes).
DatabaseForm FormFromRow(const config::DatabaseList::Row& row, config::PasswordCodec& codec);

} // namespace ui
