// The platform's own services: the line lock, clocks, sleeping, local time, the last error.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "platform/serial_port.h"
#include "platform/system.h"

TEST(PlatformLineLock, IsRecursiveAndKeepsOtherThreadsOut)
{
    plat_line_lock();
    plat_line_lock(); // an exchange nested in another on the same thread
    std::atomic<bool> acquired(false);
    std::thread other([&] {
        plat_line_lock();
        acquired = true;
        plat_line_unlock();
    });
    plat_line_unlock();
    plat_sleep_ms(50);
    EXPECT_FALSE(acquired.load()); // still held once
    plat_line_unlock();
    other.join();
    EXPECT_TRUE(acquired.load());
}

TEST(PlatformClock, SleepAndMonotonicTime)
{
    uint64_t start = plat_monotonic_ms();
    plat_sleep_ms(20);
    uint64_t elapsed = plat_monotonic_ms() - start;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 2000u);
    plat_sleep_ms(0);
}

TEST(PlatformClock, LocalTime)
{
    const char *old = getenv("TZ");
    std::string saved = old != nullptr ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    struct tm t = {};
    ASSERT_EQ(0, plat_localtime(86400 + 3661, &t));
    EXPECT_EQ(70, t.tm_year);
    EXPECT_EQ(0, t.tm_mon);
    EXPECT_EQ(2, t.tm_mday);
    EXPECT_EQ(1, t.tm_hour);
    EXPECT_EQ(1, t.tm_min);
    EXPECT_EQ(1, t.tm_sec);
    if (old != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(PlatformError, LastErrorTellsWhyAnOpenFailed)
{
    PortHandle port = 0;
    EXPECT_NE(0, plat_port_open("ttyKESTA7", &port));
    EXPECT_EQ(static_cast<uint32_t>(ENOENT), plat_last_error());
    EXPECT_NE(0, plat_port_open("ttyKESTA12345", &port)); // longer than a port record holds
    EXPECT_EQ(0u, port);
}
