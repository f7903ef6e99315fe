// ReqSem and RelSem around the mutex codes: time-outs, waits on a closed handle, abandoned owners and
// a second process on the same name. The instance block is prepared by hand with a mutex made through
// the platform layer, as ColdStart makes it; KviMain is the copy linked into this test.
#include <errno.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/instance_mutex.h"
#include "host/instances.h"
#include "kesta.h"
#include "host_test_util.h"
#include "platform/system.h"
#include "support/hostlog.h"
#include "support/instance_block.h"

namespace {

using Clock = std::chrono::steady_clock;

const LoggedMessage kTimeout{32, "KESTA> ReqSem() TIMEOUT requesting MUTEX semaphore"};

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Another instance of the same driver number on its own thread: opens the mutex by name, takes it and
// keeps it until told to let go, or ends holding it.
class Holder {
public:
    Holder(const char *name, bool releaseAtEnd) {
        std::future<void> gone = letGo_.get_future();
        thread_ = std::thread(
            [this, name, releaseAtEnd](std::future<void> letGo) {
                MutexHandle mutex = 0;
                const bool ok = plat_mutex_create(name, &mutex) == 0 && plat_mutex_wait(mutex, 10000) == PLAT_WAIT_OK;
                taken_.set_value(ok);
                if (!ok) {
                    return;
                }
                letGo.wait();
                if (releaseAtEnd) {
                    plat_mutex_release(mutex);
                }
                plat_mutex_close(mutex);
            },
            std::move(gone));
        ok_ = taken_.get_future().get();
    }
    ~Holder() { End(); }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    bool holds() const { return ok_; }
    void End() {
        if (thread_.joinable()) {
            letGo_.set_value();
            thread_.join();
        }
    }

private:
    std::promise<bool> taken_;
    std::promise<void> letGo_;
    std::thread thread_;
    bool ok_ = false;
};

// True when a thread other than the caller can take the mutex at once (and gives it back).
bool FreeForOthers(const char *name) {
    return std::async(std::launch::async,
                      [name] {
                          MutexHandle mutex = 0;
                          if (plat_mutex_create(name, &mutex) != 0) {
                              return false;
                          }
                          const int wait = plat_mutex_wait(mutex, 0);
                          const bool got = wait == PLAT_WAIT_OK || wait == PLAT_WAIT_ABANDONED;
                          if (got) {
                              plat_mutex_release(mutex);
                          }
                          plat_mutex_close(mutex);
                          return got;
                      })
        .get();
}

class KviMainMutex : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(hostlog::Attach(TALRUN_SO_PATH), nullptr);
        PrepareHostBlock(&instance_);
        MutexHandle mutex = 0;
        ASSERT_EQ(plat_mutex_create(number_.name(), &mutex), 0);
        ASSERT_TRUE(InstanceStart(&instance_, mutex)); // as the cold start registers what it created
        hostlog::Clear();
    }
    void TearDown() override {
        CloseInstanceMutex(&instance_);
        InstanceEnd(&instance_);
    }

    uint32_t Call(uint32_t code, void *arg = nullptr) {
        DriverCall call;
        memset(&call, 0, sizeof call);
        call.instance = &instance_;
        call.functionCode = code;
        call.driverNumber = number_.number();
        call.argRecord = arg;
        return KviMain(&call);
    }

    ScopedDriverNumber number_{2};
    DriverInstance instance_;
};

TEST_F(KviMainMutex, ZeroTimeoutNeverBlocksOnAMutexHeldElsewhere) {
    Holder holder(number_.name(), true);
    ASSERT_TRUE(holder.holds());
    instance_.lineTimeout = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Call(2), 1u);
    EXPECT_LT(MillisecondsSince(start), 1000);
    EXPECT_EQ(hostlog::Messages(), std::vector<LoggedMessage>{kTimeout});
}

TEST_F(KviMainMutex, WaitLastsLineTimeoutTimesThirtyMilliseconds) {
    Holder holder(number_.name(), true);
    ASSERT_TRUE(holder.holds());
    instance_.lineTimeout = 5; // 150 ms
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Call(2), 1u);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 140);
    EXPECT_LT(elapsed, 10000);
    EXPECT_EQ(hostlog::Messages(), std::vector<LoggedMessage>{kTimeout});
}

TEST_F(KviMainMutex, MutexReleasedDuringTheWaitIsTaken) {
    Holder holder(number_.name(), true);
    ASSERT_TRUE(holder.holds());
    instance_.lineTimeout = 1000; // 30 s
    std::thread releaser([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        holder.End();
    });
    EXPECT_EQ(Call(2), 0u);
    releaser.join();
    EXPECT_TRUE(hostlog::Messages().empty());
}

