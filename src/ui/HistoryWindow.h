#pragma once

#include "history/Verdict.h"
#include "ui/HistoryModels.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <vector>

class QChart;
class QChartView;
class QLabel;
class QTableView;
class QTimer;

namespace ui {

class HistoryReader;

// The History window: one line per listed database with its last good
// backup, last result and next start, the ones that need attention marked;
// selecting a line shows that database's runs and a chart of backup size and
// duration over time. It reads the history when shown, every 30 seconds
// while shown, and on refresh(). Esc closes it. GUI thread only; the reader
// must outlive the window.
class HistoryWindow final : public QDialog {
    Q_OBJECT
public:
    // A listed database and when it runs next, as the owner knows it.
    struct Listed {
        history::WatchedDatabase watched;
        QString nextStart;
    };
    using ListedFn = std::function<std::vector<Listed>()>;
    // The current UTC time; tests pass a fixed one.
    using NowFn = std::function<history::Millis()>;

    // How many runs of one database the table and the chart show.
    static constexpr int kRunsShown = 500;

    HistoryWindow(HistoryReader& reader, ListedFn listed, QWidget* parent = nullptr, NowFn now = {});
    ~HistoryWindow() override;

    HistoryDatabaseModel* databaseModel() const { return m_databases.get(); }
    HistoryRunModel* runModel() const { return m_runs.get(); }
    QChart* chart() const;

public slots:
    // Reads the history again; the selected database stays selected.
    void refresh();
    void selectDatabase(int row);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void showRuns(int row);
    void drawChart(const QString& title);

    HistoryReader& m_reader;
    ListedFn m_listed;
    NowFn m_now;
    std::unique_ptr<HistoryDatabaseModel> m_databases;
    std::unique_ptr<HistoryRunModel> m_runs;
    QTableView* m_databaseView = nullptr;
    QTableView* m_runView = nullptr;
    QChartView* m_chartView = nullptr;
    QLabel* m_state = nullptr;
    QTimer* m_timer = nullptr;
};

} // namespace ui
