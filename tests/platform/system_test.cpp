// The platform's own services: the line lock, the last error and the monotonic clock.
#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <thread>

#include "platform/serial_port.h"
#include "platform/system.h"

TEST(PlatformLineLock, IsRecursiveAndKeepsOtherThreadsOut) {
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

TEST(PlatformError, LastErrorTellsWhyAnOpenFailed) {
    PortHandle port = 0;
    EXPECT_NE(0, plat_port_open("ttyKESTA7", &port));
    EXPECT_EQ(static_cast<uint32_t>(ENOENT), plat_last_error());
    EXPECT_NE(0, plat_port_open("ttyKESTA12345", &port)); // longer than a port record holds
    EXPECT_EQ(0u, port);
}

TEST(PlatformClock, MicrosecondsKeepStepWithMilliseconds) {
    const uint64_t ms0 = plat_monotonic_ms();
    const uint64_t us0 = plat_monotonic_us();
    plat_sleep_ms(30);
    const uint64_t us1 = plat_monotonic_us();
    const uint64_t ms1 = plat_monotonic_ms();
    EXPECT_GE(us1 - us0, 29000u);
    EXPECT_LT(us1 - us0, 5000000u);
    // One clock: the microseconds never run ahead of the milliseconds read around them.
    EXPECT_LE(us0 / 1000u, ms1);
    EXPECT_GE(us1 / 1000u + 1u, ms0);
}
