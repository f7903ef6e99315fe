// Port operations over a real pseudo-terminal: the test plays the far end on the master side.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "platform/system.h"
#include "serial/port.h"
#include "support/pty.h"

namespace {

const LineParams kLine = {57600, 8, 0, 1};

class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ASSERT_EQ(PORT_OK, OpenPort(pty.name, &kLine, PORT_FLAGS_COLD_START, &port));
        ASSERT_NE(0u, port);
    }
    void TearDown() override {
        PortSetTrace(nullptr);
        if (port != 0) {
            EXPECT_EQ(PORT_OK, ClosePort(port));
        }
    }
    uint32_t ReadTotalConstant() {
        PortTimeouts t;
        EXPECT_EQ(0, plat_port_get_timeouts(port, &t));
        return t.readTotalConstant;
    }

    PtyPair pty;
    PortHandle port = 0;
    PortTrace trace = {};
};

TEST_F(PortTest, OpensWithOneSecondReadTimeoutAndNoWriteTimeout) {
    PortTimeouts t;
    ASSERT_EQ(0, plat_port_get_timeouts(port, &t));
    EXPECT_EQ(0u, t.readInterval);
    EXPECT_EQ(0u, t.readTotalMultiplier);
    EXPECT_EQ(1000u, t.readTotalConstant);
    EXPECT_EQ(0u, t.writeTotalMultiplier);
    EXPECT_EQ(0u, t.writeTotalConstant);

    PortLineState s;
    ASSERT_EQ(0, plat_port_get_state(port, &s));
    EXPECT_EQ(57600u, s.baudRate);
    EXPECT_EQ(0, s.stopBits);
    EXPECT_EQ(1, s.binary);
    EXPECT_EQ(1, s.parityCheck);
    EXPECT_EQ(0, s.outX);
    EXPECT_EQ(0, s.inX);
    EXPECT_EQ(0, s.outxCtsFlow);
}

TEST_F(PortTest, ExclusiveOpenIsRefusedUntilClosed) {
    PortHandle second = 0;
    EXPECT_EQ(PORT_ERR_OPEN, OpenPort(pty.name, &kLine, PORT_FLAGS_COLD_START, &second));
    EXPECT_EQ(0u, second);
    // The same device under its full path is the same device.
    EXPECT_EQ(PORT_ERR_OPEN, OpenPort(pty.path, &kLine, PORT_FLAGS_COLD_START, &second));

    ASSERT_EQ(PORT_OK, ClosePort(port));
    port = 0;
    ASSERT_EQ(PORT_OK, OpenPort(pty.name, &kLine, PORT_FLAGS_COLD_START, &port));
}

TEST_F(PortTest, SetTimeoutReturnsPreviousAndWritesOnlyOnChange) {
    PortSetTrace(&trace);
    EXPECT_EQ(100u, SetTimeout(port, 20));
    EXPECT_EQ(1u, trace.timeoutWrites);
    EXPECT_EQ(200u, ReadTotalConstant());

    EXPECT_EQ(20u, SetTimeout(port, 20));
    EXPECT_EQ(1u, trace.timeoutWrites);

    // The other four values stay as they are.
    PortTimeouts t = {7, 3, 200, 2, 9};
    ASSERT_EQ(0, plat_port_set_timeouts(port, &t));
    EXPECT_EQ(20u, SetTimeout(port, 30));
    ASSERT_EQ(0, plat_port_get_timeouts(port, &t));
    EXPECT_EQ(7u, t.readInterval);
    EXPECT_EQ(3u, t.readTotalMultiplier);
    EXPECT_EQ(300u, t.readTotalConstant);
    EXPECT_EQ(2u, t.writeTotalMultiplier);
    EXPECT_EQ(9u, t.writeTotalConstant);
}

TEST_F(PortTest, ZeroTimeoutStandsForOneSecond) {
    EXPECT_EQ(100u, SetTimeout(port, 0));
    EXPECT_EQ(1000u, ReadTotalConstant());

    uint8_t buffer[4];
    uint32_t got = 0;
    uint64_t start = plat_monotonic_ms();
    EXPECT_EQ(PORT_ERR_IO, ReadPort(port, buffer, sizeof buffer, &got));
    uint64_t elapsed = plat_monotonic_ms() - start;
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 5000u);
}

