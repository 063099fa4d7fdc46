#include "engine/StatusJournal.h"

#include <gmock/gmock.h>


using ::testing::ElementsAre;

namespace {

struct RecordingObserver : engine::StatusJournal::Observer {
    std::vector<std::string> events;
    void rowInserted(int row) override { events.push_back("insert " + std::to_string(row)); }
    void cellChanged(int row, int column, const std::string& text) override
    {
        events.push_back("cell " + std::to_string(row) + "," + std::to_string(column) + "=" + text);
    }
    void cleared() override { events.push_back("clear"); }
};

} // namespace

TEST(StatusJournal, WritesOutsideTheRowsChangeNothingAndObserversSeeEveryChange)
{
    engine::StatusJournal journal;
    RecordingObserver observer;
    journal.addObserver(&observer);

    EXPECT_FALSE(journal.insertRow(1));
    EXPECT_TRUE(journal.insertRow(0));
    journal.setCell(0, engine::StatusBackupStatus, "Backup is in progress");
    journal.setCell(1, engine::StatusBackupStatus, "lost");
    journal.setCell(0, engine::kStatusColumnCount, "lost");
    journal.setCell(-1, 0, "lost");
    journal.clear();
    journal.setCell(0, engine::StatusBackupStatus, "after clear");
    EXPECT_EQ(journal.rowCount(), 0);
    EXPECT_EQ(journal.cell(0, engine::StatusBackupStatus), "");

    journal.removeObserver(&observer);
    journal.insertRow(0);
    EXPECT_THAT(observer.events, ElementsAre("insert 0", "cell 0,2=Backup is in progress", "clear"));
}
