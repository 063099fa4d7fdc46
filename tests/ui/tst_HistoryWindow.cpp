// The History window over a real history file, at a fixed time.

#include "history/HistoryStore.h"
#include "ui/HistoryReader.h"
#include "ui/HistoryWindow.h"

#include <QAbstractItemModelTester>
#include <QChart>
#include <QLabel>
#include <QLineSeries>
#include <QScatterSeries>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

constexpr history::Millis kMinute = 60'000;
constexpr history::Millis kHour = 60 * kMinute;
constexpr history::Millis kDay = 24 * kHour;
constexpr history::Millis kNow = 1'720'000'000'000;

void Record(history::HistoryStore& store, const std::string& database, history::Millis started, history::Outcome outcome,
            history::Millis took, std::int64_t bytes, const std::string& error = {})
{
    history::RunRecord run;
    run.database = database;
    run.server = "sql1";
    run.startedAt = started;
    run.endedAt = started + took;
    run.outcome = outcome;
    run.backupBytes = bytes;
    run.errorText = error;
    std::string problem;
    QVERIFY2(store.recordFinish(run, problem), problem.c_str());
}

} // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::string path() const { return m_dir.filePath(QStringLiteral("BackupHistory.db")).toStdString(); }

    static std::vector<ui::HistoryWindow::Listed> Listed()
    {
        return {{{"Sales", "sql1", 60}, QStringLiteral("2024-07-03 10:46")},
                {{"Stock", "sql1", 60}, QStringLiteral("service not started")},
                {{"New", "sql1", 60}, QStringLiteral("now")}};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        history::HistoryStore::Opened opened = history::HistoryStore::open(path(), history::HistoryStore::Access::ReadWrite);
        QVERIFY2(opened.store, opened.error.c_str());
        // Sales: a week of growing backups, then a failure an hour ago.
        for (int day = 7; day >= 1; --day)
            Record(*opened.store, "Sales", kNow - day * kDay, history::Outcome::Completed, (20 + day) * kMinute,
                   (1000 - day * 10) * 1'000'000LL);
        Record(*opened.store, "Sales", kNow - kHour, history::Outcome::Failed, 2 * kMinute, 0,
               "Write on \"/srv/b/Sales/temp/Sales.bak\" failed: 112(There is not enough space on the disk.)");
        // Stock: its last good backup is five hours old.
        Record(*opened.store, "Stock", kNow - 5 * kHour, history::Outcome::Completed, kMinute, 50'000'000);
    }

    void showsEachListedDatabaseWithTheOnesThatNeedAttentionMarked()
    {
        ui::HistoryReader reader(path());
        ui::HistoryWindow window(reader, &HistoryWindowTest::Listed, nullptr, [] { return kNow; });
        QAbstractItemModelTester databaseTester(window.databaseModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester runTester(window.runModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        ui::HistoryDatabaseModel* databases = window.databaseModel();
        QCOMPARE(databases->rowCount(), 3);
        const auto cell = [databases](int row, int column, int role = Qt::DisplayRole) {
            return databases->index(row, column).data(role);
        };
        QCOMPARE(cell(0, ui::HistoryDatabaseModel::Database).toString(), QStringLiteral("Sales"));
        QVERIFY(cell(0, ui::HistoryDatabaseModel::LastGood).toString().endsWith(QStringLiteral("(23 h ago)")));
        QCOMPARE(cell(0, ui::HistoryDatabaseModel::LastResult).toString(), QStringLiteral("failed 58 min ago"));
        QCOMPARE(cell(0, ui::HistoryDatabaseModel::NextStart).toString(), QStringLiteral("2024-07-03 10:46"));
        QCOMPARE(cell(0, 0, ui::HistoryDatabaseModel::HealthRole).toInt(), static_cast<int>(history::Health::Failed));
        QVERIFY(cell(0, 0, Qt::ToolTipRole).toString().contains(QStringLiteral("not enough space")));
        QCOMPARE(cell(1, 0, ui::HistoryDatabaseModel::HealthRole).toInt(), static_cast<int>(history::Health::Overdue));
        QCOMPARE(cell(2, ui::HistoryDatabaseModel::LastGood).toString(), QStringLiteral("never"));
        QCOMPARE(cell(2, 0, ui::HistoryDatabaseModel::HealthRole).toInt(), static_cast<int>(history::Health::Never));
        // Failed and overdue lines stand out from each other and from a good one.
        const QColor failed = cell(0, 1, Qt::BackgroundRole).value<QBrush>().color();
        const QColor overdue = cell(1, 1, Qt::BackgroundRole).value<QBrush>().color();
        QVERIFY(failed.isValid() && overdue.isValid() && failed != overdue);
        QVERIFY(!cell(0, 0, Qt::DecorationRole).isNull());
        QVERIFY(window.findChild<QLabel*>(QStringLiteral("HistoryState"))->text().startsWith(QStringLiteral("0 ok, 2 failed, 1 overdue")));

        // The first line is selected: its runs, newest first, and the chart.
        ui::HistoryRunModel* runs = window.runModel();
        QCOMPARE(runs->rowCount(), 8);
        QCOMPARE(runs->index(0, ui::HistoryRunModel::Result).data().toString(), QStringLiteral("failed"));
        QCOMPARE(runs->index(0, ui::HistoryRunModel::Duration).data().toString(), QStringLiteral("2 min 00 s"));
        QCOMPARE(runs->index(1, ui::HistoryRunModel::Duration).data().toString(), QStringLiteral("21 min 00 s"));
        QCOMPARE(runs->index(1, ui::HistoryRunModel::BackupSize).data().toString(), QStringLiteral("990.0 MB"));
        QChart* chart = window.chart();
        QCOMPARE(chart->title(), QStringLiteral("Sales on sql1"));
        const QList<QAbstractSeries*> series = chart->series();
        QCOMPARE(series.size(), 3);
        QCOMPARE(static_cast<QLineSeries*>(series[0])->count(), 7); // sizes of the good runs
        QCOMPARE(static_cast<QLineSeries*>(series[1])->count(), 7); // their durations
        QCOMPARE(static_cast<QScatterSeries*>(series[2])->count(), 1); // the failure
        // Oldest first along the time axis.
        QVERIFY(static_cast<QLineSeries*>(series[0])->at(0).x() < static_cast<QLineSeries*>(series[0])->at(6).x());

        window.selectDatabase(2);
        QCOMPARE(runs->rowCount(), 0);
        QCOMPARE(window.chart()->title(), QStringLiteral("New on sql1"));

        // Esc closes it.
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
    }

    void followsAHistoryThatWasReplaced()
    {
        const std::string second = m_dir.filePath(QStringLiteral("other.db")).toStdString();
        {
            history::HistoryStore::Opened opened = history::HistoryStore::open(second, history::HistoryStore::Access::ReadWrite);
            QVERIFY(opened.store);
            Record(*opened.store, "New", kNow - 10 * kMinute, history::Outcome::Completed, kMinute, 1'000'000);
        }
        const std::string live = m_dir.filePath(QStringLiteral("live.db")).toStdString();
        QVERIFY(std::rename(path().c_str(), live.c_str()) == 0);
        QVERIFY(std::rename((path() + "-wal").c_str(), (live + "-wal").c_str()) == 0);
        std::remove((path() + "-shm").c_str());

        ui::HistoryReader reader(live);
        ui::HistoryWindow window(reader, &HistoryWindowTest::Listed, nullptr, [] { return kNow; });
        window.show();
        QCOMPARE(window.databaseModel()->index(2, 0, {}).data(ui::HistoryDatabaseModel::HealthRole).toInt(),
                 static_cast<int>(history::Health::Never));

        // The file is moved aside and a new one takes its place.
        QVERIFY(std::rename(live.c_str(), (live + ".aside").c_str()) == 0);
        QVERIFY(std::rename(second.c_str(), live.c_str()) == 0);
        QVERIFY(std::rename((second + "-wal").c_str(), (live + "-wal").c_str()) == 0);
        std::remove((live + "-shm").c_str());
        window.refresh();
        QCOMPARE(window.databaseModel()->index(2, 0, {}).data(ui::HistoryDatabaseModel::HealthRole).toInt(),
                 static_cast<int>(history::Health::Ok));
        QCOMPARE(window.databaseModel()->index(0, 0, {}).data(ui::HistoryDatabaseModel::HealthRole).toInt(),
                 static_cast<int>(history::Health::Never));

        // And a history that is gone is said to be gone.
        QVERIFY(std::rename(live.c_str(), (live + ".gone").c_str()) == 0);
        window.refresh();
        QVERIFY(window.findChild<QLabel*>(QStringLiteral("HistoryState"))->text().startsWith(QStringLiteral("No run history to show")));
    }
};

QTEST_MAIN(HistoryWindowTest)
#include "tst_HistoryWindow.moc"
