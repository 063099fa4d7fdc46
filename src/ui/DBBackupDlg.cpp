#include "ui/DBBackupDlg.h"

#include "config/SettingsFile.h"
#include "db/Connection.h"
#include "engine/BackupFolders.h"
#include "engine/BackupScheduler.h"
#include "log/Log.h"
#include "ui/AboutBox.h"
#include "ui/ConfigGridModel.h"
#include "ui/DatabaseFormWidget.h"
#include "ui/Prompter.h"
#include "ui/ResponsiveCall.h"
#include "ui/StatusGridModel.h"
#include "ui/TrayController.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QLocale>
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
#include <QMouseEvent>
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

constexpr const char* kRightsText =
    "The backup file is written by the SQL Server service itself, not by Corvella. The account the "
    "service runs as (on Linux usually \"mssql\") must be able to write into the backup path; folders "
    "Corvella creates below it take its rights. See Help.";

QString ConnectionFailedLine(const std::string& reason)
{
    QString line = QString::fromLatin1(db::kConnectionFailedText);
    if (!reason.empty())
        line += QStringLiteral(" ") + QString::fromStdString(reason);
    return line;
}

QIcon ApplicationIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/corvella/corvella-32.png"));
    icon.addFile(QStringLiteral(":/corvella/corvella-256.png"));
    return icon;
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

DBBackupDlg::DBBackupDlg(engine::BackupSession& session, WindowServices services, QWidget* parent)
    : QMainWindow(parent)
    , m_session(session)
    , m_services(std::move(services))
{
    Q_ASSERT(m_services.prompter);
    InitCorvellaResources();

    setObjectName(QStringLiteral("DBBackupDlg"));
    setWindowTitle(QString::fromLatin1(kCaption));
    const QIcon icon = ApplicationIcon();
    setWindowIcon(icon);

    m_configModel = std::make_unique<ConfigGridModel>(m_databaseList);
    m_statusModel = std::make_unique<StatusGridModel>(m_session.statusJournal());
    m_emailSettings = new EmailSettings(*m_services.prompter, m_session, m_services.sendTestMail, this);
    buildWidgets();
    buildMenus();

    m_form->setUnitIndex(kUnitMinutes);
    centreOnScreen();
    leaveEditMode();
    std::string loadError;
    m_configModel->reload([this, &loadError](config::DatabaseList& list) {
        config::LoadDatabaseList(m_session.settingsPath(), list, &loadError);
    });
    m_tray = new TrayController(this, icon, m_services.trayAvailable, this);
    connect(m_tray, &TrayController::saveSettingsRequested, this, &DBBackupDlg::saveToList);
    connect(m_tray, &TrayController::exitRequested, this, &DBBackupDlg::exitApplication);
    m_emailSettings->loadMailSettings();
    m_session.attachView(this);
    m_session.log().Write(kStartedLine);
    if (!loadError.empty()) {
        // The file stays as it is: saving refuses to replace a file it could not read.
        m_session.log().Write(loadError);
        m_services.prompter->inform(nullptr, ApplicationCaption(), QString::fromStdString(loadError));
    }
}

DBBackupDlg::~DBBackupDlg()
{
    shutdown(std::chrono::seconds(5));
    m_statusModel.reset();
    m_configModel.reset();
}

void DBBackupDlg::registerControl(engine::ControlId controlId, QWidget* widget)
{
    widget->setProperty("controlId", static_cast<int>(controlId));
    m_controls.insert(controlId, widget);
}

QWidget* DBBackupDlg::control(engine::ControlId controlId) const
{
    return m_controls.value(controlId, nullptr);
}

engine::BackupScheduler& DBBackupDlg::scheduler() const
{
    return m_session.scheduler();
}

