// Instance blocks of any contents, as hosts hand them over: never cleared (0xCD of a debug heap, 0xEE),
// random bytes, the block of a run that ended, and the memory of a running block that the host dropped
// without EndKvi and handed over again. Nothing in such a block is the driver's: every call gets a clear
// result, the first cold start starts cleanly, and a block that really runs is still ended first.
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>

#include "host/instances.h"
#include "robustness.h"
#include "serial/port.h"
#include "serial/transport.h"

namespace {

const char kRestarted[] = "KESTA> ColdStart() instance still running: ended before it starts again";

enum class Block { Zeros, FilledCD, FilledEE, Random, EndedRun, DroppedRun };

struct BlockCase {
    const char *name;
    Block block;
};

const BlockCase kBlocks[] = {
    {"Zeros", Block::Zeros},   {"FilledCD", Block::FilledCD}, {"FilledEE", Block::FilledEE},
    {"Random", Block::Random}, {"EndedRun", Block::EndedRun}, {"DroppedRun", Block::DroppedRun},
};

void PrintTo(const BlockCase &c, std::ostream *out) { *out << c.name; }

// A single 16-bit gate's value: the second half of its cell, in host order.
int16_t SecondHalf(const uint8_t *cell) {
    int16_t value = 0;
    memcpy(&value, cell + 2, sizeof value);
    return value;
}

class InstanceBlocks : public ::testing::TestWithParam<BlockCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(f.ok()) << f.error();
        kesta::sim::Station &s = f.station(2);
        s.addObject(kesta::sim::ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 1234));
        s.addObject(kesta::sim::ObjectSpec::Scalar("a]b[3]", kesta::sim::kTypeInt16, 77));
        ASSERT_TRUE(f.StartLine()) << f.error();
    }
    void TearDown() override { robustness::ReleaseLists(f.instance()); }

    // The block as the case hands it over. A run that ended or was dropped first runs for real.
    void HandOver(Block block) {
        DriverInstance &b = f.instance();
        switch (block) {
        case Block::Zeros: memset(&b, 0, sizeof b); break;
        case Block::FilledCD: memset(&b, 0xCD, sizeof b); break;
        case Block::FilledEE: memset(&b, 0xEE, sizeof b); break;
        case Block::Random: {
            std::mt19937 random(20261208);
            uint8_t *bytes = reinterpret_cast<uint8_t *>(&b);
            for (size_t i = 0; i < sizeof b; ++i) {
                bytes[i] = static_cast<uint8_t>(random());
            }
            break;
        }
        case Block::EndedRun:
        case Block::DroppedRun:
            memset(&b, 0xCD, sizeof b);
            ASSERT_EQ(0u, f.ColdStart(20));
            ASSERT_EQ(0u, f.Parse(gate, "002speed", GATE_SIGNED16));
            if (block == Block::EndedRun) {
                ASSERT_EQ(0u, f.End());
            } else {
                // The host forgets the run and allocates the same memory again, uncleared: the port
                // and mutex of the dropped run are still the driver's to give back. Its lists cannot be
                // told from the block any more and stay where they are, as at the end of a process.
                robustness::HoldListHeads(b);
                memset(&b, 0xCD, sizeof b);
            }
            break;
        }
        f.ClearMessages();
    }

    DriverFixture f;
    DriverFixture::Gate gate;
};

// Before any cold start of this block, every code answers clearly and touches nothing it finds there.
TEST_P(InstanceBlocks, EveryCodeBeforeTheColdStartGetsAClearResult) {
    const BlockCase &c = GetParam();
    HandOver(c.block);
    const bool ended = c.block == Block::EndedRun;
    uint8_t cell[4] = {1, 2, 3, 4};
    GateAddressRW rw{};
    rw.addressString = "002speed";
    rw.station = 2;
    rw.typeCode = 2;
    rw.elementBits = 16;
    rw.elementCount = 1;
    rw.valueCell = cell;
    GateAddressParse parse{};
    parse.addressString = "002speed";
    parse.gateType = GATE_SIGNED16;

    for (uint32_t code : {2u, 3u, 4u}) {
        EXPECT_EQ(1u, f.Call(code, &parse)) << "code " << code;
    }
    // Reads of an ended block are answered at once; of any other block the driver does not run, refused.
    EXPECT_EQ(ended ? 0u : 1u, f.Call(KVI_SINGLE_READ, &rw));
    EXPECT_EQ(ended ? 0u : 1u, f.Call(KVI_BLOCK_READ, &rw));
    EXPECT_EQ(1u, f.Call(KVI_SINGLE_WRITE, &rw));
    EXPECT_EQ(1u, f.Call(KVI_BLOCK_WRITE, &rw));
    EXPECT_EQ(0u, f.Call(KVI_CLOSE_COM));
    EXPECT_EQ(1, cell[0]);
    EXPECT_EQ(4, cell[3]);
    // Each mutex code said why it was refused; nothing else reached the host but BlockWrite's trace.
    EXPECT_EQ(f.Texts(32).size(), ended ? 3u : 5u);
    EXPECT_EQ(0u, f.Count("KESTA> DoRead() Net2000 not initialised!"));
    EXPECT_EQ(0u, f.Call(KVI_END));
    EXPECT_EQ(0u, dsf_ra_holders()) << "a dropped run's hold on the stack is the driver's to give back";
}