TEST_F(PortTest, PurgeDrainsPendingInputIn512ByteReads) {
    std::vector<uint8_t> noise(1300, 0x5A);
    ASSERT_TRUE(pty.Send(noise.data(), noise.size()));
    ASSERT_EQ(1300u, pty.WaitPendingAtPort(1300));

    PortSetTrace(&trace);
    uint64_t start = plat_monotonic_ms();
    EXPECT_EQ(PORT_OK, Purge(port));
    uint64_t elapsed = plat_monotonic_ms() - start;

    ASSERT_EQ(3u, trace.reads);
    EXPECT_EQ(512u, trace.counts[0]);
    EXPECT_EQ(512u, trace.counts[1]);
    EXPECT_EQ(276u, trace.counts[2]);
    EXPECT_EQ(0u, pty.PendingAtPort());
    // The short last read waits out the 50 ms drain time-out, then the previous time-out is back.
    EXPECT_GE(elapsed, 45u);
    EXPECT_LT(elapsed, 900u);
    EXPECT_EQ(1000u, ReadTotalConstant());
}

TEST_F(PortTest, PurgeOfAnEmptyPortReadsNothing) {
    PortSetTrace(&trace);
    EXPECT_EQ(PORT_OK, Purge(port));
    EXPECT_EQ(0u, trace.reads);
    EXPECT_EQ(0u, trace.timeoutWrites);
}

TEST_F(PortTest, FiveMillisecondTimeoutReadsAsZeroAndPurgeLeaves50) {
    PortTimeouts t = {0, 0, 5, 0, 0};
    ASSERT_EQ(0, plat_port_set_timeouts(port, &t));
    EXPECT_EQ(0u, SetTimeout(port, 5)); // 50 ms now, previous 5 ms reads as 0 units
    ASSERT_EQ(0, plat_port_set_timeouts(port, &t));

    ASSERT_TRUE(pty.SendHex("01 02 03"));
    ASSERT_EQ(3u, pty.WaitPendingAtPort(3));
    EXPECT_EQ(PORT_OK, Purge(port));
    EXPECT_EQ(50u, ReadTotalConstant());
}

TEST_F(PortTest, ReadPortPartialFullAndEmpty) {
    SetTimeout(port, 20); // 200 ms
    uint8_t buffer[10];
    uint32_t got = 99;

    // 4 of 10 by the time-out: a success with what came.
    ASSERT_TRUE(pty.SendHex("02 00 3E 3F"));
    uint64_t start = plat_monotonic_ms();
    EXPECT_EQ(PORT_OK, ReadPort(port, buffer, sizeof buffer, &got));
    EXPECT_GE(plat_monotonic_ms() - start, 180u);
    EXPECT_EQ(4u, got);
    EXPECT_EQ(0, memcmp(buffer, "\x02\x00\x3E\x3F", 4));

    // Nothing by the time-out: 7 and the count cleared.
    got = 99;
    EXPECT_EQ(PORT_ERR_IO, ReadPort(port, buffer, sizeof buffer, &got));
    EXPECT_EQ(0u, got);

    // All asked for: the read ends at once, not at the time-out.
    SetTimeout(port, 300);
    ASSERT_TRUE(pty.SendHex("00 01 02 03 04 05 06 07 08 09"));
    start = plat_monotonic_ms();
    EXPECT_EQ(PORT_OK, ReadPort(port, buffer, sizeof buffer, &got));
    EXPECT_LT(plat_monotonic_ms() - start, 1500u);
    EXPECT_EQ(10u, got);

    // No place for the count is fine.
    ASSERT_TRUE(pty.SendHex("AA"));
    EXPECT_EQ(PORT_OK, ReadPort(port, buffer, 1, nullptr));
}

