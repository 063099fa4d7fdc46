#include "UiTestSupport.h"

#include "config/PasswordCodec.h"
#include "db/Connection.h"
#include "engine/BackupFolders.h"
#include "ui/ConfigGridModel.h"
#include "ui/ListEditing.h"
#include "ui/TrayController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QtTest>

using uitest::Find;

namespace {

struct Entry {
    QString url;
    QString name;
    QString user;
    QString password;
    QString interval;
    QString path;
    int unit = ui::kUnitMinutes;
    bool zip = false;
    bool email = false;
    bool keepOld = false;
};

} // namespace

Q_DECLARE_METATYPE(Entry)

class ListEditingTest : public QObject {
    Q_OBJECT

private:
    uitest::WindowFixture* m_fixture = nullptr;

    ui::DBBackupDlg& window() { return m_fixture->window(); }
    QLineEdit* edit(const char* name) { return Find<QLineEdit>(window(), name); }
    QPushButton* button(const char* name) { return Find<QPushButton>(window(), name); }
    QTableView* grid() { return Find<QTableView>(window(), "ConfigGrid"); }
    QString cell(int row, int column) { return grid()->model()->index(row, column).data().toString(); }
    int rows() { return grid()->model()->rowCount(); }

    void fill(const Entry& e)
    {
        edit("DatabaseUrl")->setText(e.url);
        edit("DatabaseName")->setText(e.name);
        edit("UserId")->setText(e.user);
        edit("Password")->setText(e.password);
        edit("IntervalNumber")->setText(e.interval);
        edit("BackupPath")->setText(e.path);
        Find<QComboBox>(window(), "IntervalUnit")->setCurrentIndex(e.unit);
        Find<QCheckBox>(window(), "ZipBackup")->setChecked(e.zip);
        Find<QCheckBox>(window(), "SendByEmail")->setChecked(e.email);
        Find<QCheckBox>(window(), "KeepOldBackup")->setChecked(e.keepOld);
    }

    Entry valid(const QString& url, const QString& name)
    {
        return {url, name, "backup", "s3cret", "15", QString::fromStdString(m_fixture->backupFolder())};
    }

    void add(const Entry& e)
    {
        fill(e);
        QTest::mouseClick(button("SaveToList"), Qt::LeftButton);
    }

    QPoint rowCentre(int row)
    {
        return grid()->visualRect(grid()->model()->index(row, 1)).center();
    }

    void doubleClickRow(int row)
    {
        QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, rowCentre(row));
        QTest::mouseDClick(grid()->viewport(), Qt::LeftButton, {}, rowCentre(row));
    }

    void rightClickAt(const QPoint& position)
    {
        QTest::mousePress(grid()->viewport(), Qt::RightButton, {}, position);
        QTest::mouseRelease(grid()->viewport(), Qt::RightButton, {}, position);
    }

    QStringList formTexts()
    {
        QStringList texts;
        for (const char* name : {"DatabaseUrl", "DatabaseName", "UserId", "Password", "IntervalNumber", "BackupPath"})
            texts << edit(name)->text();
        return texts;
    }

