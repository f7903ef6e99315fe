// The POSIX serial primitives' read time-outs, which follow the Win32 COMMTIMEOUTS rules, over a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include "platform/serial_port.h"
#include "platform/system.h"
#include "support/pty.h"

namespace {

struct ReadCase {
    const char *what;
    PortTimeouts timeouts;
    uint32_t ask;
    uint32_t expectGot;
    uint32_t minMs, maxMs; // how long the read may take
};

// 3 bytes are waiting and 4 more follow 300 ms later.
const ReadCase kReadCases[] = {
    {"interval MAXDWORD, no totals: what is waiting, at once", {0xFFFFFFFFu, 0, 0, 0, 0}, 16, 3, 0, 250},
    {"total constant: all asked for as soon as it is in", {0, 0, 1000, 0, 0}, 7, 7, 250, 900},
    {"total constant: what came by the time-out", {0, 0, 400, 0, 0}, 16, 7, 380, 900},
    {"total multiplier and constant", {0, 20, 100, 0, 0}, 16, 7, 400, 900},
    {"interval: the read ends at the gap after the first bytes", {50, 0, 1000, 0, 0}, 16, 3, 40, 250},
    {"nothing set: bounded at one second", {0, 0, 0, 0, 0}, 16, 7, 950, 2500},
};

TEST(PlatformSerialRead, TimeoutsAsOnWin32) {
    for (const ReadCase &c : kReadCases) {
        SCOPED_TRACE(c.what);
        PtyPair pty;
        ASSERT_TRUE(pty.Open());
        PortHandle port = 0;
        ASSERT_EQ(0, plat_port_open(pty.name, &port));
        ASSERT_EQ(0, plat_port_set_timeouts(port, &c.timeouts));
        ASSERT_TRUE(pty.SendHex("01 02 03"));
        ASSERT_GE(pty.WaitPendingAtPort(3), 3u);
        PtyPeer later([&] {
            plat_sleep_ms(300); // the later bytes: well after the reads that must not wait for them
            pty.SendHex("04 05 06 07");
        });
        uint8_t buffer[16];
        uint32_t got = 0;
        uint64_t start = plat_monotonic_ms();
        EXPECT_EQ(0, plat_port_read(port, buffer, c.ask, &got));
        uint64_t elapsed = plat_monotonic_ms() - start;
        EXPECT_EQ(c.expectGot, got);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LE(elapsed, c.maxMs);
        later.Join();
        EXPECT_EQ(0, plat_port_close(port));
    }
}

// A close that fails gives the descriptor up all the same, and the system may hand its number to the next
// open at once: the port's record stays, but nothing done with the handle reaches that number again,
// and a second close only frees the record.
TEST(PlatformSerialClose, AFailedCloseKeepsItsRecordAndNeverTouchesTheNumberAgain) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    PortHandle port = 0;
    ASSERT_EQ(0, plat_port_open(pty.name, &port));
    plat_port_fail_next_closes(1);
    EXPECT_NE(0, plat_port_close(port));

    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(0, pipe(pipeFds)); // takes the lowest free numbers: the one the close gave up among them
    uint32_t n = 0;
    EXPECT_NE(0, plat_port_write(port, "abc", 3, &n));
    uint8_t buffer[4];
    EXPECT_NE(0, plat_port_read(port, buffer, sizeof buffer, &n));
    PortTimeouts timeouts;
    EXPECT_EQ(0, plat_port_get_timeouts(port, &timeouts)); // the record itself is still there
    EXPECT_EQ(0, plat_port_close(port));

    for (int fd : pipeFds) {
        EXPECT_NE(-1, fcntl(fd, F_GETFD)) << "descriptor " << fd << " was closed behind its owner's back";
    }
    struct pollfd p = {pipeFds[0], POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 0)) << "bytes for the port went into the pipe";
    close(pipeFds[0]);
    close(pipeFds[1]);
    // The device itself was let go by the failed close: it opens (exclusively) again.
    ASSERT_EQ(0, plat_port_open(pty.name, &port));
    EXPECT_EQ(0, plat_port_close(port));
}

// A port reached through a link the test points at one pseudo-terminal after the other: the device
// that a reopen finds by the port's name.
class LinkedPort {
public:
    LinkedPort() {
        snprintf(name_, sizeof name_, "/tmp/kp%04u", static_cast<unsigned>(getpid()) % 10000u);
        unlink(name_);
    }
    ~LinkedPort() { unlink(name_); }
    const char *name() const { return name_; } // at most 11 characters: a port name
    bool PointAt(const PtyPair &pty) {
        unlink(name_);
        return symlink(pty.path, name_) == 0;
    }

private:
    char name_[16];
};

// Hung up (the far end of a pseudo-terminal closed, as a USB adapter pulled out hangs its line up): a
// read ends at once instead of waiting for its time-out, and the port says its device has failed.
TEST(PlatformSerialDevice, AHungUpLineEndsReadsAtOnceAndMarksTheDeviceFailed) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    PortHandle port = 0;
    ASSERT_EQ(0, plat_port_open(pty.name, &port));
    const PortTimeouts timeouts = {0, 0, 1000, 0, 0};
    ASSERT_EQ(0, plat_port_set_timeouts(port, &timeouts));
    EXPECT_EQ(0, plat_port_device_failed(port));
    close(pty.master);
    pty.master = -1;
    uint8_t buffer[8];
    uint32_t got = 0;
    const uint64_t start = plat_monotonic_ms();
    plat_port_read(port, buffer, sizeof buffer, &got);
    EXPECT_LT(plat_monotonic_ms() - start, 500u);
    EXPECT_EQ(0u, got);
    EXPECT_EQ(1, plat_port_device_failed(port));
    EXPECT_EQ(static_cast<uint32_t>(EIO), plat_port_device_error(port));
    uint32_t n = 0;
    EXPECT_NE(0, plat_port_write(port, "x", 1, &n));
    EXPECT_EQ(0, plat_port_close(port));
}

