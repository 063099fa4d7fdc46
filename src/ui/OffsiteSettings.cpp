#include "ui/OffsiteSettings.h"

#include "config/OptionCatalog.h"
#include "engine/BackupSession.h"
#include "engine/OffsiteStore.h"
#include "ui/Prompter.h"
#include "ui/ResponsiveCall.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace ui {

namespace {

QLineEdit* MakeEdit(const char* objectName, const QString& placeholder)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(QLatin1String(objectName));
    edit->setPlaceholderText(placeholder);
    return edit;
}

QString Trimmed(const QLineEdit* edit)
{
    return edit->text().trimmed();
}

} // namespace

OffsiteSettings::OffsiteSettings(Prompter& prompter, engine::BackupSession& session, CheckConnectionFn checkConnection,
                                 bool environmentCredentials, QWidget* parent)
    : QDialog(parent)
    , m_prompter(prompter)
    , m_session(session)
    , m_checkConnection(std::move(checkConnection))
{
    setObjectName(QStringLiteral("OffsiteSettings"));
    setWindowTitle(QStringLiteral("Offsite Copies"));

    m_url = MakeEdit("OffsiteUrl", QStringLiteral("s3://bucket/prefix  (empty: no offsite copies)"));
    m_endpoint = MakeEdit("OffsiteEndpoint", QStringLiteral("https://host:port  (empty: the provider's regional endpoint)"));
    m_region = MakeEdit("OffsiteRegion", QStringLiteral("us-east-1"));
    m_accessKey = MakeEdit("OffsiteAccessKey", QString());
    m_secret = MakeEdit("OffsiteSecret", QString());
    m_secret->setEchoMode(QLineEdit::Password);
    m_keep = new QSpinBox;
    m_keep->setObjectName(QStringLiteral("OffsiteKeep"));
    m_keep->setRange(0, 100000);
    m_keep->setSpecialValueText(QStringLiteral("all"));
    m_keep->setSuffix(QStringLiteral(" per database"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Bucket and &prefix:"), m_url);
    form->addRow(QStringLiteral("&Endpoint:"), m_endpoint);
    form->addRow(QStringLiteral("&Region:"), m_region);
    form->addRow(QStringLiteral("&Access key:"), m_accessKey);
    form->addRow(QStringLiteral("&Secret key:"), m_secret);
    form->addRow(QStringLiteral("&Keep the newest:"), m_keep);
    if (environmentCredentials) {
        auto* note = new QLabel(QString::fromLatin1(kOffsiteEnvironmentText));
        note->setObjectName(QStringLiteral("OffsiteEnvironmentNote"));
        note->setWordWrap(true);
        form->addRow(QString(), note);
    }
    auto* explanation = new QLabel(QStringLiteral(
        "After every completed backup the newest file is also stored as\n"
        "<prefix>/<server>/<database>/<file>. A failed upload fails the run; nothing local is deleted."));
    explanation->setEnabled(false);
    auto* group = new QGroupBox(QStringLiteral("S3-compatible storage"));
    auto* groupLayout = new QVBoxLayout;
    groupLayout->addLayout(form);
    groupLayout->addWidget(explanation);
    group->setLayout(groupLayout);

    m_saveButton = new QPushButton(QStringLiteral("Save"));
    m_saveButton->setObjectName(QStringLiteral("SaveOffsite"));
    m_saveButton->setDefault(true);
    m_testButton = new QPushButton(QStringLiteral("Test Connection"));
    m_testButton->setObjectName(QStringLiteral("TestOffsiteConnection"));
    m_testButton->setAutoDefault(false);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"));
    m_cancelButton->setObjectName(QStringLiteral("CancelOffsite"));
    m_cancelButton->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_saveButton);
    buttons->addWidget(m_testButton);
    buttons->addWidget(m_cancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);
    setMinimumWidth(520);

    connect(m_saveButton, &QPushButton::clicked, this, &OffsiteSettings::save);
    connect(m_testButton, &QPushButton::clicked, this, &OffsiteSettings::testConnection);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void OffsiteSettings::showOptions(const config::OffsiteOptions& options)
{
    m_url->setText(QString::fromStdString(options.url));
    m_endpoint->setText(QString::fromStdString(options.endpoint));
    m_region->setText(QString::fromStdString(options.region));
    m_accessKey->setText(QString::fromStdString(options.accessKey));
    m_secret->setText(QString::fromStdString(options.secret));
    m_keep->setValue(options.keep);
}

config::OffsiteOptions OffsiteSettings::options() const
{
    config::OffsiteOptions options;
    options.url = Trimmed(m_url).toStdString();
    options.endpoint = Trimmed(m_endpoint).toStdString();
    options.region = Trimmed(m_region).toStdString();
    options.accessKey = Trimmed(m_accessKey).toStdString();
    options.secret = m_secret->text().toStdString();
    options.keep = m_keep->value();
    return options;
}

void OffsiteSettings::openSettings()
{
    showOptions(config::LoadRunOptions(m_session.settingsPath()).offsite);
    m_url->setFocus(Qt::OtherFocusReason);
    exec();
}

bool OffsiteSettings::fieldsUsable()
{
    const config::OffsiteOptions typed = options();
    if (!typed.enabled())
        return true;
    const std::string problem = engine::OffsiteSettingsProblem(typed);
    if (problem.empty())
        return true;
    m_prompter.inform(this, ApplicationCaption(), QString::fromStdString(problem));
    return false;
}

void OffsiteSettings::save()
{
    if (!fieldsUsable())
        return;
    const config::OffsiteOptions typed = options();
    std::string error;
    const bool saved = config::SaveOptionValues(m_session.settingsPath(),
                                                {{config::kOffsiteUrlKey, typed.url},
                                                 {config::kOffsiteEndpointKey, typed.endpoint},
                                                 {config::kOffsiteRegionKey, typed.region},
                                                 {config::kOffsiteAccessKeyKey, typed.accessKey},
                                                 {config::kOffsiteSecretKey, typed.secret},
                                                 {config::kOffsiteKeepKey, std::to_string(typed.keep)}},
                                                &error);
    if (!saved) {
        m_prompter.inform(this, ApplicationCaption(),
                          QStringLiteral("The offsite settings could not be saved. %1").arg(QString::fromStdString(error)));
        return;
    }
    m_session.log().Write(kOffsiteSavedLine);
    accept();
}

void OffsiteSettings::testConnection()
{
    const config::OffsiteOptions typed = options();
    if (!typed.enabled()) {
        m_prompter.inform(this, ApplicationCaption(),
                          QString::fromLatin1(kOffsiteConnectionFailedText).arg(QStringLiteral("no bucket is named")));
        return;
    }
    if (!fieldsUsable() || !m_checkConnection)
        return;
    m_saveButton->setEnabled(false);
    m_testButton->setEnabled(false);
    m_cancelButton->setEnabled(false);
    setCursor(Qt::BusyCursor);
    const std::optional<std::string> answer =
        RunResponsive<std::string>([check = m_checkConnection, typed] { return check(typed); });
    unsetCursor();
    m_saveButton->setEnabled(true);
    m_testButton->setEnabled(true);
    m_cancelButton->setEnabled(true);
    if (!answer)
        return;
    const QString text = answer->empty()
        ? QString::fromLatin1(kOffsiteConnectionWorksText).arg(QString::fromStdString(typed.url))
        : QString::fromLatin1(kOffsiteConnectionFailedText).arg(QString::fromStdString(*answer));
    m_prompter.inform(this, ApplicationCaption(), text);
}

} // namespace ui