TEST_F(KviMainMutex, MutexCodesGiveTheMutexBack) {
    GateAddressRW gate;
    memset(&gate, 0, sizeof gate);
    gate.addressString = "001x";
    for (uint32_t code = 2; code <= 6; ++code) {
        Call(code, &gate);
        EXPECT_TRUE(FreeForOthers(number_.name())) << "code " << code;
    }
}

TEST_F(KviMainMutex, MutexAbandonedByAnEndedThreadCountsAsAcquired) {
    std::thread([this] {
        MutexHandle mutex = 0;
        ASSERT_EQ(plat_mutex_create(number_.name(), &mutex), 0);
        ASSERT_EQ(plat_mutex_wait(mutex, 0), PLAT_WAIT_OK);
        // ends holding it
    }).join();
    instance_.lineTimeout = 0;
    EXPECT_EQ(Call(2), 0u);
    EXPECT_TRUE(hostlog::Messages().empty());
    EXPECT_TRUE(FreeForOthers(number_.name()));
}

// A child process opens the same name: it holds the mutex, lets it go, then takes it again and exits
// holding it. Each step is driven through a pipe; a child whose parent vanished reads end of file.
TEST_F(KviMainMutex, SecondProcessSharesTheMutexByName) {
    int toChild[2];
    int toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(toChild[1]);
        close(toParent[0]);
        char step = 0;
        MutexHandle mutex = 0;
        if (plat_mutex_create(number_.name(), &mutex) != 0 || plat_mutex_wait(mutex, 10000) != PLAT_WAIT_OK) {
            _exit(1);
        }
        step = 'H'; // holding
        if (write(toParent[1], &step, 1) != 1 || read(toChild[0], &step, 1) != 1) {
            _exit(2);
        }
        step = plat_mutex_release(mutex) == 0 ? 'R' : 'E';
        if (write(toParent[1], &step, 1) != 1 || read(toChild[0], &step, 1) != 1) {
            _exit(3);
        }
        step = plat_mutex_wait(mutex, 10000) == PLAT_WAIT_OK ? 'A' : 'E';
        if (write(toParent[1], &step, 1) != 1) {
            _exit(4);
        }
        _exit(0); // ends holding the mutex
    }
    close(toChild[0]);
    close(toParent[1]);
    char step = 0;
    instance_.lineTimeout = 0;

    ASSERT_EQ(read(toParent[0], &step, 1), 1);
    ASSERT_EQ(step, 'H');
    EXPECT_EQ(Call(2), 1u);
    EXPECT_EQ(hostlog::Messages(), std::vector<LoggedMessage>{kTimeout});

    ASSERT_EQ(write(toChild[1], "r", 1), 1);
    ASSERT_EQ(read(toParent[0], &step, 1), 1);
    ASSERT_EQ(step, 'R');
    hostlog::Clear();
    EXPECT_EQ(Call(2), 0u);

    ASSERT_EQ(write(toChild[1], "a", 1), 1);
    ASSERT_EQ(read(toParent[0], &step, 1), 1);
    ASSERT_EQ(step, 'A');
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Call(2), 0u); // abandoned by the ended process
    EXPECT_TRUE(hostlog::Messages().empty());
    close(toChild[1]);
    close(toParent[0]);
}

// EndKvi's close clears the handle: the next wait fails as one on a closed handle, and can never land
// on an object that later got the same handle value.
TEST_F(KviMainMutex, ClosedMutexIsClearedAndItsWaitFails) {
    EXPECT_EQ(CloseInstanceMutex(&instance_), 0);
    EXPECT_EQ(KestaHandle{instance_.mutex}, 0u);
    EXPECT_EQ(Call(2), 1u);
    EXPECT_EQ(hostlog::Messages(),
              (std::vector<LoggedMessage>{
                  {32, "KESTA> ReqSem() ERROR requesting MUTEX semaphore " + std::to_string(EBADF)}}));
    EXPECT_EQ(CloseInstanceMutex(&instance_), 0); // closing again is harmless
}

TEST_F(KviMainMutex, ReleaseOfAMutexNotOwnedIsLogged) {
    EXPECT_EQ(RelSem(&instance_), 1u);
    EXPECT_EQ(hostlog::Messages(), (std::vector<LoggedMessage>{{32, "KESTA> RelSem() ERROR releasing MUTEX semaphore " +
                                                                        std::to_string(EPERM)}}));
}

} // namespace
