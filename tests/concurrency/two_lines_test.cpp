// Two driver instances in one process, each on a line of its own: the stack and the transport are
// the library's, the lines are the instances'. Each line also carries a decoy station under the other
// line's station address, holding the object under the same name and handle with another value, so
// that a request that goes out on the wrong line shows as a wrong value, not only as a time-out.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/system.h"
#include "serial/link_counters.h"
#include "serial/port.h"
#include "serial/transport.h"
#include "driver_line.h"

namespace {

using concurrency::CountMasterFrames;
using concurrency::DriverLine;
using concurrency::MasterFrames;
using kesta::sim::kTypeInt32;
using kesta::sim::ObjectSpec;

const char kRestarted[] = "KESTA> ColdStart() instance still running: ended before it starts again";

class TwoLines : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(a.ok()) << a.error();
        ASSERT_TRUE(b.ok()) << b.error();
        a.station(2).addObject(ObjectSpec::Scalar("speed", kTypeInt32, 1000));
        a.station(3).addObject(ObjectSpec::Scalar("speed", kTypeInt32, -3)); // decoy
        b.station(3).addObject(ObjectSpec::Scalar("speed", kTypeInt32, 2000));
        b.station(2).addObject(ObjectSpec::Scalar("speed", kTypeInt32, -2)); // decoy
        // The stack is made by the first cold start: its station entries must cover both lines.
        a.WriteInitFile("NUM_OF_SLAVES = 2\n");
        b.WriteInitFile("NUM_OF_SLAVES = 2\n");
    }

    void StartBoth() {
        ASSERT_EQ(0u, a.ColdStart(20));
        ASSERT_EQ(0u, b.ColdStart(20));
        ASSERT_EQ(2u, dsf_ra_holders());
        ASSERT_EQ(0u, a.Parse(gateA, "002speed"));
        ASSERT_EQ(0u, b.Parse(gateB, "003speed"));
    }

    // n rounds on one line: the station changes the value and the driver reads it, or the driver
    // writes a value and reads it back. Returns the rounds that failed or gave a wrong value.
    static int Poll(DriverLine &line, DriverFixture::Gate &gate, uint8_t address, int32_t base, int n) {
        int wrong = 0;
        for (int i = 0; i < n; ++i) {
            const int32_t value = base + i;
            if (i % 2 == 0) {
                line.station(address).setValue("speed", value);
            } else if (line.Write(gate, value) != 0 || line.station(address).value("speed") != value) {
                wrong++;
                continue;
            }
            int32_t got = 0;
            if (line.Read(gate, &got) != 0 || got != value)
                wrong++;
        }
        return wrong;
    }

    // The decoys never hear a frame, and every frame on a line goes to that line's own station.
    void ExpectEachLineCarriesOnlyItsOwnFrames() {
        const MasterFrames onA = CountMasterFrames(a.sim(), 2);
        const MasterFrames onB = CountMasterFrames(b.sim(), 3);
        EXPECT_GT(onA.total, 0u);
        EXPECT_GT(onB.total, 0u);
        EXPECT_EQ(0u, onA.elsewhere);
        EXPECT_EQ(0u, onB.elsewhere);
        EXPECT_EQ(0u, onA.invalid + onB.invalid);
        EXPECT_EQ(0u, a.station(3).stats().frames);
        EXPECT_EQ(0u, b.station(2).stats().frames);
    }

    // The port of an ended instance is closed: the device can be opened (exclusively) again.
    static bool DeviceFree(DriverLine &line) {
        PortHandle probe = 0;
        const LineParams params{57600, 8, 0, 1};
        if (OpenPort(line.sim().portName().c_str(), &params, PORT_FLAGS_COLD_START, &probe) != PORT_OK)
            return false;
        ClosePort(probe);
        return true;
    }

    DriverLine a;
    DriverLine b;
    DriverFixture::Gate gateA;
    DriverFixture::Gate gateB;
};

TEST_F(TwoLines, EachInstanceReadsAndWritesOnItsOwnLineFromItsOwnThread) {
    StartBoth();
    // B started last, so the driver-wide port is B's: A's exchanges must still go out on A's line.
    int32_t value = 0;
    ASSERT_EQ(0u, a.Read(gateA, &value));
    EXPECT_EQ(1000, value);
    ASSERT_EQ(0u, b.Read(gateB, &value));
    EXPECT_EQ(2000, value);

    std::atomic<int> wrongA(0);
    std::atomic<int> wrongB(0);
    std::thread threadA([&] { wrongA = Poll(a, gateA, 2, 100000, 300); });
    std::thread threadB([&] { wrongB = Poll(b, gateB, 3, 200000, 300); });
    threadA.join();
    threadB.join();
    EXPECT_EQ(0, wrongA.load());
    EXPECT_EQ(0, wrongB.load());
    ExpectEachLineCarriesOnlyItsOwnFrames();
}

