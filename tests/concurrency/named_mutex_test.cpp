// The named instance mutex "SEMKESTAnn" as the host meets it: two processes with the same driver
// number take turns on it, and an owner that dies holding it (a thread, a process) hands it over to
// the next read instead of blocking the line. Each process drives its own line and station; values
// are checked on both sides. The second process is this test binary running a disabled helper test.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/system.h"
#include "driver_line.h"

namespace {

using concurrency::Clock;
using concurrency::DriverLine;
using concurrency::HelperProcess;
using concurrency::MillisecondsSince;
using kesta::sim::kTypeInt32;
using kesta::sim::ObjectSpec;

const char kTimeout[] = "KESTA> ReqSem() TIMEOUT requesting MUTEX semaphore";

enum {
    LINE_TIMEOUT = 100, // units of 10 ms: a mutex wait of 3 s
    ROUNDS = 200,
    HOLD_MS = 300
};

std::string MutexName(uint32_t number) {
    char name[32];
    snprintf(name, sizeof name, "SEMKESTA%02u", number);
    return name;
}

uint32_t NumberFromEnvironment() {
    const char *text = getenv("KESTA_HELPER_DRIVER");
    return text != nullptr ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : 0;
}

bool FileExists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Reads that the station changes before each: returns the rounds that failed or were wrong.
int PollValues(DriverLine &line, DriverFixture::Gate &gate, int32_t base, int rounds) {
    int wrong = 0;
    for (int i = 0; i < rounds; ++i) {
        line.station(2).setValue("value", base + i);
        int32_t got = 0;
        if (line.Read(gate, &got) != 0 || got != base + i)
            wrong++;
    }
    return wrong;
}

class NamedMutex : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line.ok()) << line.error();
        line.station(2).addObject(ObjectSpec::Scalar("value", kTypeInt32, 7));
        line.WriteInitFile("NUM_OF_SLAVES = 1\n");
        ASSERT_EQ(0u, line.ColdStart(LINE_TIMEOUT));
        ASSERT_EQ(0u, line.Parse(gate, "002value"));
        ASSERT_EQ(0u, line.fixture().Count(kTimeout));
    }

    DriverLine line;
    DriverFixture::Gate gate;
};

TEST_F(NamedMutex, TwoProcessesWithTheSameDriverNumberTakeTurns) {
    // This process holds the mutex while the other one starts and asks for it.
    MutexHandle held = 0;
    ASSERT_EQ(0, plat_mutex_create(MutexName(line.number()).c_str(), &held));
    ASSERT_EQ(PLAT_WAIT_OK, plat_mutex_wait(held, 0));

    const std::string ready = line.fixture().dir() + "/helper-ready";
    HelperProcess helper("MutexHelper.DISABLED_ContendForTheSameDriverNumber",
                         {"KESTA_HELPER_DRIVER=" + std::to_string(line.number()), "KESTA_HELPER_READY=" + ready});
    ASSERT_TRUE(helper.started());
    const Clock::time_point start = Clock::now();
    while (!FileExists(ready) && MillisecondsSince(start) < 30000)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(FileExists(ready));
    // The helper now waits for the mutex in its first parse; it gets it when this process lets go.
    std::this_thread::sleep_for(std::chrono::milliseconds(HOLD_MS));
    ASSERT_EQ(0, plat_mutex_release(held));
    plat_mutex_close(held);

    // Both processes poll at once, each on its own line, taking turns on the one mutex.
    EXPECT_EQ(0, PollValues(line, gate, 3000000, ROUNDS));
    EXPECT_EQ(0, helper.Wait(std::chrono::milliseconds(120000)));
    EXPECT_EQ(0u, line.fixture().Count(kTimeout));
}