TEST_F(PortTest, ReadPortTakesTheCountAs16Bits) {
    ASSERT_TRUE(pty.SendHex("11 22"));
    ASSERT_EQ(2u, pty.WaitPendingAtPort(2));
    uint8_t buffer[4];
    uint32_t got = 99;
    // 0x10000 is 0 as a 16-bit count: nothing is asked for, nothing is delivered.
    EXPECT_EQ(PORT_ERR_IO, ReadPort(port, buffer, 0x10000u, &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(2u, pty.PendingAtPort());
}

TEST_F(PortTest, WritePortWholeAndShort) {
    uint32_t written = 0;
    EXPECT_EQ(PORT_OK, WritePort(port, "\x02\x00\x3E\x3F\x00", 5, &written));
    EXPECT_EQ(5u, written);
    uint8_t echo[8];
    EXPECT_EQ(5u, pty.Receive(echo, sizeof echo, 5, 2000));

    // The far end reads nothing: the line's queue fills, the write ends at its time-out with what
    // went out.
    PortTimeouts t = {0, 0, 1000, 0, 200};
    ASSERT_EQ(0, plat_port_set_timeouts(port, &t));
    std::vector<uint8_t> big(1u << 20, 0x55);
    written = 0;
    EXPECT_EQ(PORT_ERR_SHORT, WritePort(port, big.data(), static_cast<uint32_t>(big.size()), &written));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_EQ(written, pty.Drain(200));
}

TEST_F(PortTest, InputQueueCountsWaitingBytes) {
    uint32_t waiting = 99;
    EXPECT_EQ(0, PortInputQueue(port, &waiting));
    EXPECT_EQ(0u, waiting);
    ASSERT_TRUE(pty.SendHex("01 02 03 04 05 06 07"));
    ASSERT_EQ(7u, pty.WaitPendingAtPort(7));
    EXPECT_EQ(0, PortInputQueue(port, &waiting));
    EXPECT_EQ(7u, waiting);
}

struct LineCase {
    const char *what;
    LineParams line;
    int result;
    uint32_t baud;
    uint8_t stopBits;
};

// Line settings as the host gives them, and what the line then reports. A pseudo-terminal keeps the
// rate and the stop bits but always runs 8 data bits without parity, so those are not compared.
const LineCase kLineCases[] = {
    {"9600 7E2", {9600, 7, 2, 2}, PORT_OK, 9600, 2},
    {"19200 8 mark 1", {19200, 8, 0, 3}, PORT_OK, 19200, 0},
    {"38400 8 space 1", {38400, 8, 0, 4}, PORT_OK, 38400, 0},
    {"one and a half stop bits read as two", {9600, 8, 1, 0}, PORT_OK, 9600, 2},
    {"only the low byte counts", {9600, 0x0108, 0x0102, 0x0200}, PORT_OK, 9600, 2},
    {"rate outside the table", {62500, 8, 0, 0}, PORT_OK, 62500, 0},
    {"the largest 16-bit rate", {65535, 8, 0, 0}, PORT_OK, 65535, 0},
    {"nine data bits", {9600, 9, 0, 0}, PORT_ERR_SET_STATE, 0, 0},
    {"parity 5", {9600, 8, 0, 5}, PORT_ERR_SET_STATE, 0, 0},
    {"stop bits 3", {9600, 8, 3, 0}, PORT_ERR_SET_STATE, 0, 0},
    {"rate 0", {0, 8, 0, 0}, PORT_ERR_SET_STATE, 0, 0},
};

TEST(PortOpen, LineSettings) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    for (const LineCase &c : kLineCases) {
        SCOPED_TRACE(c.what);
        PortHandle port = 0;
        ASSERT_EQ(c.result, OpenPort(pty.name, &c.line, PORT_FLAGS_COLD_START, &port));
        if (c.result != PORT_OK) {
            EXPECT_EQ(0u, port); // closed again, so the next case can open the device
            continue;
        }
        PortLineState s;
        ASSERT_EQ(0, plat_port_get_state(port, &s));
        EXPECT_EQ(c.baud, s.baudRate);
        EXPECT_EQ(c.stopBits, s.stopBits);
        EXPECT_EQ(PORT_OK, ClosePort(port));
    }
}

struct RtsCase {
    uint16_t flags;
    uint8_t rts;
};

// The RTS selections a pseudo-terminal can show (it has no modem lines, so on and off look alike).
const RtsCase kRtsCases[] = {
    {0x1000, PORT_RTS_HANDSHAKE}, {0x2000, PORT_RTS_TOGGLE}, {0x3000, PORT_RTS_HANDSHAKE},
    {0x2002, PORT_RTS_ON},        {0x2200, PORT_RTS_ON},     {0x0303, PORT_RTS_ON},
};

TEST(PortOpen, RtsSelection) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    for (const RtsCase &c : kRtsCases) {
        SCOPED_TRACE(c.flags);
        PortHandle port = 0;
        ASSERT_EQ(PORT_OK, OpenPort(pty.name, &kLine, c.flags, &port));
        PortLineState s;
        ASSERT_EQ(0, plat_port_get_state(port, &s));
        EXPECT_EQ(c.rts, s.rtsControl);
        EXPECT_EQ(PORT_OK, ClosePort(port));
    }
}

