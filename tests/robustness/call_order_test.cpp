// Calls in any order on a block the host zero-filled: before the first cold start, twice in a row,
// after the end. Each gets its result and, where the driver refuses, its reason; the instance stays
// usable after any of them, and nothing is lost on the way.
#include <random>
#include <string>

#include "robustness.h"
#include "serial/transport.h"

namespace {

using robustness::Field;
using robustness::HostTest;
using robustness::LeaksFound;

const char kWaitFailed[] = "KESTA> ReqSem() ERROR requesting MUTEX semaphore";

class CallOrder : public HostTest {
protected:
    GateAddressRW ReadRecord(uint8_t *cell) {
        GateAddressRW rw{};
        rw.addressString = "002speed";
        rw.station = 2;
        rw.typeCode = 2;
        rw.toggleHandle = -1;
        rw.elementBits = 16;
        rw.elementCount = 1;
        rw.valueCell = cell;
        return rw;
    }

    // Parse, read and write on the instance as it is now: the proof that it is usable.
    void ExpectUsable() {
        DriverFixture::Gate speed;
        ASSERT_EQ(0u, f.Parse(speed, "002speed", GATE_SIGNED16)) << Said();
        f.station(2).setValue("speed", 77);
        ASSERT_EQ(0u, f.Read(speed)) << Said();
        EXPECT_EQ(77, speed.cell[2] | speed.cell[3] << 8);
        const uint8_t cell[4] = {0, 0, 0x39, 0x05}; // 0x0539 in the second half
        ASSERT_EQ(0u, f.Write(speed, cell)) << Said();
        EXPECT_EQ(0x0539, f.station(2).value("speed"));
    }
};

TEST_F(CallOrder, EveryCodeBeforeTheFirstColdStart) {
    struct Row {
        uint32_t code;
        uint32_t result;
        const char *message;
    };
    // The block is zero-filled: no mutex, no port, no stack.
    const Row rows[] = {
        {KVI_WARM_START, 1, kWaitFailed},
        {KVI_SINGLE_ADDRESS_PARSER, 1, kWaitFailed},
        {KVI_BLOCK_ADDRESS_PARSER, 1, kWaitFailed},
        {KVI_SINGLE_READ, 1, kWaitFailed},
        {KVI_BLOCK_READ, 1, kWaitFailed},
        {KVI_SINGLE_WRITE, 1, ""}, // the port is closed: refused without a word
        {KVI_BLOCK_WRITE, 1, "KESTA> BlockWrite() NOT supported"},
        {KVI_CLOSE_COM, 0, ""},  // nothing to close
        {KVI_REOPEN_COM, 2, ""}, // no port was ever named
        {KVI_END, 0, ""},
    };
    uint8_t cell[4] = {1, 2, 3, 4};
    GateAddressParse parse{};
    parse.addressString = "002speed";
    parse.gateType = GATE_SIGNED16;
    for (const Row &row : rows) {
        f.ClearMessages();
        GateAddressRW rw = ReadRecord(cell);
        void *record = row.code == KVI_SINGLE_ADDRESS_PARSER || row.code == KVI_BLOCK_ADDRESS_PARSER
                           ? static_cast<void *>(&parse)
                           : static_cast<void *>(&rw);
        EXPECT_EQ(row.result, Call(row.code, record)) << "code " << row.code << Said();
        if (row.message[0] != '\0') {
            EXPECT_TRUE(SaidSomething(row.message)) << "code " << row.code << Said();
        }
        EXPECT_EQ(1, cell[0]);
        EXPECT_EQ(4, cell[3]);
    }
    // EndKvi came last; reads are now answered at once. A cold start brings the block up all the same.
    Start();
    ExpectUsable();
}

TEST_F(CallOrder, ChangeKviParamsBeforeTheFirstColdStart) {
    ASSERT_TRUE(f.StartLine());
    ParamChange change;
    memset(&change, 0, sizeof change);
    snprintf(change.portName, sizeof change.portName, "%s", f.sim().portName().c_str());
    change.timeout = 20;
    change.lineParams = LineParams{57600, 8, 0, 1};
    EXPECT_EQ(0u, Call(KVI_CHANGE_PARAMS, &change)) << Said();
    uint8_t cell[4] = {};
    GateAddressRW rw = ReadRecord(cell);
    // A port, but no run: nothing else in the block is the driver's, so neither call goes further.
    EXPECT_EQ(1u, Call(KVI_SINGLE_READ, &rw)); // no mutex
    EXPECT_EQ(1u, Call(KVI_SINGLE_WRITE, &rw));
    EXPECT_FALSE(f.Logged("KESTA> DoRead() Net2000 not initialised!")) << Said();
    // The cold start takes the line over from the port the change opened.
    Start();
    ExpectUsable();
}

TEST_F(CallOrder, ColdStartTwiceGivesAClearResultLosesNothingAndRuns) {
    Start();
    DriverFixture::Gate speed;
    DriverFixture::Gate table;
    ASSERT_EQ(0u, f.Parse(speed, "002speed", GATE_SIGNED16));
    ASSERT_EQ(0u, f.Parse(table, "002table", GATE_UNSIGNED16, true, 10));
    EXPECT_EQ(0u, f.ColdStart(20));
    EXPECT_EQ(1u, dsf_ra_holders());
    EXPECT_EQ(nullptr, f.instance().ObjectList); // the host parses its gates again
    EXPECT_FALSE(LeaksFound(f.instance()));
    ExpectUsable();
}

TEST_F(CallOrder, EndKviTwiceClosesOnceAndAColdStartAfterItLosesNothing) {
    Start();
    DriverFixture::Gate speed;
    ASSERT_EQ(0u, f.Parse(speed, "002speed", GATE_SIGNED16));
    EXPECT_EQ(0u, f.End());
    EXPECT_EQ(0u, f.End());
    EXPECT_EQ(0u, dsf_ra_holders());
    EXPECT_EQ(0u, Field(f.instance().portHandle));

    // After the end: reads are answered at once, the other line codes are refused.
    f.ClearMessages();
    EXPECT_EQ(0u, f.Read(speed));
    EXPECT_TRUE(f.Texts().empty()) << Said();
    EXPECT_EQ(1u, f.Write(speed, speed.cell));
    EXPECT_EQ(1u, f.Call(KVI_WARM_START));
    EXPECT_TRUE(SaidSomething(kWaitFailed)) << Said();

    // A new run of the same block: the ended run's gates are gone, and none of their memory leaks.
    Start();
    EXPECT_FALSE(LeaksFound(f.instance()));
    ExpectUsable();
}

// Three hundred calls of every code in an order drawn from a fixed seed, with proper records: each
// answers 0, 1 or 2, and after them all a cold start gives a working instance and nothing is lost.
TEST_F(CallOrder, ManyCallsInAnyOrder) {
    ASSERT_TRUE(f.StartLine());
    for (uint32_t seed : {1u, 2u, 3u}) {
        std::mt19937 pick(seed);
        DriverFixture::Gate speed;
        DriverFixture::Gate table;
        speed.address = "002speed";
        table.address = "002table";
        for (int call = 0; call < 100; ++call) {
            // Every code of the table; the line codes more often than the lifecycle ones, whose cold
            // start waits half a second for an echo.
            static const uint32_t codes[] = {1, 2, 2,  3,  3,  3,  4,  4,  5,  5,  5,  5,  5, 6, 6, 6, 7, 7, 7, 7,
                                             8, 9, 10, 11, 12, 12, 13, 13, 14, 15, 15, 16, 3, 5, 6, 7, 5, 4, 2, 14};
            const uint32_t code = codes[pick() % (sizeof codes / sizeof codes[0])];
            uint32_t rc = 0;
            switch (code) {
            case KVI_COLD_START: rc = f.ColdStart(5); break;
            case KVI_SINGLE_ADDRESS_PARSER: rc = f.Parse(speed, "002speed", GATE_SIGNED16); break;
            case KVI_BLOCK_ADDRESS_PARSER: rc = f.Parse(table, "002table", GATE_UNSIGNED16, true, 10); break;
            case KVI_SINGLE_READ:
                speed.rw.addressString = speed.address.c_str();
                rc = f.Read(speed);
                break;
            case KVI_BLOCK_READ:
                table.rw.addressString = table.address.c_str();
                rc = f.Read(table, true, 10);
                break;
            case KVI_SINGLE_WRITE: {
                const uint8_t cell[4] = {0, 0, static_cast<uint8_t>(call), 0};
                speed.rw.addressString = speed.address.c_str();
                rc = f.Write(speed, cell);
                break;
            }
            case KVI_GET_INFO: {
                DriverInfo info{};
                rc = f.Call(code, &info);
                break;
            }
            case KVI_CHANGE_PARAMS: {
                ParamChange change{};
                snprintf(change.portName, sizeof change.portName, "%s",
                         pick() % 2 ? f.sim().portName().c_str() : "nonexist");
                change.timeout = pick() % 2 ? -1 : 5;
                change.lineParams = LineParams{57600, 8, 0, 1};
                rc = f.Call(code, &change);
                break;
            }
            default: rc = f.Call(code, nullptr); break;
            }
            EXPECT_LE(rc, 2u) << "seed " << seed << " call " << call << " code " << code;
        }
        f.End();
        f.ClearMessages();
        Start();
        ExpectUsable();
        EXPECT_FALSE(LeaksFound(f.instance())) << "seed " << seed;
        f.End();
    }
}

TEST_F(CallOrder, UnknownCodesAnswerTwoWhateverTheState) {
    for (int started = 0; started < 2; ++started) {
        if (started) {
            Start();
        }
        for (uint32_t code : {0u, 8u, 9u, 16u, 17u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            EXPECT_EQ(2u, Call(code, nullptr)) << "code " << code;
        }
    }
    EXPECT_EQ(2u, KviMain(nullptr));
    ExpectUsable();
}

} // namespace
