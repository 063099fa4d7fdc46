#include "ui/StatusGridModel.h"

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
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int StatusGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : engine::kStatusColumnCount;
}

QVariant StatusGridModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= engine::kStatusColumnCount)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return m_rows[index.row()][index.column()];
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
    if (row < 0 || row > rowCount())
        return;
    beginInsertRows({}, row, row);
    m_rows.insert(m_rows.begin() + row, std::array<QString, engine::kStatusColumnCount>{});
    endInsertRows();
}

void StatusGridModel::applyCell(int row, int column, const QString& text)
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= engine::kStatusColumnCount)
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
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

} // namespace ui
