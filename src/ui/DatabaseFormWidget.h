#pragma once

#include "ui/ControlId.h"
#include "ui/ListEditing.h"

#include <QGroupBox>

#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace ui {

// The "Database Settings" area: the editor of one database of the list. It
// holds the six fields, the interval unit, the three switches, the folder
// button and the two list buttons, and knows nothing of the list itself:
// the window reads and fills it as a DatabaseForm and reacts to its signals.
// GUI thread only.
class DatabaseFormWidget final : public QGroupBox {
    Q_OBJECT
public:
    static constexpr const char* kSaveToListCaption = "Save to List";
    static constexpr const char* kUpdateToListCaption = "Update to List";

    explicit DatabaseFormWidget(QWidget* parent = nullptr);

    DatabaseForm form() const;
    void setForm(const DatabaseForm& form);
    // Empties the six fields and the three switches; the unit keeps its choice.
    void clear();
    void setBackupPath(const QString& path);
    QString backupPath() const;
    // "Update to List" and Cancel Update enabled, or "Save to List" and Cancel
    // Update disabled.
    void setEditMode(bool editing);
    void setUnitIndex(int index);

    // Calls `add` for every control of the area with its id.
    void forEachControl(const std::function<void(ControlId, QWidget*)>& add) const;

signals:
    void saveRequested();
    void cancelRequested();
    void browseRequested();

private:
    QLineEdit* m_databaseUrl;
    QLineEdit* m_databaseName;
    QLineEdit* m_userId;
    QLineEdit* m_password;
    QLineEdit* m_intervalNumber;
    QLineEdit* m_backupPath;
    QLineEdit* m_serverBackupPath;
    QComboBox* m_intervalUnit;
    QCheckBox* m_zipBackup;
    QCheckBox* m_sendByEmail;
    QCheckBox* m_keepOldBackup;
    QPushButton* m_browse;
    QPushButton* m_saveToList;
    QPushButton* m_cancelUpdate;
    QWidget* m_hint;
};

} // namespace ui
