#pragma once

#include "config/OptionCatalog.h"

#include <QDialog>

#include <string>
#include <utility>
#include <vector>

class QLabel;

namespace ui {

class Prompter;

inline constexpr const char* kOptionsTitle = "Options";
inline constexpr const char* kNotUnderstoodText = "The file holds \"%1\", which this program does not understand: %2 "
                                                  "applies until it is changed.";

// The Options dialog: every key of section OPTIONS of the settings file, as
// the option catalogue lists them, under their group headings, each with its
// one-line explanation. It opens on what the file holds now; Save checks the
// changed values, writes only the keys the operator changed (every other line
// of the file, keys this program does not know included, stays as it was)
// and closes. A value refused by its check is shown, nothing is written and
// the dialog stays open. GUI thread only; blocks on the file while loading
// and saving.
class OptionsDialog final : public QDialog {
    Q_OBJECT
public:
    OptionsDialog(Prompter& prompter, std::string settingsPath, QWidget* parent = nullptr);

    // Reads the file into the fields; false, with the reason, when it exists
    // but cannot be read (the dialog must then not be shown: a save could
    // not keep what it holds).
    bool load(std::string* error = nullptr);

    // The keys whose field differs from what was loaded, with their values
    // as typed, in catalogue order.
    std::vector<std::pair<std::string, std::string>> changes() const;

    // The widget that edits `key`, found by its object name (the key).
    QWidget* editor(const std::string& key) const;

public slots:
    // Checks and writes the changes; closes with Accepted when they are
    // written (or there are none).
    void save();

signals:
    // After a save that wrote something: what it wrote, as typed.
    void optionsSaved(const std::vector<std::pair<std::string, std::string>>& changes);

private:
    struct Field {
        const config::OptionEntry* entry = nullptr;
        QWidget* editor = nullptr;
        QString loaded; // the value shown after load()
    };

    void build();
    QWidget* makeEditor(const config::OptionEntry& entry);
    QString currentValue(const Field& field) const;
    void showValue(Field& field, const config::OptionValue& value);

    Prompter& m_prompter;
    std::string m_settingsPath;
    std::vector<Field> m_fields;
};

} // namespace ui