// A port opened by the name of a link to a first pseudo-terminal.
class LinkedDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(first.Open());
        ASSERT_TRUE(link.PointAt(first));
        ASSERT_EQ(0, plat_port_open(link.name(), &port));
    }
    LinkedPort link;
    PtyPair first;
    PortHandle port = 0;
};

// The device closed and opened again inside the same port: the handle stays, operations fail at once
// while it is closed, and the reopened device has the line state and time-outs last set.
TEST_F(LinkedDevice, ReopenedByNameWithTheLastSettings) {
    EXPECT_STREQ(link.name(), plat_port_name(port));
    PortLineState state;
    ASSERT_EQ(0, plat_port_get_state(port, &state));
    state.baudRate = 19200;
    state.binary = 1;
    ASSERT_EQ(0, plat_port_set_state(port, &state));
    const PortTimeouts timeouts = {0, 0, 300, 0, 0};
    ASSERT_EQ(0, plat_port_set_timeouts(port, &timeouts));

    close(first.master);
    first.master = -1;
    uint32_t n = 0;
    EXPECT_NE(0, plat_port_write(port, "x", 1, &n));
    ASSERT_EQ(1, plat_port_device_failed(port));
    EXPECT_EQ(0, plat_port_close_device(port));
    EXPECT_EQ(0, plat_port_close_device(port)) << "closed once: nothing left to close";
    uint8_t buffer[8];
    const uint64_t start = plat_monotonic_ms();
    EXPECT_NE(0, plat_port_read(port, buffer, sizeof buffer, &n));
    EXPECT_LT(plat_monotonic_ms() - start, 100u) << "no descriptor: no wait";
    EXPECT_NE(0, plat_port_reopen_device(port)) << "the device is not back";
    EXPECT_EQ(1, plat_port_device_failed(port));

    PtyPair second;
    ASSERT_TRUE(second.Open());
    ASSERT_TRUE(link.PointAt(second));
    ASSERT_EQ(0, plat_port_reopen_device(port));
    EXPECT_EQ(0, plat_port_device_failed(port));
    PortLineState now;
    ASSERT_EQ(0, plat_port_get_state(port, &now));
    EXPECT_EQ(19200u, now.baudRate);
    PortTimeouts kept;
    ASSERT_EQ(0, plat_port_get_timeouts(port, &kept));
    EXPECT_EQ(300u, kept.readTotalConstant);
    ASSERT_EQ(0, plat_port_write(port, "\x02\x03", 2, &n));
    EXPECT_EQ(2u, n);
    uint8_t peer[4];
    EXPECT_EQ(2u, second.Receive(peer, sizeof peer, 2, 2000)) << "the bytes reach the new device";
    ASSERT_TRUE(second.SendHex("05 06"));
    ASSERT_GE(second.WaitPendingAtPort(2), 2u);
    EXPECT_EQ(0, plat_port_read(port, buffer, 2, &n));
    EXPECT_EQ(2u, n);
    EXPECT_EQ(0, plat_port_close(port));
}

// A device whose close fails (on POSIX the descriptor is given up all the same) is never closed twice
// and never used again; the reopen takes a new descriptor.
TEST_F(LinkedDevice, AFailedDeviceCloseLeavesNothingToUseOrCloseAgain) {
    plat_port_fail_next_closes(1);
    EXPECT_NE(0, plat_port_close_device(port));
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(0, pipe(pipeFds)); // may take the number the close gave up
    uint32_t n = 0;
    EXPECT_NE(0, plat_port_write(port, "abc", 3, &n));
    struct pollfd p = {pipeFds[0], POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 0)) << "bytes for the port went into the pipe";
    ASSERT_EQ(0, plat_port_reopen_device(port));
    EXPECT_EQ(0, plat_port_close(port));
    for (int fd : pipeFds) {
        EXPECT_NE(-1, fcntl(fd, F_GETFD)) << "descriptor " << fd << " was closed behind its owner's back";
        close(fd);
    }
}

TEST(PlatformSerialNull, BehavesAsTheWindowsNullDevice) {
    PortHandle port = 0;
    ASSERT_EQ(0, plat_port_open("NUL", &port));
    uint32_t n = 0;
    EXPECT_EQ(0, plat_port_write(port, "abc", 3, &n));
    EXPECT_EQ(3u, n);
    uint8_t buffer[4];
    EXPECT_EQ(0, plat_port_read(port, buffer, sizeof buffer, &n));
    EXPECT_EQ(0u, n);
    PortLineState state;
    PortTimeouts timeouts;
    uint32_t waiting = 0;
    EXPECT_NE(0, plat_port_get_state(port, &state));
    EXPECT_NE(0, plat_port_get_timeouts(port, &timeouts));
    EXPECT_NE(0, plat_port_clear_error(port, &waiting));
    EXPECT_EQ(0, plat_port_device_failed(port));
    EXPECT_EQ(0, plat_port_close_device(port)) << "no device to close";
    EXPECT_EQ(0, plat_port_reopen_device(port));
    EXPECT_EQ(0, plat_port_write(port, "abc", 3, &n));
    EXPECT_EQ(0, plat_port_close(port));
}

} // namespace
