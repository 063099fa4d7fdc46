#pragma once

#include "config/RunOptions.h"
#include "ui/SettingsButtons.h"

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QSpinBox;

namespace engine { class BackupSession; }

namespace ui {

class Prompter;

inline constexpr const char* kOffsiteSavedLine = "Saved offsite copy settings";
inline constexpr const char* kOffsiteConnectionWorksText = "The offsite storage answered: copies can be stored in %1.";
inline constexpr const char* kOffsiteConnectionFailedText = "The offsite storage cannot be used: %1";
inline constexpr const char* kOffsiteEnvironmentText =
    "AWS_ACCESS_KEY_ID is set in the program's environment: its credentials are used instead of these.";

// The "Offsite Copies" dialog: the OFFSITE_ options of the settings file
// (where copies go, the credentials, how many to keep), with a connection
// test. It reads the file when opened and writes it on "Save"; backups
// started afterwards use the new settings. GUI thread only.
class OffsiteSettings final : public QDialog {
    Q_OBJECT
public:
    // Tries the settings against the storage; empty on success, else the
    // reason. Called on a thread of its own; may block.
    using CheckConnectionFn = std::function<std::string(const config::OffsiteOptions&)>;

    OffsiteSettings(Prompter& prompter, engine::BackupSession& session, CheckConnectionFn checkConnection,
                    bool environmentCredentials, QWidget* parent = nullptr);

    // Shows the settings file's values and runs the dialog modally.
    void openSettings();
    // The options as the fields hold them.
    config::OffsiteOptions options() const;

public slots:
    void save();
    void testConnection();

private:
    void showOptions(const config::OffsiteOptions& options);
    // The reason the fields cannot be saved or tried, shown to the operator;
    // false when there is one.
    bool fieldsUsable();

    Prompter& m_prompter;
    engine::BackupSession& m_session;
    CheckConnectionFn m_checkConnection;

    QLineEdit* m_url = nullptr;
    QLineEdit* m_endpoint = nullptr;
    QLineEdit* m_region = nullptr;
    QLineEdit* m_accessKey = nullptr;
    QLineEdit* m_secret = nullptr;
    QSpinBox* m_keep = nullptr;
    SettingsButtons m_buttons;
};

} // namespace ui
