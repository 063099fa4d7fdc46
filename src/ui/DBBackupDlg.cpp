#include "ui/DBBackupDlg.h"

#include "config/SettingsFile.h"
#include "engine/BackupFolders.h"
#include "engine/BackupScheduler.h"
#include "log/Log.h"
#include "ui/AboutBox.h"
#include "ui/ConfigGridModel.h"
#include "ui/Prompter.h"
#include "ui/ResponsiveCall.h"
#include "ui/StatusGridModel.h"
#include "ui/TrayController.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <condition_variable>
#include <filesystem>

static void InitCorvellaResources()
{
    Q_INIT_RESOURCE(corvella);
}

namespace ui {

namespace {

constexpr const char* kHintText = "Double-click a database in the list to change it; right-click it to remove it.";
constexpr const char* kRightsText =
    "The backup file is written by the SQL Server service itself, not by Corvella. The account the "
    "service runs as (on Linux usually \"mssql\") must be able to create folders and write files in "
    "the backup path.";

QIcon ApplicationIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/corvella/corvella-32.png"));
    icon.addFile(QStringLiteral(":/corvella/corvella-256.png"));
    return icon;
}

QLabel* MakeLabel(const QString& text, QWidget* buddy)
{
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QPushButton* MakeButton(const QString& text, const char* objectName)
{
    auto* button = new QPushButton(text);
    button->setObjectName(QLatin1String(objectName));
    button->setAutoDefault(false);
    return button;
}

void SetUpGrid(QTableView* view, QAbstractItemModel* model, int (*width)(int))
{
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setAlternatingRowColors(true);
    view->setWordWrap(false);
    view->setShowGrid(false);
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setStretchLastSection(true);
    // A column is never narrower than its heading, so every heading reads whole.
    const QFontMetrics metrics = view->horizontalHeader()->fontMetrics();
    for (int column = 0; column < model->columnCount(); ++column) {
        if (width(column) == 0) {
            view->setColumnHidden(column, true);
            continue;
        }
        const QString heading = model->headerData(column, Qt::Horizontal).toString();
        view->setColumnWidth(column, std::max(width(column), metrics.horizontalAdvance(heading) + 16));
    }
}

} // namespace

struct DBBackupDlg::Bridge {
    std::mutex mutex; // guards everything below
    std::condition_variable answered;
    bool detached = false;
};

DBBackupDlg::DBBackupDlg(WindowServices services, QWidget* parent)
    : QMainWindow(parent)
    , m_services(std::move(services))
    , m_bridge(std::make_shared<Bridge>())
{
    Q_ASSERT(m_services.prompter);
    InitCorvellaResources();
    Prompter* prompter = m_services.prompter;
    m_log = std::make_unique<logging::Log>(
        m_services.logPath, [prompter](const std::string& text, const std::string& caption) {
            prompter->inform(nullptr, QString::fromStdString(caption), QString::fromStdString(text));
        });
    m_state.backupLock = &m_backupLock;

    setObjectName(QStringLiteral("DBBackupDlg"));
    setWindowTitle(QString::fromLatin1(kCaption));
    const QIcon icon = ApplicationIcon();
    setWindowIcon(icon);

    m_configModel = std::make_unique<ConfigGridModel>(m_databaseList);
    m_statusModel = std::make_unique<StatusGridModel>(m_journal);
    m_emailSettings = new EmailSettings(*prompter, m_services.settingsPath, m_services.sendTestMail, this);
    buildWidgets();
    buildMenus();

    m_intervalUnit->setCurrentIndex(kUnitMinutes);
    centreOnScreen();
    leaveEditMode();
    m_configModel->reload([this](config::DatabaseList& list) {
        config::LoadDatabaseList(m_services.settingsPath, list);
    });
    m_tray = new TrayController(this, icon, m_services.trayAvailable, this);
    connect(m_tray, &TrayController::saveSettingsRequested, this, &DBBackupDlg::saveToList);
    connect(m_tray, &TrayController::exitRequested, this, &DBBackupDlg::exitApplication);
    m_emailSettings->loadMailSettings();
    m_scheduler = std::make_unique<engine::BackupScheduler>(*this, m_services.backup);
    m_log->Write(kStartedLine);
}

DBBackupDlg::~DBBackupDlg()
{
    shutdown(std::chrono::seconds(5));
    m_scheduler.reset();
    m_statusModel.reset();
    m_configModel.reset();
}

void DBBackupDlg::registerControl(int controlId, QWidget* widget)
{
    widget->setProperty("controlId", controlId);
    m_controls.insert(controlId, widget);
}

QWidget* DBBackupDlg::control(int controlId) const
{
    return m_controls.value(controlId, nullptr);
}

void DBBackupDlg::buildWidgets()
{
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);