// The first cold start of the block starts cleanly: no notice but for a run that really was running,
// and the line works. The dropped run's port was closed from the driver's own record, or the exclusive
// open of the same device would fail.
TEST_P(InstanceBlocks, TheColdStartStartsCleanlyAndTheLineWorks) {
    const BlockCase &c = GetParam();
    HandOver(c.block);
    ASSERT_EQ(0u, f.ColdStart(20)) << c.name;
    EXPECT_EQ(c.block == Block::DroppedRun ? 1u : 0u, f.Count(kRestarted));
    EXPECT_EQ(1u, dsf_ra_holders());
    EXPECT_EQ(nullptr, f.instance().ObjectList);
    EXPECT_EQ(0u, uint32_t{f.instance().sampleCount});

    ASSERT_EQ(0u, f.Parse(gate, "002speed", GATE_SIGNED16));
    ASSERT_EQ(0u, f.Read(gate));
    EXPECT_EQ(1234, SecondHalf(gate.cell));
    EXPECT_EQ(0u, f.End());
    EXPECT_EQ(0u, dsf_ra_holders());
}

INSTANTIATE_TEST_SUITE_P(Kinds, InstanceBlocks, ::testing::ValuesIn(kBlocks),
                         [](const ::testing::TestParamInfo<BlockCase> &c) { return std::string(c.param.name); });

// A retry after a cold start that could not open its port (another program held it) is the host's
// ordinary next step: the failed run is ended without the notice of a restarted instance.
TEST(ColdStartRetry, AfterThePortWasInUseStartsWithoutANotice) {
    DriverFixture f;
    ASSERT_TRUE(f.ok()) << f.error();
    f.station(2).addObject(kesta::sim::ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 5));
    ASSERT_TRUE(f.StartLine()) << f.error();
    PortHandle holder = 0;
    const LineParams params{57600, 8, 0, 1};
    ASSERT_EQ(PORT_OK, OpenPort(f.sim().portName().c_str(), &params, PORT_FLAGS_COLD_START, &holder));

    EXPECT_EQ(2u, f.ColdStart(20));
    EXPECT_TRUE(f.Logged("KESTA>Failed to open com port " + f.sim().portName()));
    const MutexHandle failedRunMutex = f.instance().mutex;
    EXPECT_EQ(2u, f.ColdStart(20)); // still in use: a second retry, no notice either
    ASSERT_EQ(PORT_OK, ClosePort(holder));
    f.ClearMessages();

    ASSERT_EQ(0u, f.ColdStart(20));
    EXPECT_EQ(0u, f.Count(kRestarted));
    EXPECT_EQ(PLAT_WAIT_FAILED, plat_mutex_wait(failedRunMutex, 0)); // the failed run's mutex is closed
    DriverFixture::Gate gate;
    ASSERT_EQ(0u, f.Parse(gate, "002speed", GATE_SIGNED16));
    EXPECT_EQ(0u, f.Read(gate));
    robustness::ReleaseLists(f.instance());
}

// An address whose first ']' comes before its first '[' has no index digits to check: its index is 0
// and the whole name, brackets and all, is looked up as it stands.
TEST(AddressSyntax, ACloseBracketBeforeTheOpenOneIsLookedUpAsItStands) {
    DriverFixture f;
    ASSERT_TRUE(f.ok()) << f.error();
    f.station(2).addObject(kesta::sim::ObjectSpec::Scalar("a]b[3]", kesta::sim::kTypeInt16, 77));
    ASSERT_EQ(0u, f.ColdStart(20));
    DriverFixture::Gate gate;
    ASSERT_EQ(0u, f.Parse(gate, "002a]b[3]", GATE_SIGNED16)) << ::testing::PrintToString(f.Texts());
    EXPECT_EQ(0, gate.parse.offset);
    EXPECT_EQ(2u, gate.parse.typeCode);
    ASSERT_EQ(0u, f.Read(gate));
    EXPECT_EQ(77, SecondHalf(gate.cell));
    robustness::ReleaseLists(f.instance());
}

} // namespace
