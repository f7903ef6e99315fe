// Address parsing without a line: every address here is settled before the station would be
// contacted, so no station service may run (it would log a failure of its own with no stack open).
// Also the gate type checks and the registry's offsets.
#include <string>

#include "plc/address_parser.h"
#include "plc/gates.h"
#include "plc/registry.h"
#include "plc_test_util.h"

namespace {

struct SyntaxCase {
    const char *address;
    int mode; // PARSE_SINGLE or PARSE_BLOCK
    uint32_t gateType;
    uint32_t result;
    uint32_t station;     // expected after the call (record preset to 99)
    uint32_t typeCode;    // expected (preset 0)
    int32_t offset;       // expected (preset 77)
    int32_t toggleHandle; // expected (preset 55)
    uint32_t elementBits; // expected (preset 0)
    const char *message;  // the one message at level 32, or nullptr
};

const SyntaxCase kSyntax[] = {
    // Station digits.
    {"256x", PARSE_SINGLE, 0, 1, 99, 0, 77, 55, 0, "KESTA> Parse() incorrect plc address 256"},
    {"999arr", PARSE_BLOCK, 0, 1, 99, 0, 77, 55, 0, "KESTA> Parse() incorrect plc address 999"},
    {"abc", PARSE_SINGLE, 0, 1, 99, 0, 77, 55, 0, "KESTA> Parse() incorrect plc address -1"},
    {"", PARSE_SINGLE, 0, 1, 99, 0, 77, 55, 0, "KESTA> Parse() incorrect plc address -1"},
    {"-01x", PARSE_SINGLE, 0, 1, 99, 0, 77, 55, 0, "KESTA> Parse() incorrect plc address -1"},
    {"001var", PARSE_SINGLE, 0, 1, 99, 0, 77, 55, 0, "KESTA> Parse() err: plcaddr is same as master, 1"},
    {"1var", PARSE_BLOCK, 0, 1, 99, 0, 77, 55, 0, "KESTA> Parse() err: plcaddr is same as master, 1"},
    // Indexes.
    {"002arr[2]", PARSE_BLOCK, 0, 1, 2, 0, -1, 55, 0, "KESTA> Parse()'[Index]' not allowed for block"},
    {"002arr[1a]", PARSE_SINGLE, 0, 1, 2, 0, 1, 55, 0, "KESTA> Parse() a not recognised in 002arr[1a]"},
    {"002arr[-1]", PARSE_SINGLE, 0, 1, 2, 0, 0, 55, 0, "KESTA> Parse() - not recognised in 002arr[-1]"},
    {"002arr[2", PARSE_SINGLE, 0, 1, 2, 0, -1, 55, 0, "KESTA> Parse() no match found for '[' "},
    {"002arr[2147483648]", PARSE_SINGLE, 0, 1, 2, 0, 214748364, 55, 0,
     "KESTA> Parse() index too large in 002arr[2147483648]"},
    {"002arr[99999999999999999999]", PARSE_SINGLE, 0, 1, 2, 0, 999999999, 55, 0,
     "KESTA> Parse() index too large in 002arr[99999999999999999999]"},
    // EWT forms, recognised by the single parser only.
    {"002_X1", PARSE_SINGLE, 5, 1, 2, 0, 77, 55, 0, "KESTA> SingleParse() illegal EWT sample gate"},
    {"002_", PARSE_SINGLE, 5, 1, 2, 0, 77, 55, 0, "KESTA> SingleParse() illegal EWT sample gate"},
    {"002_M012_003", PARSE_SINGLE, 6, 0, 2, EWTm, 77, -1, 1, nullptr},
    {"002_V012_003", PARSE_SINGLE, 0, 0, 2, EWTv, 77, -1, 16, nullptr},
    {"002_V012_003", PARSE_SINGLE, 1, 0, 2, EWTv, 77, -1, 16, nullptr},
    {"002_M12_3", PARSE_SINGLE, 6, 0, 2, EWTm, 77, -1, 1, nullptr},
    {"002_M012_003 trailing", PARSE_SINGLE, 6, 0, 2, EWTm, 77, -1, 1, nullptr},
    {"002_V012_003", PARSE_SINGLE, 5, 1, 2, EWTv, 77, -1, 16,
     "KESTA> SingleParse() '002_V012_003', sample gate must be 16-bit type"},
    {"002_M012_003", PARSE_SINGLE, 0, 1, 2, EWTm, 77, -1, 1,
     "KESTA> SingleParse() '002_M012_003', sample gate must be DIGITAL type"},
    {"002_M012_003", PARSE_SINGLE, 7, 1, 2, EWTm, 77, -1, 1,
     "KESTA> SingleParse() gate 002_M012_003, no STRING gates supported"},
    {"002_Marr[2]", PARSE_BLOCK, 0, 1, 2, 0, -1, 55, 0, "KESTA> Parse()'[Index]' not allowed for block"},
};

void PrintTo(const SyntaxCase &c, std::ostream *out) {
    *out << (c.mode == PARSE_SINGLE ? "single '" : "block '") << c.address << "' type " << c.gateType;
}

class AddressSyntax : public PlcUnitTest, public ::testing::WithParamInterface<SyntaxCase> {};

TEST_P(AddressSyntax, SettledBeforeTheLine) {
    const SyntaxCase &c = GetParam();
    GateAddressParse record;
    memset(&record, 0, sizeof record);
    record.addressString = c.address;
    record.gateType = c.gateType;
    record.blockLength = 4;
    record.station = 99;
    record.offset = 77;
    record.toggleHandle = 55;
    DriverCall call = Call(c.mode == PARSE_SINGLE ? KVI_SINGLE_ADDRESS_PARSER : KVI_BLOCK_ADDRESS_PARSER, &record);

    const uint32_t rc = c.mode == PARSE_SINGLE ? SingleAddressParser(&call) : BlockAddressParser(&call);

    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(record.station, c.station);
    EXPECT_EQ(record.typeCode, c.typeCode);
    EXPECT_EQ(record.offset, c.offset);
    EXPECT_EQ(record.toggleHandle, c.toggleHandle);
    EXPECT_EQ(record.elementBits, c.elementBits);
    if (c.message != nullptr) {
        EXPECT_EQ(hostlog::Messages(), Logged({{32, c.message}}));
    } else {
        EXPECT_TRUE(hostlog::Messages().empty());
    }
    EXPECT_EQ(Field(instance.ObjectList), nullptr);
    EXPECT_EQ(Field(instance.UsedAreaList), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, AddressSyntax, ::testing::ValuesIn(kSyntax));

TEST_F(PlcUnitTest, ParseRefusesWhileTheStackIsClosed) {
    instance.dsfOpen = 0;
    GateAddressParse record;
    memset(&record, 0, sizeof record);
    record.addressString = "002var";
    DriverCall call = Call(KVI_SINGLE_ADDRESS_PARSER, &record);
    EXPECT_EQ(SingleAddressParser(&call), 1u);
    call.functionCode = KVI_BLOCK_ADDRESS_PARSER;
    EXPECT_EQ(BlockAddressParser(&call), 1u);
    EXPECT_EQ(hostlog::Messages(), Logged({{32, "KESTA> Parse() must be connected to PLC!"},
                                           {32, "KESTA> Parse() must be connected to PLC!"}}));
}

TEST_F(PlcUnitTest, AddressLengthIsBoundedBeforeAnythingIsRead) {
    // 255 characters pass the length check (and fail on their index), 256 do not; neither string is
    // read past the 256th byte: the long one has no NUL at all in the host's buffer.
    std::string fits = "002" + std::string(248, 'a') + "[1x]";
    ASSERT_EQ(fits.size(), 255u);
    char unterminated[300];
    memset(unterminated, 'a', sizeof unterminated);
    memcpy(unterminated, "002", 3);

    GateAddressParse record;
    memset(&record, 0, sizeof record);
    DriverCall call = Call(KVI_SINGLE_ADDRESS_PARSER, &record);
    record.addressString = fits.c_str();
    EXPECT_EQ(SingleAddressParser(&call), 1u);
    record.addressString = unterminated;
    EXPECT_EQ(SingleAddressParser(&call), 1u);
    record.addressString = nullptr;
    EXPECT_EQ(SingleAddressParser(&call), 1u);
    call.argRecord = nullptr;
    EXPECT_EQ(SingleAddressParser(&call), 1u);
    EXPECT_EQ(BlockAddressParser(&call), 1u);

    EXPECT_EQ(hostlog::Messages(), Logged({{32, "KESTA> Parse() x not recognised in " + fits},
                                           {32, "KESTA> Parse() address string longer than 255 characters refused"},
                                           {32, "KESTA> Parse() no address string given"},
                                           {32, "KESTA> SingleAddressParser() no gate record given"},
                                           {32, "KESTA> BlockAddressParser() no gate record given"}}));
}

// ---- Gate types ----------------------------------------------------------------------------------

struct PlcTypeRow {
    uint32_t plcType;
    uint32_t required;   // host gate type
    const char *message; // after "KESTA> SingleParse() gate 002v, "
};

const PlcTypeRow kPlcTypes[] = {
    {1, GATE_DIGITAL, "mem type 1 (BOOL) must be DIGITAL"},  {2, GATE_SIGNED16, "mem type 2 must be SIGNED 16"},
    {3, GATE_SIGNED16, "mem type 3 must be SIGNED 16"},      {4, GATE_SIGNED32, "mem. type 4 must be SIGNED 32"},
    {5, GATE_UNSIGNED16, "mem. type 5 must be UNSIGNED 16"}, {6, GATE_UNSIGNED16, "mem. type 6 must be UNSIGNED 16"},
    {7, GATE_UNSIGNED32, "mem. type 7 must be UNSIGNED 32"}, {8, GATE_FLOAT, "mem. type 8 must be FLOAT"},
};

const uint32_t kHostTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 100};

TEST_F(PlcUnitTest, EveryPlcTypeAgainstEveryHostType) {
    GateAddressParse record;
    memset(&record, 0, sizeof record);
    record.addressString = "002v";
    for (const PlcTypeRow &row : kPlcTypes) {
        for (uint32_t host : kHostTypes) {
            SCOPED_TRACE("plc " + std::to_string(row.plcType) + " host " + std::to_string(host));
            hostlog::Clear();
            record.typeCode = row.plcType;
            record.gateType = host;
            if (host == row.required) {
                EXPECT_EQ(CheckGateType(&record), 0);
                EXPECT_TRUE(hostlog::Messages().empty());
            } else {
                EXPECT_EQ(CheckGateType(&record), 1);
                EXPECT_EQ(hostlog::Messages(),
                          Logged({{32, std::string("KESTA> SingleParse() gate 002v, ") + row.message}}));
            }
        }
    }
    // Data types outside 1..8 pass with any host type but STRING.
    for (uint32_t plc : {0u, 9u, 300u}) {
        for (uint32_t host : kHostTypes) {
            hostlog::Clear();
            record.typeCode = plc;
            record.gateType = host;
            EXPECT_EQ(CheckGateType(&record), host == GATE_STRING ? 1 : 0) << plc << " " << host;
            if (host == GATE_STRING) {
                EXPECT_EQ(hostlog::Messages(),
                          Logged({{32, "KESTA> SingleParse() gate 002v, no STRING gates supported"}}));
            }
        }
    }
    // Sample gates want UNSIGNED 32.
    for (uint32_t code : {EWTM, EWTV}) {
        for (uint32_t host : kHostTypes) {
            hostlog::Clear();
            record.typeCode = code;
            record.gateType = host;
            const char *expected = host == GATE_UNSIGNED32 ? nullptr
                                   : host == GATE_STRING
                                       ? "KESTA> SingleParse() gate 002v, no STRING gates supported"
                                       : "KESTA> SingleParse() '002v', sample gate must be UNSIGNED32";
            EXPECT_EQ(CheckGateType(&record), expected == nullptr ? 0 : 1) << host;
            if (expected != nullptr) {
                EXPECT_EQ(hostlog::Messages(), Logged({{32, expected}}));
            }
        }
    }
}

// ---- Registry ------------------------------------------------------------------------------------

GateAddressParse Parsed(const char *address, uint32_t station, uint32_t typeCode, uint32_t bits, uint32_t blockLength,
                        int32_t offset) {
    GateAddressParse record;
    memset(&record, 0, sizeof record);
    record.addressString = address;
    record.station = station;
    record.typeCode = typeCode;
    record.elementBits = bits;
    record.blockLength = blockLength;
    record.offset = offset;
    record.toggleHandle = -1;
    return record;
}

TEST_F(PlcUnitTest, RegisteringANameAgainKeepsOneEntryWithTheNewHandle) {
    GateAddressParse block = Parsed("002arr", 2, 5, 16, 10, -1);
    GateAddressParse earlier = Parsed("002x", 2, 5, 16, 7, -1);
    ASSERT_EQ(CheckAndAdd(&instance, "002x", 9), 0);
    ASSERT_EQ(CheckAndAddGAUsed(&instance, &earlier), 0);
    ASSERT_EQ(CheckAndAdd(&instance, "002arr", 0x1234), 0);
    ASSERT_EQ(CheckAndAddGAUsed(&instance, &block), 0);
    ASSERT_EQ(CheckAndAdd(&instance, "002arr", 0x4321), 0);
    EXPECT_EQ(ObjectCount(&instance), 2u);
    EXPECT_EQ(FindObjectHandle(&instance, "002arr"), 0x4321);
    EXPECT_EQ(FindObjectEntry(&instance, "002arr")->areaOffset, 7);
    EXPECT_EQ(FindObjectHandle(&instance, "002ARR"), -1); // names match exactly
    EXPECT_EQ(FindObjectHandle(&instance, "002ar"), -1);
    EXPECT_EQ(FindObjectHandle(&instance, nullptr), -1);
}

TEST_F(PlcUnitTest, AreaOffsetsNeverWrap) {
    GateAddressParse unknown = Parsed("002none", 2, 5, 16, 1, -1);
    EXPECT_EQ(CheckAndAddGAUsed(&instance, &unknown), 1);

    GateAddressParse huge = Parsed("002huge", 2, 5, 16, 0x80000000u, -1);
    ASSERT_EQ(CheckAndAdd(&instance, "002huge", 1), 0);
    EXPECT_EQ(CheckAndAddGAUsed(&instance, &huge), 1);
    GateAddressParse most = Parsed("002huge", 2, 5, 16, 0x7FFFFFFFu, -1);
    EXPECT_EQ(CheckAndAddGAUsed(&instance, &most), 0);
    GateAddressParse more = Parsed("002huge", 2, 5, 16, 1, -1);
    EXPECT_EQ(CheckAndAddGAUsed(&instance, &more), 1);
    GateAddressParse single = Parsed("002s", 2, 5, 16, 0, -1);
    EXPECT_EQ(AssignSingleOffset(&instance, &single), 1);
    GateAddressParse element = Parsed("002huge[5]", 2, 5, 16, 0, 5);
    // the block's area offset is 0 here, so an index inside the signed range still fits
    EXPECT_EQ(AssignSingleOffset(&instance, &element), 0);
    EXPECT_EQ(element.offset, 5);

    EXPECT_EQ(hostlog::Messages(),
              Logged({{32, "KESTA>CheckAndAddGAUsed, could not find item 002none"},
                      {32, "KESTA>CheckAndAddGAUsed, no room for 2147483648 elements of item 002huge"},
                      {32, "KESTA>CheckAndAddGAUsed, no room for 1 elements of item 002huge"},
                      {32, "KESTA> SingleParse() gate 002s, offset out of range"}}));
}

} // namespace
