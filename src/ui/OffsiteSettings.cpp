#include "ui/OffsiteSettings.h"

#include "config/OptionCatalog.h"
#include "engine/BackupSession.h"
#include "engine/OffsiteStore.h"
#include "engine/SettingsStore.h"
#include "ui/Prompter.h"
#include "ui/SettingsButtons.h"

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
    , m_buttons(*this, {QStringLiteral("Save"), QStringLiteral("SaveOffsite"), QStringLiteral("Test Connection"),
                        QStringLiteral("TestOffsiteConnection"), QStringLiteral("CancelOffsite")})
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

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(m_buttons.row());
    setMinimumWidth(520);

    connect(m_buttons.save(), &QPushButton::clicked, this, &OffsiteSettings::save);
    connect(m_buttons.test(), &QPushButton::clicked, this, &OffsiteSettings::testConnection);
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
    showOptions(m_session.settings().current()->options.offsite);
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
    const bool saved = m_session.settings().saveOptionValues({{config::kOffsiteUrlKey, typed.url},
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
    const std::optional<std::string> answer
        = m_buttons.runTest([check = m_checkConnection, typed] { return check(typed); });
    if (!answer)
        return;
    const QString text = answer->empty()
        ? QString::fromLatin1(kOffsiteConnectionWorksText).arg(QString::fromStdString(typed.url))
        : QString::fromLatin1(kOffsiteConnectionFailedText).arg(QString::fromStdString(*answer));
    m_prompter.inform(this, ApplicationCaption(), text);
}

} // namespace ui
