#include "ui/DatabaseFormWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

namespace ui {

namespace {

constexpr const char* kHintText = "Double-click a database in the list to change it; right-click it to remove it.";
constexpr const char* kServerPathHint = "only when the SQL Server names the backup path otherwise";
constexpr const char* kServerPathTip =
    "The backup path as the SQL Server itself names it, when it runs in a container or on another machine: "
    "for example /var/opt/mssql/backup for a container whose bind mount is the backup path, or D:\\Backups for "
    "a Windows server whose share is mounted here. The server writes the backup there; Corvella reads, zips and "
    "rotates it through the backup path. Leave it empty when the server names the folder as Corvella does.";

QLabel* MakeLabel(const QString& text, QWidget* buddy)
{
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QLineEdit* MakeEdit(const char* objectName)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(QLatin1String(objectName));
    return edit;
}

QPushButton* MakeButton(const QString& text, const char* objectName)
{
    auto* button = new QPushButton(text);
    button->setObjectName(QLatin1String(objectName));
    button->setAutoDefault(false);
    return button;
}

} // namespace

DatabaseFormWidget::DatabaseFormWidget(QWidget* parent)
    : QGroupBox(QStringLiteral("Database Settings"), parent)
    , m_databaseUrl(MakeEdit("DatabaseUrl"))
    , m_databaseName(MakeEdit("DatabaseName"))
    , m_userId(MakeEdit("UserId"))
    , m_password(MakeEdit("Password"))
    , m_intervalNumber(MakeEdit("IntervalNumber"))
    , m_backupPath(MakeEdit("BackupPath"))
    , m_serverBackupPath(MakeEdit("ServerBackupPath"))
    , m_intervalUnit(new QComboBox)
    , m_zipBackup(new QCheckBox(QStringLiteral("Zip Backup")))
    , m_sendByEmail(new QCheckBox(QStringLiteral("Send Backup as an attachment via Email ")))
    , m_keepOldBackup(new QCheckBox(QStringLiteral("Keep Old Backup After New Backup")))
    , m_browse(MakeButton(QStringLiteral("..."), "Browse"))
    , m_saveToList(MakeButton(QString::fromLatin1(kSaveToListCaption), "SaveToList"))
    , m_cancelUpdate(MakeButton(QStringLiteral("Cancel Update"), "CancelUpdate"))
{
    setObjectName(QStringLiteral("DatabaseSettings"));
    setStyleSheet(QStringLiteral("QGroupBox#DatabaseSettings::title { color: rgb(0, 0, 255); }"));

    m_databaseUrl->setPlaceholderText(QStringLiteral("host, host,port or host\\instance"));
    m_password->setEchoMode(QLineEdit::Password);
    m_backupPath->setReadOnly(true);
    m_backupPath->setPlaceholderText(QStringLiteral("choose a folder with ..."));
    m_browse->setToolTip(QStringLiteral("Choose the backup folder"));
    m_serverBackupPath->setPlaceholderText(QStringLiteral("e.g. /var/opt/mssql/backup"));
    m_serverBackupPath->setToolTip(QString::fromLatin1(kServerPathTip));
    auto* serverPathHint = new QLabel(QString::fromLatin1(kServerPathHint));
    serverPathHint->setObjectName(QStringLiteral("ServerBackupPathHint"));
    serverPathHint->setToolTip(QString::fromLatin1(kServerPathTip));
    serverPathHint->setEnabled(false);
    m_browse->setFixedWidth(m_browse->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
    m_intervalNumber->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_intervalNumber));
    m_intervalNumber->setMaximumWidth(70);
    m_intervalUnit->setObjectName(QStringLiteral("IntervalUnit"));
    // The list is sorted: "Hours" is item 0, "Minutes" item 1.
    m_intervalUnit->addItems({QStringLiteral("Hours"), QStringLiteral("Minutes")});
    m_zipBackup->setObjectName(QStringLiteral("ZipBackup"));
    m_sendByEmail->setObjectName(QStringLiteral("SendByEmail"));
    m_keepOldBackup->setObjectName(QStringLiteral("KeepOldBackup"));
    auto* hint = new QLabel(QString::fromLatin1(kHintText));
    hint->setObjectName(QStringLiteral("Hint"));
    hint->setStyleSheet(QStringLiteral("color: rgb(0, 0, 255);"));
    hint->setWordWrap(true);
    m_hint = hint;

