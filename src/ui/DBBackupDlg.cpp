#include "ui/DBBackupDlg.h"

#include "config/RunOptions.h"
#include "config/SettingsFile.h"
#include "db/Connection.h"
#include "engine/BackupFolders.h"
#include "engine/BackupScheduler.h"
#include "engine/SettingsStore.h"
#include "log/Log.h"
#include "text/Text.h"
#include "ui/AboutBox.h"
#include "ui/ConfigGridModel.h"
#include "ui/DatabaseFormWidget.h"
#include "ui/ElidedLabel.h"
#include "engine/StoredRunHistory.h"
#include "ui/HistoryReader.h"
#include "ui/HistoryWindow.h"
#include "ui/DesktopNotification.h"
#include "ui/OptionsDialog.h"
#include "ui/Prompter.h"
#include "ui/ResponsiveCall.h"
#include "ui/StatusGridModel.h"
#include "ui/TableViews.h"
#include "ui/TrayController.h"
#include "ui/WrappedTextDelegate.h"

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
#include <QSessionManager>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <condition_variable>
#include <filesystem>
#include <set>

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
    SetUpTableView(view, model);
    view->setAlternatingRowColors(true);
    view->horizontalHeader()->setStretchLastSection(false);
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

// The widths a person gave the columns, kept between starts.
QString WidthsKey(const QTableView* view)
{
    return view->objectName() + QStringLiteral("/columnWidths");
}

void SaveWidths(QSettings& settings, const QTableView* view)
{
    QStringList widths;
    for (int column = 0; column < view->model()->columnCount(); ++column)
        widths << QString::number(view->columnWidth(column));
    settings.setValue(WidthsKey(view), widths.join(QLatin1Char(',')));
}

void RestoreWidths(const QSettings& settings, QTableView* view)
{
    const QStringList widths = settings.value(WidthsKey(view)).toString().split(QLatin1Char(','));
    if (widths.size() != view->model()->columnCount())
        return;
    for (int column = 0; column < widths.size(); ++column) {
        const int width = widths[column].toInt();
        const auto mode = view->horizontalHeader()->sectionResizeMode(column);
        if (width >= 20 && width <= 4000 && !view->isColumnHidden(column) && mode == QHeaderView::Interactive)
            view->setColumnWidth(column, width);
    }
}

QString WhenText(const QDateTime& at)
{
    const QLocale locale;
    if (at.date() == QDate::currentDate())
        return locale.toString(at.time(), QLocale::ShortFormat);
    return locale.toString(at, QLocale::ShortFormat);
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
    if (!m_services.historyPath.empty())
        m_historyReader = std::make_unique<HistoryReader>(m_services.historyPath);
    m_configModel->setToolTipProvider([this](int row) {
        const QString schedule = scheduleTip(row);
        const QString history = historyTip(row);
        return schedule.isEmpty() || history.isEmpty() ? schedule + history : schedule + QStringLiteral("\n") + history;
    });
    m_statusModel = std::make_unique<StatusGridModel>(m_session.statusJournal());
    m_emailSettings = new EmailSettings(*m_services.prompter, m_session, m_services.sendTestMail, this);
    m_offsiteSettings = new OffsiteSettings(*m_services.prompter, m_session, m_services.checkOffsite,
                                            m_services.offsiteCredentialsFromEnvironment, this);
    buildWidgets();
    buildMenus();

    m_form->setUnitIndex(kUnitMinutes);
    centreOnScreen();
    restoreWindowState();
    leaveEditMode();
    const std::shared_ptr<const engine::Settings> stored = m_session.settings().current();
    std::string loadError = stored->problem;
    m_configModel->reload([&stored](config::DatabaseList& list) { list = stored->databaseList; });
    rememberSavedList();
    m_tray = new TrayController(this, icon, m_services.trayAvailable, this);
    connect(m_tray, &TrayController::saveSettingsRequested, this, &DBBackupDlg::saveToList);
    connect(m_tray, &TrayController::exitRequested, this, &DBBackupDlg::exitApplication);
    connect(m_tray, &TrayController::stopServiceRequested, this, &DBBackupDlg::stopAutoBackupService);
    const std::string mailError = m_emailSettings->loadMailSettings();
    if (!mailError.empty() && mailError != loadError)
        loadError += (loadError.empty() ? "" : "\n") + mailError;
    m_session.addView(this);
    m_session.log().Write(kStartedLine);
    if (!loadError.empty()) {
        // The file stays as it is: saving refuses to replace a file it could
        // not read, or whose list it could not load.
        m_session.log().Write(loadError);
        m_services.prompter->inform(nullptr, ApplicationCaption(), QString::fromStdString(loadError));
    }
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(application, &QGuiApplication::commitDataRequest, this, &DBBackupDlg::commitData);
    m_stateTimer = new QTimer(this);
    m_stateTimer->setInterval(std::chrono::seconds(30));
    connect(m_stateTimer, &QTimer::timeout, this, &DBBackupDlg::refreshState);
    m_stateTimer->start();
    refreshState();
    // Once the window is up, so that a notice about the list has a window to stand on.
    QTimer::singleShot(0, this, &DBBackupDlg::startServiceOnLaunch);
}