void DBBackupDlg::buildWidgets()
{
    using namespace engine;
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);

    m_form = new DatabaseFormWidget;
    m_form->forEachControl([this](ControlId id, QWidget* widget) { registerControl(id, widget); });

    auto* rights = new QGroupBox(QStringLiteral("Backup folder rights"));
    rights->setObjectName(QStringLiteral("BackupFolderRights"));
    rights->setStyleSheet(QStringLiteral("QGroupBox#BackupFolderRights::title { color: rgb(212, 21, 255); }"));
    registerControl(IdFolderRightsGroup, rights);
    auto* rightsText = new QLabel(QString::fromLatin1(kRightsText));
    rightsText->setWordWrap(true);
    auto* rightsLayout = new QVBoxLayout(rights);
    rightsLayout->addWidget(rightsText);
    rightsLayout->addStretch();
    rights->setMaximumWidth(260);

    auto* top = new QHBoxLayout;
    top->addWidget(m_form, 1);
    top->addWidget(rights);
    layout->addLayout(top);

    m_configGrid = new QTableView;
    m_configGrid->setObjectName(QStringLiteral("ConfigGrid"));
    registerControl(IdConfigGrid, m_configGrid);
    SetUpGrid(m_configGrid, m_configModel.get(), &ConfigGridModel::columnWidth);
    // A right-click deletes the row under the pointer; the keyboard's menu
    // key must not, so the mouse press itself is watched.
    m_configGrid->setContextMenuPolicy(Qt::PreventContextMenu);
    m_configGrid->viewport()->installEventFilter(this);
    layout->addWidget(m_configGrid, 2);

    auto* startAuto = MakeButton(QStringLiteral("Start Auto Backup Service"), "StartAutoBackup");
    auto* manual = MakeButton(QStringLiteral("Manual Backup"), "ManualBackup");
    auto* saveConfig = MakeButton(QStringLiteral("Save Configurations"), "SaveConfigurations");
    auto* hiddenMinimize = MakeButton(QStringLiteral("Minimize to Tray"), "MinimizeToTray");
    hiddenMinimize->hide();
    registerControl(IdStartAutoBackup, startAuto);
    registerControl(IdManualBackup, manual);
    registerControl(IdSaveConfigurations, saveConfig);
    registerControl(IdMinimizeToTrayButton, hiddenMinimize);
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
    registerControl(IdStatusGridLabel, statusLabel);
    layout->addWidget(statusLabel);

    m_statusGrid = new QTableView;
    m_statusGrid->setObjectName(QStringLiteral("StatusGrid"));
    registerControl(IdStatusGrid, m_statusGrid);
    SetUpGrid(m_statusGrid, m_statusModel.get(), &StatusGridModel::columnWidth);
    layout->addWidget(m_statusGrid, 2);
    statusLabel->setBuddy(m_statusGrid);

    m_statusLine = new QLabel;
    m_statusLine->setObjectName(QStringLiteral("StatusLine"));
    registerControl(IdStatusLine, m_statusLine);
    statusBar()->addWidget(m_statusLine, 1);
    statusBar()->setSizeGripEnabled(true);

    setCentralWidget(central);

    connect(m_form, &DatabaseFormWidget::browseRequested, this, &DBBackupDlg::chooseBackupFolder);
    connect(m_form, &DatabaseFormWidget::saveRequested, this, &DBBackupDlg::saveToList);
    connect(m_form, &DatabaseFormWidget::cancelRequested, this, &DBBackupDlg::leaveEditMode);
    connect(m_configGrid, &QTableView::doubleClicked, this, &DBBackupDlg::editRow);
    connect(saveConfig, &QPushButton::clicked, this, &DBBackupDlg::saveConfigurations);
    connect(startAuto, &QPushButton::clicked, this, &DBBackupDlg::startAutoBackupService);
    connect(manual, &QPushButton::clicked, this, &DBBackupDlg::manualBackup);
    connect(hiddenMinimize, &QPushButton::clicked, this, &DBBackupDlg::minimizeToTray);
}

