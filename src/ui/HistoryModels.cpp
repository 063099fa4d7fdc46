#include "ui/HistoryModels.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QLocale>
#include <QStyle>

namespace ui {

namespace {

// Fixed colours, readable on light and dark themes alike.
const QColor kFailedBackground(248, 215, 218);
const QColor kOverdueBackground(255, 236, 179);
const QColor kMarkedText(33, 37, 41);

bool IsFailed(history::Health health)
{
    return health == history::Health::Failed || health == history::Health::Never;
}

QString ResultText(const history::RunRecord& run)
{
    if (run.running)
        return QStringLiteral("running");
    return QString::fromUtf8(history::OutcomeName(run.outcome).data(),
                             static_cast<qsizetype>(history::OutcomeName(run.outcome).size()));
}

} // namespace

QString DurationText(history::Millis span)
{
    const qint64 seconds = std::max<qint64>(0, span / 1000);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60, 2, 10, QLatin1Char('0'));
}

QString SizeText(std::int64_t bytes)
{
    if (bytes <= 0)
        return {};
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

void HistoryDatabaseModel::setLines(std::vector<HistoryLine> lines, history::Millis now)
{
    beginResetModel();
    m_lines = std::move(lines);
    m_now = now;
    endResetModel();
}

const HistoryLine* HistoryDatabaseModel::line(int row) const
{
    return row >= 0 && row < static_cast<int>(m_lines.size()) ? &m_lines[static_cast<std::size_t>(row)] : nullptr;
}

int HistoryDatabaseModel::rowOf(const std::string& database, const std::string& server) const
{
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const history::WatchedDatabase& watched = m_lines[i].verdict.watched;
        if (watched.database == database && watched.server == server)
            return static_cast<int>(i);
    }
    return -1;
}

int HistoryDatabaseModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_lines.size());
}

int HistoryDatabaseModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryDatabaseModel::data(const QModelIndex& index, int role) const
{
    const HistoryLine* entry = index.isValid() ? line(index.row()) : nullptr;
    if (!entry)
        return {};
    const history::DatabaseVerdict& verdict = entry->verdict;
    const history::DatabaseSummary& summary = verdict.summary;
    const history::Health health = verdict.health;
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case Database:
            return QString::fromStdString(verdict.watched.database);
        case Server:
            return QString::fromStdString(verdict.watched.server);
        case LastGood: {
            if (!summary.lastSuccess)
                return QStringLiteral("never");
            const history::Millis at = summary.lastSuccess->endedAt.value_or(summary.lastSuccess->startedAt);
            return QStringLiteral("%1 (%2 ago)").arg(QString::fromStdString(history::LocalTimeText(at)),
                                                     QString::fromStdString(history::AgeText(m_now - at)));
        }
        case LastResult: {
            if (summary.lastRun && summary.lastRun->running)
                return QStringLiteral("running for %1")
                    .arg(QString::fromStdString(history::AgeText(m_now - summary.lastRun->startedAt)));
            if (!summary.lastFinished)
                return QStringLiteral("no run yet");
            const history::RunRecord& run = *summary.lastFinished;
            return QStringLiteral("%1 %2 ago")
                .arg(ResultText(run),
                     QString::fromStdString(history::AgeText(m_now - run.endedAt.value_or(run.startedAt))));
        }
        case NextStart:
            return entry->nextStart;
        }
        return {};
    case Qt::ToolTipRole: {
        QString tip = QString::fromStdString(verdict.problem.empty() ? std::string(history::HealthText(health))
                                                                      : verdict.problem);
        if (summary.lastFinished && summary.lastFinished->outcome != history::Outcome::Completed) {
            const std::string& why = summary.lastFinished->errorText.empty() ? summary.lastFinished->statusText
                                                                             : summary.lastFinished->errorText;
            if (!why.empty())
                tip += QStringLiteral("\n") + QString::fromStdString(why);
        }
        return tip;
    }
    case Qt::BackgroundRole:
        if (IsFailed(health))
            return QBrush(kFailedBackground);
        if (health == history::Health::Overdue)
            return QBrush(kOverdueBackground);
        return {};
    case Qt::ForegroundRole:
        if (IsFailed(health) || health == history::Health::Overdue)
            return QBrush(kMarkedText);
        return {};
    case Qt::DecorationRole:
        if (index.column() != Database)
            return {};
        if (IsFailed(health))
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical);
        if (health == history::Health::Overdue)
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
        return {};
    case HealthRole:
        return static_cast<int>(health);
    default:
        return {};
    }
}

QVariant HistoryDatabaseModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Database: return QStringLiteral("Database");
    case Server: return QStringLiteral("Server");
    case LastGood: return QStringLiteral("Last good backup");
    case LastResult: return QStringLiteral("Last result");
    case NextStart: return QStringLiteral("Next start");
    }
    return {};
}

void HistoryRunModel::setRuns(std::vector<history::RunRecord> runs)
{
    beginResetModel();
    m_runs = std::move(runs);
    endResetModel();
}

int HistoryRunModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_runs.size());
}

int HistoryRunModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryRunModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= static_cast<int>(m_runs.size()))
        return {};
    const history::RunRecord& run = m_runs[static_cast<std::size_t>(index.row())];
    const bool failed = run.outcome == history::Outcome::Failed;
    if (role == Qt::ForegroundRole && index.column() == Result && failed)
        return QBrush(QColor(176, 0, 32));
    if (role == Qt::ToolTipRole && index.column() == Details)
        return QString::fromStdString(run.errorText.empty() ? run.statusText : run.errorText);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case Started:
        return QString::fromStdString(history::LocalTimeText(run.startedAt));
    case Duration:
        return run.duration() ? DurationText(*run.duration()) : QString();
    case Result:
        return ResultText(run);
    case BackupSize:
        return SizeText(run.backupBytes);
    case ArchiveSize:
        return SizeText(run.archiveBytes);
    case Verified:
        return QString::fromStdString(run.verification);
    case RestoreTest:
        return QString::fromStdString(run.restoreTest);
    case Mail:
        return QString::fromStdString(run.mailStatus);
    case Details: {
        const std::string& text = run.errorText.empty() ? run.statusText : run.errorText;
        return QString::fromStdString(text).simplified();
    }
    }
    return {};
}

QVariant HistoryRunModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Started: return QStringLiteral("Started");
    case Duration: return QStringLiteral("Duration");
    case Result: return QStringLiteral("Result");
    case BackupSize: return QStringLiteral("Backup");
    case ArchiveSize: return QStringLiteral("Archive");
    case Verified: return QStringLiteral("Verified");
    case RestoreTest: return QStringLiteral("Restore test");
    case Mail: return QStringLiteral("Email");
    case Details: return QStringLiteral("Status");
    }
    return {};
}

} // namespace ui
