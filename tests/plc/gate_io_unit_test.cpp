// Reads and writes without a line: the value-cell conversions, and every refusal that must come before
// any traffic (no stack is open here, so a request that reached the line would fail differently).
#include <stdint.h>

#include "plc/gate_io.h"
#include "plc/gates.h"
#include "plc/registry.h"
#include "plc/sample_gate.h"
#include "plc_test_util.h"

namespace {

uint16_t Half(const void *cell, int index)
{
    uint16_t half;
    memcpy(&half, static_cast<const uint8_t *>(cell) + 2 * index, sizeof half);
    return half;
}

TEST(ValueCells, SingleReadsFillTheSecondHalf)
{
    uint32_t cell = 0xDEADBEEF;
    const uint8_t ff[] = {0xFF};
    EXPECT_EQ(ConvertSingleRead(8, ff, &cell), 0);
    EXPECT_EQ(Half(&cell, 0), 0);
    EXPECT_EQ(Half(&cell, 1), 255); // zero-extended, not -1

    const uint8_t word[] = {0x12, 0x34};
    cell = 0xDEADBEEF;
    EXPECT_EQ(ConvertSingleRead(16, word, &cell), 0);
    EXPECT_EQ(Half(&cell, 0), 0);
    EXPECT_EQ(Half(&cell, 1), 0x1234);

    const uint8_t dword[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(ConvertSingleRead(32, dword, &cell), 0);
    EXPECT_EQ(cell, 0x12345678u);

    // An object of 3 bytes: the first half is already cleared when the read gives up.
    const uint32_t before = 0xDEADBEEF;
    cell = before;
    EXPECT_EQ(ConvertSingleRead(24, dword, &cell), 2);
    EXPECT_EQ(Half(&cell, 0), 0);
    EXPECT_EQ(Half(&cell, 1), Half(&before, 1));
}

TEST(ValueCells, BlockReadsMoveTheCellPointerFor16And32Bits)
{
    const uint8_t data[] = {0x00, 0x01, 0x12, 0x34, 0xFF, 0xFE, 0x80, 0x00, 0xAA, 0xBB, 0xCC, 0xDD};
    uint16_t words[4] = {};
    GateAddressRW record;
    memset(&record, 0, sizeof record);
    record.valueCell = words;
    EXPECT_EQ(ConvertBlockRead(16, 4, data, &record), 0);
    EXPECT_EQ(record.valueCell, static_cast<void *>(words + 4));
    EXPECT_EQ(words[0], 0x0001);
    EXPECT_EQ(words[1], 0x1234);
    EXPECT_EQ(words[2], 0xFFFE);
    EXPECT_EQ(words[3], 0x8000);

    uint32_t dwords[3] = {};
    record.valueCell = dwords;
    EXPECT_EQ(ConvertBlockRead(32, 3, data, &record), 0);
    EXPECT_EQ(record.valueCell, static_cast<void *>(dwords + 3));
    EXPECT_EQ(dwords[0], 0x00011234u);
    EXPECT_EQ(dwords[2], 0xAABBCCDDu);

    uint8_t bytes[4] = {};
    record.valueCell = bytes;
    EXPECT_EQ(ConvertBlockRead(8, 4, data, &record), 0);
    EXPECT_EQ(record.valueCell, static_cast<void *>(bytes));
    EXPECT_EQ(bytes[1], 0x01);
    EXPECT_EQ(bytes[2], 0x12);

    EXPECT_EQ(ConvertBlockRead(64, 1, data, &record), 2);
    EXPECT_EQ(record.valueCell, static_cast<void *>(bytes));
}

TEST(ValueCells, WritesTakeTheValueInPlcOrder)
{
    uint16_t halves[2] = {0xAAAA, 0x1234};
    uint8_t out[4] = {};
    EXPECT_EQ(ConvertSingleWrite(16, halves, out), 0);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0x34);
    halves[1] = 0x12AB;
    EXPECT_EQ(ConvertSingleWrite(8, halves, out), 0);
    EXPECT_EQ(out[0], 0xAB);
    const uint32_t whole = 0x12345678;
    EXPECT_EQ(ConvertSingleWrite(32, &whole, out), 0);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[3], 0x78);
    EXPECT_EQ(ConvertSingleWrite(24, &whole, out), 2);
}

TEST(ValueCells, ReplyFrameLengthOfReads)
{
    EXPECT_EQ(ReadReplyFrameLength(3), 18u);  // 3 elements of 8 bits
    EXPECT_EQ(ReadReplyFrameLength(4), 18u);  // 2 elements of 16 bits
    EXPECT_EQ(ReadReplyFrameLength(3998), 4012u);
}