    // The editing area, in tab order.
    auto* settings = new QGroupBox(QStringLiteral("Database Settings"));
    settings->setObjectName(QStringLiteral("DatabaseSettings"));
    settings->setStyleSheet(QStringLiteral("QGroupBox#DatabaseSettings::title { color: rgb(0, 0, 255); }"));
    registerControl(1019, settings);
    m_settingsArea = settings;

    m_databaseUrl = new QLineEdit;
    m_databaseUrl->setObjectName(QStringLiteral("DatabaseUrl"));
    m_databaseUrl->setPlaceholderText(QStringLiteral("host, host,port or host\\instance"));
    m_databaseName = new QLineEdit;
    m_databaseName->setObjectName(QStringLiteral("DatabaseName"));
    m_userId = new QLineEdit;
    m_userId->setObjectName(QStringLiteral("UserId"));
    m_password = new QLineEdit;
    m_password->setObjectName(QStringLiteral("Password"));
    m_password->setEchoMode(QLineEdit::Password);
    m_backupPath = new QLineEdit;
    m_backupPath->setObjectName(QStringLiteral("BackupPath"));
    m_backupPath->setReadOnly(true);
    m_backupPath->setPlaceholderText(QStringLiteral("choose a folder with ..."));
    auto* browse = MakeButton(QStringLiteral("..."), "Browse");
    browse->setToolTip(QStringLiteral("Choose the backup folder"));
    browse->setFixedWidth(browse->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
    m_intervalNumber = new QLineEdit;
    m_intervalNumber->setObjectName(QStringLiteral("IntervalNumber"));
    m_intervalNumber->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_intervalNumber));
    m_intervalNumber->setMaximumWidth(70);
    m_intervalUnit = new QComboBox;
    m_intervalUnit->setObjectName(QStringLiteral("IntervalUnit"));
    m_intervalUnit->addItems({QStringLiteral("Hours"), QStringLiteral("Minutes")});
    m_zipBackup = new QCheckBox(QStringLiteral("Zip Backup"));
    m_zipBackup->setObjectName(QStringLiteral("ZipBackup"));
    m_sendByEmail = new QCheckBox(QStringLiteral("Send Backup as an attachment via Email "));
    m_sendByEmail->setObjectName(QStringLiteral("SendByEmail"));
    m_keepOldBackup = new QCheckBox(QStringLiteral("Keep Old Backup After New Backup"));
    m_keepOldBackup->setObjectName(QStringLiteral("KeepOldBackup"));
    auto* hint = new QLabel(QString::fromLatin1(kHintText));
    hint->setObjectName(QStringLiteral("Hint"));
    hint->setStyleSheet(QStringLiteral("color: rgb(0, 0, 255);"));
    hint->setWordWrap(true);
    m_saveToListButton = MakeButton(QString::fromLatin1(kSaveToListCaption), "SaveToList");
    m_cancelUpdateButton = MakeButton(QStringLiteral("Cancel Update"), "CancelUpdate");

    registerControl(1001, m_databaseUrl);
    registerControl(1002, m_databaseName);
    registerControl(1003, m_password);
    registerControl(1004, m_userId);
    registerControl(1005, m_backupPath);
    registerControl(1006, m_intervalNumber);
    registerControl(1009, browse);
    registerControl(1010, m_saveToListButton);
    registerControl(1015, m_cancelUpdateButton);
    registerControl(1021, hint);
    registerControl(1023, m_intervalUnit);
    registerControl(1024, m_sendByEmail);
    registerControl(1025, m_zipBackup);
    registerControl(1026, m_keepOldBackup);

    auto* form = new QGridLayout;
    form->addWidget(MakeLabel(QStringLiteral("DB &URL :"), m_databaseUrl), 0, 0);
    form->addWidget(m_databaseUrl, 0, 1, 1, 2);
    form->addWidget(MakeLabel(QStringLiteral("&Database :"), m_databaseName), 0, 3);
    form->addWidget(m_databaseName, 0, 4, 1, 2);
    form->addWidget(MakeLabel(QStringLiteral("User &ID :"), m_userId), 1, 0);
    form->addWidget(m_userId, 1, 1, 1, 2);
    form->addWidget(MakeLabel(QStringLiteral("Pass&word :"), m_password), 1, 3);
    form->addWidget(m_password, 1, 4, 1, 2);
    form->addWidget(MakeLabel(QStringLiteral("Backup &Path :"), browse), 2, 0);
    form->addWidget(m_backupPath, 2, 1);
    form->addWidget(browse, 2, 2);
    form->addWidget(MakeLabel(QStringLiteral("Backup Start &After :"), m_intervalNumber), 2, 3);
    form->addWidget(m_intervalNumber, 2, 4);
    form->addWidget(m_intervalUnit, 2, 5);
    auto* switches = new QHBoxLayout;
    switches->addWidget(m_zipBackup);
    switches->addWidget(m_sendByEmail);
    switches->addWidget(m_keepOldBackup);
    switches->addStretch();
    form->addLayout(switches, 3, 1, 1, 5);
    auto* editButtons = new QHBoxLayout;
    editButtons->addWidget(hint, 1);
    editButtons->addWidget(m_saveToListButton);
    editButtons->addWidget(m_cancelUpdateButton);
    form->addLayout(editButtons, 4, 0, 1, 6);
    form->setColumnStretch(1, 3);
    form->setColumnStretch(4, 1);
    form->setColumnStretch(5, 1);
    settings->setLayout(form);

    auto* rights = new QGroupBox(QStringLiteral("Backup folder rights"));
    rights->setObjectName(QStringLiteral("BackupFolderRights"));
    rights->setStyleSheet(QStringLiteral("QGroupBox#BackupFolderRights::title { color: rgb(212, 21, 255); }"));
    registerControl(1020, rights);
    auto* rightsText = new QLabel(QString::fromLatin1(kRightsText));
    rightsText->setWordWrap(true);
    auto* rightsLayout = new QVBoxLayout(rights);
    rightsLayout->addWidget(rightsText);
    rightsLayout->addStretch();
    rights->setMaximumWidth(260);

    auto* top = new QHBoxLayout;
    top->addWidget(settings, 1);
    top->addWidget(rights);
    layout->addLayout(top);

    m_configGrid = new QTableView;
    m_configGrid->setObjectName(QStringLiteral("ConfigGrid"));
    registerControl(1007, m_configGrid);
    SetUpGrid(m_configGrid, m_configModel.get(), &ConfigGridModel::columnWidth);
    m_configGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(m_configGrid, 2);

    auto* startAuto = MakeButton(QStringLiteral("Start Auto Backup Service"), "StartAutoBackup");
    auto* manual = MakeButton(QStringLiteral("Manual Backup"), "ManualBackup");
    auto* saveConfig = MakeButton(QStringLiteral("Save Configurations"), "SaveConfigurations");
    auto* hiddenMinimize = MakeButton(QStringLiteral("Minimize to Tray"), "MinimizeToTray");
    hiddenMinimize->hide();
    registerControl(1011, startAuto);
    registerControl(1012, manual);
    registerControl(1013, saveConfig);
    registerControl(1018, hiddenMinimize);
    auto* commands = new QHBoxLayout;
    commands->addWidget(startAuto);
    commands->addWidget(manual);
    commands->addStretch();
    commands->addWidget(saveConfig);
    commands->addWidget(hiddenMinimize);
    layout->addLayout(commands);

    auto* statusLabel = new QLabel(QStringLiteral("Database(s) backup Status"));
    statusLabel->setObjectName(QStringLiteral("StatusGridLabel"));
    statusLabel->setStyleSheet(QStringLiteral("color: rgb(0, 0, 255); font-weight: bold;"));
    registerControl(1022, statusLabel);
    layout->addWidget(statusLabel);

    m_statusGrid = new QTableView;
    m_statusGrid->setObjectName(QStringLiteral("StatusGrid"));
    registerControl(1000, m_statusGrid);
    SetUpGrid(m_statusGrid, m_statusModel.get(), &StatusGridModel::columnWidth);
    layout->addWidget(m_statusGrid, 2);
    statusLabel->setBuddy(m_statusGrid);

    m_statusLine = new QLabel;
    m_statusLine->setObjectName(QStringLiteral("StatusLine"));
    registerControl(1016, m_statusLine);
    statusBar()->addWidget(m_statusLine, 1);
    statusBar()->setSizeGripEnabled(true);

    setCentralWidget(central);

    connect(browse, &QPushButton::clicked, this, &DBBackupDlg::chooseBackupFolder);
    connect(m_saveToListButton, &QPushButton::clicked, this, &DBBackupDlg::saveToList);
    connect(m_cancelUpdateButton, &QPushButton::clicked, this, &DBBackupDlg::leaveEditMode);
    connect(m_configGrid, &QTableView::doubleClicked, this, &DBBackupDlg::editRow);
    connect(m_configGrid, &QTableView::customContextMenuRequested, this, [this](const QPoint& position) {
        selectGridRowAt(position);
        deleteRow();
    });
    connect(saveConfig, &QPushButton::clicked, this, &DBBackupDlg::saveConfigurations);
    connect(startAuto, &QPushButton::clicked, this, &DBBackupDlg::startAutoBackupService);
    connect(manual, &QPushButton::clicked, this, &DBBackupDlg::manualBackup);
    connect(hiddenMinimize, &QPushButton::clicked, this, &DBBackupDlg::minimizeToTray);
}