TEST(PortOpen, Failures) {
    PortHandle port = 77;
    EXPECT_EQ(PORT_ERR_OPEN, OpenPort("ttyKESTA9", &kLine, PORT_FLAGS_COLD_START, &port));
    EXPECT_EQ(0u, port);
    EXPECT_EQ(PORT_ERR_OPEN, OpenPort("ttyUSB12345", &kLine, PORT_FLAGS_COLD_START, &port));  // missing
    EXPECT_EQ(PORT_ERR_OPEN, OpenPort("/dev/ttyS123", &kLine, PORT_FLAGS_COLD_START, &port)); // 12 chars
    EXPECT_EQ(PORT_ERR_OPEN, OpenPort("", &kLine, PORT_FLAGS_COLD_START, &port));
    // Opens, but has no line state: closed again.
    EXPECT_EQ(PORT_ERR_GET_STATE, OpenPort("/dev/null", &kLine, PORT_FLAGS_COLD_START, &port));
    EXPECT_EQ(0u, port);
    EXPECT_EQ(PORT_ERR_IO, ClosePort(0));
}

TEST(PortOpen, FromRecord) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    PortRecord record = {};
    snprintf(record.portName, sizeof record.portName, "%s", pty.name);
    record.lineParams = kLine;
    record.portFlags = PORT_FLAGS_COLD_START;
    PortHandle port = OpenPortRecord(&record);
    ASSERT_NE(0u, port);
    EXPECT_EQ(0u, OpenPortRecord(&record)); // held: the code is not passed on, only no handle
    EXPECT_EQ(PORT_OK, ClosePort(port));

    // A name filling all 12 characters without a terminator is cut to 11 and does not exist.
    memcpy(record.portName, "ttyKESTA1234", 12);
    EXPECT_EQ(0u, OpenPortRecord(&record));
}

TEST(PortNullLine, AcceptsWritesDeliversNothing) {
    PortHandle port = 0;
    ASSERT_EQ(PORT_OK, OpenPort("NUL", &kLine, PORT_FLAGS_COLD_START, &port));
    ASSERT_NE(0u, port);

    uint32_t count = 0;
    EXPECT_EQ(PORT_OK, WritePort(port, "\x01\x02\x03\x04\x05", 5, &count));
    EXPECT_EQ(5u, count);
    uint8_t buffer[8];
    count = 99;
    EXPECT_EQ(PORT_ERR_IO, ReadPort(port, buffer, sizeof buffer, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0u, SetTimeout(port, 50));

    PortTrace trace = {};
    PortSetTrace(&trace);
    EXPECT_EQ(PORT_OK, Purge(port)); // the queue cannot be asked: one empty read
    PortSetTrace(nullptr);
    EXPECT_EQ(1u, trace.reads);
    EXPECT_EQ(0u, trace.counts[0]);
    EXPECT_EQ(0u, trace.timeoutWrites);

    uint32_t waiting = 0;
    EXPECT_NE(0, PortInputQueue(port, &waiting));
    EXPECT_EQ(PORT_OK, ClosePort(port));

    // "NUL" is the null line by its exact name only.
    EXPECT_EQ(PORT_ERR_OPEN, OpenPort("nul", &kLine, PORT_FLAGS_COLD_START, &port));
}

} // namespace