TEST_F(TwoLines, EndingEitherInstanceLeavesTheOtherItsStackAndItsPort) {
    StartBoth();
    // B, whose port is the driver-wide one, ends first: only B's port is closed, the stack stays.
    const KestaHandle portA = a.instance().portHandle;
    EXPECT_EQ(0u, b.End());
    EXPECT_EQ(1u, dsf_ra_holders());
    EXPECT_TRUE(DeviceFree(b));
    EXPECT_FALSE(DeviceFree(a));
    EXPECT_EQ(portA, KestaHandle{a.instance().portHandle});
    EXPECT_EQ(0, Poll(a, gateA, 2, 300000, 40));

    // B comes back on the shared stack and connects its station again; then A ends first.
    ASSERT_EQ(0u, b.ColdStart(20));
    EXPECT_EQ(2u, dsf_ra_holders());
    ASSERT_EQ(0u, b.Parse(gateB, "003speed"));
    EXPECT_EQ(0, Poll(b, gateB, 3, 400000, 20));
    EXPECT_EQ(0u, a.End());
    EXPECT_EQ(1u, dsf_ra_holders());
    EXPECT_TRUE(DeviceFree(a));
    EXPECT_FALSE(DeviceFree(b));
    EXPECT_EQ(0, Poll(b, gateB, 3, 500000, 40));
    ExpectEachLineCarriesOnlyItsOwnFrames();

    EXPECT_EQ(0u, b.End());
    EXPECT_EQ(0u, dsf_ra_holders());
    EXPECT_TRUE(DeviceFree(b));
}

TEST_F(TwoLines, AColdStartOfARunningInstanceEndsItFirstAndTheOtherLineCarriesOn) {
    StartBoth();
    const MutexHandle oldMutex = a.instance().mutex;
    a.fixture().ClearMessages();

    // Without ending first, the port would stay held (the new open of the device fails) and the
    // instance would count twice on the stack.
    ASSERT_EQ(0u, a.ColdStart(20));
    EXPECT_EQ(1u, a.fixture().Count(kRestarted));
    EXPECT_EQ(2u, dsf_ra_holders());
    EXPECT_EQ(PLAT_WAIT_FAILED, plat_mutex_wait(oldMutex, 0)); // the old handle is closed
    EXPECT_EQ(0, Poll(b, gateB, 3, 600000, 20));

    // The new run connects its station again; both lines work as before.
    ASSERT_EQ(0u, a.Parse(gateA, "002speed"));
    EXPECT_EQ(0, Poll(a, gateA, 2, 700000, 20));
    EXPECT_EQ(0, Poll(b, gateB, 3, 800000, 20));
    ExpectEachLineCarriesOnlyItsOwnFrames();
}

// One line behind an echoing RS485 converter, the other without: each cold start's echo test decides
// for its own line only, whichever instance started last.
class TwoLinesOneEchoing : public TwoLines, public ::testing::WithParamInterface<bool> {};

TEST_P(TwoLinesOneEchoing, EachLineKeepsItsOwnEchoSetting) {
    const bool firstEchoes = GetParam();
    (firstEchoes ? a : b).sim().setEcho(true);
    StartBoth();
    EXPECT_EQ(firstEchoes ? 0 : 1, ReadLineState().echoFlag); // the driver-wide flag is the last cold start's
    ResetLinkCounters();

    std::atomic<int> wrongA(0);
    std::atomic<int> wrongB(0);
    std::thread threadA([&] { wrongA = Poll(a, gateA, 2, 900000, 200); });
    std::thread threadB([&] { wrongB = Poll(b, gateB, 3, 950000, 200); });
    threadA.join();
    threadB.join();
    EXPECT_EQ(0, wrongA.load());
    EXPECT_EQ(0, wrongB.load());
    // An echo taken for a reply would show as a frame to another address, a reply taken for an echo
    // as a retransmission.
    LinkCounters counters;
    ReadLinkCounters(&counters);
    EXPECT_EQ(0u, counters.linkErrors[0]);
    EXPECT_EQ(0u, counters.requestsFailed);
    ExpectEachLineCarriesOnlyItsOwnFrames();
}

