#include "config/DatabaseList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Recorder : public config::DatabaseList::Observer {
public:
    void rowInserted(int row) override { events.push_back("insert " + std::to_string(row)); }
    void rowRemoved(int row) override { events.push_back("remove " + std::to_string(row)); }
    void cellChanged(int row, int column) override
    {
        events.push_back("cell " + std::to_string(row) + "," + std::to_string(column));
    }
    void listReset() override { events.push_back("reset"); }

    std::vector<std::string> events;
};

// A view follows the list only through these notifications, so each change
// must name the row that actually changed, and refused changes name none.
TEST(DatabaseListTest, ChangesAreReportedWithTheRowsTheyTouched)
{
    config::DatabaseList list;
    Recorder recorder;
    list.setObserver(&recorder);

    EXPECT_EQ(list.insertRow(5), 0);
    EXPECT_EQ(list.insertRow(-3), 0);
    list.setCell(1, config::ColDatabaseName, "Payroll");
    list.setCell(1, config::ColDatabaseName, "Payroll");
    list.setCell(2, config::ColDatabaseName, "out of range");
    list.setCell(0, config::kStoredColumnCount, "out of range");
    list.removeRow(7);
    list.removeRow(0);
    EXPECT_EQ(list.cell(0, config::ColDatabaseName), "Payroll");
    EXPECT_EQ(list.cell(3, config::ColDatabaseName), "");
    EXPECT_EQ(list.row(-1)[config::ColDatabaseName], "");
    list.clear();

    EXPECT_EQ(recorder.events, (std::vector<std::string> {"insert 0", "insert 0", "cell 1,2", "remove 0", "reset"}));
    EXPECT_EQ(list.rowCount(), 0);
}

} // namespace
