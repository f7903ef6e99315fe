// One whole life of an instance, as a host lives it: cold start, parse every kind of gate, read and
// write them, EndKvi. The block lives in static storage, as a host keeps it, and the object lists that
// hang from it live until the process ends: they are counted here, held where a leak checker sees them
// (robustness.h), and shown as still reachable by valgrind (tools/test-all.sh leak). LeakSanitizer in
// ASan builds and valgrind must find nothing else lost.
#include <stdio.h>

#include <string>

#include "robustness.h"
#include "serial/transport.h"
#include "support/instance_block.h"

namespace {

using robustness::CountLists;
using robustness::LeaksFound;
using robustness::ListCount;

DriverInstance g_block; // filled as the host hands it over (PrepareHostBlock) before the first cold start

class LeakCycle : public ::testing::Test {
protected:
    void SetUp() override {
        static bool handedOver = false; // one block for every test, as one host keeps it
        if (!handedOver) {
            PrepareHostBlock(&g_block);
            handedOver = true;
        }
        ASSERT_TRUE(f.ok()) << f.error();
        kesta::sim::Station &s = f.station(2);
        s.addObject(kesta::sim::ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 1234));
        s.addObject(kesta::sim::ObjectSpec::Scalar("total", kesta::sim::kTypeUint32, 70000));
        s.addObject(
            kesta::sim::ObjectSpec::Array("table", kesta::sim::kTypeUint16, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        s.addSampleStructure("data");
        s.queueRecord("data", kesta::sim::MessageRecord(26, 12, 2001, 14, 30, 45, 5, 7, true));
        ASSERT_TRUE(f.StartLine()) << f.error();
    }

    uint32_t Call(uint32_t code, void *record) {
        DriverCall call{};
        call.instance = &g_block;
        call.functionCode = code;
        call.driverNumber = f.driverNumber();
        call.argRecord = record;
        return KviMain(&call);
    }

    uint32_t ColdStart(const char *init) {
        f.WriteInitFile(init);
        PortConfig config{};
        snprintf(config.portName, sizeof config.portName, "%s", f.sim().portName().c_str());
        config.usePort = 1;
        config.timeout = 20;
        config.lineParams = LineParams{57600, 8, 0, 1};
        return Call(KVI_COLD_START, &config);
    }

    uint32_t Parse(GateAddressParse &record, const char *address, uint32_t gateType, bool block = false,
                   uint32_t blockLength = 0) {
        memset(&record, 0, sizeof record);
        record.addressString = address;
        record.gateType = gateType;
        record.blockLength = blockLength;
        return Call(block ? KVI_BLOCK_ADDRESS_PARSER : KVI_SINGLE_ADDRESS_PARSER, &record);
    }

    static GateAddressRW ForReading(const GateAddressParse &parsed, void *cell, uint32_t count) {
        GateAddressRW rw{};
        rw.addressString = parsed.addressString;
        rw.station = parsed.station;
        rw.typeCode = parsed.typeCode;
        rw.offset = parsed.offset;
        rw.toggleHandle = parsed.toggleHandle;
        rw.elementBits = parsed.elementBits;
        rw.elementCount = count;
        rw.valueCell = cell;
        return rw;
    }

    // Cold start, every kind of parse, reads, writes, EndKvi. Returns the lists the run left.
    ListCount Cycle() {
        EXPECT_EQ(0u, ColdStart("NUM_OF_SLAVES = 2\nEWT_DELAY_BETWEEN_RECORDS = 0\n"));
        GateAddressParse speed, total, table, element, sample, stamp, unknown;
        EXPECT_EQ(0u, Parse(speed, "002speed", GATE_SIGNED16));
        EXPECT_EQ(0u, Parse(total, "002total", GATE_UNSIGNED32));
        EXPECT_EQ(0u, Parse(table, "002table", GATE_UNSIGNED16, true, 10));
        EXPECT_EQ(0u, Parse(element, "002table[4]", GATE_UNSIGNED16));
        EXPECT_EQ(0u, Parse(sample, "002_Mdata", GATE_UNSIGNED32));
        EXPECT_EQ(0u, Parse(stamp, "002_M005_007", GATE_DIGITAL));
        EXPECT_EQ(1u, Parse(unknown, "002nosuch", GATE_SIGNED16));
        EXPECT_EQ(1u, Parse(speed, "002speed", GATE_FLOAT)); // registered again, then refused

        uint8_t cell[4] = {};
        uint16_t block[10] = {};
        GateAddressRW rw = ForReading(speed, cell, 1);
        EXPECT_EQ(0u, Call(KVI_SINGLE_READ, &rw));
        rw = ForReading(total, cell, 1);
        EXPECT_EQ(0u, Call(KVI_SINGLE_READ, &rw));
        rw = ForReading(table, block, 10);
        EXPECT_EQ(0u, Call(KVI_BLOCK_READ, &rw));
        rw = ForReading(element, cell, 1);
        EXPECT_EQ(0u, Call(KVI_SINGLE_READ, &rw));
        rw = ForReading(sample, cell, 1);
        EXPECT_EQ(0u, Call(KVI_SINGLE_READ, &rw));
        const uint8_t value[4] = {0, 0, 0x39, 0x05};
        memcpy(cell, value, sizeof cell);
        rw = ForReading(speed, cell, 1);
        EXPECT_EQ(0u, Call(KVI_SINGLE_WRITE, &rw));
        EXPECT_EQ(1337, f.station(2).value("speed"));
        const ListCount lists = CountLists(g_block);
        EXPECT_EQ(0u, Call(KVI_END, nullptr));
        EXPECT_EQ(0u, dsf_ra_holders());
        robustness::HoldListHeads(g_block); // kept until the process ends, where a checker sees them
        return lists;
    }

    DriverFixture f;
};

TEST_F(LeakCycle, ColdStartParseReadWriteEndLosesNothing) {
    const ListCount lists = Cycle();
    // The lists of this block: speed, total, table, table[4], nosuch is not registered; the table's
    // area is the one used area.
    EXPECT_EQ(4u, lists.objects);
    EXPECT_EQ(1u, lists.areas);
    printf("lists kept with the instance block until the process ends: %zu object entries, %zu used areas, "
           "%zu bytes\n",
           lists.objects, lists.areas, lists.bytes);
    EXPECT_FALSE(LeaksFound(g_block));
}

// A second life of the same block gives the first one's lists back; memory does not grow per run.
TEST_F(LeakCycle, ASecondLifeOfTheBlockLosesNothing) {
    Cycle();
    f.station(2).queueRecord("data", kesta::sim::MessageRecord(26, 12, 2001, 14, 31, 0, 5, 7, false));
    const ListCount second = Cycle();
    EXPECT_EQ(4u, second.objects);
    EXPECT_FALSE(LeaksFound(g_block));
}

// A stack that refuses its station count is given back at once.
TEST_F(LeakCycle, AColdStartWhoseStackIsRefusedLosesNothing) {
    EXPECT_EQ(2u, ColdStart("NUM_OF_SLAVES = 0\n"));
    EXPECT_TRUE(f.Logged("KESTA> ColdStart() Failure opening dsf!, rc 2"));
    EXPECT_EQ(0u, Call(KVI_END, nullptr));
    EXPECT_FALSE(LeaksFound(g_block));
}

} // namespace
