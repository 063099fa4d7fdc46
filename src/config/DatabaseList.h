#pragma once

#include <array>
#include <string>
#include <vector>

namespace config {

// Columns of the database list (the data behind ConfigGrid).
enum ConfigColumn : int {
    ColSerial = 0,
    ColDatabaseUrl = 1,
    ColDatabaseName = 2,
    ColUserName = 3,
    ColEncodedPassword = 4, // hidden in the grid
    ColInterval = 5,        // "<n> Minutes" or "<n> Hours"
    ColBackupPath = 6,
    ColZip = 7,             // "True" / "False"
    ColEmail = 8,           // "True" / "False"
    ColKeepOld = 9,         // "True" / "False"
    // Not a column of the grid: the backup path as the SQL Server names it
    // (empty: as Corvella does). Shown in the Backup Path cell's tooltip.
    ColServerPath = 10,
};
// The columns of the grid.
inline constexpr int kConfigColumnCount = 10;
// The cells a row holds: the grid's columns and the server's backup path.
inline constexpr int kStoredColumnCount = 11;

// The one in-memory copy of the database list: rows of text cells, the ten
// of the grid and the server's backup path.
// Used on the user-interface thread only; not thread-safe. Out-of-range
// reads give an empty text and out-of-range writes change nothing.
class DatabaseList {
public:
    using Row = std::array<std::string, kStoredColumnCount>;

    // Told of every change, so that a view can follow the list.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void rowInserted(int row) = 0;
        virtual void rowRemoved(int row) = 0;
        virtual void cellChanged(int row, int column) = 0;
        virtual void listReset() = 0;
    };

    DatabaseList() = default;
    // Copies are of the rows: an observer stays with its list, and one that
    // is assigned new rows tells its observer of the reset.
    DatabaseList(const DatabaseList& other) : m_rows(other.m_rows) {}
    DatabaseList& operator=(const DatabaseList& other);

    int rowCount() const { return static_cast<int>(m_rows.size()); }
    // Inserts a row of empty cells at index (clamped to 0..rowCount()); returns its index.
    int insertRow(int index);
    void removeRow(int row);
    void clear();
    const std::string& cell(int row, int column) const;
    void setCell(int row, int column, std::string text);
    const Row& row(int row) const;

    void setObserver(Observer* observer) { m_observer = observer; }

private:
    std::vector<Row> m_rows;
    Observer* m_observer = nullptr;
};

} // namespace config
