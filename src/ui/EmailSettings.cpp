#include "ui/EmailSettings.h"

#include "config/SettingsFile.h"
#include "engine/BackupSession.h"
#include "engine/SettingsStore.h"
#include "log/Log.h"
#include "mail/BackupMail.h"
#include "ui/Prompter.h"
#include "ui/SettingsButtons.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace ui {

namespace {

const QStringList kSecurityItems{"SIMPLE", "SSL", "TLS"};
const QStringList kLogTypeItems{"Debug", "Error", "Error and Information", "Information"};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

QLineEdit* MakeEdit(const char* objectName, int controlId)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(QLatin1String(objectName));
    edit->setProperty("controlId", controlId);
    return edit;
}

QLabel* MakeHint(const QString& text)
{
    auto* hint = new QLabel(text);
    hint->setEnabled(false);
    return hint;
}

} // namespace

PortCheck CheckPortText(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    const std::string_view digits = text.substr(begin, end - begin);
    if (digits.empty())
        return {false, 0, kPortNotPositiveText};
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return {false, 0, kPortNotPositiveText};
        if (value <= kMaxPort)
            value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < kMinPort || value > kMaxPort)
        return {false, 0, kPortRangeText};
    return {true, static_cast<std::uint32_t>(value), {}};
}

int MatchListItem(const QStringList& items, const QString& text)
{
    if (text.isEmpty())
        return -1;
    for (int i = 0; i < items.size(); ++i) {
        if (items[i].startsWith(text, Qt::CaseInsensitive))
            return i;
    }
    return -1;
}

EmailSettings::EmailSettings(Prompter& prompter, engine::BackupSession& session, SendTestMailFn sendTestMail,
                             QWidget* parent)
    : QDialog(parent)
    , m_prompter(prompter)
    , m_session(session)
    , m_sendTestMail(std::move(sendTestMail))
    , m_buttons(*this, {QStringLiteral("Save Settings"), QStringLiteral("SaveSettings"), QStringLiteral("Send Test Email"),
                        QStringLiteral("SendTestEmail"), QStringLiteral("Cancel")})
{
    setObjectName(QStringLiteral("EmailSettings"));
    setProperty("dialogId", 133);
    setWindowTitle(QStringLiteral("Email Configurations"));
    buildForm();
    showSettingsInFields();
}

void EmailSettings::buildForm()
{
    m_serverAddress = MakeEdit("ServerAddress", 1025);
    m_port = MakeEdit("Port", 1026);
    m_port->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9 \\t]*")), m_port));
    m_port->setMaximumWidth(90);
    m_account = MakeEdit("Account", 1027);
    m_password = MakeEdit("MailPassword", 1030);
    m_password->setEchoMode(QLineEdit::Password);
    m_security = new QComboBox;
    m_security->setObjectName(QStringLiteral("Security"));
    m_security->setProperty("controlId", 1029);
    m_security->addItems(kSecurityItems);
    m_recipient = MakeEdit("Recipient", 1028);
    m_subject = MakeEdit("Subject", 1031);
    m_mailingServerName = MakeEdit("MailingServerName", 1033);
    m_messageText = new QPlainTextEdit;
    m_messageText->setObjectName(QStringLiteral("MessageText"));
    m_messageText->setProperty("controlId", 1034);
    m_messageText->setTabChangesFocus(true);
    m_messageText->setMinimumHeight(80);
    m_logType = new QComboBox;
    m_logType->setObjectName(QStringLiteral("LogType"));
    m_logType->setProperty("controlId", 1032);
    m_logType->addItems(kLogTypeItems);
    m_mailOnFailure = new QCheckBox(QStringLiteral("Mail me when a backup fails"));
    m_mailOnFailure->setObjectName(QStringLiteral("MailOnFailure"));
    m_mailOnFailure->setToolTip(QStringLiteral(
        "Sends a short message to the recipient above when a backup fails (at most one an hour per "
        "database) and when it succeeds again."));

    auto makeForm = [] {
        auto* form = new QFormLayout;
        form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
        form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
        return form;
    };
    auto addRow = [](QFormLayout* form, const QString& caption, QWidget* field) {
        auto* label = new QLabel(caption);
        label->setBuddy(field);
        form->addRow(label, field);
    };

    auto* serverGroup = new QGroupBox(QStringLiteral("Email Server Configurations"));
    auto* serverForm = makeForm();
    serverForm->addRow(QString(), MakeHint(QStringLiteral("e.g. smtp.example.com or 192.0.2.10")));
    addRow(serverForm, QStringLiteral("Email Server IP/Domain URL : "), m_serverAddress);
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(m_port);
    portRow->addWidget(MakeHint(QStringLiteral("e.g. 25")));
    portRow->addStretch();
    auto* portLabel = new QLabel(QStringLiteral("Email Server &Port : "));
    portLabel->setBuddy(m_port);
    serverForm->addRow(portLabel, portRow);
    serverForm->addRow(QString(), MakeHint(QStringLiteral("e.g. backups@example.com")));
    addRow(serverForm, QStringLiteral("Email Server ID/Account : "), m_account);
    addRow(serverForm, QStringLiteral("Password : "), m_password);
    addRow(serverForm, QStringLiteral("Email Sending Method : "), m_security);
    serverGroup->setLayout(serverForm);

    auto* recipientGroup = new QGroupBox(QStringLiteral("Email account where you want to recieve email"));
    auto* recipientForm = makeForm();
    addRow(recipientForm, QStringLiteral(" Recipient Email : "), m_recipient);
    recipientGroup->setLayout(recipientForm);

    auto* messageGroup = new QGroupBox(QStringLiteral("Email Message Along with  Database attachment"));
    auto* messageForm = makeForm();
    addRow(messageForm, QStringLiteral("Subject : "), m_subject);
    addRow(messageForm, QStringLiteral("Mailing Server : "), m_mailingServerName);
    addRow(messageForm, QStringLiteral("Message Text : "), m_messageText);
    messageGroup->setLayout(messageForm);

    auto* logGroup = new QGroupBox(QStringLiteral("LOG Information Settings"));
    auto* logForm = makeForm();
    addRow(logForm, QStringLiteral("Log Type : "), m_logType);
    logForm->addRow(QString(), m_mailOnFailure);
    logGroup->setLayout(logForm);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(serverGroup);
    layout->addWidget(recipientGroup);
    layout->addWidget(messageGroup, 1);
    layout->addWidget(logGroup);
    layout->addLayout(m_buttons.row());
    setMinimumWidth(460);

    connect(m_buttons.save(), &QPushButton::clicked, this, &EmailSettings::saveMailSettings);
    connect(m_buttons.test(), &QPushButton::clicked, this, &EmailSettings::sendTestMail);
}

