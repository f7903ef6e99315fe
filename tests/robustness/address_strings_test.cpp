// Gate address records as a careless host fills them: strings of any length and content, absurd gate
// types and block lengths. Each is answered 0 or 1 with the message that says why, and a refused parse
// leaves no gate behind that a read could use.
#include <string>

#include "robustness.h"

namespace {

using robustness::HostTest;

struct AddressRow {
    const char *name;
    std::string address;
    bool nullString;
    uint32_t gateType;
    bool block;
    uint32_t blockLength;
    uint32_t result;
    const char *message;     // part of one message; "" for none expected
    bool registered = false; // refused after the lookup: the name stays registered, as it always has
};

void PrintTo(const AddressRow &row, std::ostream *out) { *out << row.name; }

const std::string k255 = "002" + std::string(252, 'n');

const AddressRow kRows[] = {
    {"NoString", "", true, GATE_SIGNED16, false, 0, 1, "KESTA> Parse() no address string given"},
    {"EmptyString", "", false, GATE_SIGNED16, false, 0, 1, "KESTA> Parse() incorrect plc address -1"},
    {"StationOnly", "002", false, GATE_SIGNED16, false, 0, 1, "KESTA> Parse() object name  not defined in PLC rc="},
    {"Longest", k255, false, GATE_SIGNED16, false, 0, 1, "not defined in PLC rc="},
    {"OneTooLong", k255 + "n", false, GATE_SIGNED16, false, 0, 1,
     "KESTA> Parse() address string longer than 255 characters refused"},
    {"Huge", "002" + std::string(100000, 'x'), false, GATE_SIGNED16, false, 0, 1,
     "KESTA> Parse() address string longer than 255 characters refused"},
    {"HugeBlock", "002" + std::string(70000, 'x'), false, GATE_UNSIGNED16, true, 10, 1,
     "KESTA> Parse() address string longer than 255 characters refused"},
    {"FormatConversions", "002%s%n%x%p", false, GATE_SIGNED16, false, 0, 1, "object name %s%n%x%p not defined in PLC"},
    {"ControlAndHighBytes", "002\x01\x7f\xff\xfe\x1b", false, GATE_SIGNED16, false, 0, 1, "not defined in PLC"},
    {"StationBeyond255", "256speed", false, GATE_SIGNED16, false, 0, 1, "KESTA> Parse() incorrect plc address 256"},
    {"NegativeStation", "-02speed", false, GATE_SIGNED16, false, 0, 1, "KESTA> Parse() incorrect plc address"},
    {"NoDigits", "abcspeed", false, GATE_SIGNED16, false, 0, 1, "KESTA> Parse() incorrect plc address -1"},
    {"MasterItself", "001speed", false, GATE_SIGNED16, false, 0, 1, "KESTA> Parse() err: plcaddr is same as master, 1"},
    {"IndexBeyond32Bits", "002speed[99999999999]", false, GATE_SIGNED16, false, 0, 1,
     "KESTA> Parse() index too large in 002speed[99999999999]"},
    {"IndexNotDecimal", "002speed[-1]", false, GATE_SIGNED16, false, 0, 1, "KESTA> Parse() - not recognised in"},
    // No index digits between them: the name is looked up as it stands.
    {"CloseBeforeOpen", "002sp]eed[1", false, GATE_SIGNED16, false, 0, 1,
     "KESTA> Parse() object name sp]eed[1 not defined in PLC rc="},
    {"IndexOnBlock", "002table[1]", false, GATE_UNSIGNED16, true, 10, 1,
     "KESTA> Parse()'[Index]' not allowed for block"},
    {"EwtWithoutLetter", "002_", false, GATE_UNSIGNED32, false, 0, 1, "KESTA> SingleParse() illegal EWT sample gate"},
    {"EwtWithoutName", "002_M", false, GATE_UNSIGNED32, false, 0, 1, "not defined in PLC"},
    {"TimeStampShortNumbers", "002_M5_7", false, GATE_DIGITAL, false, 0, 0, ""},
    // Three digits at most: the rest makes it a sample gate's structure name.
    {"TimeStampLongNumbers", "002_M99999_99999", false, GATE_DIGITAL, false, 0, 1,
     "KESTA> Parse() object name 99999_99999 not defined in PLC rc= 172"},
    {"AbsurdGateType", "002speed", false, 0xFFFFFFFFu, false, 0, 1,
     "KESTA> SingleParse() gate 002speed, mem type 2 must be SIGNED 16", true},
    {"StringGate", "002speed", false, GATE_STRING, false, 0, 1, "mem type 2 must be SIGNED 16", true},
    {"BlockOfAllElements", "002table", false, GATE_UNSIGNED16, true, 0x7FFFFFFFu, 0, ""},
    {"BlockBeyondOffsets", "002table", false, GATE_UNSIGNED16, true, 0x80000000u, 1,
     "KESTA>CheckAndAddGAUsed, no room for 2147483648 elements of item 002table"},
    {"BlockLengthAllOnes", "002table", false, GATE_UNSIGNED16, true, 0xFFFFFFFFu, 1, "no room for 4294967295 elements"},
};

class AddressStrings : public HostTest, public ::testing::WithParamInterface<AddressRow> {};

TEST_P(AddressStrings, AreAnsweredWithAResultAndItsReason) {
    const AddressRow &row = GetParam();
    Start();
    GateAddressParse record;
    memset(&record, 0xA5, sizeof record); // the driver's fields hold whatever the host left there
    record.addressString = row.nullString ? nullptr : row.address.c_str();
    record.gateType = row.gateType;
    record.blockLength = row.blockLength;
    const uint32_t rc = Call(row.block ? KVI_BLOCK_ADDRESS_PARSER : KVI_SINGLE_ADDRESS_PARSER, &record);
    EXPECT_EQ(row.result, rc) << Said();
    if (row.message[0] != '\0') {
        EXPECT_TRUE(SaidSomething(row.message)) << "expected \"" << row.message << "\" in" << Said();
    }
    if (rc != 0 && !row.nullString && !row.block && !row.registered) {
        // Nothing refused may be read as if it were a gate.
        GateAddressRW rw{};
        uint8_t cell[4] = {0x11, 0x22, 0x33, 0x44};
        rw.addressString = row.address.c_str();
        rw.station = 2;
        rw.elementBits = 16;
        rw.elementCount = 1;
        rw.valueCell = cell;
        EXPECT_NE(0u, Call(KVI_SINGLE_READ, &rw));
        EXPECT_EQ(0x11, cell[0]);
        EXPECT_EQ(0x44, cell[3]);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, AddressStrings, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<AddressRow> &p) { return std::string(p.param.name); });

// Two blocks of one area that together pass the signed 32-bit offsets: the second is refused, the
// first keeps its place, and single gates still find room up to the last offset.
TEST_F(HostTest, AnAreaNeverGrowsPastTheLargestOffset) {
    f.station(2).addObject(kesta::sim::ObjectSpec::Array("other", kesta::sim::kTypeUint16, 4));
    Start();
    DriverFixture::Gate first;
    DriverFixture::Gate second;
    ASSERT_EQ(0u, f.Parse(first, "002table", GATE_UNSIGNED16, true, 0x7FFFFFFEu));
    EXPECT_EQ(0, first.parse.offset);
    EXPECT_EQ(1u, f.Parse(second, "002other", GATE_UNSIGNED16, true, 2));
    EXPECT_TRUE(f.Logged("KESTA>CheckAndAddGAUsed, no room for 2 elements of item 002other")) << Said();
    DriverFixture::Gate single;
    ASSERT_EQ(0u, f.Parse(single, "002table[5]", GATE_UNSIGNED16));
    EXPECT_EQ(5, single.parse.offset);
}

} // namespace
