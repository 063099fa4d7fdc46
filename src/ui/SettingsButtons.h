#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <string>

class QDialog;
class QHBoxLayout;
class QPushButton;

namespace ui {

// The button row of a settings dialog: Save (the default button, so Enter
// saves), a test of the typed settings, and Cancel (which rejects the
// dialog). While a test runs, the row is disabled and the dialog shows a
// busy cursor, yet the window goes on painting. GUI thread only.
class SettingsButtons {
public:
    struct Labels {
        QString save;
        QString saveName; // object names, for tests and accessibility
        QString test;
        QString testName;
        QString cancelName;
    };

    SettingsButtons(QDialog& dialog, const Labels& labels);

    // The row, right-aligned, for the dialog's layout to take.
    QHBoxLayout* row() const { return m_row; }
    QPushButton* save() const { return m_save; }
    QPushButton* test() const { return m_test; }

    // Runs `check` on a thread of its own with the row disabled and returns
    // its answer; nothing when the program is ending first.
    std::optional<std::string> runTest(std::function<std::string()> check);

private:
    QDialog& m_dialog;
    QHBoxLayout* m_row = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_test = nullptr;
    QPushButton* m_cancel = nullptr;
};

} // namespace ui