TEST_F(NamedMutex, AThreadThatDiesHoldingTheMutexHandsItToTheNextRead) {
    MutexHandle taken = 0;
    std::thread owner([&] {
        if (plat_mutex_create(MutexName(line.number()).c_str(), &taken) == 0 &&
            plat_mutex_wait(taken, 1000) != PLAT_WAIT_OK) {
            plat_mutex_close(taken);
            taken = 0;
        }
        // The thread ends owning the mutex, as a host thread that is killed would.
    });
    owner.join();
    ASSERT_NE(0u, taken);

    // The abandoned mutex counts as acquired: the read goes through at once with the right value.
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(0, PollValues(line, gate, 4000000, 1));
    EXPECT_LT(MillisecondsSince(start), LINE_TIMEOUT * 30);
    EXPECT_EQ(0u, line.fixture().Count(kTimeout));
    plat_mutex_close(taken);

    // It is an ordinary mutex again: two threads share it without a time-out or a wrong value.
    std::atomic<int> wrong(0);
    DriverFixture::Gate second;
    ASSERT_EQ(0u, line.Parse(second, "002value"));
    std::thread other([&] {
        for (int i = 0; i < ROUNDS; ++i) {
            int32_t got = 0;
            if (line.Read(second, &got) != 0)
                wrong++;
        }
    });
    const int mine = PollValues(line, gate, 5000000, ROUNDS);
    other.join();
    EXPECT_EQ(0, mine);
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(0u, line.fixture().Count(kTimeout));
}

TEST_F(NamedMutex, AProcessThatDiesHoldingTheMutexHandsItToTheNextRead) {
    HelperProcess helper("MutexHelper.DISABLED_EndHoldingTheMutex",
                         {"KESTA_HELPER_DRIVER=" + std::to_string(line.number())});
    ASSERT_TRUE(helper.started());
    ASSERT_EQ(0, helper.Wait(std::chrono::milliseconds(30000)));

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(0, PollValues(line, gate, 6000000, 1));
    EXPECT_LT(MillisecondsSince(start), LINE_TIMEOUT * 30);
    EXPECT_EQ(0, PollValues(line, gate, 7000000, 20));
    EXPECT_EQ(0u, line.fixture().Count(kTimeout));
}

// ---- Helpers, run only as the second process ---------------------------------------------------

// The other process of TwoProcessesWithTheSameDriverNumberTakeTurns: its own line and station under
// the first process's driver number. Its first parse waits for the mutex the first process holds.
TEST(MutexHelper, DISABLED_ContendForTheSameDriverNumber) {
    const uint32_t number = NumberFromEnvironment();
    const char *ready = getenv("KESTA_HELPER_READY");
    ASSERT_NE(0u, number);
    ASSERT_NE(nullptr, ready);
    DriverLine line(number);
    ASSERT_TRUE(line.ok()) << line.error();
    line.station(2).addObject(ObjectSpec::Scalar("value", kTypeInt32, 9));
    line.WriteInitFile("NUM_OF_SLAVES = 1\n");
    ASSERT_EQ(0u, line.ColdStart(LINE_TIMEOUT));

    FILE *flag = fopen(ready, "w");
    ASSERT_NE(nullptr, flag);
    fclose(flag);
    const Clock::time_point start = Clock::now();
    DriverFixture::Gate gate;
    ASSERT_EQ(0u, line.Parse(gate, "002value"));
    EXPECT_GE(MillisecondsSince(start), HOLD_MS / 2); // it waited for the other process

    EXPECT_EQ(0, PollValues(line, gate, 8000000, ROUNDS));
    EXPECT_EQ(0u, line.fixture().Count(kTimeout));
}

// Takes the mutex of the given driver number and ends without giving it back.
TEST(MutexHelper, DISABLED_EndHoldingTheMutex) {
    const uint32_t number = NumberFromEnvironment();
    ASSERT_NE(0u, number);
    MutexHandle mutex = 0;
    ASSERT_EQ(0, plat_mutex_create(MutexName(number).c_str(), &mutex));
    ASSERT_EQ(PLAT_WAIT_OK, plat_mutex_wait(mutex, 5000));
    fflush(nullptr);
    _exit(0);
}

} // namespace
