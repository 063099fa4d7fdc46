#include "UiTestSupport.h"

#include "config/SettingsFile.h"
#include "engine/BackupScheduler.h"
#include "engine/SystemServices.h"
#include "ui/OptionsDialog.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QtTest>

using uitest::Find;
using SaveAnswer = ui::Prompter::SaveAnswer;

class WindowCommandsTest : public QObject {
    Q_OBJECT

private:
    uitest::WindowFixture* m_fixture = nullptr;

    ui::DBBackupDlg& window() { return m_fixture->window(); }

    QString readFile(const QString& name) const
    {
        QFile file(m_fixture->path(name));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    void writeFile(const QString& name, const QByteArray& text) const
    {
        QFile file(m_fixture->path(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    // Adds a database through the form; the fixture's connection check accepts it.
    void addDatabase(const QString& name)
    {
        // Nothing listens there: a run fails at once.
        Find<QLineEdit>(window(), "DatabaseUrl")->setText("127.0.0.1,1");
        Find<QLineEdit>(window(), "DatabaseName")->setText(name);
        Find<QLineEdit>(window(), "UserId")->setText("sa");
        Find<QLineEdit>(window(), "Password")->setText("secret");
        Find<QLineEdit>(window(), "IntervalNumber")->setText("60");
        Find<QLineEdit>(window(), "BackupPath")->setText(QString::fromStdString(m_fixture->backupFolder()));
        QTest::mouseClick(Find<QPushButton>(window(), "SaveToList"), Qt::LeftButton);
    }

    // Runs `interact` on the modal dialog that `open` shows, then returns.
    template <typename Dialog>
    void withDialog(const std::function<void()>& open, const std::function<void(Dialog&)>& interact)
    {
        bool ran = false;
        QTimer::singleShot(0, this, [&] {
            if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
                interact(*dialog);
                ran = true;
            }
        });
        open();
        QVERIFY(ran);
    }

private slots:
    void init() { m_fixture = new uitest::WindowFixture; }

    void cleanup()
    {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        delete m_fixture;
        m_fixture = nullptr;
    }

    // A close from the title bar offers to save an edited list first; Cancel
    // keeps everything, Discard closes without writing, Save writes (the keys
    // of deleted rows go) and closes. Each accepted close is logged.
    void closingOffersToSaveUnsavedListChanges()
    {
        m_fixture->open();
        addDatabase("Sales");
        addDatabase("Stock");
        QVERIFY(window().isListModified());
        QSignalSpy closed(&window(), &ui::DBBackupDlg::closed);

        QVERIFY(!window().close());
        QCOMPARE(m_fixture->prompter.shown().back().text, QString("Save changes to the database list?"));
        QCOMPARE(m_fixture->prompter.shown().back().caption, QString("Close Application"));
        QVERIFY(window().isVisible());
        QCOMPARE(closed.count(), 0);
        QVERIFY(!m_fixture->logLines().contains("Backup Manager is going to close"));

        m_fixture->prompter.queueSaveAnswer(SaveAnswer::Save);
        QVERIFY(window().close());
        QCOMPARE(closed.count(), 1);
        QCOMPARE(m_fixture->logLines().last(), QString("Backup Manager is going to close"));
        QVERIFY(readFile("BackupConfig.ini").contains("DB_NAME_1=Stock"));

        // The next start: a deleted row is discarded, then saved from the menu.
        m_fixture->open();
        QVERIFY(!window().isListModified());
        auto* grid = Find<QTableView>(window(), "ConfigGrid");
        grid->selectRow(1);
        window().deleteRow();
        QVERIFY(window().isListModified());
        m_fixture->prompter.clear();
        m_fixture->prompter.queueSaveAnswer(SaveAnswer::Discard);
        QVERIFY(window().close());
        QVERIFY(readFile("BackupConfig.ini").contains("DB_NAME_1=Stock"));

        m_fixture->open();
        grid = Find<QTableView>(window(), "ConfigGrid");
        grid->selectRow(1);
        window().deleteRow();
        QVERIFY(window().saveConfigurations());
        QVERIFY(!window().isListModified());
        const QString saved = readFile("BackupConfig.ini");
        QVERIFY(saved.contains("TOTAL_COUNT=1"));
        QVERIFY2(!saved.contains("_1="), qPrintable(saved));
        m_fixture->prompter.clear();
        QVERIFY(window().close());
        QVERIFY(m_fixture->prompter.shown().empty()); // nothing to save, nothing running: no question
    }

    // While a backup runs, every close asks the busy question; Exit asks
    // even when nothing runs, after the offer to save.
    void closingWhileABackupRunsAsks()
    {
        m_fixture->open();
        QSignalSpy closed(&window(), &ui::DBBackupDlg::closed);
        window().backupState().runsInProgress = 1;
        QVERIFY(!window().close());
        QCOMPARE(m_fixture->prompter.shown().back().text, QString(ui::DBBackupDlg::kCloseBusyText));
        QVERIFY(m_fixture->prompter.shown().back().question);

        m_fixture->prompter.queueAnswer(true);
        QVERIFY(window().close());
        QCOMPARE(closed.count(), 1);
        QCOMPARE(m_fixture->logLines().last(), QString("Backup Manager is going to close"));
        window().backupState().runsInProgress = 0;

        m_fixture->open();
        addDatabase("Sales");
        m_fixture->prompter.clear();
        m_fixture->prompter.queueSaveAnswer(SaveAnswer::Discard);
        m_fixture->prompter.queueAnswer(false);
        window().exitApplication();
        QStringList asked;
        for (const auto& shown : m_fixture->prompter.shown())
            asked << shown.text;
        QCOMPARE(asked, (QStringList{"Save changes to the database list?", ui::DBBackupDlg::kCloseIdleText}));
        QVERIFY(window().isVisible());
        QCOMPARE(m_fixture->logLines().count("Backup Manager is going to close"), 1);
    }

    // The Options dialog shows every option with the file's values, writes
    // only what was changed, and leaves keys it does not know where they
    // stand; the changes take effect (START_SERVICE_ON_LAUNCH at the next start).
    void optionsDialogWritesOnlyWhatChanged()
    {
        const QByteArray original = "[DBBackInfo]\r\nTOTAL_COUNT=0\r\n[OPTIONS]\r\n; tuned by hand\r\n"
                                    "ZIP_COMPRESSION=fast\r\nVERIFY_BACKUP=maybe\r\nSOMETHING_NEWER=42\r\n";
        writeFile("BackupConfig.ini", original);
        m_fixture->open();
        auto* item = window().findChild<QAction*>(QStringLiteral("MenuOptions"));

        // Opened and saved without a change: the file is not touched.
        withDialog<ui::OptionsDialog>([&] { item->trigger(); }, [](ui::OptionsDialog& dialog) {
            QCOMPARE(qobject_cast<QComboBox*>(dialog.editor("ZIP_COMPRESSION"))->currentText(), QString("FAST"));
            auto* verify = qobject_cast<QCheckBox*>(dialog.editor("VERIFY_BACKUP"));
            QCOMPARE(verify->checkState(), Qt::PartiallyChecked);
            QVERIFY(dialog.findChild<QWidget*>("VERIFY_BACKUPWarning")->isVisibleTo(&dialog));
            for (const auto& entry : config::OptionCatalog())
                QVERIFY2(dialog.editor(entry.key), entry.key.c_str());
            QTest::mouseClick(dialog.findChild<QPushButton*>("OptionsSave"), Qt::LeftButton);
        });
        QCOMPARE(readFile("BackupConfig.ini").toUtf8(), original);

        withDialog<ui::OptionsDialog>([&] { item->trigger(); }, [](ui::OptionsDialog& dialog) {
            qobject_cast<QComboBox*>(dialog.editor("DB_ENCRYPTION"))->setCurrentText("REQUIRE");
            qobject_cast<QCheckBox*>(dialog.editor("MAIL_ON_FAILURE"))->click();
            qobject_cast<QCheckBox*>(dialog.editor("START_SERVICE_ON_LAUNCH"))->click();
            QTest::mouseClick(dialog.findChild<QPushButton*>("OptionsSave"), Qt::LeftButton);
        });
        QCOMPARE(readFile("BackupConfig.ini").toUtf8(),
                 QByteArray("[DBBackInfo]\r\nTOTAL_COUNT=0\r\n[OPTIONS]\r\n; tuned by hand\r\n"
                            "ZIP_COMPRESSION=fast\r\nVERIFY_BACKUP=maybe\r\nSOMETHING_NEWER=42\r\n"
                            "START_SERVICE_ON_LAUNCH=TRUE\r\nDB_ENCRYPTION=REQUIRE\r\nMAIL_ON_FAILURE=TRUE\r\n"));
        QVERIFY(window().session().mailSettings().mailOnFailure);
        QVERIFY(m_fixture->logLines().last().startsWith("Options changed: START_SERVICE_ON_LAUNCH=TRUE"));

        // Cancel writes nothing.
        withDialog<ui::OptionsDialog>([&] { item->trigger(); }, [](ui::OptionsDialog& dialog) {
            qobject_cast<QCheckBox*>(dialog.editor("VERIFY_BACKUP"))->click();
            QVERIFY(!dialog.changes().empty());
            QTest::mouseClick(dialog.findChild<QPushButton*>("OptionsCancel"), Qt::LeftButton);
        });
        QVERIFY(readFile("BackupConfig.ini").contains("VERIFY_BACKUP=maybe"));

        // With a database listed, the next start starts the service.
        addDatabase("Sales");
        QVERIFY(window().saveConfigurations());
        engine::SystemServices real(m_fixture->settingsPath());
        m_fixture->open({}, real.services("corvella"));
        QTRY_VERIFY(!Find<QPushButton>(window(), "SaveToList")->isEnabled());
        QVERIFY(window().scheduler().isAutoServiceRunning());
        QCOMPARE(m_fixture->logLines().count("Auto backup service started"), 1);
        QVERIFY(window().shutdown(std::chrono::seconds(10)));
        m_fixture->close();
    }

    // Column widths and the window's size come back at the next start.
    void columnWidthsAreRemembered()
    {
        ui::WindowServices services;
        services.windowStatePath = m_fixture->path("state/window.conf").toStdString();
        m_fixture->open(services);
        Find<QTableView>(window(), "ConfigGrid")->setColumnWidth(2, 211);
        Find<QTableView>(window(), "StatusGrid")->setColumnWidth(1, 177);
        m_fixture->close();

        m_fixture->open(services);
        QCOMPARE(Find<QTableView>(window(), "ConfigGrid")->columnWidth(2), 211);
        QCOMPARE(Find<QTableView>(window(), "StatusGrid")->columnWidth(1), 177);
        QVERIFY(Find<QTableView>(window(), "ConfigGrid")->isColumnHidden(4));
    }

    void openLogAndBackupFolder()
    {
        QList<QUrl> opened;
        ui::WindowServices services;
        services.openExternal = [&](const QUrl& url) { opened << url; };
        m_fixture->open(services);
        window().findChild<QAction*>(QStringLiteral("MenuOpenLog"))->trigger();
        QCOMPARE(opened.value(0).toLocalFile(), QFileInfo(m_fixture->path("BackupLog.log")).absoluteFilePath());

        // With no database there is no folder to open: the operator is told so.
        window().openBackupFolder();
        QCOMPARE(m_fixture->prompter.texts().last(), QString(ui::DBBackupDlg::kChooseDatabaseText));
        addDatabase("Sales");
        window().openBackupFolder();
        QCOMPARE(opened.value(1).toLocalFile(), QString::fromStdString(m_fixture->backupFolder()));
        QDir(QString::fromStdString(m_fixture->backupFolder())).mkpath("Sales");
        Find<QTableView>(window(), "ConfigGrid")->selectRow(0);
        window().openBackupFolder();
        QCOMPARE(opened.value(2).toLocalFile(), QString::fromStdString(m_fixture->backupFolder()) + "/Sales");
    }
};

QTEST_MAIN(WindowCommandsTest)
#include "tst_WindowCommands.moc"