void DBBackupDlg::buildMenus()
{
    auto addCommand = [this](QMenu* menu, const QString& text, const char* objectName, int commandId,
                             void (DBBackupDlg::*slot)()) {
        QAction* action = menu->addAction(text);
        action->setObjectName(QLatin1String(objectName));
        action->setProperty("commandId", commandId);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("FileMenu"));
    addCommand(file, QStringLiteral("Save Configurations"), "MenuSaveConfigurations", 32780,
               &DBBackupDlg::saveConfigurations);
    addCommand(file, QStringLiteral("Start auto backup service"), "MenuStartAutoBackup", 32781,
               &DBBackupDlg::startAutoBackupService);
    addCommand(file, QStringLiteral("Minimize to System Tray"), "MenuMinimizeToTray", 32779,
               &DBBackupDlg::minimizeToTray);
    file->addSeparator();
    addCommand(file, QStringLiteral("Exit"), "MenuExit", 32774, &DBBackupDlg::exitApplication);

    QMenu* settings = menuBar()->addMenu(QStringLiteral("&Settings"));
    settings->setObjectName(QStringLiteral("SettingsMenu"));
    addCommand(settings, QStringLiteral("Application Level Settings"), "MenuApplicationSettings", 32775,
               &DBBackupDlg::openMailSettings);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("HelpMenu"));
    addCommand(help, QStringLiteral("Help    F1"), "MenuHelp", 32777, &DBBackupDlg::openHelp);
    addCommand(help, QStringLiteral("About"), "MenuAbout", 32776, &DBBackupDlg::showAbout);

    // F1 is a window shortcut rather than the action's, so that the item reads exactly "Help    F1".
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, &DBBackupDlg::openHelp);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
}

