#pragma once

#include "config/MailSettings.h"
#include "ui/SettingsButtons.h"

#include <QDialog>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;

namespace logging { class Log; }
namespace engine { class BackupSession; }

namespace ui {

class Prompter;

inline constexpr const char* kPortNotPositiveText = "Please enter a positive integer.";
inline constexpr const char* kPortRangeText = "Please enter an integer between 1 and 14000.";
inline constexpr const char* kUpdatingEmailSettingsLine = "Updating email settings.";
inline constexpr const char* kUpdatedEmailSettingsLine = "Updated email settings.";
inline constexpr std::uint32_t kMinPort = 1;
inline constexpr std::uint32_t kMaxPort = 14000;

// The verdict on a typed mail server port: the number, or the message that
// refuses it. Qt-free; any thread.
struct PortCheck {
    bool ok = false;
    std::uint32_t port = 0;
    std::string message;
};
// An unsigned decimal number with optional blanks or tabs around it, from 1 to
// 14000. Anything else, or nothing, is "not a positive integer"; a number out
// of range (however long) gets the range message.
PortCheck CheckPortText(std::string_view text);

// Index in a sorted item list that the stored text selects: the first item
// that starts with the text, ignoring case; -1 when none (or for an empty text).
int MatchListItem(const QStringList& items, const QString& text);

// The e-mail settings dialog ("Email Configurations") over the live mail
// settings of the backup session. One object lives as long as the main
// window: the dialog shows and edits the session's settings, "Save Settings"
// writes them to the settings file, "Send Test Email" sends a test message
// with them. GUI thread only; runs read the settings from the session.
class EmailSettings final : public QDialog {
    Q_OBJECT
public:
    // Sends a test message with the given settings and returns the text to
    // show the operator. Called on a thread of its own; may block.
    using SendTestMailFn = std::function<std::string(const config::MailSettings&)>;

    EmailSettings(Prompter& prompter, engine::BackupSession& session, SendTestMailFn sendTestMail,
                  QWidget* parent = nullptr);

    config::MailSettings settings() const;

    // Reads the mail settings of the settings file into the live settings.
    // Returns why they could not be read (the file unreadable, a value too
    // long), or an empty text; the live settings then stay as they were.
    std::string loadMailSettings();
    // Logs, runs the dialog modally on the live settings, logs again.
    void openMailSettings(logging::Log& log);

public slots:
    void saveMailSettings();
    void sendTestMail();

private:
    void buildForm();
    void showSettingsInFields();
    // Copies the fields into the live settings in their fixed order; stops at
    // an invalid port (after showing why), leaving the later fields uncopied.
    bool takeSettingsFromFields();

    Prompter& m_prompter;
    engine::BackupSession& m_session; // holds the live settings and the settings file's path
    SendTestMailFn m_sendTestMail;

    QLineEdit* m_serverAddress = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_account = nullptr;
    QLineEdit* m_password = nullptr;
    QComboBox* m_security = nullptr;
    QLineEdit* m_recipient = nullptr;
    QLineEdit* m_subject = nullptr;
    QLineEdit* m_mailingServerName = nullptr;
    QPlainTextEdit* m_messageText = nullptr;
    QComboBox* m_logType = nullptr;
    QCheckBox* m_mailOnFailure = nullptr;
    SettingsButtons m_buttons;
};

} // namespace ui
