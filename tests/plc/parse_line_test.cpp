// Address parsing through KviMain against the station simulator: what reaches the line, what is
// registered, which offsets the gates get, how a silent station is retried.
#include "gate_line.h"

#include "plc/gates.h"

namespace {

using kesta::sim::kKindArray;
using kesta::sim::kKindStructure;
using kesta::sim::kTypeBool;
using kesta::sim::kTypeFloat;
using kesta::sim::kTypeInt16;
using kesta::sim::kTypeInt16b;
using kesta::sim::kTypeInt32;
using kesta::sim::kTypeUint16;
using kesta::sim::kTypeUint16b;
using kesta::sim::kTypeUint32;

class ParseLine : public GateLine {};

TEST_F(ParseLine, StationDigitsAndObjectNameStartAtTheFourthCharacter) {
    St(1).addObject(ObjectSpec::Scalar("var", kTypeInt16));
    St(1).addObject(ObjectSpec::Scalar("r", kTypeInt16));
    Start("MASTER_ADDRESS = 5\nNUM_OF_SLAVES = 2\n");
    DriverFixture::Gate full, shortened;
    EXPECT_EQ(0u, f.Parse(full, "001var", GATE_SIGNED16));
    EXPECT_EQ(0u, f.Parse(shortened, "1var", GATE_SIGNED16));
    EXPECT_EQ(full.parse.station, 1u);
    EXPECT_EQ(shortened.parse.station, 1u);
    EXPECT_EQ(Lookups(), (std::vector<std::string>{"var", "r"}));
    EXPECT_EQ(FindObjectHandle(&f.instance(), "001var"), St(1).handle("var"));
    EXPECT_EQ(FindObjectHandle(&f.instance(), "1var"), St(1).handle("r"));
    EXPECT_EQ(full.parse.typeCode, kTypeInt16);
    EXPECT_EQ(full.parse.elementBits, 16u);
    EXPECT_EQ(full.parse.toggleHandle, -1);
    EXPECT_TRUE(GateMessages().empty());
}

TEST_F(ParseLine, RefusalsOfTheSyntaxNeverReachTheLine) {
    // The messages of each case are checked without a line (address_syntax_test); here: no traffic.
    St(2).addObject(ObjectSpec::Array("arr", kTypeUint16, 8));
    Start();
    for (const char *address : {"256x", "001var", "002arr[1a]", "002arr[2", "002_X1"}) {
        DriverFixture::Gate gate;
        EXPECT_EQ(1u, f.Parse(gate, address, GATE_UNSIGNED16)) << address;
    }
    DriverFixture::Gate block, stamp;
    EXPECT_EQ(1u, f.Parse(block, "002arr[2]", GATE_UNSIGNED16, true, 4));
    EXPECT_EQ(0u, f.Parse(stamp, "002_M012_003", GATE_DIGITAL));
    EXPECT_EQ(stamp.parse.typeCode, EWTm);
    EXPECT_EQ(stamp.parse.elementBits, 1u);
    EXPECT_EQ(GateMessages().size(), 6u);
    EXPECT_EQ(MasterFrames(), 0u);
    EXPECT_EQ(Field(f.instance().StationTable[2]), nullptr);
    EXPECT_EQ(Field(f.instance().ObjectList), nullptr);
}

TEST_F(ParseLine, EmptyIndexIsZeroAndTheWholeNameIsLookedUp) {
    St(2).addObject(ObjectSpec::Scalar("arr[]", kTypeUint16));
    St(2).addObject(ObjectSpec::Array("tab", kTypeUint16, 8));
    Start();
    DriverFixture::Gate empty, element;
    EXPECT_EQ(0u, f.Parse(empty, "002arr[]", GATE_UNSIGNED16));
    EXPECT_EQ(empty.parse.offset, 0);
    EXPECT_EQ(0u, f.Parse(element, "002tab[3]", GATE_UNSIGNED16));
    // Its block was never parsed: the element takes the next free place of its area, here none yet.
    EXPECT_EQ(element.parse.offset, 0);
    EXPECT_EQ(element.parse.elementBits, 16u);
    EXPECT_EQ(Lookups(), (std::vector<std::string>{"arr[]", "tab[3]"}));
}

TEST_F(ParseLine, WrongShapeIsRefusedAfterRegistration) {
    St(2).addObject(ObjectSpec::Scalar("var", kTypeUint16));
    St(2).addObject(ObjectSpec::Array("arr", kTypeUint16, 4));
    Start();
    DriverFixture::Gate blockOnVariable, singleOnArray;
    EXPECT_EQ(1u, f.Parse(blockOnVariable, "002var", GATE_UNSIGNED16, true, 1));
    EXPECT_EQ(1u, f.Parse(singleOnArray, "002arr", GATE_UNSIGNED16));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> Parse() object var not an array, should not be block"},
                                      {32, "KESTA> Parse() object arr is array, should be block"}}));
    EXPECT_EQ(FindObjectHandle(&f.instance(), "002var"), St(2).handle("var"));
    EXPECT_EQ(FindObjectHandle(&f.instance(), "002arr"), St(2).handle("arr"));
    EXPECT_EQ(Field(f.instance().UsedAreaList), nullptr);
    EXPECT_EQ(Lookups(), (std::vector<std::string>{"var", "arr"}));
}