DBBackupDlg::~DBBackupDlg()
{
    shutdown(std::chrono::seconds(5));
    m_statusModel.reset();
    m_configModel.reset();
}

void DBBackupDlg::registerControl(ControlId controlId, QWidget* widget)
{
    widget->setProperty("controlId", static_cast<int>(controlId));
    m_controls.insert(controlId, widget);
}

QWidget* DBBackupDlg::control(ControlId controlId) const
{
    return m_controls.value(controlId, nullptr);
}

void DBBackupDlg::setControlEnabled(ControlId controlId, bool enabled)
{
    if (QWidget* widget = control(controlId))
        widget->setEnabled(enabled);
    // The menu item starts the same service as the button.
    if (controlId == IdStartAutoBackup && m_startAutoAction)
        m_startAutoAction->setEnabled(enabled);
}

engine::BackupScheduler& DBBackupDlg::scheduler() const
{
    return m_session.scheduler();
}

void DBBackupDlg::buildWidgets()
{
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
    m_stopAutoButton = MakeButton(QStringLiteral("Stop Auto Backup Service"), "StopAutoBackup");
    m_stopAutoButton->setEnabled(false);
    auto* manual = MakeButton(QStringLiteral("Manual Backup"), "ManualBackup");
    auto* restoreTest = MakeButton(QStringLiteral("Restore Test"), "RestoreTest");
    restoreTest->setToolTip(QStringLiteral("Restore the newest backup of the selected database under a scratch name, "
                                           "check it (DBCC CHECKDB) and drop it again"));
    auto* saveConfig = MakeButton(QStringLiteral("Save Configurations"), "SaveConfigurations");
    auto* hiddenMinimize = MakeButton(QStringLiteral("Minimize to Tray"), "MinimizeToTray");
    hiddenMinimize->hide();
    registerControl(IdStartAutoBackup, startAuto);
    registerControl(IdManualBackup, manual);
    registerControl(IdSaveConfigurations, saveConfig);
    registerControl(IdMinimizeToTrayButton, hiddenMinimize);
    auto* commands = new QHBoxLayout;
    commands->addWidget(startAuto);
    commands->addWidget(m_stopAutoButton);
    commands->addWidget(manual);
    commands->addWidget(restoreTest);
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
    // The status takes the room the window has, on two lines where one is
    // not enough; the time column is never narrower than a time.
    m_statusDelegate = new WrappedTextDelegate(2, m_statusGrid);
    m_statusGrid->setItemDelegateForColumn(engine::StatusBackupStatus, m_statusDelegate);
    m_statusGrid->setItemDelegateForColumn(engine::StatusEmailStatus, m_statusDelegate);
    m_statusGrid->horizontalHeader()->setSectionResizeMode(engine::StatusBackupStatus, QHeaderView::Stretch);
    m_statusGrid->verticalHeader()->setDefaultSectionSize(2 * m_statusGrid->fontMetrics().lineSpacing() + 8);
    m_statusGrid->setColumnWidth(engine::StatusBackupTime,
                                 std::max(m_statusGrid->columnWidth(engine::StatusBackupTime),
                                          m_statusGrid->fontMetrics().horizontalAdvance(QStringLiteral("28/12/2099  23:59:59")) + 16));
    m_statusGrid->setTextElideMode(Qt::ElideMiddle);
    m_configGrid->setTextElideMode(Qt::ElideMiddle);
    layout->addWidget(m_statusGrid, 3);
    statusLabel->setBuddy(m_statusGrid);

    m_statusLine = new ElidedLabel;
    m_statusLine->setObjectName(QStringLiteral("StatusLine"));
    registerControl(IdStatusLine, m_statusLine);
    m_statusLine->setTakesWhatIsLeft(true);
    statusBar()->addWidget(m_statusLine, 1);
    m_serviceState = new ElidedLabel;
    m_serviceState->setObjectName(QStringLiteral("ServiceState"));
    statusBar()->addPermanentWidget(m_serviceState);
    // Whole while it fits in half the bar; the message beside it keeps the rest.
    m_serviceState->setMaximumShare(0.5);
    statusBar()->setSizeGripEnabled(true);

    setCentralWidget(central);

    connect(m_form, &DatabaseFormWidget::browseRequested, this, &DBBackupDlg::chooseBackupFolder);
    connect(m_form, &DatabaseFormWidget::saveRequested, this, &DBBackupDlg::saveToList);
    connect(m_form, &DatabaseFormWidget::cancelRequested, this, &DBBackupDlg::leaveEditMode);
    connect(m_configGrid, &QTableView::doubleClicked, this, &DBBackupDlg::editRow);
    connect(saveConfig, &QPushButton::clicked, this, &DBBackupDlg::saveConfigurations);
    connect(startAuto, &QPushButton::clicked, this, &DBBackupDlg::startAutoBackupService);
    connect(m_stopAutoButton, &QPushButton::clicked, this, &DBBackupDlg::stopAutoBackupService);
    connect(manual, &QPushButton::clicked, this, &DBBackupDlg::manualBackup);
    connect(restoreTest, &QPushButton::clicked, this, &DBBackupDlg::restoreTestSelected);
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
    auto addCommand = [this](QMenu* menu, const QString& text, const char* objectName, int commandId, auto slot) {
        QAction* action = menu->addAction(text);
        action->setObjectName(QLatin1String(objectName));
        if (commandId != 0)
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
    file->addSeparator();
    m_stopAutoAction = addCommand(file, QStringLiteral("Stop Auto Backup Service"), "MenuStopAutoBackup", 0,
                                  &DBBackupDlg::stopAutoBackupService);
    m_stopAutoAction->setEnabled(false);
    addCommand(file, QStringLiteral("Open Log"), "MenuOpenLog", 0, &DBBackupDlg::openLog);
    addCommand(file, QStringLiteral("Open Backup Folder"), "MenuOpenBackupFolder", 0,
               &DBBackupDlg::openBackupFolder);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->setObjectName(QStringLiteral("ViewMenu"));
    QAction* history = view->addAction(QStringLiteral("Backup History"));
    history->setObjectName(QStringLiteral("MenuHistory"));
    history->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    history->setEnabled(m_historyReader != nullptr);
    connect(history, &QAction::triggered, this, &DBBackupDlg::openHistory);

    QMenu* settings = menuBar()->addMenu(QStringLiteral("&Settings"));
    settings->setObjectName(QStringLiteral("SettingsMenu"));
    addCommand(settings, QStringLiteral("Application Level Settings"), "MenuApplicationSettings", 32775,
               &DBBackupDlg::openMailSettings);
    addCommand(settings, QStringLiteral("Options..."), "MenuOptions", 0, &DBBackupDlg::openOptions);
    addCommand(settings, QStringLiteral("Offsite Copies..."), "MenuOffsiteSettings", 0,
               &DBBackupDlg::openOffsiteSettings);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("HelpMenu"));
    addCommand(help, QStringLiteral("Help    F1"), "MenuHelp", 32777, &DBBackupDlg::openHelp);
    addCommand(help, QStringLiteral("About"), "MenuAbout", 32776, &DBBackupDlg::showAbout);

    // F1 is a window shortcut rather than the action's, so that the item reads exactly "Help    F1".
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, &DBBackupDlg::openHelp);
}

