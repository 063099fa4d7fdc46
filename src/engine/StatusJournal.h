#pragma once

#include <array>
#include <mutex>
#include <string>
#include <vector>

namespace engine {

// Columns of the backup status journal (the data behind StatusGrid).
enum StatusColumn : int {
    StatusSerial = 0,
    StatusDatabaseName = 1,
    StatusBackupStatus = 2,
    StatusFileSize = 3,
    StatusBackupTime = 4,
    StatusEmailStatus = 5,
};
inline constexpr int kStatusColumnCount = 6;

// The journal of backup runs: rows of six text cells, appended by the runs.
// Thread-safe: every call may come from any thread. A write to a row that no
// longer exists (the journal was emptied meanwhile) changes nothing.
//
// Observers are told of every change, on the writing thread, in the order
// the changes happened, while the journal's mutex is held: they must be
// quick, must not block and must not call back into the journal.
class StatusJournal {
public:
    using Row = std::array<std::string, kStatusColumnCount>;

    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void rowInserted(int row) = 0;
        virtual void cellChanged(int row, int column, const std::string& text) = 0;
        virtual void cleared() = 0;
    };

    int rowCount() const;
    // Inserts an empty row at index; false (and no change) when index is out of 0..rowCount().
    bool insertRow(int index);
    void setCell(int row, int column, const std::string& text);
    std::string cell(int row, int column) const;
    void clear();
    std::vector<Row> rows() const;

    void addObserver(Observer* observer);
    void removeObserver(Observer* observer);

private:
    mutable std::mutex m_mutex; // guards m_rows and m_observers
    std::vector<Row> m_rows;
    std::vector<Observer*> m_observers;
};

} // namespace engine