TEST_F(ParseLine, UnknownNameIsReportedWithTheLowByteOfItsStatus) {
    St(2).setUnknownStatus(2); // status 2 - 86 = 65452, low byte 172
    St(2).addSampleStructure("s12", kKindStructure);
    Start();
    DriverFixture::Gate plain, sample, toggle;
    EXPECT_EQ(1u, f.Parse(plain, "002nothing", GATE_UNSIGNED16));
    EXPECT_EQ(1u, f.Parse(sample, "002_Mnothing", GATE_UNSIGNED32));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> Parse() object name nothing not defined in PLC rc=172"},
                                      {32, "KESTA> Parse() object name nothing not defined in PLC rc= 172"}}));
    EXPECT_EQ(Field(f.instance().ObjectList), nullptr);
}

// ---- Types ---------------------------------------------------------------------------------------

TEST_F(ParseLine, EveryPlcDataTypeWithItsHostType) {
    // Each PLC type with the host type it needs, and the element size from the object's length (every
    // mismatch and its message is checked without a line, in address_syntax_test).
    struct Row {
        const char *name;
        uint16_t dataType;
        uint32_t bits;
        uint32_t gateType;
    };
    const Row rows[] = {
        {"b", kTypeBool, 8, GATE_DIGITAL},       {"i", kTypeInt16, 16, GATE_SIGNED16},
        {"j", kTypeInt16b, 16, GATE_SIGNED16},   {"l", kTypeInt32, 32, GATE_SIGNED32},
        {"u", kTypeUint16, 16, GATE_UNSIGNED16}, {"v", kTypeUint16b, 16, GATE_UNSIGNED16},
        {"w", kTypeUint32, 32, GATE_UNSIGNED32}, {"r", kTypeFloat, 32, GATE_FLOAT},
    };
    for (const Row &row : rows)
        St(2).addObject(ObjectSpec::Scalar(row.name, row.dataType));
    ObjectSpec odd; // a data type the driver does not know, 3 bytes
    odd.name = "odd";
    odd.dataType = 20;
    odd.elementLength = 3;
    St(2).addObject(odd);
    Start();

    for (const Row &row : rows) {
        DriverFixture::Gate gate;
        EXPECT_EQ(0u, f.Parse(gate, std::string("002") + row.name, row.gateType)) << row.name;
        EXPECT_EQ(gate.parse.typeCode, row.dataType);
        EXPECT_EQ(gate.parse.elementBits, row.bits);
    }
    DriverFixture::Gate wrong, anyType, text;
    EXPECT_EQ(1u, f.Parse(wrong, "002l", GATE_UNSIGNED32));
    EXPECT_EQ(0u, f.Parse(anyType, "002odd", 2));
    EXPECT_EQ(anyType.parse.elementBits, 24u);
    EXPECT_EQ(1u, f.Parse(text, "002odd", GATE_STRING));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> SingleParse() gate 002l, mem. type 4 must be SIGNED 32"},
                                      {32, "KESTA> SingleParse() gate 002odd, no STRING gates supported"}}));
}

// ---- Offsets -------------------------------------------------------------------------------------

