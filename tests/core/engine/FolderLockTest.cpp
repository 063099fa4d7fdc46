#include "engine/FolderLock.h"

#include "fakes/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using engine::FolderLock;

// One holder at a time, in this process or another; the holder is named;
// a holder killed leaves the folder free at once; nothing is written.
TEST(FolderLockTest, OneHolderAtATimeAndFreeAsSoonAsTheHolderIsGone)
{
    fakes::TempFolder folder;
    pid_t holder = -1;
    std::string error;

    FolderLock first;
    ASSERT_EQ(first.acquire(folder.root(), holder, error), FolderLock::Result::Acquired) << error;
    FolderLock second;
    EXPECT_EQ(second.acquire(folder.root(), holder, error), FolderLock::Result::HeldByOther);
    EXPECT_EQ(holder, ::getpid());
    first.release();
    EXPECT_EQ(second.acquire(folder.root(), holder, error), FolderLock::Result::Acquired) << error;
    second.release();

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FolderLock lock;
        pid_t ignored = 0;
        std::string ignoredError;
        const char answer = lock.acquire(folder.root(), ignored, ignoredError) == FolderLock::Result::Acquired ? 'y' : 'n';
        (void)::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');
    EXPECT_EQ(first.acquire(folder.root(), holder, error), FolderLock::Result::HeldByOther);
    EXPECT_EQ(holder, child);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(first.acquire(folder.root(), holder, error), FolderLock::Result::Acquired) << error;
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_TRUE(folder.entries().empty());

    FolderLock missing;
    EXPECT_EQ(missing.acquire(folder.path("absent"), holder, error), FolderLock::Result::Failed);
    EXPECT_EQ(error, "Cannot open folder '" + folder.path("absent") + "': No such file or directory");
}

} // namespace
