#include "ui/ConfigGridModel.h"

#include <array>

namespace ui {

namespace {

struct ColumnInfo {
    const char* heading;
    int width;
};

constexpr std::array<ColumnInfo, config::kConfigColumnCount> kColumns{{
    {"Serial", 40},
    {"Database URL", 130},
    {"Database Name", 120},
    {"User Name", 110},
    {"", 0},
    {"Backup Start After", 100},
    {"Backup Path", 130},
    {"Zip", 40},
    {"Email", 40},
    {"Delete Old Backup", 40},
}};

} // namespace

int ConfigGridModel::columnWidth(int column)
{
    return column >= 0 && column < config::kConfigColumnCount ? kColumns[column].width : 0;
}

ConfigGridModel::ConfigGridModel(config::DatabaseList& list, QObject* parent)
    : QAbstractTableModel(parent)
    , m_list(list)
    , m_rows(list.rowCount())
{
    m_list.setObserver(this);
}

ConfigGridModel::~ConfigGridModel()
{
    m_list.setObserver(nullptr);
}

int ConfigGridModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int ConfigGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : config::kConfigColumnCount;
}

QVariant ConfigGridModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows || index.column() >= config::kConfigColumnCount)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return QString::fromStdString(m_list.cell(index.row(), index.column()));
    case Qt::ToolTipRole: {
        QString tip = QString::fromStdString(m_list.cell(index.row(), index.column()));
        // The server's name of the folder lives in the Backup Path cell's tooltip.
        if (const std::string& serverPath = m_list.cell(index.row(), config::ColServerPath);
            index.column() == config::ColBackupPath && !serverPath.empty())
            tip += QStringLiteral("\nAs the SQL Server names it: ") + QString::fromStdString(serverPath);
        if (m_toolTipProvider) {
            const QString extra = m_toolTipProvider(index.row());
            if (!extra.isEmpty())
                tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + extra;
        }
        return tip;
    }
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant ConfigGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section >= 0 && section < config::kConfigColumnCount) {
        if (role == Qt::DisplayRole)
            return QString::fromLatin1(kColumns[section].heading);
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    }
    if (orientation == Qt::Vertical && role == Qt::DisplayRole && section >= 0 && section < m_rows)
        return section + 1;
    return {};
}

int ConfigGridModel::appendRow(const config::DatabaseList::Row& cells)
{
    const int row = m_rows;
    beginInsertRows({}, row, row);
    m_applying = true;
    m_list.insertRow(row);
    for (int column = 0; column < config::kStoredColumnCount; ++column)
        m_list.setCell(row, column, cells[column]);
    m_applying = false;
    m_rows = m_list.rowCount();
    endInsertRows();
    return row;
}

void ConfigGridModel::setRow(int row, const config::DatabaseList::Row& cells, int fromColumn)
{
    if (row < 0 || row >= m_rows)
        return;
    m_applying = true;
    for (int column = fromColumn; column < config::kStoredColumnCount; ++column)
        m_list.setCell(row, column, cells[column]);
    m_applying = false;
    emit dataChanged(index(row, fromColumn), index(row, config::kConfigColumnCount - 1));
}

void ConfigGridModel::removeDatabaseRow(int row)
{
    if (row < 0 || row >= m_rows)
        return;
    beginRemoveRows({}, row, row);
    m_applying = true;
    m_list.removeRow(row);
    m_applying = false;
    m_rows = m_list.rowCount();
    endRemoveRows();
}

void ConfigGridModel::reload(const std::function<void(config::DatabaseList&)>& change)
{
    beginResetModel();
    m_applying = true;
    change(m_list);
    m_applying = false;
    m_rows = m_list.rowCount();
    endResetModel();
}

void ConfigGridModel::rowInserted(int)
{
    if (!m_applying)
        listReset();
}

void ConfigGridModel::rowRemoved(int)
{
    if (!m_applying)
        listReset();
}

void ConfigGridModel::cellChanged(int row, int column)
{
    // The server's backup path shows in the Backup Path cell's tooltip.
    if (column >= config::kConfigColumnCount)
        column = config::ColBackupPath;
    if (!m_applying && row >= 0 && row < m_rows)
        emit dataChanged(index(row, column), index(row, column));
}

void ConfigGridModel::listReset()
{
    if (m_applying)
        return;
    beginResetModel();
    m_rows = m_list.rowCount();
    endResetModel();
}

} // namespace ui
