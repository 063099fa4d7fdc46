#pragma once

#include "history/RunRecord.h"
#include "history/Verdict.h"

#include <QAbstractTableModel>
#include <QString>

#include <vector>

namespace ui {

// One line of the History window: a listed database, how it stands, and
// when it runs next as the window's owner knows it.
struct HistoryLine {
    history::DatabaseVerdict verdict;
    QString nextStart;
};

// The databases of the History window: last good backup (time and age),
// last result and next start. A database whose last run failed, or that has
// no good backup when it should, has a red line; an overdue one an amber
// line; both with the problem as their tooltip. GUI thread only.
class HistoryDatabaseModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Database, Server, LastGood, LastResult, NextStart, ColumnCount };
    // The Health of a line, as an int, under this role.
    static constexpr int HealthRole = Qt::UserRole + 1;

    using QAbstractTableModel::QAbstractTableModel;

    void setLines(std::vector<HistoryLine> lines, history::Millis now);
    const HistoryLine* line(int row) const;
    // The row of a database, -1 when it is not shown.
    int rowOf(const std::string& database, const std::string& server) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<HistoryLine> m_lines;
    history::Millis m_now = 0;
};

// The runs of one database, newest first: start, duration, result, sizes,
// verification, restore test, mail and what went wrong. GUI thread only.
class HistoryRunModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Started, Duration, Result, BackupSize, ArchiveSize, Verified, RestoreTest, Mail, Details, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    void setRuns(std::vector<history::RunRecord> runs);
    const std::vector<history::RunRecord>& runs() const { return m_runs; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<history::RunRecord> m_runs;
};

// "1 h 05 min", "3 min 20 s", "12 s".
QString DurationText(history::Millis span);
// "4.2 GB", "512 KB"; empty for 0.
QString SizeText(std::int64_t bytes);

} // namespace ui
