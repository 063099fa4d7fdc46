#include "ui/StatusGridModel.h"

#include "engine/BackupFolders.h"

#include <QApplication>
#include <QIcon>
#include <QPalette>
#include <QStyle>

#include <algorithm>
#include <array>

namespace ui {

namespace {

struct ColumnInfo {
    const char* heading;
    int width;
};

constexpr std::array<ColumnInfo, engine::kStatusColumnCount> kColumns{{
    {"Serial", 40},
    {"Database Name", 130},
    {"Backup Status", 120},
    {"File Size", 110},
    {"Backup Time", 120},
    {"Email Status", 110},
}};

} // namespace

int StatusGridModel::columnWidth(int column)
{
    return column >= 0 && column < engine::kStatusColumnCount ? kColumns[column].width : 0;
}

StatusGridModel::StatusGridModel(engine::StatusJournal& journal, QObject* parent)
    : QAbstractTableModel(parent)
    , m_journal(&journal)
{
    for (const auto& row : journal.rows()) {
        auto& mirror = m_rows.emplace_back();
        for (int column = 0; column < engine::kStatusColumnCount; ++column)
            mirror[column] = QString::fromStdString(row[column]);
    }
    m_outcomes.assign(m_rows.size(), Outcome::Completed);
    journal.addObserver(this);
}

StatusGridModel::~StatusGridModel()
{
    detach();
}

void StatusGridModel::detach()
{
    if (m_journal) {
        m_journal->removeObserver(this);
        m_journal = nullptr;
    }
}

int StatusGridModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size() + m_waiting.size());
}

int StatusGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : engine::kStatusColumnCount;
}

QVariant StatusGridModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= engine::kStatusColumnCount)
        return {};
    const int journalRows = static_cast<int>(m_rows.size());
    if (index.row() >= journalRows) {
        const engine::QueuedRun& run = m_waiting[static_cast<std::size_t>(index.row() - journalRows)];
        switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            if (index.column() == engine::StatusDatabaseName)
                return QString::fromStdString(engine::TrimBlanks(run.databaseName));
            if (index.column() == engine::StatusBackupStatus)
                return QString::fromLatin1(kWaitingText);
            return QString();
        case Qt::ForegroundRole:
            return QApplication::palette().brush(QPalette::PlaceholderText);
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        default:
            return {};
        }
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return m_rows[index.row()][index.column()];
    case Qt::DecorationRole:
        if (index.column() == engine::StatusBackupStatus) {
            const Outcome outcome = m_outcomes[static_cast<std::size_t>(index.row())];
            if (outcome == Outcome::Failed)
                return QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical);
            if (outcome == Outcome::Stopped)
                return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
        }
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant StatusGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section >= 0 && section < engine::kStatusColumnCount) {
        if (role == Qt::DisplayRole)
            return QString::fromLatin1(kColumns[section].heading);
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    }
    if (orientation == Qt::Vertical && role == Qt::DisplayRole && section >= 0 && section < rowCount())
        return section + 1;
    return {};
}

void StatusGridModel::addWaiting(const std::vector<engine::QueuedRun>& runs)
{
    if (runs.empty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(runs.size()) - 1);
    m_waiting.insert(m_waiting.end(), runs.begin(), runs.end());
    endInsertRows();
}

void StatusGridModel::removeWaiting(const engine::QueuedRun& run)
{
    const auto found = std::find_if(m_waiting.begin(), m_waiting.end(), [&run](const engine::QueuedRun& waiting) {
        return waiting.databaseUrl == run.databaseUrl && waiting.databaseName == run.databaseName;
    });
    if (found == m_waiting.end())
        return;
    const int row = static_cast<int>(m_rows.size()) + static_cast<int>(found - m_waiting.begin());
    beginRemoveRows({}, row, row);
    m_waiting.erase(found);
    endRemoveRows();
}

void StatusGridModel::setOutcome(int journalRow, Outcome outcome)
{
    if (journalRow < 0 || journalRow >= static_cast<int>(m_outcomes.size()))
        return;
    m_outcomes[static_cast<std::size_t>(journalRow)] = outcome;
    const QModelIndex cell = index(journalRow, engine::StatusBackupStatus);
    emit dataChanged(cell, cell, {Qt::DecorationRole});
}

StatusGridModel::Outcome StatusGridModel::outcome(int journalRow) const
{
    if (journalRow < 0 || journalRow >= static_cast<int>(m_outcomes.size()))
        return Outcome::Completed;
    return m_outcomes[static_cast<std::size_t>(journalRow)];
}

// The three observer calls post to the GUI thread while the journal's mutex is
// held, so the posted updates keep the journal's order across all workers.
void StatusGridModel::rowInserted(int row)
{
    QMetaObject::invokeMethod(this, [this, row] { applyInsert(row); }, Qt::QueuedConnection);
}

void StatusGridModel::cellChanged(int row, int column, const std::string& text)
{
    QMetaObject::invokeMethod(
        this, [this, row, column, value = QString::fromStdString(text)] { applyCell(row, column, value); },
        Qt::QueuedConnection);
}

void StatusGridModel::cleared()
{
    QMetaObject::invokeMethod(this, [this] { applyClear(); }, Qt::QueuedConnection);
}

void StatusGridModel::applyInsert(int row)
{
    if (row < 0 || row > static_cast<int>(m_rows.size()))
        return;
    beginInsertRows({}, row, row);
    m_rows.insert(m_rows.begin() + row, std::array<QString, engine::kStatusColumnCount>{});
    m_outcomes.insert(m_outcomes.begin() + row, Outcome::Running);
    endInsertRows();
}

void StatusGridModel::applyCell(int row, int column, const QString& text)
{
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= engine::kStatusColumnCount)
        return;
    if (m_rows[row][column] == text)
        return;
    m_rows[row][column] = text;
    const QModelIndex cell = index(row, column);
    emit dataChanged(cell, cell);
    emit cellUpdated(row, column, text);
}

void StatusGridModel::applyClear()
{
    if (m_rows.empty())
        return;
    beginRemoveRows({}, 0, static_cast<int>(m_rows.size()) - 1);
    m_rows.clear();
    m_outcomes.clear();
    endRemoveRows();
}

} // namespace ui