void DBBackupDlg::centreOnScreen()
{
    resize(1040, 760);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desktop = screen->availableGeometry();
        if (width() > desktop.width() || height() > desktop.height())
            resize(std::min(width(), desktop.width()), std::min(height(), desktop.height()));
        move(desktop.center().x() - width() / 2, desktop.center().y() - height() / 2);
    }
}

// --- the owner of the runs -------------------------------------------------

logging::Log& DBBackupDlg::log()
{
    return *m_log;
}

engine::StatusJournal& DBBackupDlg::statusJournal()
{
    return m_journal;
}

engine::BackupState& DBBackupDlg::backupState()
{
    return m_state;
}

config::MailSettings DBBackupDlg::mailSettings() const
{
    return m_emailSettings->settings();
}

void DBBackupDlg::onGuiThread(std::function<void()> action)
{
    if (QThread::currentThread() == thread()) {
        if (!m_shutDown)
            action();
        return;
    }
    std::lock_guard lock(m_bridge->mutex);
    if (!m_bridge->detached)
        QMetaObject::invokeMethod(this, std::move(action), Qt::QueuedConnection);
}

void DBBackupDlg::enableControl(int controlId, bool enabled)
{
    onGuiThread([this, controlId, enabled] {
        if (QWidget* widget = control(controlId))
            widget->setEnabled(enabled);
    });
}