TEST_F(ParseLine, OffsetsInsideTheUsedArea) {
    St(2).addObject(ObjectSpec::Array("a", kTypeUint16, 10));
    St(2).addObject(ObjectSpec::Array("b", kTypeUint16, 5));
    St(2).addObject(ObjectSpec::Scalar("s", kTypeUint16));
    St(2).addObject(ObjectSpec::Array("bytes", kTypeBool, 4));
    Start();
    DriverFixture::Gate a, b, s, element, other;
    EXPECT_EQ(0u, f.Parse(a, "002a", GATE_UNSIGNED16, true, 10));
    EXPECT_EQ(0u, f.Parse(b, "002b", GATE_UNSIGNED16, true, 5));
    EXPECT_EQ(0u, f.Parse(s, "002s", GATE_UNSIGNED16));
    EXPECT_EQ(0u, f.Parse(element, "002b[3]", GATE_UNSIGNED16));
    EXPECT_EQ(0u, f.Parse(other, "002bytes", GATE_DIGITAL, true, 4));
    EXPECT_EQ(a.parse.offset, 0);
    EXPECT_EQ(b.parse.offset, 10);
    EXPECT_EQ(s.parse.offset, 15);
    EXPECT_EQ(element.parse.offset, 13);
    EXPECT_EQ(other.parse.offset, 0); // another element size and type: another area
    EXPECT_EQ(FindUsedArea(&f.instance(), 16, kTypeUint16, 2)->nextOffset, 16);
    EXPECT_EQ(b.parse.elementBits, 16u);
    EXPECT_EQ(b.parse.toggleHandle, -1);
    EXPECT_TRUE(GateMessages().empty());
}

TEST_F(ParseLine, BlockParserTakesUnderscoreNamesAsOrdinaryObjects) {
    St(2).addObject(ObjectSpec::Array("_Mdata", kTypeUint16, 3));
    Start();
    DriverFixture::Gate block;
    EXPECT_EQ(0u, f.Parse(block, "002_Mdata", GATE_UNSIGNED16, true, 3));
    EXPECT_EQ(block.parse.typeCode, kTypeUint16);
    EXPECT_EQ(Lookups(), (std::vector<std::string>{"_Mdata"}));
}

// ---- Sample gates --------------------------------------------------------------------------------

TEST_F(ParseLine, SampleGateLooksUpTheStructureAndItsToggle) {
    St(2).addSampleStructure("data", kKindStructure);
    Start();
    DriverFixture::Gate gate;
    EXPECT_EQ(0u, f.Parse(gate, "002_Vdata", GATE_UNSIGNED32));
    EXPECT_EQ(Lookups(), (std::vector<std::string>{"data", "data.toggle"}));
    EXPECT_EQ(gate.parse.typeCode, EWTV);
    EXPECT_EQ(gate.parse.offset, St(2).handle("data"));
    EXPECT_EQ(gate.parse.toggleHandle, St(2).handle("data.toggle"));
    EXPECT_EQ(gate.parse.elementBits, 16u);
    EXPECT_EQ(Field(f.instance().ObjectList), nullptr); // sample gates are never registered

    DriverFixture::Gate wrongType;
    f.ClearMessages();
    EXPECT_EQ(1u, f.Parse(wrongType, "002_Mdata", GATE_UNSIGNED16));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> SingleParse() '002_Mdata', sample gate must be UNSIGNED32"}}));
}

TEST_F(ParseLine, SampleGateStructureChecks) {
    St(2).addObject(ObjectSpec::Scalar("plain", kTypeUint16));
    ObjectSpec ten;
    ten.name = "ten";
    ten.kind = kKindStructure;
    ten.elementLength = 10;
    St(2).addObject(ten);
    ObjectSpec twelve = ten; // twelve bytes but no ".toggle"
    twelve.name = "twelve";
    twelve.kind = 3;
    twelve.elementLength = 12;
    St(2).addObject(twelve);
    Start();
    DriverFixture::Gate a, b, c;
    EXPECT_EQ(1u, f.Parse(a, "002_Mplain", GATE_UNSIGNED32));
    EXPECT_EQ(1u, f.Parse(b, "002_Mten", GATE_UNSIGNED32));
    EXPECT_EQ(1u, f.Parse(c, "002_Vtwelve", GATE_UNSIGNED32));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> Parse() SAMPLE gate, object plain type 0 should be struct"},
                                      {32, "KESTA> Parse() SAMPLE gate, illegal length 10 stuct ten"},
                                      {32, "KESTA> Parse() object name twelve.toggle not defined in PLC rc= 172"}}));
    EXPECT_EQ(a.parse.offset, St(2).handle("plain")); // the handle is kept before the checks
    EXPECT_EQ(Lookups(), (std::vector<std::string>{"plain", "ten", "twelve", "twelve.toggle"}));
}

// ---- Connecting and looking up -------------------------------------------------------------------

