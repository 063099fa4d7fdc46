#include "config/DatabaseList.h"

#include <algorithm>

namespace config {

namespace {

const std::string kEmptyCell;
const DatabaseList::Row kEmptyRow {};

} // namespace

DatabaseList& DatabaseList::operator=(const DatabaseList& other)
{
    if (this != &other) {
        m_rows = other.m_rows;
        if (m_observer)
            m_observer->listReset();
    }
    return *this;
}

int DatabaseList::insertRow(int index)
{
    index = std::clamp(index, 0, rowCount());
    m_rows.insert(m_rows.begin() + index, Row {});
    if (m_observer)
        m_observer->rowInserted(index);
    return index;
}

void DatabaseList::removeRow(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    m_rows.erase(m_rows.begin() + row);
    if (m_observer)
        m_observer->rowRemoved(row);
}

void DatabaseList::clear()
{
    m_rows.clear();
    if (m_observer)
        m_observer->listReset();
}

const std::string& DatabaseList::cell(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= kStoredColumnCount)
        return kEmptyCell;
    return m_rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

void DatabaseList::setCell(int row, int column, std::string text)
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= kStoredColumnCount)
        return;
    std::string& target = m_rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
    if (target == text)
        return;
    target = std::move(text);
    if (m_observer)
        m_observer->cellChanged(row, column);
}

const DatabaseList::Row& DatabaseList::row(int row) const
{
    if (row < 0 || row >= rowCount())
        return kEmptyRow;
    return m_rows[static_cast<std::size_t>(row)];
}

} // namespace config