void DBBackupDlg::setStatusLine(const std::string& text)
{
    onGuiThread([this, text = QString::fromStdString(text)] { m_statusLine->setText(text); });
}

void DBBackupDlg::showMessage(const std::string& text, const std::string& caption)
{
    const QString qText = QString::fromStdString(text);
    const QString qCaption = QString::fromStdString(caption);
    if (QThread::currentThread() == thread()) {
        if (!m_shutDown)
            m_services.prompter->inform(this, qCaption, qText);
        return;
    }
    auto done = std::make_shared<bool>(false);
    std::unique_lock lock(m_bridge->mutex);
    if (m_bridge->detached)
        return;
    QMetaObject::invokeMethod(
        this,
        [this, done, qText, qCaption, bridge = m_bridge] {
            m_services.prompter->inform(this, qCaption, qText);
            std::lock_guard answered(bridge->mutex);
            *done = true;
            bridge->answered.notify_all();
        },
        Qt::QueuedConnection);
    m_bridge->answered.wait(lock, [&] { return *done || m_bridge->detached; });
}

bool DBBackupDlg::shutdown(std::chrono::milliseconds bound)
{
    if (!m_shutDown) {
        m_shutDown = true;
        {
            std::lock_guard lock(m_bridge->mutex);
            m_bridge->detached = true;
        }
        m_bridge->answered.notify_all();
        m_statusModel->detach();
        m_tray->hideIcon();
    }
    return m_scheduler ? m_scheduler->shutdown(bound) : true;
}

// --- list editing ------------------------------------------------------------

DatabaseForm DBBackupDlg::readForm() const
{
    DatabaseForm form;
    form.serverAddress = m_databaseUrl->text().toStdString();
    form.databaseName = m_databaseName->text().toStdString();
    form.login = m_userId->text().toStdString();
    form.password = m_password->text().toStdString();
    form.intervalText = m_intervalNumber->text().toStdString();
    form.backupPath = m_backupPath->text().toStdString();
    form.unitIndex = m_intervalUnit->currentIndex();
    form.zip = m_zipBackup->isChecked();
    form.email = m_sendByEmail->isChecked();
    form.keepOld = m_keepOldBackup->isChecked();
    return form;
}

