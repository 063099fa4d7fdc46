#include "log/Log.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { m_path = (m_folder / "BackupLog.log").string(); }

    std::string contents() const
    {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fakes::TempFolder m_temp{"corvella-log"};
    fs::path m_folder = m_temp.root();
    std::string m_path;
};

struct Shown {
    std::string text;
    std::string caption;
    int count = 0;
};

TEST_F(LogTest, LinesHaveTheStampTheMessageAndCrLfAndExtendTheFile)
{
    {
        std::ofstream(m_path, std::ios::binary) << "earlier line\r\n";
    }
    logging::Log log(m_path, {}, [] { return fakes::LocalTime(2014, 7, 14, 13, 5, 9); });
    ASSERT_TRUE(log.isOpen());
    log.Write("Backup Manager Started");
    log.Write("");
    log.Write("already ended\r\n");
    log.Write(std::string("tab\there, ") + "ä");

    EXPECT_EQ(contents(),
              "earlier line\r\n"
              "07/14/14 13:05:09  Backup Manager Started\r\n"
              "07/14/14 13:05:09  already ended\r\n\r\n"
              "07/14/14 13:05:09  tab\there, ä\r\n");

}

TEST_F(LogTest, LinesFromEightThreadsNeverInterleave)
{
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 1500;
    {
        logging::Log log(m_path);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&log, t] {
                // Lines of different lengths, some longer than a pipe buffer
                // page, so that a split write would show.
                for (int i = 0; i < kLinesPerThread; ++i)
                    log.Write("thread " + std::to_string(t) + " line " + std::to_string(i) + " "
                              + std::string(static_cast<std::size_t>(50 + (i * 37 + t * 11) % 5000), char('a' + t)));
            });
        }
        for (auto& thread : threads)
            thread.join();
    }

    std::string text = contents();
    std::map<int, int> nextLine;
    std::size_t start = 0;
    int lines = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "unterminated tail";
        std::string line = text.substr(start, end - start);
        start = end + 2;
        ++lines;
        ASSERT_GT(line.size(), 19u);
        ASSERT_EQ(line.substr(17, 2), "  ");
        std::istringstream fields(line.substr(19));
        std::string word1, word2;
        int t = -1, i = -1;
        std::string payload;
        fields >> word1 >> t >> word2 >> i >> payload;
        ASSERT_EQ(word1, "thread") << line.substr(0, 80);
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        ASSERT_EQ(i, nextLine[t]) << "thread " << t << " lost or reordered a line";
        nextLine[t] = i + 1;
        ASSERT_EQ(payload, std::string(static_cast<std::size_t>(50 + (i * 37 + t * 11) % 5000), char('a' + t)));
    }
    EXPECT_EQ(lines, kThreads * kLinesPerThread);
}

// The child reports what it saw through a pipe: "<count>|<text>|<caption>|<open>".
TEST_F(LogTest, ASecondProcessCannotTakeTheLogWhileTheFirstHoldsIt)
{
    auto log = std::make_unique<logging::Log>(m_path);
    ASSERT_TRUE(log->isOpen());
    log->Write("first process");

    int report[2];
    int diagnostics[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(diagnostics), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        ::close(diagnostics[0]);
        ::dup2(diagnostics[1], STDERR_FILENO);
        Shown shown;
        logging::Log second(m_path, [&shown](const std::string& text, const std::string& caption) {
            shown.text = text;
            shown.caption = caption;
            ++shown.count;
        });
        second.Write("second process");
        std::string message = std::to_string(shown.count) + "|" + shown.text + "|" + shown.caption + "|"
            + (second.isOpen() ? "open" : "closed");
        (void)!::write(report[1], message.data(), message.size());
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(diagnostics[1]);
    auto drain = [](int fd) {
        std::string text;
        char buffer[256];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        ::close(fd);
        return text;
    };
    std::string message = drain(report[0]);
    std::string stderrText = drain(diagnostics[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    EXPECT_EQ(message, "1|Unable to open Log file for writing|Log|closed");
    EXPECT_EQ(stderrText.rfind("File could not be opened ", 0), 0u) << stderrText;
    EXPECT_EQ(stderrText.back(), '\n');

    log->Write("still first");
    log.reset();
    std::string text = contents();
    EXPECT_EQ(text.find("second process"), std::string::npos);
    EXPECT_NE(text.find("still first"), std::string::npos);

    // Once the first Log is gone the file is free again.
    logging::Log third(m_path);
    EXPECT_TRUE(third.isOpen());
}

TEST_F(LogTest, AFailedOpenOrWriteLosesLinesAndNothingElse)
{
    Shown shown;
    logging::Log missingFolder((m_folder / "no such folder" / "BackupLog.log").string(),
                               [&shown](const std::string& text, const std::string& caption) {
                                   shown.text = text;
                                   shown.caption = caption;
                                   ++shown.count;
                               });
    EXPECT_FALSE(missingFolder.isOpen());
    EXPECT_EQ(shown.count, 1);
    EXPECT_EQ(shown.text, "Unable to open Log file for writing");
    EXPECT_EQ(shown.caption, "Log");
    missingFolder.Write("dropped");
    EXPECT_FALSE(fs::exists(m_folder / "no such folder"));

    // A missing file is created at once, even when nothing is ever written.
    logging::Log unused(m_path);
    EXPECT_TRUE(unused.isOpen());
    EXPECT_EQ(fs::file_size(m_path), 0u);

    // Every write to /dev/full fails with "no space": each call returns.
    if (fs::exists("/dev/full")) {
        logging::Log full("/dev/full");
        for (int i = 0; i < 3; ++i)
            full.Write("lost line");
    }
}

} // namespace
