#include "UiTestSupport.h"

#include "ui/ConfigGridModel.h"
#include "ui/ElidedLabel.h"
#include "ui/HistoryWindow.h"

#include "db/DbConnection.h"
#include "engine/BackupScheduler.h"
#include "engine/SystemServices.h"
#include "fakes/TdsTestServer.h"
#include "ui/StatusGridModel.h"
#include "ui/TrayController.h"
#include "ui/WrappedTextDelegate.h"

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <filesystem>
#include <thread>

using uitest::Find;

namespace {

QStringList Headings(QTableView* view)
{
    QStringList headings;
    for (int column = 0; column < view->model()->columnCount(); ++column)
        headings << view->model()->headerData(column, Qt::Horizontal).toString();
    return headings;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    uitest::WindowFixture* m_fixture = nullptr;

    ui::DBBackupDlg& window() { return m_fixture->window(); }

    QString statusCell(int row, int column)
    {
        return Find<QTableView>(window(), "StatusGrid")->model()->index(row, column).data().toString();
    }

    // Adds a database through the form, with the window's connection check.
    void addDatabase(const fakes::TdsTestServer& server, const QString& name,
                     const QString& password = QStringLiteral("Backup#2024"))
    {
        Find<QLineEdit>(window(), "DatabaseUrl")->setText(QString::fromStdString(server.dataSource()));
        Find<QLineEdit>(window(), "DatabaseName")->setText(name);
        Find<QLineEdit>(window(), "UserId")->setText("backup");
        Find<QLineEdit>(window(), "Password")->setText(password);
        Find<QLineEdit>(window(), "IntervalNumber")->setText("60");
        Find<QLineEdit>(window(), "BackupPath")->setText(QString::fromStdString(m_fixture->backupFolder()));
        QTest::mouseClick(Find<QPushButton>(window(), "SaveToList"), Qt::LeftButton);
    }

    ui::WindowServices realServices()
    {
        ui::WindowServices services;
        services.checkConnection = [](const std::string& connectionString, std::string& failureText) {
            return db::CheckConnection(connectionString, failureText);
        };
        return services;
    }

private slots:
    void init()
    {
        m_fixture = new uitest::WindowFixture;
    }

    void cleanup()
    {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        delete m_fixture;
        m_fixture = nullptr;
    }

    void startsInAddModeWithItsMenusAndGrids()
    {
        m_fixture->open();
        QCOMPARE(window().windowTitle(), QString("Corvella -  SQL Server Backup Manager"));
        QCOMPARE(m_fixture->logLines().last(), QString("Backup Manager Started"));
        QCOMPARE(Find<QComboBox>(window(), "IntervalUnit")->currentText(), QString("Minutes"));
        QCOMPARE(Find<QComboBox>(window(), "IntervalUnit")->itemText(0), QString("Hours"));
        QCOMPARE(Find<QPushButton>(window(), "SaveToList")->text(), QString("Save to List"));
        QVERIFY(!Find<QPushButton>(window(), "CancelUpdate")->isEnabled());
        QVERIFY(Find<QLineEdit>(window(), "BackupPath")->isReadOnly());
        QCOMPARE(Find<QLineEdit>(window(), "Password")->echoMode(), QLineEdit::Password);

        auto* config = Find<QTableView>(window(), "ConfigGrid");
        auto* status = Find<QTableView>(window(), "StatusGrid");
        QCOMPARE(Headings(config), (QStringList{"Serial", "Database URL", "Database Name", "User Name", "",
                                                "Backup Start After", "Backup Path", "Zip", "Email",
                                                "Delete Old Backup"}));
        QCOMPARE(Headings(status), (QStringList{"Serial", "Database Name", "Backup Status", "File Size",
                                                "Backup Time", "Email Status"}));
        QVERIFY(config->isColumnHidden(4));
        QCOMPARE(config->columnWidth(1), 130);
        QVERIFY(status->columnWidth(2) >= 120); // the status takes the room there is
        QCOMPARE(config->model()->rowCount(), 0);

        // Every control of the specified map is there.
        for (int id : {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1009, 1010, 1011, 1012, 1013, 1015, 1016,
                       1023, 1024, 1025, 1026})
            QVERIFY2(window().control(static_cast<ui::ControlId>(id)), qPrintable(QString::number(id)));

        // The specified items keep their ids and places; the others follow them.
        QStringList menus;
        for (QAction* top : window().menuBar()->actions()) {
            QStringList items;
            for (QAction* item : top->menu()->actions()) {
                if (!item->isSeparator())
                    items << item->text() + (item->property("commandId").isValid()
                                                 ? "=" + item->property("commandId").toString()
                                                 : QString());
            }
            menus << top->text().remove('&') + ": " + items.join(", ");
        }
        QCOMPARE(menus, (QStringList{
                            "File: Save Configurations=32780, Start auto backup service=32781, "
                            "Minimize to System Tray=32779, Exit=32774, Stop Auto Backup Service, Open Log, "
                            "Open Backup Folder",
                            "View: Backup History",
                            "Settings: Application Level Settings=32775, Options..., Offsite Copies...",
                            "Help: Help    F1=32777, About=32776"}));
        QCOMPARE(Find<QLabel>(window(), "ServiceState")->text(), QString("Auto backup service stopped"));
    }

    // A value too long for the settings file is named in a message at start;
    // nothing of the list is loaded, and saving keeps the file as it is.
    void aValueTooLongIsShownAndTheFileKept()
    {
        const QByteArray text = "[DBBackInfo]\r\nTOTAL_COUNT=1\r\nDB_NAME_0=Sales\r\nBACKUP_PATH_0=/"
            + QByteArray(1999, 'p') + "\r\n";
        QFile file(QString::fromStdString(m_fixture->settingsPath()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();

        m_fixture->open();
        const QString problem = QString("The value of BACKUP_PATH_0 in section [DBBackInfo] of the settings file '%1' "
                                        "is 2000 bytes long; a value may hold at most 1023 bytes.")
                                    .arg(QString::fromStdString(m_fixture->settingsPath()));
        QCOMPARE(m_fixture->prompter.texts(), QStringList{problem});
        QVERIFY(m_fixture->logLines().contains(problem));
        QCOMPARE(Find<QTableView>(window(), "ConfigGrid")->model()->rowCount(), 0);

        m_fixture->prompter.clear();
        QTest::mouseClick(Find<QPushButton>(window(), "SaveConfigurations"), Qt::LeftButton);
        QCOMPARE(m_fixture->prompter.texts(),
                 QStringList{"The database list could not be saved. " + problem + " Correct it in the file first."});
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text);
    }

    void exitAsksAccordingToRunningBackups_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("question");
        QTest::newRow("idle") << false << ui::DBBackupDlg::kCloseIdleText;
        QTest::newRow("busy") << true << ui::DBBackupDlg::kCloseBusyText;
    }

    void exitAsksAccordingToRunningBackups()
    {
        QFETCH(bool, busy);
        QFETCH(QString, question);
        m_fixture->open();
        QSignalSpy closed(&window(), &ui::DBBackupDlg::closed);
        window().backupState().runsInProgress = busy ? 1 : 0;

        window().exitApplication();
        auto shown = m_fixture->prompter.shown();
        QCOMPARE(shown.size(), std::size_t(1));
        QVERIFY(shown[0].question);
        QCOMPARE(shown[0].caption, QString("Close Application"));
        QCOMPARE(shown[0].text, question);
        QVERIFY(window().isVisible());
        QCOMPARE(closed.count(), 0);
        QVERIFY(!m_fixture->logLines().contains("Backup Manager is going to close"));

        m_fixture->prompter.queueAnswer(true);
        window().exitApplication();
        QCOMPARE(closed.count(), 1);
        QVERIFY(!window().isVisible());
        QCOMPARE(m_fixture->logLines().last(), QString("Backup Manager is going to close"));
        window().backupState().runsInProgress = 0;
    }

    // A half-filled form survives Esc and Enter, from a field or the window.
    void escAndEnterKeepTheWindowAndTheForm()
    {
        m_fixture->open();
        QSignalSpy closed(&window(), &ui::DBBackupDlg::closed);
        auto* url = Find<QLineEdit>(window(), "DatabaseUrl");
        window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window()));
        url->setFocus();
        QTest::keyClicks(url, "srv");
        for (QWidget* target : {static_cast<QWidget*>(url), static_cast<QWidget*>(&window())}) {
            QTest::keyClick(target, Qt::Key_Return);
            QTest::keyClick(target, Qt::Key_Enter);
            QTest::keyClick(target, Qt::Key_Escape);
        }
        QCoreApplication::processEvents();
        QVERIFY(window().isVisible());
        QCOMPARE(url->text(), QString("srv"));
        QCOMPARE(closed.count(), 0);
        QVERIFY(m_fixture->prompter.shown().empty());
    }

    void trayHidesAndRestoresTheWindow()
    {
        bool available = false;
        ui::WindowServices services;
        services.trayAvailable = [&] { return available; };
        m_fixture->open(services);
        ui::TrayController* tray = window().tray();
        QCOMPARE(tray->icon()->toolTip(), QString("SQL Server Backup Manager - Corvella\nAuto backup service stopped"));

        // No notification area: hiding to it does nothing, and the user is told why.
        window().minimizeToTray();
        QVERIFY(window().isVisible());
        QVERIFY(!tray->isIconShown());
        QCOMPARE(m_fixture->prompter.texts(), QStringList{ui::DBBackupDlg::kNoTrayText});

        available = true;
        window().minimizeToTray();
        QVERIFY(!window().isVisible());
        QVERIFY(tray->isIconShown());
        QVERIFY(!tray->showIcon());
        window().showApplication();
        QVERIFY(window().isVisible());
        QVERIFY(!tray->isIconShown());
        QVERIFY(!tray->hideIcon());
        // A single click restores the window too: some desktops send no double-click.
        window().minimizeToTray();
        QVERIFY(!window().isVisible());
        emit tray->icon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window().isVisible());

        // The menu's items route to the window; "Save Settings" becomes the default item after the first use.
        QMenu* menu = tray->menu();
        QStringList items;
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator())
                items << action->text();
        }
        QCOMPARE(items, (QStringList{"Save Settings", "Show Application", "Exit Application",
                                     "Stop Auto Backup Service"}));
        QCOMPARE(menu->defaultAction(), nullptr);
        menu->popup(QPoint(10, 10));
        menu->hide();
        QCOMPARE(menu->defaultAction()->text(), QString("Save Settings"));
        m_fixture->prompter.queueAnswer(false);
        menu->actions().at(2)->trigger();
        QCOMPARE(m_fixture->prompter.shown().back().caption, QString("Close Application"));
    }

    void workerCallsReachTheWindowOnItsThread()
    {
        m_fixture->open();
        bool returned = false;
        std::thread worker([&] {
            window().manualRunStarted();
            window().setStatusLine("Database Connection failed. Please check the DB info...");
            window().showNotice("Directory Creation Failed:/x. Please check the path", "Error");
            returned = true;
        });
        QTRY_VERIFY(returned);
        worker.join();
        QTRY_VERIFY(!Find<QPushButton>(window(), "SaveConfigurations")->isEnabled());
        QTRY_COMPARE(Find<QLabel>(window(), "StatusLine")->text(), QString(db::kConnectionFailedText));
        QTRY_COMPARE(m_fixture->prompter.texts(), QStringList{"Directory Creation Failed:/x. Please check the path"});
        QVERIFY(m_fixture->prompter.shown().back().notice); // the run did not wait for it

        // After shutdown a worker's message returns at once and changes nothing.
        QVERIFY(window().shutdown(std::chrono::milliseconds(100)));
        std::thread late([&] {
            window().showNotice("late", "Error");
            window().setStatusLine("late");
        });
        late.join();
        QCoreApplication::processEvents();
        QCOMPARE(m_fixture->prompter.texts().size(), 1);
        QVERIFY(Find<QLabel>(window(), "StatusLine")->text() != "late");
    }

    // The button tests the newest backup of the database selected in the
    // list, on its server, and the row says how it went.
    void restoreTestButtonTestsTheSelectedDatabase()
    {
        fakes::TdsTestServer::Options options;
        options.dataPath = m_fixture->path("sqldata").toStdString();
        std::filesystem::create_directories(options.dataPath);
        fakes::TdsTestServer server(options);
        QVERIFY2(server.start(), server.error().c_str());
        engine::SystemServices real(m_fixture->settingsPath());
        m_fixture->open(realServices(), real.services("corvella"));
        addDatabase(server, "Sales");
        auto* button = Find<QPushButton>(window(), "RestoreTest");
        QVERIFY(button);

        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(m_fixture->prompter.texts(), QStringList{ui::DBBackupDlg::kSelectForRestoreTestText});
        QCOMPARE(window().statusModel()->rowCount(), 0);

        QTest::mouseClick(Find<QPushButton>(window(), "ManualBackup"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(statusCell(0, 2), QString("Backup completed"), 30000);
        Find<QTableView>(window(), "ConfigGrid")->selectRow(0);
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(statusCell(1, 2).startsWith("Restore test passed (restored in "), 30000);
        QCOMPARE(statusCell(1, 1), QString("Sales"));
        QVERIFY(m_fixture->logLines().filter(QRegularExpression(
                    "^Restore test passed for Database Sales \\(restored in [0-9.]+ s, no consistency errors\\)$"))
                    .size() == 1);
        QCOMPARE(server.commandsStartingWith("DROP DATABASE").size(), std::size_t{1});
        m_fixture->close();
    }

    void manualBackupFillsItsRowThroughQueuedUpdates()
    {
        fakes::TdsTestServer server;
        QVERIFY2(server.start(), server.error().c_str());
        engine::SystemServices real(m_fixture->settingsPath());
        m_fixture->open(realServices(), real.services("corvella"));
        addDatabase(server, "Sales");
        QVERIFY2(m_fixture->prompter.shown().empty(), qPrintable(m_fixture->prompter.texts().join("|")));
        QCOMPARE(window().databaseList().rowCount(), 1);

        QSignalSpy updates(window().statusModel(), &ui::StatusGridModel::cellUpdated);
        for (int run = 0; run < 2; ++run) {
            QTest::mouseClick(Find<QPushButton>(window(), "ManualBackup"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(statusCell(run, 2), QString("Backup completed"), 30000);
            QTRY_VERIFY(window().scheduler().waitUntilIdle(std::chrono::milliseconds(0)));
            QCOMPARE(statusCell(run, 0), QString::number(run + 1));
            QCOMPARE(statusCell(run, 1), QString("Sales"));
            QVERIFY(!statusCell(run, 3).isEmpty());
            QVERIFY(!statusCell(run, 4).isEmpty());
        }
        // The "in progress" text passed through the model before the result.
        QStringList statusTexts;
        for (const auto& update : updates)
            if (update.at(1).toInt() == engine::StatusBackupStatus)
                statusTexts << update.at(2).toString();
        QCOMPARE(statusTexts.first(), QString("Backup is in progress"));
        QTRY_VERIFY(Find<QPushButton>(window(), "ManualBackup")->isEnabled());

        const std::filesystem::path folder = std::filesystem::path(m_fixture->backupFolder()) / "Sales";
        QVERIFY(std::filesystem::exists(folder / "Sales.Bak"));
        QVERIFY(std::filesystem::exists(folder / "Last Backup" / "Sales.Bak"));
        QCOMPARE(server.commandsStartingWith("BACKUP").size(), std::size_t(2));
        const QStringList log = m_fixture->logLines();
        QVERIFY(log.contains("Manual backup taken."));
        QVERIFY(log.contains("Backup Started for Database Sales"));

        // Both runs are in the history: the row's tooltip and the History window.
        const QModelIndex name = window().configModel()->index(0, config::ColDatabaseName);
        QTRY_VERIFY(window().configModel()->data(name, Qt::ToolTipRole).toString().contains("Last good backup: "));
        auto* history = window().findChild<QAction*>(QStringLiteral("MenuHistory"));
        QVERIFY(history && history->isEnabled());
        history->trigger();
        ui::HistoryWindow* historyWindow = window().historyWindow();
        QVERIFY(historyWindow && historyWindow->isVisible());
        QCOMPARE(historyWindow->databaseModel()->rowCount(), 1);
        QCOMPARE(historyWindow->databaseModel()->index(0, ui::HistoryDatabaseModel::Database).data().toString(),
                 QString("Sales"));
        QVERIFY(historyWindow->databaseModel()->index(0, ui::HistoryDatabaseModel::LastResult).data().toString().startsWith("completed"));
        QCOMPARE(historyWindow->runModel()->rowCount(), 2);
        QCOMPARE(historyWindow->runModel()->index(0, ui::HistoryRunModel::Result).data().toString(), QString("completed"));
        m_fixture->close();
    }

    // While the service runs it cannot be started again, from the button or
    // the menu; the database settings cannot be edited.
    void theAutoServiceStartsOnce()
    {
        fakes::TdsTestServer server;
        QVERIFY2(server.start(), server.error().c_str());
        engine::SystemServices real(m_fixture->settingsPath());
        m_fixture->open(realServices(), real.services("corvella"));
        addDatabase(server, "Sales");
        auto* menuItem = window().findChild<QAction*>(QStringLiteral("MenuStartAutoBackup"));
        QVERIFY(menuItem && menuItem->isEnabled());

        QTest::mouseClick(Find<QPushButton>(window(), "StartAutoBackup"), Qt::LeftButton);
        QTRY_VERIFY(!menuItem->isEnabled());
        QVERIFY(!Find<QPushButton>(window(), "StartAutoBackup")->isEnabled());
        QVERIFY(!Find<QPushButton>(window(), "SaveToList")->isEnabled());
        menuItem->trigger();
        window().startAutoBackupService();
        QTRY_COMPARE_WITH_TIMEOUT(statusCell(0, 2), QString("Backup completed"), 30000);
        QCOMPARE(m_fixture->logLines().count("Auto backup service started"), 1);
        QCOMPARE(window().scheduler().autoSchedule().size(), std::size_t(1));
        // A row's tooltip says when it runs next.
        const QModelIndex name = window().configModel()->index(0, config::ColDatabaseName);
        QTRY_VERIFY(window().configModel()->data(name, Qt::ToolTipRole).toString().contains("Next backup: "));
        QVERIFY(window().configModel()->data(name, Qt::ToolTipRole).toString().startsWith("Sales\n"));
        auto* state = Find<QLabel>(window(), "ServiceState");
        QTRY_VERIFY2(state->text().startsWith("Auto backup service running \u00b7 next: Sales at "),
                     qPrintable(state->text()));
        QVERIFY(window().tray()->icon()->toolTip().contains(state->text()));

        // Stopped from the menu: the schedule ends, the settings can be edited
        // again, and the service can start anew.
        auto* stopItem = window().findChild<QAction*>(QStringLiteral("MenuStopAutoBackup"));
        QVERIFY(stopItem->isEnabled());
        stopItem->trigger();
        QTRY_VERIFY(Find<QPushButton>(window(), "SaveToList")->isEnabled());
        QVERIFY(menuItem->isEnabled());
        QVERIFY(!stopItem->isEnabled());
        QVERIFY(!window().scheduler().isAutoServiceRunning());
        QVERIFY(window().scheduler().autoSchedule().empty());
        QCOMPARE(state->text(), QString("Auto backup service stopped"));
        QCOMPARE(m_fixture->logLines().last(), QString("Auto backup service stopped"));
        menuItem->trigger();
        QTRY_VERIFY(window().scheduler().isAutoServiceRunning());
        QCOMPARE(m_fixture->logLines().count("Auto backup service started"), 2);
        QVERIFY(window().shutdown(std::chrono::seconds(10)));
        m_fixture->close();
    }

    // At 1366x768: a database waiting for its turn has a row, a running
    // backup shows its percentage, a failed one an error icon, the start of
    // the message and the end of the reason, and the desktop is told.
    void waitingRunningAndFailedRowsAtAGlance()
    {
        fakes::TdsTestServer::Options options;
        options.databases = {"Sales", "Stock"};
        options.backupDelayMs = 8000; // long enough for a progress reading on a busy machine
        fakes::TdsTestServer server(options);
        QVERIFY2(server.start(), server.error().c_str());
        engine::SystemServices real(m_fixture->settingsPath());
        QStringList notified;
        ui::WindowServices services;
        services.notify = [&](const QString& title, const QString& text) { notified << title + ": " + text; };
        m_fixture->open(services, real.services("corvella"));
        window().resize(1366, 768);
        addDatabase(server, "Sales");
        addDatabase(server, "Stock", "wrong");
        QWidget other;
        other.show();
        other.activateWindow();

        QTest::mouseClick(Find<QPushButton>(window(), "ManualBackup"), Qt::LeftButton);
        auto* grid = Find<QTableView>(window(), "StatusGrid");
        QTRY_COMPARE(grid->model()->rowCount(), 2);
        QTRY_VERIFY(statusCell(0, 2).startsWith("Backup is in progress"));
        QCOMPARE(statusCell(1, 0), QString());
        QCOMPARE(statusCell(1, 1), QString("Stock"));
        QCOMPARE(statusCell(1, 2), QString("Waiting"));
        QTRY_VERIFY(Find<QLabel>(window(), "ServiceState")->text().contains("backing up Sales \u00b7 1 waiting"));

        QTRY_VERIFY_WITH_TIMEOUT(statusCell(0, 2).endsWith("%"), 20000);
        const QStringList progress = window().statusDelegate()->shownLines(*grid, grid->model()->index(0, 2));
        QVERIFY2(progress.join(" ").endsWith("%"), qPrintable(progress.join("|")));

        QTRY_VERIFY_WITH_TIMEOUT(statusCell(1, 2).startsWith("Database Connection failed."), 30000);
        QTRY_VERIFY(!grid->model()->index(1, 2).data(Qt::DecorationRole).value<QIcon>().isNull());
        QTRY_COMPARE_WITH_TIMEOUT(statusCell(0, 2), QString("Backup completed"), 30000);
        QVERIFY(grid->model()->index(0, 2).data(Qt::DecorationRole).value<QIcon>().isNull());
        const QString failure = statusCell(1, 2);
        QVERIFY(failure.endsWith("Login failed for user 'backup'."));
        QCOMPARE(grid->model()->index(1, 2).data(Qt::ToolTipRole).toString(), failure);
        // Whole at this size; in a narrower window the middle gives way.
        QCOMPARE(window().statusDelegate()->shownLines(*grid, grid->model()->index(1, 2)).join(" "), failure);
        window().resize(900, 600);
        QTRY_VERIFY(grid->columnWidth(2) < 400);
        const QStringList shown = window().statusDelegate()->shownLines(*grid, grid->model()->index(1, 2));
        QCOMPARE(shown.size(), 2);
        QVERIFY2(shown.first().startsWith("Database Connection failed."), qPrintable(shown.join("|")));
        QVERIFY2(shown.last().startsWith(QChar(0x2026)), qPrintable(shown.join("|")));
        QVERIFY2(shown.last().endsWith("user 'backup'."), qPrintable(shown.join("|")));

        QCOMPARE(notified, QStringList{"Backup of Stock failed: " + failure});
        QVERIFY(window().tray()->icon()->toolTip().contains("Last failure: Stock at "));
        m_fixture->close();
    }

    // At 1366x768 long texts in the status bar (a long reason, a long
    // database name) keep the window at its size: each part loses its middle
    // to an ellipsis and keeps its whole text.
    void longStatusTextsStayInsideTheWindow()
    {
        m_fixture->open();
        window().resize(1366, 768);
        const QString reason = "Database Connection failed. Please check the DB info... " + QString(200, 'r')
            + " Login failed for user 'backup'.";
        const QString state = "Auto backup service running \u00b7 next: " + QString(120, 'N') + " at 23:59 \u00b7 backing up "
            + QString(120, 'S') + " \u00b7 1 waiting";
        auto* line = Find<ui::ElidedLabel>(window(), "StatusLine");
        auto* service = Find<ui::ElidedLabel>(window(), "ServiceState");
        line->setText(reason);
        service->setText(state);
        // The state keeps up to half the bar, the message the rest.
        QTRY_VERIFY(service->width() >= 1366 / 2 - 20);
        QCOMPARE(window().width(), 1366);
        QVERIFY(service->geometry().right() < window().statusBar()->width());
        QVERIFY2(line->width() >= 200, qPrintable(QString::number(line->width())));
        for (ui::ElidedLabel* label : {line, service}) {
            const QString shown = label->shownText();
            QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown));
            QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= label->contentsRect().width());
        }
        QVERIFY(service->shownText().startsWith("Auto backup service running"));
        QVERIFY(service->shownText().endsWith("1 waiting"));
        QCOMPARE(line->text(), reason);
    }

    void exitWhileABackupRunsEndsCleanly()
    {
        fakes::TdsTestServer::Options options;
        options.databases = {"Sales", "Stock"};
        options.backupDelayMs = 1500;
        fakes::TdsTestServer server(options);
        QVERIFY2(server.start(), server.error().c_str());
        engine::SystemServices real(m_fixture->settingsPath());
        m_fixture->open(realServices(), real.services("corvella"));
        addDatabase(server, "Sales");
        addDatabase(server, "Stock");
        QSignalSpy closed(&window(), &ui::DBBackupDlg::closed);

        QTest::mouseClick(Find<QPushButton>(window(), "ManualBackup"), Qt::LeftButton);
        QTRY_COMPARE(window().backupState().backupBusy(), 1);
        QTRY_COMPARE(server.commandsStartingWith("BACKUP").size(), std::size_t(1));
        m_fixture->prompter.queueSaveAnswer(ui::Prompter::SaveAnswer::Discard);
        m_fixture->prompter.queueAnswer(true);
        window().exitApplication();
        QCOMPARE(m_fixture->prompter.shown().back().text, QString(ui::DBBackupDlg::kCloseBusyText));
        QCOMPARE(closed.count(), 1);
        QCOMPARE(m_fixture->logLines().last(), QString("Backup Manager is going to close"));
        // The server's command is cancelled: the run ends at once, and what the
        // server had written is gone, so no later run can take it for a backup.
        QVERIFY(window().shutdown(std::chrono::seconds(10)));
        QCOMPARE(window().backupState().backupBusy(), 0);
        QCOMPARE(QString::fromStdString(window().statusJournal().cell(0, engine::StatusBackupStatus)),
                 QString(engine::kStoppedText));
        // The log says which runs the close abandoned.
        QVERIFY(m_fixture->logLines().contains("Backup of database Sales stopped because the program is ending"));
        QVERIFY(m_fixture->logLines().contains("Backup of database Stock was not started because the program is ending"));
        const std::filesystem::path folder = std::filesystem::path(m_fixture->backupFolder()) / "Sales";
        QVERIFY(std::filesystem::is_empty(folder / "temp"));
        QVERIFY(!std::filesystem::exists(folder / "Sales.Bak"));
        m_fixture->close();
    }

    void helpOpensTheChmFileOrTheShippedPage()
    {
        QTemporaryDir folder;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(folder.path());
        QList<QUrl> opened;
        ui::WindowServices services;
        services.openExternal = [&](const QUrl& url) { opened << url; };
        m_fixture->open(services);

        window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window()));
        QTest::keyClick(&window(), Qt::Key_F1);
        QTRY_VERIFY(window().findChild<QDialog*>("HelpViewer"));
        auto* viewer = window().findChild<QDialog*>("HelpViewer");
        QVERIFY(viewer->isVisible());
        QVERIFY(viewer->findChild<QWidget*>("HelpBrowser"));
        viewer->close();
        QVERIFY(opened.isEmpty());

        QFile chm(folder.filePath("help.chm"));
        QVERIFY(chm.open(QIODevice::WriteOnly));
        chm.close();
        window().openHelp();
        QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(folder.filePath("help.chm"))});
        QDir::setCurrent(previous);
    }

    void aboutShowsIconVersionAndOk()
    {
        m_fixture->open();
        QString version;
        bool hasIcon = false;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!box)
                return;
            version = box->findChild<QLabel*>("AboutVersion")->text();
            hasIcon = !box->findChild<QLabel*>("AboutIcon")->pixmap().isNull();
            QTest::mouseClick(box->findChild<QPushButton*>("AboutOk"), Qt::LeftButton);
        });
        window().showAbout();
        QCOMPARE(version, QString("Version " CORVELLA_VERSION));
        QVERIFY(hasIcon);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_MainWindow.moc"