TEST_F(ParseLine, SilentStationCostsFourConnectsWith100msAfterEach) {
    Start();
    DriverFixture::Gate gate;
    const auto begin = Clock::now();
    EXPECT_EQ(1u, f.Parse(gate, "009var", GATE_UNSIGNED16));
    const double took = std::chrono::duration<double>(Clock::now() - begin).count();

    // Each connect is one frame and its three retransmissions; nobody answers address 9.
    ASSERT_TRUE(f.sim().waitUntil([&] { return MasterFrames() >= 16; }, std::chrono::seconds(2)));
    const std::vector<TrafficRecord> traffic = f.sim().traffic();
    ASSERT_EQ(traffic.size(), 16u);
    // Between connects the wait for a reply plus the 100 ms pause; within one, the wait alone. The
    // times are taken where the simulator sees the frames, so a loaded machine can shift one of them
    // by a scheduling stall: one gap of each kind may fall on the wrong side. A pause missing after
    // every connect, or one put between the sendings, still moves all of them.
    size_t pausesAfterConnects = 0;
    size_t pausesWithinConnects = 0;
    for (size_t i = 1; i < traffic.size(); ++i) {
        const bool paused = traffic[i].time - traffic[i - 1].time >= 0.28;
        if (i % 4 == 0) {
            pausesAfterConnects += paused;
        } else {
            pausesWithinConnects += paused;
        }
    }
    EXPECT_GE(pausesAfterConnects, 2u);
    EXPECT_LE(pausesWithinConnects, 1u);
    // Sixteen waits of 200 ms and four pauses of 100 ms: the fourth failure is followed by its
    // pause too. (Waited on this side, so no stall can shorten it.)
    EXPECT_GE(took, 16 * 0.2 + 4 * 0.1 - 0.05);
    std::vector<LoggedMessage> expected(4, LoggedMessage{32, "KESTA> Net2000_Connect failed ErrorCode: 10"});
    expected.push_back({32, "KESTA> Parse() plcaddr 9 not connected!"});
    EXPECT_EQ(GateMessages(), expected);
    EXPECT_EQ(Field(f.instance().StationTable[9]), nullptr);
}

TEST_F(ParseLine, SilentStationCostsASampleGateOneConnect) {
    Start();
    DriverFixture::Gate gate;
    EXPECT_EQ(1u, f.Parse(gate, "009_Mdata", GATE_UNSIGNED32));
    ASSERT_TRUE(f.sim().waitUntil([&] { return MasterFrames() >= 4; }, std::chrono::seconds(2)));
    EXPECT_EQ(MasterFrames(), 4u);
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> Net2000_Connect failed ErrorCode: 10"},
                                      {32, "KESTA> Parse() plcaddr 9 not connected!"}}));
}

TEST_F(ParseLine, LookupIsTriedFourTimesWithoutPause) {
    St(2).addObject(ObjectSpec::Scalar("var", kTypeUint16));
    std::string error;
    kesta::sim::FaultScript script;
    // The connect is answered; then three lookups (four frames each) go unheard, the fourth is answered.
    ASSERT_TRUE(kesta::sim::ParseFaultScript("ok,silence*12", &script, &error)) << error;
    St(2).setFaults(script);
    Start();
    DriverFixture::Gate gate;
    EXPECT_EQ(0u, f.Parse(gate, "002var", GATE_UNSIGNED16));
    EXPECT_EQ(GateMessages(),
              std::vector<LoggedMessage>(3, LoggedMessage{32, "KESTA> Net2000_getOV failed ErrorCode: 10"}));
    EXPECT_EQ(FindObjectHandle(&f.instance(), "002var"), St(2).handle("var"));

    // Four lookups unheard: the name counts as not defined; the connection made stays.
    ASSERT_TRUE(kesta::sim::ParseFaultScript("silence*16", &script, &error)) << error;
    St(2).setFaults(script);
    f.ClearMessages();
    DriverFixture::Gate again;
    EXPECT_EQ(1u, f.Parse(again, "002other", GATE_UNSIGNED16));
    std::vector<LoggedMessage> expected(4, LoggedMessage{32, "KESTA> Net2000_getOV failed ErrorCode: 10"});
    expected.push_back({32, "KESTA> Parse() object name other not defined in PLC"});
    EXPECT_EQ(GateMessages(), expected);
    EXPECT_NE(Field(f.instance().StationTable[2]), nullptr);
}

} // namespace