// ---- Refusals before the line -------------------------------------------------------------------

class GateRefusals : public PlcUnitTest {
protected:
    void SetUp() override
    {
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
    uint32_t Run(uint32_t code)
    {
        DriverCall call = Call(code, &gate);
        switch (code) {
        case KVI_SINGLE_READ:
            return SingleRead(&call);
        case KVI_BLOCK_READ:
            return BlockRead(&call);
        case KVI_SINGLE_WRITE:
            return SingleWrite(&call);
        default:
            return BlockWrite(&call);
        }
    }

    GateAddressRW gate;
    uint32_t cell = 0xCAFEF00D;
};

TEST_F(GateRefusals, ClosedPortIsRefusedSilently)
{
    instance.portOpen = 0;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 1u);
    EXPECT_EQ(Run(KVI_BLOCK_READ), 1u);
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 1u);
    EXPECT_TRUE(hostlog::Messages().empty());
}

TEST_F(GateRefusals, ClosedStack)
{
    instance.dsfOpen = 0;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 2u);
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 2u);
    EXPECT_EQ(hostlog::Messages(), Logged({{32, "KESTA> DoRead() Net2000 not initialised!"},
                                           {8, "KESTA> SingleRead(), rc= 2"},
                                           {32, "KESTA> DoRead() Net2000 not initialised!"}}));
}

TEST_F(GateRefusals, EwtGatesThatCannotBeReadOrWritten)
{
    gate.typeCode = EWTm;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 1u);
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 1u);
    gate.typeCode = EWTv;
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 1u);
    gate.typeCode = EWTV;
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 1u);
    gate.typeCode = EWTM;
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 1u);
    EXPECT_EQ(hostlog::Messages(), Logged({{32, "KESTA> DoRead() time-stamp gate can not be read!"},
                                           {8, "KESTA> SingleRead(), rc= 1"},
                                           {32, "KESTA> DoRead() time-stamp gate can not be written!"},
                                           {32, "KESTA> DoRead() time-stamp gate can not be written!"},
                                           {32, "KESTA> DoRead() sample gate can not be written!"},
                                           {32, "KESTA> DoRead() sample gate can not be written!"}}));
}

TEST_F(GateRefusals, AddressNotRegistered)
{
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

TEST_F(GateRefusals, StationAbove255IsRefusedBeforeTheTableIsIndexed)
{
    gate.station = 256;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 1u);
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 1u);
    gate.station = 0xFFFFFFFFu;
    gate.typeCode = EWTM;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 1u);
    EXPECT_EQ(cell, 0xCAFEF00Du);
    EXPECT_EQ(hostlog::Messages(), Logged({{32, "KESTA> DoRead() illegal plc address 256"},
                                           {8, "KESTA> SingleRead(), rc= 1"},
                                           {32, "KESTA> DoWrite() illegal plc address 256"},
                                           {32, "KESTA> DoRead() illegal plc address 4294967295"},
                                           {8, "KESTA> SingleRead(), rc= 1"}}));
}

TEST_F(GateRefusals, StationWithoutConnectionFailsAsNotConnected)
{
    // The host reads a gate whose parse never connected its station: the engine's not-connected code,
    // without touching the empty slot.
    EXPECT_EQ(Run(KVI_SINGLE_READ), 2u);
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 2u);
    gate.typeCode = EWTV;
    gate.offset = 0x0401;
    gate.toggleHandle = 0x0402;
    EXPECT_EQ(Run(KVI_SINGLE_READ), 2u);
    EXPECT_EQ(cell, 0xCAFEF00Du);
    EXPECT_EQ(hostlog::Messages(), Logged({{8, "KESTA> DoRead() read, ErrCode: 40"},
                                           {8, "KESTA> SingleRead(), rc= 2"},
                                           {32, "KESTA> DoWrite() write, ErrCode: 40"},
                                           {32, "KESTA> ReadSampleGate() Read, ErrCode: 40"},
                                           {8, "KESTA> SingleRead(), rc= 2"}}));
    EXPECT_EQ(instance.sampleCount, 0u);
}

TEST_F(GateRefusals, BlockReadsLargerThanTheReplyBufferFailBeforeTraffic)
{
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

TEST_F(GateRefusals, MissingRecordOrCell)
{
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

TEST_F(GateRefusals, UnsupportedWriteSizeAndBlockWrite)
{
    gate.elementBits = 24;
    EXPECT_EQ(Run(KVI_SINGLE_WRITE), 2u);
    EXPECT_EQ(Run(KVI_BLOCK_WRITE), 1u);
    EXPECT_EQ(hostlog::Messages(), Logged({{8, "KESTA> BlockWrite() NOT supported"}}));
}

} // namespace