    auto* form = new QGridLayout(this);
    form->addWidget(MakeLabel(QStringLiteral("DB &URL :"), m_databaseUrl), 0, 0);
    form->addWidget(m_databaseUrl, 0, 1, 1, 2);
    form->addWidget(MakeLabel(QStringLiteral("&Database :"), m_databaseName), 0, 3);
    form->addWidget(m_databaseName, 0, 4, 1, 2);
    form->addWidget(MakeLabel(QStringLiteral("User &ID :"), m_userId), 1, 0);
    form->addWidget(m_userId, 1, 1, 1, 2);
    form->addWidget(MakeLabel(QStringLiteral("Pass&word :"), m_password), 1, 3);
    form->addWidget(m_password, 1, 4, 1, 2);
    form->addWidget(MakeLabel(QStringLiteral("Backup &Path :"), m_browse), 2, 0);
    form->addWidget(m_backupPath, 2, 1);
    form->addWidget(m_browse, 2, 2);
    form->addWidget(MakeLabel(QStringLiteral("Backup Start &After :"), m_intervalNumber), 2, 3);
    form->addWidget(m_intervalNumber, 2, 4);
    form->addWidget(m_intervalUnit, 2, 5);
    form->addWidget(MakeLabel(QStringLiteral("&Server's Backup Path :"), m_serverBackupPath), 3, 0);
    form->addWidget(m_serverBackupPath, 3, 1, 1, 2);
    form->addWidget(serverPathHint, 3, 3, 1, 3);
    auto* switches = new QHBoxLayout;
    switches->addWidget(m_zipBackup);
    switches->addWidget(m_sendByEmail);
    switches->addWidget(m_keepOldBackup);
    switches->addStretch();
    form->addLayout(switches, 4, 1, 1, 5);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(hint, 1);
    buttons->addWidget(m_saveToList);
    buttons->addWidget(m_cancelUpdate);
    form->addLayout(buttons, 5, 0, 1, 6);
    form->setColumnStretch(1, 3);
    form->setColumnStretch(4, 1);
    form->setColumnStretch(5, 1);

    connect(m_browse, &QPushButton::clicked, this, &DatabaseFormWidget::browseRequested);
    connect(m_saveToList, &QPushButton::clicked, this, &DatabaseFormWidget::saveRequested);
    connect(m_cancelUpdate, &QPushButton::clicked, this, &DatabaseFormWidget::cancelRequested);
}

DatabaseForm DatabaseFormWidget::form() const
{
    DatabaseForm form;
    form.serverAddress = m_databaseUrl->text().toStdString();
    form.databaseName = m_databaseName->text().toStdString();
    form.login = m_userId->text().toStdString();
    form.password = m_password->text().toStdString();
    form.intervalText = m_intervalNumber->text().toStdString();
    form.backupPath = m_backupPath->text().toStdString();
    form.serverBackupPath = m_serverBackupPath->text().toStdString();
    form.unitIndex = m_intervalUnit->currentIndex();
    form.zip = m_zipBackup->isChecked();
    form.email = m_sendByEmail->isChecked();
    form.keepOld = m_keepOldBackup->isChecked();
    return form;
}

void DatabaseFormWidget::setForm(const DatabaseForm& form)
{
    m_databaseUrl->setText(QString::fromStdString(form.serverAddress));
    m_databaseName->setText(QString::fromStdString(form.databaseName));
    m_userId->setText(QString::fromStdString(form.login));
    m_password->setText(QString::fromStdString(form.password));
    m_intervalNumber->setText(QString::fromStdString(form.intervalText));
    m_intervalUnit->setCurrentIndex(form.unitIndex);
    m_backupPath->setText(QString::fromStdString(form.backupPath));
    m_serverBackupPath->setText(QString::fromStdString(form.serverBackupPath));
    m_zipBackup->setChecked(form.zip);
    m_sendByEmail->setChecked(form.email);
    m_keepOldBackup->setChecked(form.keepOld);
}

void DatabaseFormWidget::clear()
{
    for (QLineEdit* edit :
         {m_databaseUrl, m_databaseName, m_userId, m_password, m_intervalNumber, m_backupPath, m_serverBackupPath})
        edit->clear();
    m_zipBackup->setChecked(false);
    m_sendByEmail->setChecked(false);
    m_keepOldBackup->setChecked(false);
}

void DatabaseFormWidget::setBackupPath(const QString& path)
{
    m_backupPath->setText(path);
}

QString DatabaseFormWidget::backupPath() const
{
    return m_backupPath->text();
}

void DatabaseFormWidget::setEditMode(bool editing)
{
    m_saveToList->setText(QString::fromLatin1(editing ? kUpdateToListCaption : kSaveToListCaption));
    m_cancelUpdate->setEnabled(editing);
}

void DatabaseFormWidget::setUnitIndex(int index)
{
    m_intervalUnit->setCurrentIndex(index);
}

void DatabaseFormWidget::forEachControl(const std::function<void(ControlId, QWidget*)>& add) const
{
    add(IdDatabaseSettingsGroup, const_cast<DatabaseFormWidget*>(this));
    add(IdDatabaseUrl, m_databaseUrl);
    add(IdDatabaseName, m_databaseName);
    add(IdPassword, m_password);
    add(IdUserId, m_userId);
    add(IdBackupPath, m_backupPath);
    add(IdServerBackupPath, m_serverBackupPath);
    add(IdIntervalNumber, m_intervalNumber);
    add(IdBrowse, m_browse);
    add(IdSaveToList, m_saveToList);
    add(IdCancelUpdate, m_cancelUpdate);
    add(IdHint, m_hint);
    add(IdIntervalUnit, m_intervalUnit);
    add(IdSendByEmail, m_sendByEmail);
    add(IdZipBackup, m_zipBackup);
    add(IdKeepOldBackup, m_keepOldBackup);
}

} // namespace ui
