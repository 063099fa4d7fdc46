#include "ui/ListEditing.h"

#include "config/PasswordCodec.h"

#include <QString>

namespace ui {

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

const char* SwitchText(bool on)
{
    return on ? "True" : "False";
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
    config::DatabaseList::Row row;
    std::string encoded;
    const bool isEncoded = codec.Encode(form.password, encoded) == config::PasswordCodec::kOk;
    row[config::ColDatabaseUrl] = form.serverAddress;
    row[config::ColDatabaseName] = form.databaseName;
    row[config::ColUserName] = form.login;
    row[config::ColEncodedPassword] = isEncoded ? encoded : form.password;
    row[config::ColInterval] = form.intervalText + (form.unitIndex == kUnitMinutes ? " Minutes" : " Hours");
    row[config::ColBackupPath] = form.backupPath;
    row[config::ColZip] = SwitchText(form.zip);
    row[config::ColEmail] = SwitchText(form.email);
    row[config::ColKeepOld] = SwitchText(form.keepOld);
    return row;
}

DatabaseForm FormFromRow(const config::DatabaseList::Row& row, config::PasswordCodec& codec)
{
    DatabaseForm form;
    form.serverAddress = row[config::ColDatabaseUrl];
    form.databaseName = row[config::ColDatabaseName];
    form.login = row[config::ColUserName];

    const std::string& stored = row[config::ColEncodedPassword];
    std::string decoded;
    form.password = codec.Decode(stored, decoded) == config::PasswordCodec::kOk ? decoded : stored;

    const std::string& interval = row[config::ColInterval];
    const auto blank = interval.find(' ');
    if (blank == std::string::npos) {
        form.unitIndex = kUnitHours;
    } else {
        form.intervalText = interval.substr(0, blank);
        const std::string prefix = interval.substr(0, blank + 1);
        std::string unit = interval;
        for (auto at = unit.find(prefix); at != std::string::npos; at = unit.find(prefix))
            unit.erase(at, prefix.size());
        form.unitIndex = unit == "Minutes" ? kUnitMinutes : kUnitHours;
    }

    form.backupPath = row[config::ColBackupPath];
    form.zip = row[config::ColZip] == "True";
    form.email = row[config::ColEmail] == "True";
    form.keepOld = row[config::ColKeepOld] == "True";
    return form;
}

} // namespace ui