INSTANTIATE_TEST_SUITE_P(EchoOnEitherLine, TwoLinesOneEchoing, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &param) {
                             return std::string(param.param ? "FirstLineEchoes" : "SecondLineEchoes");
                         });

// Each cold start reads its own init file and its line keeps what that file says, whatever another cold
// start running at the same moment reads: two instances cold-start again and again from two threads,
// one flushing before each send and one not, while a third instance reads on its own line.
TEST(ColdStartsAtOnce, EachLineKeepsItsOwnFlushBufferWhileAThirdReads) {
    DriverLine a;
    DriverLine b;
    DriverLine c;
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    c.station(4).addObject(ObjectSpec::Scalar("speed", kTypeInt32, 4000));
    c.WriteInitFile("NUM_OF_SLAVES = 3\n");
    a.WriteInitFile("NUM_OF_SLAVES = 3\nFLUSH_BUFFER = 1\n");
    b.WriteInitFile("NUM_OF_SLAVES = 3\nFLUSH_BUFFER = 0\n");
    ASSERT_EQ(0u, c.ColdStart(20));
    DriverFixture::Gate gateC;
    ASSERT_EQ(0u, c.Parse(gateC, "004speed"));

    std::atomic<bool> starting(true);
    std::atomic<int> readsFailed(0);
    std::atomic<int> reads(0);
    std::thread reader([&] {
        while (starting) {
            int32_t got = 0;
            if (c.Read(gateC, &got) != 0 || got != 4000)
                readsFailed++;
            reads++;
        }
    });
    for (int round = 0; round < 3; ++round) {
        std::atomic<uint32_t> rcA(99);
        std::atomic<uint32_t> rcB(99);
        std::thread startA([&] { rcA = a.ColdStart(20); });
        std::thread startB([&] { rcB = b.ColdStart(20); });
        startA.join();
        startB.join();
        EXPECT_EQ(0u, rcA.load());
        EXPECT_EQ(0u, rcB.load());
        EXPECT_EQ(1u, LineSettingsOf(&a.instance()).flush) << "round " << round;
        EXPECT_EQ(0u, LineSettingsOf(&b.instance()).flush) << "round " << round;
        EXPECT_EQ(0u, LineSettingsOf(&c.instance()).flush) << "round " << round;
    }
    starting = false;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(0, readsFailed.load());
}

TEST(ColdStartTwice, TheRunningInstanceIsEndedOnceAndTheNewRunWorks) {
    DriverLine line;
    ASSERT_TRUE(line.ok()) << line.error();
    line.station(2).addObject(ObjectSpec::Scalar("speed", kTypeInt32, 42));
    ASSERT_EQ(0u, line.ColdStart(20));
    DriverFixture::Gate gate;
    ASSERT_EQ(0u, line.Parse(gate, "002speed"));
    int32_t value = 0;
    ASSERT_EQ(0u, line.Read(gate, &value));
    EXPECT_EQ(42, value);

    for (int round = 0; round < 3; ++round) {
        const MutexHandle oldMutex = line.instance().mutex;
        line.fixture().ClearMessages();
        ASSERT_EQ(0u, line.ColdStart(20));
        EXPECT_EQ(1u, line.fixture().Count(kRestarted));
        EXPECT_EQ(1u, dsf_ra_holders());
        EXPECT_EQ(PLAT_WAIT_FAILED, plat_mutex_wait(oldMutex, 0));
        EXPECT_EQ(0u, uint32_t{line.instance().ending});
        EXPECT_EQ(1u, uint32_t{line.instance().dsfOpen});
        // The gates of the ended run are parsed again, as after any cold start.
        ASSERT_EQ(0u, line.Parse(gate, "002speed"));
        line.station(2).setValue("speed", 43 + round);
        ASSERT_EQ(0u, line.Read(gate, &value));
        EXPECT_EQ(43 + round, value);
    }
    EXPECT_EQ(0u, line.End());
    EXPECT_EQ(0u, dsf_ra_holders());
}

TEST(ColdStartTwice, AFirstColdStartAndOneAfterEndKviLogNoNotice) {
    DriverLine line;
    ASSERT_TRUE(line.ok()) << line.error();
    ASSERT_EQ(0u, line.ColdStart(20));
    EXPECT_EQ(0u, line.fixture().Count(kRestarted));
    EXPECT_EQ(0u, line.End());
    ASSERT_EQ(0u, line.ColdStart(20));
    EXPECT_EQ(0u, line.fixture().Count(kRestarted));
    EXPECT_EQ(1u, dsf_ra_holders());
}

} // namespace