void DBBackupDlg::showForm(const DatabaseForm& form)
{
    m_databaseUrl->setText(QString::fromStdString(form.serverAddress));
    m_databaseName->setText(QString::fromStdString(form.databaseName));
    m_userId->setText(QString::fromStdString(form.login));
    m_password->setText(QString::fromStdString(form.password));
    m_intervalNumber->setText(QString::fromStdString(form.intervalText));
    m_intervalUnit->setCurrentIndex(form.unitIndex);
    m_backupPath->setText(QString::fromStdString(form.backupPath));
    m_zipBackup->setChecked(form.zip);
    m_sendByEmail->setChecked(form.email);
    m_keepOldBackup->setChecked(form.keepOld);
}

void DBBackupDlg::clearForm()
{
    for (QLineEdit* edit : {m_databaseUrl, m_databaseName, m_userId, m_password, m_intervalNumber, m_backupPath})
        edit->clear();
    m_zipBackup->setChecked(false);
    m_sendByEmail->setChecked(false);
    m_keepOldBackup->setChecked(false);
}

void DBBackupDlg::saveToList()
{
    if (m_checkingConnection || m_shutDown)
        return;
    const DatabaseForm form = readForm();
    const QString caption = ApplicationCaption();
    Prompter* prompter = m_services.prompter;

    FolderChecks folders;
    folders.isFolder = [](const std::string& path) {
        std::error_code error;
        return std::filesystem::is_directory(path, error);
    };
    folders.createFolderPath = [this, prompter](const std::string& path) {
        return engine::CreateFolderPath(path, [this, prompter](const std::string& text, const std::string& title) {
            prompter->inform(this, QString::fromStdString(title), QString::fromStdString(text));
        });
    };
    const std::string refusal = ValidateDatabaseForm(form, m_databaseList, m_editingRow, folders);
    if (!refusal.empty()) {
        prompter->inform(this, caption, QString::fromStdString(refusal));
        return;
    }

    bool connected = false;
    if (m_services.checkConnection) {
        const std::string connectionString =
            db::BuildConnectionString(form.serverAddress, form.databaseName, form.login, form.password);
        db::StatusLineFn statusLine = [this, bridge = m_bridge](const std::string& text) {
            std::lock_guard lock(bridge->mutex);
            if (!bridge->detached)
                QMetaObject::invokeMethod(
                    this, [this, text = QString::fromStdString(text)] { m_statusLine->setText(text); },
                    Qt::QueuedConnection);
        };
        m_checkingConnection = true;
        m_settingsArea->setEnabled(false);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        const std::optional<bool> answer = RunResponsive<bool>(
            [check = m_services.checkConnection, connectionString, statusLine] {
                return check(connectionString, statusLine);
            });
        QApplication::restoreOverrideCursor();
        m_settingsArea->setEnabled(true);
        m_checkingConnection = false;
        if (!answer)
            return;
        connected = *answer;
    }
    if (!connected) {
        prompter->inform(this, caption, QString::fromLatin1(kConnectionErrorText));
        return;
    }

    config::DatabaseList::Row cells = RowFromForm(form, m_codec);
    if (m_editingRow < 0) {
        m_log->Write("New database added in configuration list. DB: " + form.databaseName);
        cells[config::ColSerial] = std::to_string(m_databaseList.rowCount() + 1);
        m_configModel->appendRow(cells);
    } else {
        m_log->Write("Updated database configuration for DB: " + form.databaseName);
        m_configModel->setRow(m_editingRow, cells, config::ColDatabaseUrl);
        leaveEditMode();
    }
    clearForm();
}

void DBBackupDlg::editRow()
{
    const QModelIndexList selected = m_configGrid->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        leaveEditMode();
        return;
    }
    m_editingRow = selected.first().row();
    const config::DatabaseList::Row& row = m_databaseList.row(m_editingRow);
    m_log->Write("Updating Database '" + row[config::ColDatabaseName] + "' From List.");
    showForm(FormFromRow(row, m_codec));
    m_saveToListButton->setText(QString::fromLatin1(kUpdateToListCaption));
    m_cancelUpdateButton->setEnabled(true);
}