bool DBBackupDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_configGrid->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* press = static_cast<QMouseEvent*>(event);
        if (press->button() == Qt::RightButton) {
            selectGridRowAt(press->position().toPoint());
            deleteRow();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
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
    m_startAutoAction = addCommand(file, QStringLiteral("Start auto backup service"), "MenuStartAutoBackup", 32781,
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

// --- the view of the session -------------------------------------------------

void DBBackupDlg::onGuiThread(std::function<void()> action)
{
    if (QThread::currentThread() == thread()) {
        if (!m_shutDown)
            action();
        return;
    }
    // Qt drops the call if the window is gone first; after shutdown() it
    // changes nothing.
    QMetaObject::invokeMethod(
        this,
        [this, action = std::move(action)] {
            if (!m_shutDown)
                action();
        },
        Qt::QueuedConnection);
}

void DBBackupDlg::enableControl(engine::ControlId controlId, bool enabled)
{
    onGuiThread([this, controlId, enabled] {
        if (QWidget* widget = control(controlId))
            widget->setEnabled(enabled);
        // The menu item starts the same service as the button.
        if (controlId == engine::IdStartAutoBackup && m_startAutoAction)
            m_startAutoAction->setEnabled(enabled);
    });
}

void DBBackupDlg::setStatusLine(const std::string& text)
{
    onGuiThread([this, text = QString::fromStdString(text)] { m_statusLine->setText(text); });
}

void DBBackupDlg::showNotice(const std::string& text, const std::string& caption)
{
    onGuiThread([this, text = QString::fromStdString(text), caption = QString::fromStdString(caption)] {
        m_services.prompter->notify(this, caption, text);
    });
}

bool DBBackupDlg::shutdown(std::chrono::milliseconds bound)
{
    if (!m_shutDown) {
        m_shutDown = true;
        m_session.attachView(nullptr);
        m_statusModel->detach();
        m_tray->hideIcon();
    }
    return m_session.scheduler().shutdown(bound);
}

// --- list editing ------------------------------------------------------------

void DBBackupDlg::saveToList()
{
    if (m_checkingConnection || m_shutDown)
        return;
    const DatabaseForm form = m_form->form();
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
    auto folderCheck = std::make_shared<engine::FolderVisibility>();
    folderCheck->outcome = engine::FolderVisibility::Outcome::Seen;
    if (m_services.checkConnection) {
        const std::string connectionString =
            db::BuildConnectionString(form.serverAddress, form.databaseName, form.login, form.password);
        m_checkingConnection = true;
        m_form->setEnabled(false);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        auto failure = std::make_shared<std::string>();
        const engine::ServerFolderNames names
            = engine::FolderNamesFor(form.backupPath, engine::TrimBlanks(form.serverBackupPath), form.databaseName);
        const std::optional<bool> answer = RunResponsive<bool>(
            [check = m_services.checkConnection, checkFolder = m_services.checkServerFolder, connectionString,
             failure, names, folderCheck] {
                if (!check(connectionString, *failure))
                    return false;
                if (checkFolder)
                    *folderCheck = checkFolder(connectionString, names);
                return true;
            });
        QApplication::restoreOverrideCursor();
        m_form->setEnabled(true);
        m_checkingConnection = false;
        if (!answer)
            return;
        connected = *answer;
        // The status line says what failed and why.
        if (!connected)
            m_statusLine->setText(ConnectionFailedLine(*failure));
    }
    if (!connected) {
        prompter->inform(this, caption, QString::fromLatin1(kConnectionErrorText));
        return;
    }

    config::DatabaseList::Row cells = RowFromForm(form, m_codec);
    if (m_editingRow < 0) {
        m_session.log().Write("New database added in configuration list. DB: " + form.databaseName);
        cells[config::ColSerial] = std::to_string(m_databaseList.rowCount() + 1);
        m_configModel->appendRow(cells);
    } else {
        m_session.log().Write("Updated database configuration for DB: " + form.databaseName);
        m_configModel->setRow(m_editingRow, cells, config::ColDatabaseUrl);
        leaveEditMode();
    }
    m_form->clear();
    // The row stays: the server's folder may only be out of reach just now.
    if (folderCheck->outcome != engine::FolderVisibility::Outcome::Seen) {
        m_session.log().Write(folderCheck->text);
        prompter->inform(this, caption, QString::fromStdString(folderCheck->text));
    }
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
    m_session.log().Write("Updating Database '" + row[config::ColDatabaseName] + "' From List.");
    m_form->setForm(FormFromRow(row, m_codec));
    m_form->setEditMode(true);
}

void DBBackupDlg::leaveEditMode()
{
    m_editingRow = -1;
    m_form->setEditMode(false);
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
    if (!selected.isEmpty()) {
        const int row = selected.first().row();
        m_session.log().Write("Database '" + m_databaseList.cell(row, config::ColDatabaseName) + "' Deleted From List.");
        m_configModel->removeDatabaseRow(row);
    }
    // Whether a row went or not, the row being edited may be gone: back to
    // add mode entirely, so the button never reads "Update to List" while it
    // would add.
    leaveEditMode();
}

void DBBackupDlg::chooseBackupFolder()
{
    const QString current = m_form->backupPath();
    const QString start = !current.isEmpty() && QFileInfo(current).isDir() ? current : QDir::homePath();
    QString chosen;
    if (m_services.chooseFolder) {
        chosen = m_services.chooseFolder(this, start);
    } else {
        chosen = QFileDialog::getExistingDirectory(this, QString::fromLatin1(kChooseFolderTitle), start,
                                                   QFileDialog::ShowDirsOnly);
    }
    if (!chosen.isEmpty())
        m_form->setBackupPath(QDir::cleanPath(chosen));
}

// --- commands ----------------------------------------------------------------

void DBBackupDlg::saveConfigurations()
{
    std::string error;
    if (!config::SaveDatabaseList(m_session.settingsPath(), m_databaseList, m_session.log(), &error)) {
        m_services.prompter->inform(this, ApplicationCaption(),
                                    QStringLiteral("The database list could not be saved. %1")
                                        .arg(QString::fromStdString(error)));
    }
}

void DBBackupDlg::startAutoBackupService()
{
    if (m_session.scheduler().StartAutoBackupService(m_databaseList) == 0)
        return;
    // While the service runs, a row's tooltip says when it runs next.
    m_configModel->setToolTipProvider([this](int row) { return scheduleTip(row); });
}

QString DBBackupDlg::scheduleTip(int row) const
{
    const std::string& url = m_databaseList.cell(row, config::ColDatabaseUrl);
    const std::string& name = m_databaseList.cell(row, config::ColDatabaseName);
    for (const auto& entry : m_session.scheduler().autoSchedule()) {
        if (entry.databaseUrl != url || entry.databaseName != name)
            continue;
        if (entry.waitingOrRunning)
            return QStringLiteral("Backing up now, or waiting for its turn");
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(entry.startsIn).count();
        const QDateTime at = QDateTime::currentDateTime().addSecs(seconds);
        return QStringLiteral("Next backup: %1").arg(QLocale().toString(at, QLocale::ShortFormat));
    }
    return {};
}

void DBBackupDlg::manualBackup()
{
    m_session.scheduler().ManualBackup(m_databaseList);
}

void DBBackupDlg::openMailSettings()
{
    m_emailSettings->openMailSettings(m_session.log());
}

void DBBackupDlg::minimizeToTray()
{
    if (!m_tray->isTrayAvailable()) {
        m_services.prompter->inform(this, ApplicationCaption(), QString::fromLatin1(kNoTrayText));
        return;
    }
    m_tray->hideToTray();
}

void DBBackupDlg::showApplication()
{
    m_tray->showApplication();
}

void DBBackupDlg::raiseWindow()
{
    if (m_tray->isIconShown())
        m_tray->showApplication();
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
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
    QString files = QStringLiteral("Settings: %1").arg(QString::fromStdString(m_session.settingsPath()));
    if (!m_services.settingsSource.empty())
        files += QStringLiteral(" (%1)").arg(QString::fromStdString(m_services.settingsSource));
    files += QStringLiteral("\nLog: %1").arg(QString::fromStdString(m_session.logPath()));
    RunAboutBox(this, windowIcon(), files);
}

void DBBackupDlg::exitApplication()
{
    const bool busy = m_session.backupState().backupBusy() == 1;
    const QString text = QString::fromLatin1(busy ? kCloseBusyText : kCloseIdleText);
    if (!m_services.prompter->ask(this, QString::fromLatin1(kCloseCaption), text))
        return;
    m_session.log().Write(kClosingLine);
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
