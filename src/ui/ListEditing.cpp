#include "text/Text.h"
#include "ui/ListEditing.h"

#include "config/DatabaseEntry.h"
#include "config/PasswordCodec.h"
#include "engine/BackupFolders.h"

#include <QString>

namespace ui {

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

} // namespace

bool IsAllDigits(const std::string& text)
{
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

std::string ValidateDatabaseForm(const DatabaseForm& form, const config::DatabaseList& list, int editingRow,
                                 const FolderChecks& folders)
{
    if (form.serverAddress.empty())
        return kEnterUrlText;
    if (form.login.empty())
        return kEnterUserText;
    if (form.databaseName.empty())
        return kEnterNameText;
    // The name becomes the database's folder below the backup path.
    if (const auto problem = engine::DatabaseNameProblem(form.databaseName))
        return *problem;
    for (int row = 0; row < list.rowCount(); ++row) {
        if (row == editingRow)
            continue;
        if (SameIgnoringCase(list.cell(row, config::ColDatabaseUrl), form.serverAddress)
            && SameIgnoringCase(list.cell(row, config::ColDatabaseName), form.databaseName))
            return kDuplicateText;
    }
    if (form.backupPath.empty() || !folders.isFolder || !folders.isFolder(form.backupPath))
        return kInvalidPathText;
    if (!folders.createFolderPath || !folders.createFolderPath(form.backupPath))
        return kNotADirectoryText;
    if (form.intervalText.empty())
        return kEnterIntervalText;
    if (!IsAllDigits(form.intervalText))
        return kIntervalNotNumberText;
    return {};
}

config::DatabaseList::Row RowFromForm(const DatabaseForm& form, config::PasswordCodec& codec)
{
    config::DatabaseEntry entry;
    std::string encoded;
    const bool isEncoded = codec.Encode(form.password, encoded) == config::PasswordCodec::kOk;
    entry.databaseUrl = form.serverAddress;
    entry.databaseName = form.databaseName;
    entry.userName = form.login;
    entry.storedPassword = isEncoded ? encoded : form.password;
    entry.intervalNumber = form.intervalText;
    entry.intervalUnit = form.unitIndex == kUnitMinutes ? config::DatabaseEntry::Unit::Minutes
                                                        : config::DatabaseEntry::Unit::Hours;
    entry.backupPath = form.backupPath;
    entry.serverBackupPath = std::string(text::Trim(form.serverBackupPath));
    entry.zip = form.zip;
    entry.email = form.email;
    entry.keepOld = form.keepOld;
    return entry.ToRow();
}

DatabaseForm FormFromRow(const config::DatabaseList::Row& row, config::PasswordCodec& codec)
{
    const config::DatabaseEntry entry = config::DatabaseEntry::FromRow(row);
    DatabaseForm form;
    form.serverAddress = entry.databaseUrl;
    form.databaseName = entry.databaseName;
    form.login = entry.userName;
    std::string decoded;
    form.password
        = codec.Decode(entry.storedPassword, decoded) == config::PasswordCodec::kOk ? decoded : entry.storedPassword;
    form.intervalText = entry.intervalNumber;
    form.unitIndex = entry.intervalUnit == config::DatabaseEntry::Unit::Minutes ? kUnitMinutes : kUnitHours;
    form.backupPath = entry.backupPath;
    form.serverBackupPath = entry.serverBackupPath;
    form.zip = entry.zip;
    form.email = entry.email;
    form.keepOld = entry.keepOld;
    return form;
}

} // namespace ui
