#include "engine/BackupFolders.h"

#include "fakes/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr long long kHour = 3600;
constexpr long long kDay = 24 * kHour;

struct Shown {
    std::vector<std::pair<std::string, std::string>> boxes;
    text::MessageBoxFn fn()
    {
        return [this](const std::string& text, const std::string& caption) { boxes.emplace_back(text, caption); };
    }
};

class FoldersTest : public ::testing::Test {
protected:

    std::string path(const std::string& relative) const { return m_root + "/" + relative; }

    void writeFile(const std::string& relative, const std::string& text) const
    {
        std::ofstream(path(relative), std::ios::binary) << text;
    }
    std::string readFile(const std::string& full) const
    {
        std::ifstream in(full, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void setModified(const std::string& full, long long secondsAgo)
    {
        timespec times[2] = {};
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = static_cast<time_t>(std::time(nullptr) - secondsAgo);
        ASSERT_EQ(::utimensat(AT_FDCWD, full.c_str(), times, 0), 0) << full;
    }
    // "name=content" for every plain file of a folder, sorted.
    std::vector<std::string> files(const std::string& relative) const
    {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(path(relative))) {
            if (entry.is_regular_file())
                out.push_back(entry.path().filename().string() + "=" + readFile(entry.path().string()));
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    fakes::TempFolder m_folder{"corvella-folders"};
    const std::string m_root = m_folder.root();
};

TEST_F(FoldersTest, CreateFolderPathCreatesEveryMissingFolder)
{
    Shown shown;
    EXPECT_TRUE(engine::CreateFolderPath(path("A/B/"), shown.fn()));
    EXPECT_TRUE(fs::is_directory(path("A/B")));
    EXPECT_TRUE(engine::CreateFolderPath(path("A/B/C D/temp"), shown.fn()));
    EXPECT_TRUE(fs::is_directory(path("A/B/C D/temp")));
    EXPECT_TRUE(engine::CreateFolderPath(path("A//B/E"), shown.fn()));
    EXPECT_TRUE(fs::is_directory(path("A/B/E")));
    EXPECT_TRUE(engine::CreateFolderPath(path("A/B"), {}));

    // Relative paths start at the working folder.
    const fs::path before = fs::current_path();
    fs::current_path(m_root);
    EXPECT_TRUE(engine::CreateFolderPath("Single", shown.fn()));
    EXPECT_TRUE(engine::CreateFolderPath("rel/sub", shown.fn()));
    fs::current_path(before);
    EXPECT_TRUE(fs::is_directory(path("Single")));
    EXPECT_TRUE(fs::is_directory(path("rel/sub")));

    EXPECT_TRUE(shown.boxes.empty());
}

TEST_F(FoldersTest, CreateFolderPathReportsAPathItCannotCreate)
{
    writeFile("file.txt", "not a folder");
    const std::vector<std::string> failing = {
        path("file.txt/sub/deeper"), // a file in the way
        path("file.txt"),            // a file where the folder should be
        path("A/file.txt/B/"),
        "",
    };
    fs::create_directory(path("A"));
    writeFile("A/file.txt", "x");
    for (const std::string& target : failing) {
        Shown shown;
        EXPECT_FALSE(engine::CreateFolderPath(target, shown.fn())) << target;
        ASSERT_EQ(shown.boxes.size(), 1u) << target;
        EXPECT_EQ(shown.boxes[0].first, "Directory Creation Failed:" + target + ". Please check the path");
        EXPECT_EQ(shown.boxes[0].second, "Error");
    }
    EXPECT_FALSE(engine::CreateFolderPath(path("file.txt/x"), {}));
    EXPECT_TRUE(fs::is_regular_file(path("file.txt")));
}

TEST_F(FoldersTest, FileAgeCountsCompleteDaysSinceTheLastWrite)
{
    struct Case {
        long long secondsAgo;
        long long days;
    };
    const Case cases[] = {{0, 0}, {23 * kHour, 0}, {25 * kHour, 1}, {49 * kHour, 2}, {400 * kDay, 400}};
    writeFile("backup.Bak", "x");
    for (const Case& c : cases) {
        setModified(path("backup.Bak"), c.secondsAgo);
        EXPECT_EQ(engine::FileAgeDays(path("backup.Bak")), c.days) << c.secondsAgo;
    }
    setModified(path("backup.Bak"), -30 * kHour);
    EXPECT_LT(engine::FileAgeDays(path("backup.Bak")), 1);

    EXPECT_TRUE(engine::FileExists(path("backup.Bak")));
    EXPECT_TRUE(engine::FileExists(m_root));
    EXPECT_FALSE(engine::FileExists(path("missing.Bak")));
    EXPECT_FALSE(engine::FileExists(""));
    EXPECT_EQ(engine::FileAgeDays(path("missing.Bak")), 1);
}

TEST_F(FoldersTest, MoveFolderFilesMovesPlainFilesAndReplacesTheirNamesakes)
{
    fs::create_directories(path("src/sub"));
    fs::create_directories(path("dst"));
    writeFile("src/a.Bak", "new a");
    writeFile("src/b.zip", "b");
    writeFile("src/sub/inner", "stays with its folder");
    fs::create_directory_symlink(path("src/sub"), path("src/link-to-folder"));
    writeFile("dst/a.Bak", "old a");
    writeFile("dst/other", "untouched");

    engine::MoveFolderFiles(path("src"), path("dst"));

    EXPECT_EQ(files("dst"), (std::vector<std::string> {"a.Bak=new a", "b.zip=b", "other=untouched"}));
    EXPECT_TRUE(files("src").empty());
    EXPECT_EQ(readFile(path("src/sub/inner")), "stays with its folder");
    EXPECT_TRUE(fs::is_symlink(path("src/link-to-folder")));

    // Without a target folder nothing moves; without a source nothing happens.
    writeFile("src/c.Bak", "c");
    engine::MoveFolderFiles(path("src"), path("missing"));
    EXPECT_EQ(files("src"), (std::vector<std::string> {"c.Bak=c"}));
    engine::MoveFolderFiles(path("missing"), path("dst"));
    EXPECT_EQ(files("dst").size(), 3u);
}

// What the three folders hold after each of four runs.
struct Holding {
    std::vector<std::string> database;
    std::vector<std::string> last;
    std::vector<std::string> old;
};

struct RotationCase {
    const char* name;
    bool keepOld;
    long long spacing;          // time between runs
    const char* serverExtension; // as the server writes the file
    std::vector<Holding> after;  // after run 1 to 4
};

void PrintTo(const RotationCase& c, std::ostream* os)
{
    *os << c.name;
}

class RotationTest : public FoldersTest, public ::testing::WithParamInterface<RotationCase> {
protected:
    // Every file holds "run N" (or "run N stray"): its time is set from N as
    // though the runs had happened `spacing` apart, the current run now.
    void ageFiles(int currentRun, long long spacing)
    {
        for (const auto& entry : fs::recursive_directory_iterator(path("D"))) {
            if (!entry.is_regular_file())
                continue;
            int written = std::stoi(readFile(entry.path().string()).substr(4));
            setModified(entry.path().string(), (currentRun - written) * spacing);
        }
    }
};

TEST_P(RotationTest, FourRuns)
{
    const RotationCase& c = GetParam();
    const std::string database = path("D");
    ASSERT_TRUE(engine::CreateFolderPath(database + "/temp", {}));

    for (int run = 1; run <= 4; ++run) {
        const std::string backupName = c.keepOld ? "D_2026010" + std::to_string(run) + "120000" : "D";
        writeFile("D/temp/" + backupName + c.serverExtension, "run " + std::to_string(run));
        if (run == 2)
            writeFile("D/notes.txt", "run 2 stray");
        ASSERT_TRUE(engine::CreateFolderPath(database + "/Old Backup", {}));
        ASSERT_TRUE(engine::CreateFolderPath(database + "/Last Backup", {}));
        ageFiles(run, c.spacing);

        engine::RotateBackupFolders(database, database + "/temp", backupName, ".Bak");

        const Holding& expected = c.after[static_cast<std::size_t>(run - 1)];
        EXPECT_EQ(files("D"), expected.database) << "after run " << run;
        EXPECT_EQ(files("D/Last Backup"), expected.last) << "after run " << run;
        EXPECT_EQ(files("D/Old Backup"), expected.old) << "after run " << run;
        EXPECT_TRUE(files("D/temp").empty());
    }
    EXPECT_TRUE(fs::is_directory(path("D/Last Backup")));
    EXPECT_TRUE(fs::is_directory(path("D/Old Backup")));
}

const std::string kNotes = "notes.txt=run 2 stray";

INSTANTIATE_TEST_SUITE_P(
    Modes, RotationTest,
    ::testing::Values(
        RotationCase {"ReplacingRunsOneDayApart", false, kDay, ".Bak",
                      {
                          {{"D.Bak=run 1"}, {}, {}},
                          {{"D.Bak=run 2"}, {"D.Bak=run 1", kNotes}, {}},
                          {{"D.Bak=run 3"}, {"D.Bak=run 2"}, {"D.Bak=run 1", kNotes}},
                          {{"D.Bak=run 4"}, {"D.Bak=run 3"}, {"D.Bak=run 2", kNotes}},
                      }},
        RotationCase {"ReplacingRunsHoursApart", false, 6 * kHour, ".Bak",
                      {
                          {{"D.Bak=run 1"}, {}, {}},
                          {{"D.Bak=run 2"}, {"D.Bak=run 1", kNotes}, {}},
                          {{"D.Bak=run 3"}, {"D.Bak=run 2", kNotes}, {}},
                          {{"D.Bak=run 4"}, {"D.Bak=run 3", kNotes}, {}},
                      }},
        // The server writes ".bak"; the age test asks for ".Bak" and must
        // still find the previous backup.
        RotationCase {"ServerLowerCaseExtensionHoursApart", false, 6 * kHour, ".bak",
                      {
                          {{"D.bak=run 1"}, {}, {}},
                          {{"D.bak=run 2"}, {"D.bak=run 1", kNotes}, {}},
                          {{"D.bak=run 3"}, {"D.bak=run 2", kNotes}, {}},
                          {{"D.bak=run 4"}, {"D.bak=run 3", kNotes}, {}},
                      }},
        RotationCase {"KeepingOldRunsHoursApart", true, 6 * kHour, ".Bak",
                      {
                          {{"D_20260101120000.Bak=run 1"}, {}, {}},
                          {{"D_20260102120000.Bak=run 2"}, {"D_20260101120000.Bak=run 1", kNotes}, {}},
                          {{"D_20260103120000.Bak=run 3"},
                           {"D_20260102120000.Bak=run 2"},
                           {"D_20260101120000.Bak=run 1", kNotes}},
                          {{"D_20260104120000.Bak=run 4"},
                           {"D_20260103120000.Bak=run 3"},
                           {"D_20260101120000.Bak=run 1", "D_20260102120000.Bak=run 2", kNotes}},
                      }}),
    [](const ::testing::TestParamInfo<RotationCase>& info) { return std::string(info.param.name); });

} // namespace
