#include "engine/StatusJournal.h"

#include <algorithm>

namespace engine {

int StatusJournal::rowCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_rows.size());
}

bool StatusJournal::insertRow(int index)
{
    std::lock_guard lock(m_mutex);
    if (index < 0 || index > static_cast<int>(m_rows.size()))
        return false;
    m_rows.insert(m_rows.begin() + index, Row{});
    for (Observer* observer : m_observers)
        observer->rowInserted(index);
    return true;
}

void StatusJournal::setCell(int row, int column, const std::string& text)
{
    std::lock_guard lock(m_mutex);
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= kStatusColumnCount)
        return;
    m_rows[row][column] = text;
    for (Observer* observer : m_observers)
        observer->cellChanged(row, column, text);
}

std::string StatusJournal::cell(int row, int column) const
{
    std::lock_guard lock(m_mutex);
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= kStatusColumnCount)
        return {};
    return m_rows[row][column];
}

void StatusJournal::clear()
{
    std::lock_guard lock(m_mutex);
    m_rows.clear();
    for (Observer* observer : m_observers)
        observer->cleared();
}

std::vector<StatusJournal::Row> StatusJournal::rows() const
{
    std::lock_guard lock(m_mutex);
    return m_rows;
}

void StatusJournal::addObserver(Observer* observer)
{
    std::lock_guard lock(m_mutex);
    if (observer && std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void StatusJournal::removeObserver(Observer* observer)
{
    std::lock_guard lock(m_mutex);
    std::erase(m_observers, observer);
}

} // namespace engine