void DBBackupDlg::centreOnScreen()
{
    resize(1040, 760);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        // Room for the window manager's title bar and frame, so that the
        // status bar stays on a 768-pixel screen.
        constexpr int kFrameWidth = 16;
        constexpr int kFrameHeight = 48;
        const QRect desktop = screen->availableGeometry();
        resize(std::min(width(), desktop.width() - kFrameWidth), std::min(height(), desktop.height() - kFrameHeight));
        move(desktop.center().x() - width() / 2, desktop.center().y() - height() / 2);
    }
}

// --- the view of the session -------------------------------------------------

void DBBackupDlg::onGuiThread(std::function<void()> action)
{
    // Queued even on the GUI thread: the session tells what its queue does
    // with the scheduler's mutex held, and the window asks the scheduler back.
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

void DBBackupDlg::manualRunStarted()
{
    onGuiThread([this] {
        setControlEnabled(IdManualBackup, false);
        setControlEnabled(IdSaveConfigurations, false);
    });
}

void DBBackupDlg::manualRunEnded()
{
    onGuiThread([this] {
        setControlEnabled(IdManualBackup, true);
        setControlEnabled(IdSaveConfigurations, true);
    });
}

void DBBackupDlg::autoServiceStarted()
{
    onGuiThread([this] {
        for (ControlId id : kSettingsControls)
            setControlEnabled(id, false);
        m_stopAutoAction->setEnabled(true);
        m_stopAutoButton->setEnabled(true);
        m_tray->setServiceRunning(true);
        refreshState();
    });
}

void DBBackupDlg::autoServiceStopped()
{
    onGuiThread([this] {
        for (ControlId id : kSettingsControls)
            setControlEnabled(id, true);
        m_stopAutoAction->setEnabled(false);
        m_stopAutoButton->setEnabled(false);
        m_tray->setServiceRunning(false);
        refreshState();
    });
}

void DBBackupDlg::runsQueued(const std::vector<engine::QueuedRun>& runs)
{
    onGuiThread([this, runs] {
        m_statusModel->addWaiting(runs);
        refreshState();
    });
}

void DBBackupDlg::runsDropped(const std::vector<engine::QueuedRun>& runs)
{
    onGuiThread([this, runs] {
        for (const engine::QueuedRun& run : runs)
            m_statusModel->removeWaiting(run);
        refreshState();
    });
}

void DBBackupDlg::runStarted(const engine::StartedRun& run)
{
    onGuiThread([this, run] {
        m_statusModel->removeWaiting(run.run);
        m_runningDatabase = QString::fromStdString(std::string(text::Trim(run.run.databaseName)));
        refreshState();
    });
}

void DBBackupDlg::runFinished(const engine::RunResult& result)
{
    onGuiThread([this, result] {
        using Outcome = StatusGridModel::Outcome;
        const Outcome outcome = result.outcome == engine::RunOutcome::Completed ? Outcome::Completed
            : result.outcome == engine::RunOutcome::Failed                      ? Outcome::Failed
                                                                                : Outcome::Stopped;
        m_statusModel->setOutcome(result.journalRow, outcome);
        m_runningDatabase.clear();
        if (outcome == Outcome::Failed)
            notifyFailure(result);
        refreshState();
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

void DBBackupDlg::notifyFailure(const engine::RunResult& result)
{
    const QString name = QString::fromStdString(result.databaseName);
    const QString reason = QString::fromStdString(result.errorText.empty() ? result.row[engine::StatusBackupStatus]
                                                                           : result.errorText);
    m_lastFailure = QStringLiteral("Last failure: %1 at %2: %3")
                        .arg(name, WhenText(QDateTime::currentDateTime()), reason.left(160));
    // A window in front shows the row; otherwise the desktop says it.
    if (isActiveWindow())
        return;
    const QString title = QStringLiteral("Backup of %1 failed").arg(name);
    if (m_services.notify)
        m_services.notify(title, reason);
    else if (!NotifyDesktop(title, reason, true))
        m_tray->showFailure(title, reason);
}

QString DBBackupDlg::serviceState() const
{
    QStringList parts;
    if (!m_session.scheduler().isAutoServiceRunning()) {
        parts << QStringLiteral("Auto backup service stopped");
    } else {
        parts << QStringLiteral("Auto backup service running");
        const engine::BackupScheduler::ScheduledDatabase* next = nullptr;
        const auto schedule = m_session.scheduler().autoSchedule();
        for (const auto& entry : schedule) {
            if (!entry.waitingOrRunning && (!next || entry.startsIn < next->startsIn))
                next = &entry;
        }
        if (next) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(next->startsIn).count();
            parts << QStringLiteral("next: %1 at %2")
                         .arg(QString::fromStdString(std::string(text::Trim(next->databaseName))),
                              WhenText(QDateTime::currentDateTime().addSecs(seconds)));
        }
    }
    if (!m_runningDatabase.isEmpty())
        parts << QStringLiteral("backing up %1").arg(m_runningDatabase);
    if (const int waiting = m_statusModel->waitingCount(); waiting > 0)
        parts << QStringLiteral("%1 waiting").arg(waiting);
    return parts.join(QStringLiteral(" \u00b7 "));
}

void DBBackupDlg::refreshState()
{
    if (m_shutDown)
        return;
    const QString state = serviceState();
    m_serviceState->setText(state);
    m_tray->setState(m_lastFailure.isEmpty() ? state : state + QLatin1Char('\n') + m_lastFailure);
}

bool DBBackupDlg::shutdown(std::chrono::milliseconds bound)
{
    if (!m_shutDown) {
        saveWindowState();
        m_shutDown = true;
        m_session.removeView(this);
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
            = engine::FolderNamesFor(form.backupPath, std::string(text::Trim(form.serverBackupPath)), form.databaseName);
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

bool DBBackupDlg::saveConfigurations()
{
    std::string error;
    if (!m_session.settings().saveDatabaseList(m_databaseList, m_session.log(), &error)) {
        m_services.prompter->inform(this, ApplicationCaption(),
                                    QStringLiteral("The database list could not be saved. %1")
                                        .arg(QString::fromStdString(error)));
        return false;
    }
    rememberSavedList();
    return true;
}

void DBBackupDlg::rememberSavedList()
{
    m_savedRows.clear();
    for (int row = 0; row < m_databaseList.rowCount(); ++row)
        m_savedRows.push_back(m_databaseList.row(row));
}

bool DBBackupDlg::isListModified() const
{
    if (static_cast<int>(m_savedRows.size()) != m_databaseList.rowCount())
        return true;
    // The serial is not stored: a reload numbers the rows anew.
    for (int row = 0; row < m_databaseList.rowCount(); ++row) {
        for (int column = config::ColDatabaseUrl; column < config::kConfigColumnCount; ++column) {
            if (m_databaseList.cell(row, column) != m_savedRows[static_cast<std::size_t>(row)][column])
                return true;
        }
    }
    return false;
}

void DBBackupDlg::startAutoBackupService()
{
    m_session.scheduler().StartAutoBackupService(m_databaseList);
}

void DBBackupDlg::stopAutoBackupService()
{
    m_session.scheduler().StopAutoBackupService();
}

void DBBackupDlg::startServiceOnLaunch()
{
    if (m_shutDown || !m_session.settings().current()->options.startServiceOnLaunch)
        return;
    if (m_databaseList.rowCount() == 0) {
        m_session.log().Write("Auto backup service not started at launch: the database list is empty");
        return;
    }
    startAutoBackupService();
}

std::optional<engine::BackupScheduler::ScheduledDatabase> DBBackupDlg::scheduleOf(int row) const
{
    const std::string& url = m_databaseList.cell(row, config::ColDatabaseUrl);
    const std::string& name = m_databaseList.cell(row, config::ColDatabaseName);
    for (const auto& entry : m_session.scheduler().autoSchedule()) {
        if (entry.databaseUrl == url && entry.databaseName == name)
            return entry;
    }
    return std::nullopt;
}

QString DBBackupDlg::scheduleTip(int row) const
{
    const auto entry = scheduleOf(row);
    if (!entry)
        return {};
    if (entry->waitingOrRunning)
        return QStringLiteral("Backing up now, or waiting for its turn");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(entry->startsIn).count();
    const QDateTime at = QDateTime::currentDateTime().addSecs(seconds);
    return QStringLiteral("Next backup: %1").arg(QLocale().toString(at, QLocale::ShortFormat));
}

QString DBBackupDlg::historyTip(int row) const
{
    if (!m_historyReader)
        return {};
    std::vector<history::DatabaseSummary> known;
    QString error;
    if (!m_historyReader->summaries(known, error))
        return {};
    const std::string name = history::Trimmed(m_databaseList.cell(row, config::ColDatabaseName));
    const std::string server = history::Trimmed(m_databaseList.cell(row, config::ColDatabaseUrl));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const history::DatabaseSummary& summary : known) {
        if (summary.database != name || summary.server != server)
            continue;
        QString tip = QStringLiteral("No good backup recorded");
        if (summary.lastSuccess) {
            const history::Millis at = summary.lastSuccess->endedAt.value_or(summary.lastSuccess->startedAt);
            tip = QStringLiteral("Last good backup: %1 (%2 ago)")
                      .arg(QString::fromStdString(history::LocalTimeText(at)),
                           QString::fromStdString(history::AgeText(now - at)));
        }
        if (summary.lastFinished && summary.lastFinished->outcome == history::Outcome::Failed) {
            const history::RunRecord& failed = *summary.lastFinished;
            tip += QStringLiteral("\nLast run failed %1 ago")
                       .arg(QString::fromStdString(history::AgeText(now - failed.endedAt.value_or(failed.startedAt))));
        }
        return tip;
    }
    return QStringLiteral("No backup recorded yet");
}

QString DBBackupDlg::nextStartText(int row) const
{
    if (!m_session.scheduler().isAutoServiceRunning())
        return QStringLiteral("service not started");
    const auto entry = scheduleOf(row);
    if (!entry)
        return QStringLiteral("not in the running service");
    if (entry->waitingOrRunning)
        return QStringLiteral("now");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(entry->startsIn).count();
    return QString::fromStdString(
        history::LocalTimeText(QDateTime::currentMSecsSinceEpoch() + static_cast<qint64>(seconds) * 1000));
}

void DBBackupDlg::openHistory()
{
    if (!m_historyReader)
        return;
    if (!m_historyWindow) {
        m_historyWindow = new HistoryWindow(*m_historyReader, [this] {
            std::vector<HistoryWindow::Listed> listed;
            const std::vector<history::WatchedDatabase> watched = engine::WatchedDatabases(m_databaseList);
            for (std::size_t row = 0; row < watched.size(); ++row)
                listed.push_back({watched[row], nextStartText(static_cast<int>(row))});
            return listed;
        }, this);
        // Runs that end show up soon after.
        auto* pending = new QTimer(m_historyWindow);
        pending->setSingleShot(true);
        pending->setInterval(2000);
        connect(pending, &QTimer::timeout, m_historyWindow, [window = m_historyWindow] {
            if (window->isVisible())
                window->refresh();
        });
        connect(m_statusModel.get(), &StatusGridModel::cellUpdated, pending, [pending] { pending->start(); });
    }
    m_historyWindow->show();
    m_historyWindow->raise();
    m_historyWindow->activateWindow();
}

void DBBackupDlg::manualBackup()
{
    m_session.scheduler().ManualBackup(m_databaseList);
}

void DBBackupDlg::restoreTestSelected()
{
    const QModelIndexList selected = m_configGrid->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        m_services.prompter->inform(this, ApplicationCaption(), QString::fromUtf8(kSelectForRestoreTestText));
        return;
    }
    m_session.scheduler().RestoreTests(m_databaseList, {selected.front().row()});
}

void DBBackupDlg::openMailSettings()
{
    m_emailSettings->openMailSettings(m_session.log());
}

void DBBackupDlg::openOffsiteSettings()
{
    m_offsiteSettings->openSettings();
}

void DBBackupDlg::openOptions()
{
    OptionsDialog dialog(*m_services.prompter, m_session.settings(), this);
    std::string error;
    if (!dialog.load(&error)) {
        m_services.prompter->inform(this, ApplicationCaption(), QString::fromStdString(error));
        return;
    }
    connect(&dialog, &OptionsDialog::optionsSaved, this, [this](const auto& changes) {
        std::string line = "Options changed:";
        for (const auto& [key, value] : changes) {
            const config::OptionEntry* entry = config::FindOption(key);
            const bool secret = entry && entry->kind == config::OptionKind::Secret;
            line += " " + key + "=" + (secret ? std::string("(changed)") : value);
            // Runs read their options from the file; the mail alerts follow
            // the session's mail settings.
            if (entry && entry->key == config::kMailOnFailureKey) {
                config::MailSettings mail = m_session.mailSettings();
                mail.mailOnFailure = config::IsTrueOption(value);
                m_session.setMailSettings(mail);
            }
        }
        m_session.log().Write(line);
    });
    dialog.exec();
}

void DBBackupDlg::openLog()
{
    const QUrl url = QUrl::fromLocalFile(QFileInfo(QString::fromStdString(m_session.logPath())).absoluteFilePath());
    if (m_services.openExternal)
        m_services.openExternal(url);
    else
        QDesktopServices::openUrl(url);
}

void DBBackupDlg::openBackupFolder()
{
    // The selected database's folder, or the one backup path every database shares.
    QString folder;
    const QModelIndexList selected = m_configGrid->selectionModel()->selectedRows();
    if (!selected.isEmpty()) {
        const int row = selected.first().row();
        const QString path = QString::fromStdString(m_databaseList.cell(row, config::ColBackupPath));
        const QString database = QString::fromStdString(
            std::string(text::Trim(m_databaseList.cell(row, config::ColBackupPath) + "/"
                                   + m_databaseList.cell(row, config::ColDatabaseName))));
        folder = QFileInfo(database).isDir() ? database : path;
    } else {
        std::set<std::string> paths;
        for (int row = 0; row < m_databaseList.rowCount(); ++row)
            paths.insert(m_databaseList.cell(row, config::ColBackupPath));
        if (paths.size() == 1)
            folder = QString::fromStdString(*paths.begin());
    }
    if (folder.isEmpty()) {
        m_services.prompter->inform(this, ApplicationCaption(), QString::fromLatin1(kChooseDatabaseText));
        return;
    }
    const QUrl url = QUrl::fromLocalFile(folder);
    if (m_services.openExternal)
        m_services.openExternal(url);
    else
        QDesktopServices::openUrl(url);
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

bool DBBackupDlg::confirmClose(bool exitCommand)
{
    Prompter& prompter = *m_services.prompter;
    if (isListModified()) {
        switch (prompter.askToSave(this, QString::fromLatin1(kCloseCaption), QString::fromLatin1(kSaveChangesText))) {
        case Prompter::SaveAnswer::Save:
            if (!saveConfigurations())
                return false;
            break;
        case Prompter::SaveAnswer::Discard:
            break;
        case Prompter::SaveAnswer::Cancel:
            return false;
        }
    }
    const bool busy = m_session.backupState().backupBusy() == 1;
    if (exitCommand || busy) {
        const QString text = QString::fromLatin1(busy ? kCloseBusyText : kCloseIdleText);
        if (!prompter.ask(this, QString::fromLatin1(kCloseCaption), text))
            return false;
    }
    m_session.log().Write(kClosingLine);
    return true;
}

void DBBackupDlg::exitApplication()
{
    if (m_closeConfirmed || !confirmClose(true))
        return;
    m_closeConfirmed = true;
    close();
}

void DBBackupDlg::closeEvent(QCloseEvent* event)
{
    if (!m_closeConfirmed && !confirmClose(false)) {
        event->ignore();
        return;
    }
    m_closeConfirmed = true;
    event->accept();
    saveWindowState();
    m_tray->hideIcon();
    emit closed();
}

void DBBackupDlg::keyPressEvent(QKeyEvent* event)
{
    // Esc and Enter belong to the fields and dialogs; the window never
    // closes on them.
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void DBBackupDlg::commitData(QSessionManager& manager)
{
    // Logging out of the desktop: the same questions as any other close,
    // when the session lets the program ask.
    if (m_closeConfirmed)
        return;
    if (manager.allowsInteraction()) {
        const bool mayClose = confirmClose(false);
        manager.release();
        if (!mayClose) {
            manager.cancel();
            return;
        }
    } else {
        m_session.log().Write(kClosingLine);
    }
    m_closeConfirmed = true;
    saveWindowState();
}

void DBBackupDlg::restoreWindowState()
{
    if (m_services.windowStatePath.empty())
        return;
    const QSettings settings(QString::fromStdString(m_services.windowStatePath), QSettings::IniFormat);
    RestoreWidths(settings, m_configGrid);
    RestoreWidths(settings, m_statusGrid);
    const QByteArray geometry = settings.value(QStringLiteral("window/geometry")).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
}

void DBBackupDlg::saveWindowState() const
{
    if (m_services.windowStatePath.empty() || m_shutDown)
        return;
    QSettings settings(QString::fromStdString(m_services.windowStatePath), QSettings::IniFormat);
    SaveWidths(settings, m_configGrid);
    SaveWidths(settings, m_statusGrid);
    settings.setValue(QStringLiteral("window/geometry"), saveGeometry());
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
