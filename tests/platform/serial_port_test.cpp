// The POSIX serial primitives' read time-outs, which follow the Win32 COMMTIMEOUTS rules, over a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
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
    EXPECT_EQ(0, plat_port_close(port));
}

} // namespace