void DBBackupDlg::leaveEditMode()
{
    m_editingRow = -1;
    m_saveToListButton->setText(QString::fromLatin1(kSaveToListCaption));
    m_cancelUpdateButton->setEnabled(false);
}

void DBBackupDlg::selectGridRowAt(const QPoint& position)
{
    const QModelIndex index = m_configGrid->indexAt(position);
    if (index.isValid())
        m_configGrid->selectRow(index.row());
    else
        m_configGrid->clearSelection();
}

void DBBackupDlg::deleteRow()
{
    const QModelIndexList selected = m_configGrid->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        m_editingRow = -1;
        return;
    }
    const int row = selected.first().row();
    m_log->Write("Database '" + m_databaseList.cell(row, config::ColDatabaseName) + "' Deleted From List.");
    m_configModel->removeDatabaseRow(row);
    // The row being edited may be gone: back to add mode, so the button never
    // reads "Update to List" while it would add.
    leaveEditMode();
}

void DBBackupDlg::chooseBackupFolder()
{
    const QString current = m_backupPath->text();
    const QString start = !current.isEmpty() && QFileInfo(current).isDir() ? current : QDir::homePath();
    QString chosen;
    if (m_services.chooseFolder) {
        chosen = m_services.chooseFolder(this, start);
    } else {
        chosen = QFileDialog::getExistingDirectory(this, QString::fromLatin1(kChooseFolderTitle), start,
                                                   QFileDialog::ShowDirsOnly);
    }
    if (!chosen.isEmpty())
        m_backupPath->setText(QDir::cleanPath(chosen));
}

// --- commands ----------------------------------------------------------------

void DBBackupDlg::saveConfigurations()
{
    if (!config::SaveDatabaseList(m_services.settingsPath, m_databaseList, *m_log)) {
        m_services.prompter->inform(this, ApplicationCaption(),
                                    QStringLiteral("The database list could not be written to %1. Nothing was saved.")
                                        .arg(QString::fromStdString(m_services.settingsPath)));
    }
}

void DBBackupDlg::startAutoBackupService()
{
    m_scheduler->StartAutoBackupService(m_databaseList);
}

void DBBackupDlg::manualBackup()
{
    m_scheduler->ManualBackup(m_databaseList);
}

void DBBackupDlg::openMailSettings()
{
    m_emailSettings->openMailSettings(*m_log);
}

void DBBackupDlg::minimizeToTray()
{
    m_tray->hideToTray();
}

void DBBackupDlg::showApplication()
{
    m_tray->showApplication();
}

void DBBackupDlg::openHelp()
{
    const QFileInfo chm(QDir::current().filePath(QStringLiteral("help.chm")));
    if (chm.isFile()) {
        const QUrl url = QUrl::fromLocalFile(chm.absoluteFilePath());
        if (m_services.openExternal)
            m_services.openExternal(url);
        else
            QDesktopServices::openUrl(url);
        return;
    }
    ShowHelpPage(this);
}

void DBBackupDlg::showAbout()
{
    RunAboutBox(this, windowIcon());
}

void DBBackupDlg::exitApplication()
{
    const bool busy = m_state.backupBusy() == 1;
    const QString text = QString::fromLatin1(busy ? kCloseBusyText : kCloseIdleText);
    if (!m_services.prompter->ask(this, QString::fromLatin1(kCloseCaption), text))
        return;
    m_log->Write(kClosingLine);
    close();
}

void DBBackupDlg::closeEvent(QCloseEvent* event)
{
    event->accept();
    m_tray->hideIcon();
    emit closed();
}

void DBBackupDlg::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || !m_tray->minimizeToTray())
        return;
    // Hiding from inside the state change confuses some window managers: do it next.
    QTimer::singleShot(0, this, [this] {
        if (isMinimized() && m_tray->showIcon())
            hide();
    });
}

} // namespace ui