private slots:
    void init()
    {
        m_fixture = new uitest::WindowFixture;
        m_fixture->open();
    }

    void cleanup()
    {
        delete m_fixture;
        m_fixture = nullptr;
    }

    void refusesWithTheFirstFailingCheck_data()
    {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QString>("message");
        const QString folder = QDir::tempPath();
        const QString missing = QDir::tempPath() + "/no/such/folder";
        QTest::newRow("all empty") << Entry{} << true << ui::kEnterUrlText;
        QTest::newRow("login before name") << Entry{"srv", "", "", "", "", ""} << true << ui::kEnterUserText;
        QTest::newRow("name") << Entry{"srv", "", "sa", "", "5", folder} << true << ui::kEnterNameText;
        // A name leads to "<backup path>/<name>": it must not leave the backup path.
        for (const char* name : {"..", ".", " .. ", "   ", "../../x", "a/b", "tab\there"})
            QTest::newRow(qPrintable(QString("name '%1'").arg(name)))
                << Entry{"srv", name, "sa", "", "5", folder} << true << QString(engine::kInvalidDatabaseNameText);
        QTest::newRow("duplicate, other case") << Entry{"DB1.local", "sales", "sa", "", "5", folder} << true
                                               << ui::kDuplicateText;
        QTest::newRow("empty path") << Entry{"srv", "Sales", "sa", "", "5", ""} << true << ui::kInvalidPathText;
        QTest::newRow("missing path") << Entry{"srv", "Sales", "sa", "", "5", missing} << true << ui::kInvalidPathText;
        QTest::newRow("interval empty") << Entry{"srv", "Sales", "sa", "", "", folder} << true
                                        << ui::kEnterIntervalText;
        QTest::newRow("interval sign") << Entry{"srv", "Sales", "sa", "", "-5", folder} << true
                                       << ui::kIntervalNotNumberText;
        QTest::newRow("interval blank") << Entry{"srv", "Sales", "sa", "", "5 ", folder} << true
                                        << ui::kIntervalNotNumberText;
        QTest::newRow("no connection") << Entry{"srv", "Sales", "sa", "", "5", folder} << false
                                       << ui::kConnectionErrorText;
    }

    void refusesWithTheFirstFailingCheck()
    {
        QFETCH(Entry, entry);
        QFETCH(bool, connects);
        QFETCH(QString, message);

        add(valid("db1.local", "Sales"));
        QCOMPARE(rows(), 1);
        m_fixture->prompter.clear();
        m_fixture->connectionOk = connects;

        add(entry);
        const auto shown = m_fixture->prompter.shown();
        QCOMPARE(shown.size(), std::size_t(1));
        QCOMPARE(shown[0].text, message);
        QCOMPARE(shown[0].caption, ui::ApplicationCaption());
        QCOMPARE(rows(), 1);
        QCOMPARE(formTexts(), (QStringList{entry.url, entry.name, entry.user, entry.password, entry.interval, entry.path}));
        QCOMPARE(button("SaveToList")->text(), QString("Save to List"));
        if (!connects)
            QTRY_COMPARE(Find<QLabel>(window(), "StatusLine")->text(),
                         QString(db::kConnectionFailedText) + " Login failed for user 'sa'.");
    }

    void addsRowsWithSerialsAndCells()
    {
        Entry first = valid("db1.local", "Sales");
        first.zip = true;
        first.keepOld = true;
        add(first);
        Entry second = valid("db1.local", "Stock");
        second.password.clear();
        second.interval = "0";
        second.unit = ui::kUnitHours;
        second.email = true;
        add(second);
        // The same name on another server is another database.
        add(valid("db2.local", "Sales"));

        QCOMPARE(m_fixture->prompter.shown().size(), std::size_t(0));
        QCOMPARE(rows(), 3);
        const QStringList expected[] = {
            {"1", "db1.local", "Sales", "backup", "15 Minutes", first.path, "True", "False", "True"},
            {"2", "db1.local", "Stock", "backup", "0 Hours", first.path, "False", "True", "False"},
            {"3", "db2.local", "Sales", "backup", "15 Minutes", first.path, "False", "False", "False"},
        };
        for (int row = 0; row < 3; ++row) {
            QStringList visible;
            for (int column : {0, 1, 2, 3, 5, 6, 7, 8, 9})
                visible << cell(row, column);
            QCOMPARE(visible, expected[row]);
        }
        // The password is stored encoded, and an empty one as an empty cell.
        config::PasswordCodec codec;
        std::string decoded;
        QVERIFY(cell(0, 4) != "s3cret");
        QCOMPARE(codec.Decode(cell(0, 4).toStdString(), decoded), 0);
        QCOMPARE(decoded, std::string("s3cret"));
        QCOMPARE(cell(1, 4), QString());
        QVERIFY(grid()->isColumnHidden(4));

        // The fields are emptied, the unit box keeps its choice.
        QCOMPARE(formTexts(), QStringList(6, QString()));
        QVERIFY(!Find<QCheckBox>(window(), "ZipBackup")->isChecked());
        QCOMPARE(Find<QComboBox>(window(), "IntervalUnit")->currentText(), QString("Minutes"));
        QCOMPARE(m_fixture->checkedConnections.front(),
                 std::string("Provider=SQLOLEDB.1;Data Source=db1.local;Initial Catalog=Sales;User ID=backup;"
                             "Password=s3cret;Persist Security Info=True;"));
        QCOMPARE(m_fixture->logLines().filter("New database added").size(), 3);
        QVERIFY(m_fixture->logLines().contains("New database added in configuration list. DB: Stock"));
    }

    void editsUpdatesAndCancels()
    {
        add(valid("db1.local", "Sales"));
        Entry stock = valid("db1.local", "Stock");
        stock.unit = ui::kUnitHours;
        stock.email = true;
        add(stock);

        doubleClickRow(1);
        QCOMPARE(window().editingRow(), 1);
        QCOMPARE(formTexts(), (QStringList{"db1.local", "Stock", "backup", "s3cret", "15", stock.path}));
        QCOMPARE(Find<QComboBox>(window(), "IntervalUnit")->currentText(), QString("Hours"));
        QVERIFY(Find<QCheckBox>(window(), "SendByEmail")->isChecked());
        QCOMPARE(button("SaveToList")->text(), QString("Update to List"));
        QVERIFY(button("CancelUpdate")->isEnabled());
        QVERIFY(m_fixture->logLines().contains("Updating Database 'Stock' From List."));

        // Renaming it to the other row's database is refused; keeping its own name is not.
        edit("DatabaseName")->setText("SALES");
        QTest::mouseClick(button("SaveToList"), Qt::LeftButton);
        QCOMPARE(m_fixture->prompter.texts(), QStringList{ui::kDuplicateText});
        QCOMPARE(window().editingRow(), 1);
        edit("DatabaseName")->setText("Stock");
        edit("IntervalNumber")->setText("45");
        Find<QComboBox>(window(), "IntervalUnit")->setCurrentIndex(ui::kUnitMinutes);
        QTest::mouseClick(button("SaveToList"), Qt::LeftButton);
        QCOMPARE(rows(), 2);
        QCOMPARE(cell(1, 0), QString("2"));
        QCOMPARE(cell(1, 5), QString("45 Minutes"));
        QCOMPARE(cell(1, 8), QString("True"));
        QCOMPARE(window().editingRow(), -1);
        QCOMPARE(button("SaveToList")->text(), QString("Save to List"));
        QVERIFY(!button("CancelUpdate")->isEnabled());
        QVERIFY(m_fixture->logLines().contains("Updated database configuration for DB: Stock"));

        // Cancel leaves edit mode and keeps the fields.
        doubleClickRow(0);
        QCOMPARE(window().editingRow(), 0);
        QTest::mouseClick(button("CancelUpdate"), Qt::LeftButton);
        QCOMPARE(window().editingRow(), -1);
        QCOMPARE(button("SaveToList")->text(), QString("Save to List"));
        QCOMPARE(edit("DatabaseName")->text(), QString("Sales"));

        // Double-click with nothing selected leaves edit mode without touching the fields.
        doubleClickRow(0);
        grid()->clearSelection();
        window().editRow();
        QCOMPARE(window().editingRow(), -1);
        QCOMPARE(edit("DatabaseName")->text(), QString("Sales"));
    }

    void deletesOnRightClick()
    {
        for (const char* name : {"A", "B", "C"})
            add(valid("srv", name));
        doubleClickRow(1);
        rightClickAt(rowCentre(1));
        QCOMPARE(rows(), 2);
        QCOMPARE((QStringList{cell(0, 0), cell(1, 0)}), (QStringList{"1", "3"}));
        QCOMPARE((QStringList{cell(0, 2), cell(1, 2)}), (QStringList{"A", "C"}));
        QVERIFY(m_fixture->logLines().contains("Database 'B' Deleted From List."));
        // Deleting the row under edit returns to add mode: the button never says Update while it adds.
        QCOMPARE(window().editingRow(), -1);
        QCOMPARE(button("SaveToList")->text(), QString("Save to List"));
        QVERIFY(!button("CancelUpdate")->isEnabled());

        add(valid("srv", "D"));
        QCOMPARE(cell(2, 0), QString("3"));

        // A right-click below the rows selects nothing and deletes nothing, and
        // leaves edit mode entirely.
        doubleClickRow(0);
        QCOMPARE(button("SaveToList")->text(), QString("Update to List"));
        rightClickAt(QPoint(5, grid()->viewport()->height() - 3));
        QCOMPARE(rows(), 3);
        QCOMPARE(window().editingRow(), -1);
        QCOMPARE(button("SaveToList")->text(), QString("Save to List"));
        QVERIFY(!button("CancelUpdate")->isEnabled());

        // The keyboard's menu key deletes nothing.
        grid()->setFocus();
        grid()->selectRow(0);
        QTest::keyClick(grid(), Qt::Key_Menu);
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, rowCentre(0), grid()->viewport()->mapToGlobal(rowCentre(0)));
        QApplication::sendEvent(grid()->viewport(), &menuKey);
        QCOMPARE(rows(), 3);
    }

    void savesAndReloadsTheList()
    {
        for (const char* name : {"A", "B", "C"})
            add(valid("srv", name));
        rightClickAt(rowCentre(1));
        Entry e = valid("srv", "D");
        e.zip = true;
        add(e);
        QCOMPARE(rows(), 3);
        QTest::mouseClick(button("SaveConfigurations"), Qt::LeftButton);
        QVERIFY(m_fixture->logLines().contains("Saved Database Configurations"));
        QStringList before;
        for (int row = 0; row < rows(); ++row)
            for (int column = 1; column < config::kConfigColumnCount; ++column)
                before << cell(row, column);

        m_fixture->open();
        QCOMPARE(rows(), 3);
        QCOMPARE((QStringList{cell(0, 0), cell(1, 0), cell(2, 0)}), (QStringList{"1", "2", "3"}));
        QStringList after;
        for (int row = 0; row < rows(); ++row)
            for (int column = 1; column < config::kConfigColumnCount; ++column)
                after << cell(row, column);
        QCOMPARE(after, before);
        QCOMPARE(QFile::permissions(QString::fromStdString(m_fixture->settingsPath())) & QFile::ReadOther,
                 QFile::Permissions());
    }

    // The server's name for the backup path: checked at Save to List (a
    // warning does not keep the row out), shown in the Backup Path tooltip,
    // stored only when set, loaded back for editing, and emptied.
    void serverBackupPathIsCheckedShownAndStored()
    {
        std::vector<engine::ServerFolderNames> asked;
        ui::WindowServices services;
        services.checkServerFolder = [&asked](const std::string&, const engine::ServerFolderNames& names) {
            asked.push_back(names);
            return engine::FolderVisibility{engine::FolderVisibility::Outcome::NotSeen, "It does not see it."};
        };
        m_fixture->open(std::move(services));
        const Entry sales = valid("srv", "Sales");
        fill(sales);
        edit("ServerBackupPath")->setText("  D:\\Backups ");
        QTest::mouseClick(button("SaveToList"), Qt::LeftButton);
        QCOMPARE(rows(), 1);
        QCOMPARE(m_fixture->prompter.texts(), QStringList{"It does not see it."});
        QVERIFY(m_fixture->logLines().contains("It does not see it."));
        QCOMPARE(asked.size(), std::size_t(1));
        QCOMPARE(asked[0].serverTempFolder, std::string("D:\\Backups\\Sales\\temp"));
        QCOMPARE(asked[0].localTempFolder, sales.path.toStdString() + "/Sales/temp");
        QCOMPARE(grid()->model()->index(0, config::ColBackupPath).data(Qt::ToolTipRole).toString(),
                 sales.path + "\nAs the SQL Server names it: D:\\Backups");
        add(valid("srv", "Stock"));
        QTest::mouseClick(button("SaveConfigurations"), Qt::LeftButton);
        const QString file = QString::fromStdString(m_fixture->settingsPath());
        const auto stored = [&file] {
            QFile in(file);
            in.open(QIODevice::ReadOnly);
            return QString::fromUtf8(in.readAll());
        };
        QVERIFY(stored().contains("SERVER_PATH_0=D:\\Backups\n"));
        QVERIFY(!stored().contains("SERVER_PATH_1"));

        m_fixture->open();
        doubleClickRow(0);
        QCOMPARE(edit("ServerBackupPath")->text(), QString("D:\\Backups"));
        edit("ServerBackupPath")->clear();
        QTest::mouseClick(button("SaveToList"), Qt::LeftButton);
        QTest::mouseClick(button("SaveConfigurations"), Qt::LeftButton);
        QVERIFY(!stored().contains("SERVER_PATH_0"));
        QCOMPARE(grid()->model()->index(0, config::ColBackupPath).data(Qt::ToolTipRole).toString(), sales.path);
    }

    void chooseFolderFillsThePath()
    {
        QString offered;
        QString answer = QString::fromStdString(m_fixture->backupFolder());
        ui::WindowServices services;
        services.chooseFolder = [&](QWidget*, const QString& start) {
            offered = start;
            return answer;
        };
        m_fixture->open(services);
        QTest::mouseClick(button("Browse"), Qt::LeftButton);
        QCOMPARE(offered, QDir::homePath());
        QCOMPARE(edit("BackupPath")->text(), answer);
        // Cancelling keeps the field; the picker starts at the current path.
        answer.clear();
        QTest::mouseClick(button("Browse"), Qt::LeftButton);
        QCOMPARE(offered, QString::fromStdString(m_fixture->backupFolder()));
        QCOMPARE(edit("BackupPath")->text(), offered);
    }

    void traySaveSettingsRunsTheSameChecks()
    {
        fill(Entry{"srv", "", "", "", "", ""});
        emit window().tray()->saveSettingsRequested();
        QCOMPARE(m_fixture->prompter.texts(), QStringList{ui::kEnterUserText});
        fill(valid("srv", "Sales"));
        emit window().tray()->saveSettingsRequested();
        QCOMPARE(rows(), 1);
    }

    void formFromRowReadsStoredCells_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("number");
        QTest::addColumn<int>("unit");
        QTest::newRow("minutes") << "30 Minutes" << "30" << ui::kUnitMinutes;
        QTest::newRow("hours") << "2 Hours" << "2" << ui::kUnitHours;
        QTest::newRow("no blank") << "5" << "" << ui::kUnitHours;
        QTest::newRow("other unit") << "5 minutes" << "5" << ui::kUnitHours;
        QTest::newRow("empty") << "" << "" << ui::kUnitHours;
    }

    void formFromRowReadsStoredCells()
    {
        QFETCH(QString, interval);
        QFETCH(QString, number);
        QFETCH(int, unit);
        config::PasswordCodec codec;
        config::DatabaseList::Row row{"1", "srv", "db", "sa", "=", interval.toStdString(), "/b",
                                      "True", "true", "False"};
        const ui::DatabaseForm form = ui::FormFromRow(row, codec);
        QCOMPARE(QString::fromStdString(form.intervalText), number);
        QCOMPARE(form.unitIndex, unit);
        // An undecodable password cell shows as it is stored; switches are case-sensitive.
        QCOMPARE(form.password, std::string("="));
        QCOMPARE((std::vector<bool>{form.zip, form.email, form.keepOld}), (std::vector<bool>{true, false, false}));
    }
};

QTEST_MAIN(ListEditingTest)
#include "tst_ListEditing.moc"