config::MailSettings EmailSettings::settings() const
{
    return m_session.mailSettings();
}

std::string EmailSettings::loadMailSettings()
{
    const std::shared_ptr<const engine::Settings> stored = m_session.settings().current();
    std::string error;
    if (stored->readable)
        m_session.setMailSettings(stored->mail);
    else
        error = stored->problem;
    showSettingsInFields();
    return error;
}

void EmailSettings::showSettingsInFields()
{
    const config::MailSettings s = settings();
    m_security->setCurrentIndex(MatchListItem(kSecurityItems, QString::fromStdString(s.security)));
    m_recipient->setText(QString::fromStdString(s.recipient));
    m_serverAddress->setText(QString::fromStdString(s.serverAddress));
    m_account->setText(QString::fromStdString(s.account));
    m_password->setText(QString::fromStdString(s.password));
    m_port->setText(QString::number(s.port));
    m_messageText->setPlainText(QString::fromStdString(s.messageText));
    m_subject->setText(QString::fromStdString(s.subject));
    m_mailingServerName->setText(QString::fromStdString(s.mailingServerName));
    m_mailOnFailure->setChecked(s.mailOnFailure);
}

bool EmailSettings::takeSettingsFromFields()
{
    const PortCheck port = CheckPortText(m_port->text().toStdString());
    config::MailSettings s = settings();
    s.security = m_security->currentIndex() >= 0 ? m_security->currentText().toStdString() : std::string();
    s.recipient = m_recipient->text().toStdString();
    s.serverAddress = m_serverAddress->text().toStdString();
    s.account = m_account->text().toStdString();
    s.password = m_password->text().toStdString();
    if (port.ok) {
        s.port = port.port;
        s.messageText = m_messageText->toPlainText().toStdString();
        s.subject = m_subject->text().toStdString();
        s.mailingServerName = m_mailingServerName->text().toStdString();
        s.mailOnFailure = m_mailOnFailure->isChecked();
    }
    m_session.setMailSettings(s);
    if (!port.ok) {
        m_prompter.inform(this, ApplicationCaption(), QString::fromStdString(port.message));
        m_port->setFocus(Qt::OtherFocusReason);
        m_port->selectAll();
    }
    return port.ok;
}

void EmailSettings::openMailSettings(logging::Log& log)
{
    log.Write(kUpdatingEmailSettingsLine);
    showSettingsInFields();
    m_logType->setCurrentIndex(-1);
    m_serverAddress->setFocus(Qt::OtherFocusReason);
    exec();
    log.Write(kUpdatedEmailSettingsLine);
}

void EmailSettings::saveMailSettings()
{
    if (!takeSettingsFromFields())
        return;
    std::string error;
    if (!m_session.settings().saveMailSettings(settings(), m_port->text().toStdString(), &error)) {
        m_session.log().Write("The e-mail settings were not saved. " + error);
        m_prompter.inform(this, ApplicationCaption(),
                          QStringLiteral("The e-mail settings could not be saved. %1")
                              .arg(QString::fromStdString(error)));
        return;
    }
    accept();
}

void EmailSettings::sendTestMail()
{
    if (!takeSettingsFromFields())
        return;
    if (!m_sendTestMail) {
        m_prompter.inform(this, ApplicationCaption(), QString::fromLatin1(mail::kComponentInitFailedText));
        return;
    }
    const std::optional<std::string> answer
        = m_buttons.runTest([send = m_sendTestMail, copy = settings()] { return send(copy); });
    if (answer)
        m_prompter.inform(this, ApplicationCaption(), QString::fromStdString(*answer));
}

} // namespace ui
