// The named mutex of the platform layer has the semantics of a Win32 mutex: per name for every
// process, owned per thread, recursive, abandoned owners hand it over, closed handles fail.
#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "host_test_util.h"
#include "platform/system.h"

namespace {

using Clock = std::chrono::steady_clock;

class MutexNamed : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(plat_mutex_create(number_.name(), &mutex_), 0); }
    void TearDown() override { plat_mutex_close(mutex_); }

    // The result of a wait by another thread, through a handle of its own on the same name.
    int WaitElsewhere(uint32_t milliseconds, bool keep = false) {
        return std::async(std::launch::async,
                          [this, milliseconds, keep] {
                              MutexHandle other = 0;
                              if (plat_mutex_create(number_.name(), &other) != 0) {
                                  return -1;
                              }
                              const int wait = plat_mutex_wait(other, milliseconds);
                              if (!keep && (wait == PLAT_WAIT_OK || wait == PLAT_WAIT_ABANDONED)) {
                                  plat_mutex_release(other);
                              }
                              plat_mutex_close(other);
                              return wait;
                          })
            .get();
    }

    ScopedDriverNumber number_{3};
    MutexHandle mutex_ = 0;
};

TEST_F(MutexNamed, OwnerMayTakeItAgainAndReleasesAsOftenAsTaken) {
    ASSERT_EQ(plat_mutex_wait(mutex_, 0), PLAT_WAIT_OK);
    ASSERT_EQ(plat_mutex_wait(mutex_, 1000), PLAT_WAIT_OK);
    EXPECT_EQ(WaitElsewhere(0), PLAT_WAIT_TIMEOUT);
    EXPECT_EQ(plat_mutex_release(mutex_), 0);
    EXPECT_EQ(WaitElsewhere(0), PLAT_WAIT_TIMEOUT); // still held once
    EXPECT_EQ(plat_mutex_release(mutex_), 0);
    EXPECT_EQ(WaitElsewhere(0), PLAT_WAIT_OK);
    errno = 0;
    EXPECT_NE(plat_mutex_release(mutex_), 0);
    EXPECT_EQ(plat_last_error(), static_cast<uint32_t>(EPERM));
}

TEST_F(MutexNamed, TimedWaitEndsAfterItsTime) {
    ASSERT_EQ(plat_mutex_wait(mutex_, 0), PLAT_WAIT_OK);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitElsewhere(200), PLAT_WAIT_TIMEOUT);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, 190);
    EXPECT_LT(elapsed, 10000);
    EXPECT_EQ(plat_mutex_release(mutex_), 0);
}

TEST_F(MutexNamed, DifferentNamesAreDifferentMutexes) {
    ScopedDriverNumber otherNumber(4);
    MutexHandle other = 0;
    ASSERT_EQ(plat_mutex_create(otherNumber.name(), &other), 0);
    ASSERT_EQ(plat_mutex_wait(mutex_, 0), PLAT_WAIT_OK);
    EXPECT_EQ(std::async(std::launch::async,
                         [other] {
                             const int wait = plat_mutex_wait(other, 0);
                             plat_mutex_release(other);
                             return wait;
                         })
                  .get(),
              PLAT_WAIT_OK);
    EXPECT_EQ(plat_mutex_release(mutex_), 0);
    EXPECT_EQ(plat_mutex_close(other), 0);
}

TEST_F(MutexNamed, ThreadThatEndsHoldingItAbandonsIt) {
    EXPECT_EQ(WaitElsewhere(0, true), PLAT_WAIT_OK); // that thread ends holding it
    EXPECT_EQ(plat_mutex_wait(mutex_, 0), PLAT_WAIT_ABANDONED);
    EXPECT_EQ(plat_mutex_release(mutex_), 0);
    EXPECT_EQ(plat_mutex_wait(mutex_, 0), PLAT_WAIT_OK); // consistent again
    EXPECT_EQ(plat_mutex_release(mutex_), 0);
}

TEST_F(MutexNamed, ProcessThatEndsHoldingItAbandonsIt) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        MutexHandle mine = 0;
        const bool taken =
            plat_mutex_create(number_.name(), &mine) == 0 && plat_mutex_wait(mine, 10000) == PLAT_WAIT_OK;
        _exit(taken ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(plat_mutex_wait(mutex_, 5000), PLAT_WAIT_ABANDONED);
    EXPECT_EQ(plat_mutex_release(mutex_), 0);
}

TEST_F(MutexNamed, WaitEndsWhenTheOwnerReleases) {
    std::promise<void> taken;
    std::promise<void> waiting;
    std::thread owner([&] {
        MutexHandle other = 0;
        ASSERT_EQ(plat_mutex_create(number_.name(), &other), 0);
        ASSERT_EQ(plat_mutex_wait(other, 0), PLAT_WAIT_OK);
        taken.set_value();
        waiting.get_future().wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        plat_mutex_release(other);
        plat_mutex_close(other);
    });
    taken.get_future().wait();
    waiting.set_value();
    EXPECT_EQ(plat_mutex_wait(mutex_, 30000), PLAT_WAIT_OK);
    EXPECT_EQ(plat_mutex_release(mutex_), 0);
    owner.join();
}

TEST_F(MutexNamed, ClosedOrNullHandleFailsWithBadHandle) {
    MutexHandle closed = 0;
    ASSERT_EQ(plat_mutex_create(number_.name(), &closed), 0);
    ASSERT_EQ(plat_mutex_close(closed), 0);
    // The freed slot goes to a new handle; the old value must still be dead.
    MutexHandle reused = 0;
    ASSERT_EQ(plat_mutex_create(number_.name(), &reused), 0);
    EXPECT_NE(reused, closed);

    for (MutexHandle handle : {closed, MutexHandle(0), MutexHandle(0xFFFFFFFFu)}) {
        errno = 0;
        EXPECT_EQ(plat_mutex_wait(handle, 0), PLAT_WAIT_FAILED);
        EXPECT_EQ(plat_last_error(), static_cast<uint32_t>(EBADF));
        errno = 0;
        EXPECT_NE(plat_mutex_release(handle), 0);
        EXPECT_EQ(plat_last_error(), static_cast<uint32_t>(EBADF));
        EXPECT_NE(plat_mutex_close(handle), 0);
    }
    EXPECT_EQ(plat_mutex_close(reused), 0);
}

} // namespace
