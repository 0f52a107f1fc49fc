// The single-instance lock: where the lock file lives, that a second holder is
// refused while the first runs, and that the lock goes with its holder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/single_instance.h"
#include "support/temp_dir.h"

namespace {

class SingleInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        releaseSingleInstance();
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        hadOld_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    }
    void TearDown() override {
        releaseSingleInstance();
        if (hadOld_)
            setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }

    // Whether another open of the lock file can take the lock now.
    static bool lockFree(const std::string& path) {
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0)
            return true;
        bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return free;
    }

    TempDir dir;

  private:
    bool hadOld_ = false;
    std::string old_;
};

TEST_F(SingleInstanceTest, LockFileLivesInTheRuntimeDirectory) {
    EXPECT_EQ(runtimeDirectory(), dir.path());
    EXPECT_EQ(singleInstanceLockPath("brandkit"), dir.path() + "/brandkit.lock");
    EXPECT_EQ(singleInstanceLockPath("a/b"), dir.path() + "/a_b.lock");
}

TEST_F(SingleInstanceTest, FallbackIsTmpWithTheUserId) {
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(runtimeDirectory(), "/tmp");
    EXPECT_EQ(singleInstanceLockPath("brandkit"),
              "/tmp/brandkit-" + std::to_string(getuid()) + ".lock");
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1); // only an absolute path counts
    EXPECT_EQ(runtimeDirectory(), "/tmp");
}

TEST_F(SingleInstanceTest, HolderKeepsOthersOutUntilReleased) {
    const std::string path = dir.file("brandkit.lock");
    ASSERT_TRUE(acquireSingleInstance("brandkit"));
    EXPECT_TRUE(holdsSingleInstance());
    EXPECT_TRUE(acquireSingleInstance("brandkit")); // holding it already
    EXPECT_FALSE(lockFree(path));

    releaseSingleInstance();
    EXPECT_FALSE(holdsSingleInstance());
    EXPECT_TRUE(lockFree(path));
}

TEST_F(SingleInstanceTest, SecondHolderIsRefusedAndLockDiesWithItsProcess) {
    const std::string path = dir.file("brandkit.lock");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        bool got = acquireSingleInstance("brandkit");
        char c = got ? 'y' : 'n';
        if (write(fds[1], &c, 1) != 1)
            _exit(2);
        pause(); // holds the lock until killed
        _exit(0);
    }
    close(fds[1]);
    char c = 0;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    close(fds[0]);
    EXPECT_EQ(c, 'y');
    EXPECT_FALSE(acquireSingleInstance("brandkit"));
    EXPECT_FALSE(holdsSingleInstance());

    kill(child, SIGKILL); // a crash: the kernel drops the lock
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(acquireSingleInstance("brandkit"));
}

TEST_F(SingleInstanceTest, UnopenableLockFileDoesNotKeepTheProgramFromRunning) {
    setenv("XDG_RUNTIME_DIR", dir.file("missing").c_str(), 1);
    EXPECT_TRUE(acquireSingleInstance("brandkit"));
}

} // namespace
