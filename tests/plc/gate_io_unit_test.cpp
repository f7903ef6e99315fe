// Reads and writes without a line: the value-cell conversions, and every refusal that must come before
// any traffic (no stack is open here, so a request that reached the line would fail differently).
#include <stdint.h>

#include "plc/gate_io.h"
#include "plc/gates.h"
#include "plc/registry.h"
#include "plc/sample_gate.h"
#include "plc_test_util.h"

namespace {

uint16_t Half(const void *cell, int index) {
    uint16_t half;
    memcpy(&half, static_cast<const uint8_t *>(cell) + 2 * index, sizeof half);
    return half;
}

TEST(ValueCells, ElementSizesOtherThan8_16And32Fail) {
    // An object of 3 bytes (a data type the parser lets through): the single read has already cleared
    // the cell's first half when it gives up; a block read and a write leave everything alone.
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint32_t before = 0xDEADBEEF;
    uint32_t cell = before;
    DsfReader single = dsf_reader(data, sizeof data);
    EXPECT_EQ(ConvertSingleRead(24, &single, &cell), 2);
    EXPECT_EQ(Half(&cell, 0), 0);
    EXPECT_EQ(Half(&cell, 1), Half(&before, 1));

    GateAddressRW record;
    memset(&record, 0, sizeof record);
    cell = before;
    record.valueCell = &cell;
    DsfReader block = dsf_reader(data, sizeof data);
    EXPECT_EQ(ConvertBlockRead(64, 1, &block, &record), 2);
    EXPECT_EQ(record.valueCell, static_cast<void *>(&cell));
    EXPECT_EQ(cell, before);

    uint8_t out[4] = {};
    EXPECT_EQ(ConvertSingleWrite(24, &before, out), 2);
    EXPECT_EQ(ConvertSingleWrite(0, &before, out), 2);
}

TEST(ValueCells, ReadsTakeThePlcOrderIntoHostCells) {
    const uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
    struct {
        uint32_t bits;
        uint16_t first;
        uint16_t second;
        uint32_t whole;
    } const cases[] = {{8, 0, 0x12, 0}, {16, 0, 0x1234, 0}, {32, 0, 0, 0x12345678}};
    for (const auto &c : cases) {
        uint32_t cell = 0xDEADBEEF;
        DsfReader in = dsf_reader(data, sizeof data);
        ASSERT_EQ(ConvertSingleRead(c.bits, &in, &cell), 0) << c.bits;
        if (c.bits == 32) {
            EXPECT_EQ(cell, c.whole);
        } else {
            EXPECT_EQ(Half(&cell, 0), c.first) << c.bits;
            EXPECT_EQ(Half(&cell, 1), c.second) << c.bits;
        }
        // The element's bytes must all be there.
        DsfReader cut = dsf_reader(data, c.bits / 8 - 1);
        EXPECT_EQ(ConvertSingleRead(c.bits, &cut, &cell), 2) << c.bits;
    }

    // Four 16-bit elements: each in host order, the cell pointer 8 bytes further on.
    const uint8_t four[8] = {0x00, 0x01, 0x00, 0x02, 0xFF, 0xFE, 0x80, 0x00};
    uint16_t cells[4] = {};
    GateAddressRW record;
    memset(&record, 0, sizeof record);
    record.valueCell = cells;
    DsfReader in = dsf_reader(four, sizeof four);
    ASSERT_EQ(ConvertBlockRead(16, 4, &in, &record), 0);
    EXPECT_EQ(cells[0], 1);
    EXPECT_EQ(cells[1], 2);
    EXPECT_EQ(cells[2], 0xFFFE);
    EXPECT_EQ(cells[3], 0x8000);
    EXPECT_EQ(record.valueCell, static_cast<void *>(cells + 4));

    uint32_t value = 0x12345678;
    uint8_t out[4] = {};
    ASSERT_EQ(ConvertSingleWrite(32, &value, out), 0);
    EXPECT_EQ(0, memcmp(out, data, 4));
}

TEST(ValueCells, ReplyFrameLengthOfReads) {
    EXPECT_EQ(ReadReplyFrameLength(3), 18u); // 3 elements of 8 bits
    EXPECT_EQ(ReadReplyFrameLength(4), 18u); // 2 elements of 16 bits
    EXPECT_EQ(ReadReplyFrameLength(3998), 4012u);
}

// ---- Refusals before the line -------------------------------------------------------------------

class GateRefusals : public PlcUnitTest {
protected:
    void SetUp() override {
        PlcUnitTest::SetUp();
        memset(&gate, 0, sizeof gate);
        gate.addressString = "002var";
        gate.station = 2;
        gate.typeCode = 5;
        gate.elementBits = 16;
        gate.toggleHandle = -1;
        gate.elementCount = 1;
        gate.valueCell = &cell;
        ASSERT_EQ(CheckAndAdd(&instance, "002var", 0x0301), 0);
    }
    uint32_t Run(uint32_t code) {
        DriverCall call = Call(code, &gate);
        switch (code) {
        case KVI_SINGLE_READ: return SingleRead(&call);
        case KVI_BLOCK_READ: return BlockRead(&call);
        case KVI_SINGLE_WRITE: return SingleWrite(&call);
        default: return BlockWrite(&call);
        }
    }

