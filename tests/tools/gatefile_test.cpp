// kesta-host's gate file and host value cells, without a line: one row per case.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "tools/console/gatefile.h"

using namespace kesta::console;

namespace {

struct GoodLine {
    const char *line;
    const char *address;
    uint32_t hostType;
    bool block;
    uint32_t length;
};

const GoodLine kGood[] = {
    {"002speed SIGNED16", "002speed", kSigned16, false, 1},
    {"002speed   signed16   single", "002speed", kSigned16, false, 1},
    {"\t002temp FLOAT # the boiler", "002temp", kFloat, false, 1},
    {"002table UNSIGNED16 block 10", "002table", kUnsigned16, true, 10},
    {"002table UINT BLOCK 0x10", "002table", kUnsigned16, true, 16},
    {"002table[3] U16", "002table[3]", kUnsigned16, false, 1},
    {"002counter DINT", "002counter", kSigned32, false, 1},
    {"002total UDINT ; comment after a semicolon", "002total", kUnsigned32, false, 1},
    {"002pump BOOL", "002pump", kDigital, false, 1},
    {"002_Malarms UNSIGNED32", "002_Malarms", kUnsigned32, false, 1},
    {"002_M005_007 DIGITAL", "002_M005_007", kDigital, false, 1},
    {"002text STRING", "002text", kString, false, 1},
    {"002odd 2", "002odd", 2, false, 1},
    {"002speed INT\r", "002speed", kSigned16, false, 1},
};

TEST(ConsoleGateFile, EveryFormOfAGateLine) {
    for (const GoodLine &row : kGood) {
        std::vector<GateEntry> gates;
        std::vector<std::string> errors;
        EXPECT_TRUE(ParseGateText(row.line, "g.txt", &gates, &errors)) << row.line;
        ASSERT_EQ(1u, gates.size()) << row.line;
        EXPECT_EQ(row.address, gates[0].address) << row.line;
        EXPECT_EQ(row.hostType, gates[0].hostType) << row.line;
        EXPECT_EQ(row.block, gates[0].block) << row.line;
        EXPECT_EQ(row.length, gates[0].length) << row.line;
        EXPECT_EQ(1, gates[0].line);
        EXPECT_TRUE(errors.empty()) << row.line;
    }
}

struct BadLine {
    const char *line;
    const char *error;
};

const BadLine kBad[] = {
    {"002speed", "g.txt:1: a gate line is ADDRESS TYPE [single | block LENGTH]"},
    {"002speed WORD", "g.txt:1: unknown host type 'WORD' (UNSIGNED16, SIGNED16, FLOAT, SIGNED32, UNSIGNED32, "
                      "DIGITAL, STRING or a code 0..7)"},
    {"002speed 8", "g.txt:1: unknown host type '8' (UNSIGNED16, SIGNED16, FLOAT, SIGNED32, UNSIGNED32, DIGITAL, "
                   "STRING or a code 0..7)"},
    {"002table UINT block", "g.txt:1: block needs its length: 1 to 65535 elements"},
    {"002table UINT block 0", "g.txt:1: block needs its length: 1 to 65535 elements"},
    {"002table UINT block 65536", "g.txt:1: block needs its length: 1 to 65535 elements"},
    {"002table UINT block ten", "g.txt:1: block needs its length: 1 to 65535 elements"},
    {"002table UINT array 10", "g.txt:1: 'array' is neither single nor block"},
    {"002speed INT single extra", "g.txt:1: unexpected 'extra' after the gate"},
    {"002table UINT block 10 20", "g.txt:1: unexpected '20' after the gate"},
};

TEST(ConsoleGateFile, BadLinesNameFileLineAndCause) {
    for (const BadLine &row : kBad) {
        std::vector<GateEntry> gates;
        std::vector<std::string> errors;
        EXPECT_FALSE(ParseGateText(row.line, "g.txt", &gates, &errors)) << row.line;
        EXPECT_TRUE(gates.empty()) << row.line;
        ASSERT_EQ(1u, errors.size()) << row.line;
        EXPECT_EQ(row.error, errors[0]);
    }
}

TEST(ConsoleGateFile, EveryBadLineIsReportedAndGoodLinesAroundThemKept) {
    const std::string text = "# gates of line 1\n"
                             "\n"
                             "002a INT\n"
                             "002b NUMBER\n"
                             "   ; indented comment\n"
                             "002c REAL\n"
                             "002a INT\n"
                             "002a INT block 4\n"
                             "002d\n" +
                             std::string(256, 'x') + " INT\n";
    std::vector<GateEntry> gates;
    std::vector<std::string> errors;
    EXPECT_FALSE(ParseGateText(text, "plant.gates", &gates, &errors));
    ASSERT_EQ(3u, gates.size());
    EXPECT_EQ("002a", gates[0].address);
    EXPECT_EQ(3, gates[0].line);
    EXPECT_EQ("002c", gates[1].address);
    EXPECT_EQ(6, gates[1].line);
    EXPECT_TRUE(gates[2].block); // a block and a single gate may share an address
    EXPECT_EQ(8, gates[2].line);
    ASSERT_EQ(4u, errors.size());
    EXPECT_EQ(0u, errors[0].find("plant.gates:4: unknown host type 'NUMBER'"));
    EXPECT_EQ("plant.gates:7: 002a is listed twice (first at line 3)", errors[1]);
    EXPECT_EQ("plant.gates:9: a gate line is ADDRESS TYPE [single | block LENGTH]", errors[2]);
    EXPECT_EQ("plant.gates:10: address longer than 255 characters", errors[3]);
}

TEST(ConsoleGateFile, MissingFileIsOneError) {
    std::vector<GateEntry> gates;
    std::vector<std::string> errors;
    EXPECT_FALSE(LoadGateFile("/nonexistent/kesta.gates", &gates, &errors));
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(0u, errors[0].find("/nonexistent/kesta.gates: cannot be read"));
}

TEST(ConsoleHostTypes, NamesAndCodesBothWays) {
    const struct {
        uint32_t code;
        const char *name;
    } rows[] = {{0, "UNSIGNED16"}, {1, "SIGNED16"}, {3, "FLOAT"},  {4, "SIGNED32"},
                {5, "UNSIGNED32"}, {6, "DIGITAL"},  {7, "STRING"}, {2, "type 2"}};
    for (const auto &row : rows) {
        EXPECT_EQ(row.name, HostTypeName(row.code));
        uint32_t code = 99;
        EXPECT_TRUE(ParseHostType(std::to_string(row.code), &code));
        EXPECT_EQ(row.code, code);
    }
    uint32_t code = 99;
    EXPECT_TRUE(ParseHostType("unsigned32", &code));
    EXPECT_EQ(5u, code);
    EXPECT_FALSE(ParseHostType("", &code));
    EXPECT_FALSE(ParseHostType("17", &code));
}

// Cells as the driver fills them: 8 and 16 bits in the second 16-bit half, 32 bits in the whole cell.
struct CellCase {
    uint32_t hostType;
    uint32_t elementBits;
    const char *text;
    uint8_t cell[4];
};

const CellCase kCells[] = {
    {kSigned16, 16, "-1500", {0, 0, 0x24, 0xFA}},
    {kUnsigned16, 16, "50000", {0, 0, 0x50, 0xC3}},
    {kDigital, 8, "1", {0, 0, 1, 0}},
    {kUnsigned16, 8, "255", {0, 0, 0xFF, 0}},
    {kSigned32, 32, "-100000", {0x60, 0x79, 0xFE, 0xFF}},
    {kUnsigned32, 32, "4000000000", {0x00, 0x28, 0x6B, 0xEE}},
    {kFloat, 32, "21.5", {0x00, 0x00, 0xAC, 0x41}},
};

TEST(ConsoleValueCells, TextToCellAndBack) {
    for (const CellCase &row : kCells) {
        uint8_t cell[4] = {9, 9, 9, 9};
        std::string why;
        ASSERT_TRUE(ParseValue(row.hostType, row.elementBits, row.text, cell, &why)) << row.text << ": " << why;
        EXPECT_EQ(0, memcmp(row.cell, cell, 4)) << row.text;
        EXPECT_EQ(row.text, FormatSingle(row.hostType, row.elementBits, cell)) << row.text;
    }
}

TEST(ConsoleValueCells, DigitalWordsAndRefusals) {
    uint8_t cell[4];
    std::string why;
    EXPECT_TRUE(ParseValue(kDigital, 8, "on", cell, &why));
    EXPECT_EQ("1", FormatSingle(kDigital, 8, cell));
    EXPECT_TRUE(ParseValue(kDigital, 8, "FALSE", cell, &why));
    EXPECT_EQ("0", FormatSingle(kDigital, 8, cell));
    EXPECT_FALSE(ParseValue(kSigned16, 16, "40000", cell, &why));
    EXPECT_EQ("'40000' is not a SIGNED16 number", why);
    EXPECT_FALSE(ParseValue(kUnsigned16, 8, "256", cell, &why));
    EXPECT_EQ("'256' is not a number from 0 to 255", why);
    EXPECT_FALSE(ParseValue(kFloat, 32, "warm", cell, &why));
    EXPECT_FALSE(ParseValue(kUnsigned32, 32, "-1", cell, &why));
    EXPECT_FALSE(ParseValue(kUnsigned16, 24, "1", cell, &why));
    EXPECT_EQ("the driver writes only elements of 8, 16 or 32 bits", why);
}

TEST(ConsoleValueCells, BlocksArePackedElementsInHostOrder) {
    const uint16_t words[] = {10, 20, 65535};
    EXPECT_EQ("10 20 65535", FormatBlock(kUnsigned16, 16, reinterpret_cast<const uint8_t *>(words), 3, 16));
    EXPECT_EQ("10 20 -1", FormatBlock(kSigned16, 16, reinterpret_cast<const uint8_t *>(words), 3, 16));
    EXPECT_EQ("10 20 .. (3 values)", FormatBlock(kUnsigned16, 16, reinterpret_cast<const uint8_t *>(words), 3, 2));
    const uint8_t bytes[] = {1, 0, 1};
    EXPECT_EQ("1;0;1", FormatBlock(kDigital, 8, bytes, 3, 16, ";"));
    const float reals[] = {1.5f, -2.25f};
    EXPECT_EQ("1.5 -2.25", FormatBlock(kFloat, 32, reinterpret_cast<const uint8_t *>(reals), 2, 16));
}

} // namespace
