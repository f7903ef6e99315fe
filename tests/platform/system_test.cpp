// The platform's own services: the line lock and the last error.
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