    GateAddressRW gate;
    uint32_t cell = 0xCAFEF00D;
};

TEST_F(GateRefusals, ClosedStack) {
    instance.dsfOpen = 0;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 2u);
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 2u);
    EXPECT_EQ(hostlog::Messages(), Logged({{32, "KESTA> DoRead() Net2000 not initialised!"},
                                           {8, "KESTA> SingleRead(), rc= 2"},
                                           {32, "KESTA> DoRead() Net2000 not initialised!"}}));
}

TEST_F(GateRefusals, AddressNotRegistered) {
    gate.addressString = "002other";
    EXPECT_EQ(Run(KVI_SINGLE_READ), 1u);
    EXPECT_EQ(Run(KVI_BLOCK_READ), 1u);
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 1u);
    gate.addressString = nullptr;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 1u);
    EXPECT_EQ(hostlog::Messages(), Logged({{32, "KESTA>  Object not found!"},
                                           {8, "KESTA> SingleRead(), rc= 1"},
                                           {32, "KESTA>  Object not found!"},
                                           {8, "KESTA> BlockRead(), rc= 1"},
                                           {32, "KESTA> DoWrite() Object not found!"},
                                           {32, "KESTA>  Object not found!"},
                                           {8, "KESTA> SingleRead(), rc= 1"}}));
}

TEST_F(GateRefusals, BlockReadsLargerThanTheReplyBufferFailBeforeTraffic) {
    // 3998 data bytes fit (and fail only for want of a connection), 3999 do not; a count that would
    // overflow the 16-bit item length fails the same way instead of wrapping to a small read.
    gate.elementBits = 8;
    gate.elementCount = 3998;
    EXPECT_EQ(Run(KVI_BLOCK_READ), 2u);
    gate.elementCount = 3999;
    EXPECT_EQ(Run(KVI_BLOCK_READ), 2u);
    gate.elementBits = 16;
    gate.elementCount = 0x8001; // 65538 bytes, 2 after a 16-bit wrap
    EXPECT_EQ(Run(KVI_BLOCK_READ), 2u);
    gate.elementBits = 32;
    gate.elementCount = 0x40000001u; // wraps 32 bits as well
    EXPECT_EQ(Run(KVI_BLOCK_READ), 2u);
    EXPECT_EQ(hostlog::Messages(), Logged({{8, "KESTA> DoRead() read, ErrCode: 40"},
                                           {8, "KESTA> BlockRead(), rc= 2"},
                                           {8, "KESTA> DoRead() read, ErrCode: 60"},
                                           {8, "KESTA> BlockRead(), rc= 2"},
                                           {8, "KESTA> DoRead() read, ErrCode: 60"},
                                           {8, "KESTA> BlockRead(), rc= 2"},
                                           {8, "KESTA> DoRead() read, ErrCode: 60"},
                                           {8, "KESTA> BlockRead(), rc= 2"}}));
}

TEST_F(GateRefusals, MissingRecordOrCell) {
    gate.valueCell = nullptr;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 1u);
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 1u);
    DriverCall call = Call(KVI_SINGLE_READ, nullptr);
    EXPECT_EQ(SingleRead(&call), 1u);
    call.functionCode = KVI_SINGLE_WRITE;
    EXPECT_EQ(SingleWrite(&call), 1u);
    EXPECT_EQ(hostlog::Messages(), Logged({{32, "KESTA> DoRead() gate 002var has no value cell"},
                                           {8, "KESTA> SingleRead(), rc= 1"},
                                           {32, "KESTA> SingleWrite() gate 002var has no value cell"},
                                           {32, "KESTA> DoRead() no gate record given"},
                                           {8, "KESTA> SingleRead(), rc= 1"},
                                           {32, "KESTA> SingleWrite() no gate record given"}}));
}

} // namespace
