// Reads and writes through KviMain against the station simulator: values in the host's cells, bytes at
// the station, item head forms, long replies in segments, faults on the line.
#include "gate_line.h"

#include "plc/gates.h"
#include "tools/sim/sim.h"

namespace {

using kesta::sim::kTypeBool;
using kesta::sim::kTypeInt16;
using kesta::sim::kTypeInt32;
using kesta::sim::kTypeUint16;
using kesta::sim::kTypeUint32;

ObjectSpec Raw(const char *name, uint16_t dataType, std::vector<uint8_t> bytes, uint8_t kind = 0, uint32_t count = 1) {
    ObjectSpec objectSpec;
    objectSpec.name = name;
    objectSpec.dataType = dataType;
    objectSpec.kind = kind;
    objectSpec.count = count;
    objectSpec.elementLength = static_cast<uint32_t>(bytes.size()) / count;
    objectSpec.init = std::move(bytes);
    return objectSpec;
}

class ReadWriteLine : public GateLine {
protected:
    void Faults(const char *text) {
        std::string error;
        kesta::sim::FaultScript script;
        ASSERT_TRUE(kesta::sim::ParseFaultScript(text, &script, &error)) << error;
        St(2).setFaults(script);
    }
};

TEST_F(ReadWriteLine, SingleReadsOf8_16And32Bits) {
    St(2).addObject(Raw("b", kTypeBool, {0xFF}));
    St(2).addObject(Raw("w", kTypeUint16, {0x12, 0x34}));
    St(2).addObject(Raw("d", kTypeUint32, {0x12, 0x34, 0x56, 0x78}));
    Start();
    DriverFixture::Gate b, w, d;
    ASSERT_EQ(0u, f.Parse(b, "002b", GATE_DIGITAL));
    ASSERT_EQ(0u, f.Parse(w, "002w", GATE_UNSIGNED16));
    ASSERT_EQ(0u, f.Parse(d, "002d", GATE_UNSIGNED32));
    memset(b.cell, 0xEE, 4);
    memset(w.cell, 0xEE, 4);
    EXPECT_EQ(0u, f.Read(b));
    EXPECT_EQ(0u, f.Read(w));
    EXPECT_EQ(0u, f.Read(d));
    EXPECT_EQ(Half(b.cell, 0), 0);
    EXPECT_EQ(Half(b.cell, 1), 255);
    EXPECT_EQ(Half(w.cell, 0), 0);
    EXPECT_EQ(Half(w.cell, 1), 0x1234);
    EXPECT_EQ(Word32(d.cell), 0x12345678u);
    EXPECT_TRUE(GateMessages().empty());

    // One read item per request, of the object's length.
    f.sim().clearTraffic();
    EXPECT_EQ(0u, f.Read(d));
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0].items.size(), 1u);
    EXPECT_EQ(requests[0].items[0].handle, St(2).handle("d"));
    EXPECT_EQ(requests[0].items[0].length, 4u);
}

TEST_F(ReadWriteLine, BlockReadsAdvanceTheCellPointerFor16And32BitElements) {
    St(2).addObject(Raw("bytes", kTypeBool, {1, 2, 3, 0xFF}, kesta::sim::kKindArray, 4));
    St(2).addObject(
        Raw("words", kTypeUint16, {0x00, 0x01, 0x12, 0x34, 0xFF, 0xFE, 0x80, 0x00}, kesta::sim::kKindArray, 4));
    St(2).addObject(Raw("longs", kTypeInt32, {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78},
                        kesta::sim::kKindArray, 3));
    Start();
    DriverFixture::Gate bytes, words, longs;
    ASSERT_EQ(0u, f.Parse(bytes, "002bytes", GATE_DIGITAL, true, 4));
    ASSERT_EQ(0u, f.Parse(words, "002words", GATE_UNSIGNED16, true, 4));
    ASSERT_EQ(0u, f.Parse(longs, "002longs", GATE_SIGNED32, true, 3));

    EXPECT_EQ(0u, f.Read(bytes, true, 4));
    EXPECT_EQ(bytes.rw.valueCell, static_cast<void *>(bytes.cell));
    EXPECT_EQ(std::vector<uint8_t>(bytes.cell, bytes.cell + 4), (std::vector<uint8_t>{1, 2, 3, 0xFF}));

    EXPECT_EQ(0u, f.Read(words, true, 4));
    EXPECT_EQ(words.rw.valueCell, static_cast<void *>(words.cell + 8));
    EXPECT_EQ(Half(words.cell, 0), 0x0001);
    EXPECT_EQ(Half(words.cell, 1), 0x1234);
    EXPECT_EQ(Half(words.cell, 3), 0x8000);

    EXPECT_EQ(0u, f.Read(longs, true, 3));
    EXPECT_EQ(longs.rw.valueCell, static_cast<void *>(longs.cell + 12));
    EXPECT_EQ(Word32(longs.cell), 1u);
    EXPECT_EQ(Word32(longs.cell + 4), 0xFFFFFFFFu);
    EXPECT_EQ(Word32(longs.cell + 8), 0x12345678u);

    // Three bytes and two words both expect a reply frame of 18 bytes: the item lengths on the line.
    f.sim().clearTraffic();
    EXPECT_EQ(0u, f.Read(bytes, true, 3));
    EXPECT_EQ(0u, f.Read(words, true, 2));
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].items[0].length, 3u);
    EXPECT_EQ(requests[1].items[0].length, 4u);
}

TEST_F(ReadWriteLine, WritesPutTheValueAtTheStationMostSignificantByteFirst) {
    St(2).addObject(Raw("b", kTypeBool, {0}));
    St(2).addObject(Raw("w", kTypeUint16, {0, 0}));
    St(2).addObject(Raw("d", kTypeUint32, {0, 0, 0, 0}));
    Start();
    DriverFixture::Gate b, w, d;
    ASSERT_EQ(0u, f.Parse(b, "002b", GATE_DIGITAL));
    ASSERT_EQ(0u, f.Parse(w, "002w", GATE_UNSIGNED16));
    ASSERT_EQ(0u, f.Parse(d, "002d", GATE_UNSIGNED32));
    f.sim().clearTraffic();

    uint8_t cell[4];
    const uint16_t byteCell[2] = {0xAAAA, 0x12AB}; // the first half is ignored, the low byte is sent
    memcpy(cell, byteCell, 4);
    EXPECT_EQ(0u, f.Write(b, cell));
    const uint16_t wordCell[2] = {0xAAAA, 0x1234};
    memcpy(cell, wordCell, 4);
    EXPECT_EQ(0u, f.Write(w, cell));
    const uint32_t whole = 0x12345678;
    memcpy(cell, &whole, 4);
    EXPECT_EQ(0u, f.Write(d, cell));

    EXPECT_EQ(St(2).bytes("b"), (std::vector<uint8_t>{0xAB}));
    EXPECT_EQ(St(2).bytes("w"), (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(St(2).bytes("d"), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    const uint32_t lengths[] = {1, 2, 4};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(requests[i].code, kesta::sim::kCodeWriteLong);
        ASSERT_EQ(requests[i].items.size(), 1u);
        EXPECT_EQ(requests[i].items[0].length, lengths[i]);
    }
    EXPECT_EQ(requests[1].items[0].handle, St(2).handle("w"));
    EXPECT_TRUE(GateMessages().empty());
}

TEST_F(ReadWriteLine, ShortItemHeadsWhenTheStationAnnouncesThem) {
    kesta::sim::ConnectObjects objects;
    objects.object2 = 0x0080; // from 128 on: short item heads
    St(2).setConnectObjects(objects);
    St(2).setStrictItemMode(true);
    St(2).addObject(Raw("w", kTypeUint16, {0xBE, 0xEF}));
    Start();
    DriverFixture::Gate w;
    ASSERT_EQ(0u, f.Parse(w, "002w", GATE_UNSIGNED16));
    EXPECT_EQ(0u, f.Read(w));
    EXPECT_EQ(Half(w.cell, 1), 0xBEEF);
    uint8_t cell[4] = {0, 0, 0x01, 0x02}; // second half 0x0201 on this host
    EXPECT_EQ(0u, f.Write(w, cell));
    EXPECT_EQ(St(2).bytes("w"), (std::vector<uint8_t>{0x02, 0x01}));
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[requests.size() - 2].code, kesta::sim::kCodeReadShort);
    EXPECT_EQ(requests.back().code, kesta::sim::kCodeWriteShort);
}

TEST_F(ReadWriteLine, LongBlockReadsComeInSegmentsUpTo3998Bytes) {
    std::vector<uint8_t> init(3998);
    for (size_t i = 0; i < init.size(); ++i)
        init[i] = static_cast<uint8_t>(i * 7 + 1);
    St(2).addObject(Raw("big", kTypeBool, init, kesta::sim::kKindArray, 3998));
    ObjectSpec bigger = Raw("bigger", kTypeBool, std::vector<uint8_t>(3999), kesta::sim::kKindArray, 3999);
    St(2).addObject(bigger);
    Start();
    DriverFixture::Gate big, biggerGate;
    ASSERT_EQ(0u, f.Parse(big, "002big", GATE_DIGITAL, true, 3998));
    ASSERT_EQ(0u, f.Parse(biggerGate, "002bigger", GATE_DIGITAL, true, 3999));
    const uint64_t segmentsBefore = St(2).stats().replySegments;

    EXPECT_EQ(0u, f.Read(big, true, 3998));
    EXPECT_EQ(std::vector<uint8_t>(big.cell, big.cell + 3998), init);
    EXPECT_GE(St(2).stats().replySegments - segmentsBefore, 7u); // 4002 message bytes, 508 a frame

    f.sim().clearTraffic();
    memset(biggerGate.cell, 0x5A, 8);
    EXPECT_EQ(2u, f.Read(biggerGate, true, 3999));
    EXPECT_EQ(MasterFrames(), 0u);
    EXPECT_EQ(biggerGate.cell[0], 0x5A);
    EXPECT_EQ(GateMessages(), Logged({{8, "KESTA> DoRead() read, ErrCode: 60"}, {8, "KESTA> BlockRead(), rc= 2"}}));
}

TEST_F(ReadWriteLine, GatesThatCannotBeWrittenOrRead) {
    St(2).addSampleStructure("data");
    Start();
    DriverFixture::Gate sample, stamp;
    ASSERT_EQ(0u, f.Parse(sample, "002_Vdata", GATE_UNSIGNED32));
    ASSERT_EQ(0u, f.Parse(stamp, "002_V001_002", GATE_SIGNED16));
    f.sim().clearTraffic();
    const uint8_t cell[4] = {0, 0, 1, 0};
    EXPECT_EQ(1u, f.Write(sample, cell));
    EXPECT_EQ(1u, f.Write(stamp, cell));
    EXPECT_EQ(1u, f.Read(stamp));
    EXPECT_EQ(1u, Kvi(KVI_BLOCK_WRITE, &sample.rw));
    EXPECT_EQ(MasterFrames(), 0u);
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> DoRead() sample gate can not be written!"},
                                      {32, "KESTA> DoRead() time-stamp gate can not be written!"},
                                      {32, "KESTA> DoRead() time-stamp gate can not be read!"},
                                      {8, "KESTA> SingleRead(), rc= 1"},
                                      {8, "KESTA> BlockWrite() NOT supported"}}));
}

TEST_F(ReadWriteLine, AGateWhoseParseFailedIsReadWithoutTouchingTheLine) {
    // The host reads 002w although its parse failed (station 2 never answered): the record's station
    // slot is empty.
    St(3).addObject(Raw("w", kTypeUint16, {0, 7}));
    Start();
    DriverFixture::Gate w, other;
    ASSERT_EQ(0u, f.Parse(other, "003w", GATE_UNSIGNED16));
    w = other;
    w.address = "002w";
    w.rw.addressString = w.address.c_str();
    w.rw.station = 2;
    ASSERT_EQ(0, CheckAndAdd(&f.instance(), "002w", 5)); // registered, but station 2 not connected
    DriverFixture::Gate sample = w;                      // a sample gate on the same station
    sample.rw.typeCode = EWTM;
    sample.rw.offset = 6;
    sample.rw.toggleHandle = 7;
    f.sim().clearTraffic();
    f.ClearMessages();
    EXPECT_EQ(2u, f.Read(w));
    const uint8_t cell[4] = {0, 0, 1, 0};
    EXPECT_EQ(2u, f.Write(w, cell));
    EXPECT_EQ(2u, f.Read(sample));
    w.rw.station = 300; // a record the host garbled
    EXPECT_EQ(1u, f.Read(w));
    EXPECT_EQ(1u, f.Write(w, cell));
    EXPECT_EQ(MasterFrames(), 0u);
    EXPECT_EQ(Field(f.instance().sampleCount), 0u);
    EXPECT_EQ(GateMessages(), Logged({{8, "KESTA> DoRead() read, ErrCode: 40"},
                                      {8, "KESTA> SingleRead(), rc= 2"},
                                      {32, "KESTA> DoWrite() write, ErrCode: 40"},
                                      {32, "KESTA> ReadSampleGate() Read, ErrCode: 40"},
                                      {8, "KESTA> SingleRead(), rc= 2"},
                                      {32, "KESTA> DoRead() illegal plc address 300"},
                                      {8, "KESTA> SingleRead(), rc= 1"},
                                      {32, "KESTA> DoWrite() illegal plc address 300"}}));
}

TEST_F(ReadWriteLine, ReadsAfterEndAndWithThePortClosed) {
    St(2).addObject(Raw("w", kTypeUint16, {0, 7}));
    Start();
    DriverFixture::Gate w;
    ASSERT_EQ(0u, f.Parse(w, "002w", GATE_UNSIGNED16));
    f.sim().clearTraffic();
    f.instance().portOpen = 0;
    EXPECT_EQ(1u, f.Read(w));
    const uint8_t cell[4] = {0, 0, 1, 0};
    EXPECT_EQ(1u, f.Write(w, cell));
    f.instance().portOpen = 1;
    EXPECT_EQ(0u, f.End());
    memset(w.cell, 0x11, 4);
    EXPECT_EQ(0u, f.Read(w));
    EXPECT_EQ(w.cell[0], 0x11);
    EXPECT_EQ(MasterFrames(), 0u);
}

// ---- Faults on the line --------------------------------------------------------------------------

class LineFaults : public ReadWriteLine {
protected:
    void SetUp() override {
        ReadWriteLine::SetUp();
        St(2).addObject(Raw("w", kTypeUint16, {0x12, 0x34}));
        Start();
        ASSERT_EQ(0u, f.Parse(w, "002w", GATE_UNSIGNED16));
        f.sim().clearTraffic();
        f.ClearMessages();
    }
    DriverFixture::Gate w;
};

TEST_F(LineFaults, SilenceCostsFourSendingsAndErrCode10) {
    Faults("silence*4");
    memset(w.cell, 0x11, 4);
    EXPECT_EQ(2u, f.Read(w));
    EXPECT_EQ(w.cell[0], 0x11); // a failed read leaves the cell alone
    ASSERT_TRUE(f.sim().waitUntil([&] { return MasterFrames() >= 4; }, std::chrono::seconds(2)));
    EXPECT_EQ(MasterFrames(), 4u);
    EXPECT_EQ(GateMessages(), Logged({{8, "KESTA> DoRead() read, ErrCode: 10"}, {8, "KESTA> SingleRead(), rc= 2"}}));

    f.ClearMessages();
    Faults("silence*4");
    const uint8_t cell[4] = {0, 0, 1, 0};
    EXPECT_EQ(2u, f.Write(w, cell));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> DoWrite() write, ErrCode: 10"}}));
}

TEST_F(LineFaults, DisturbedRepliesAreRecoveredByTheEngine) {
    // Noise before the answer, an answer in two halves, a corrupted header or data checksum (the
    // frame is dropped and the request sent again): the value arrives each time.
    for (const char *fault : {"noise=8", "split=50", "hcs", "dcs", "stale", "other"}) {
        SCOPED_TRACE(fault);
        Faults(fault);
        memset(w.cell, 0, 4);
        EXPECT_EQ(0u, f.Read(w));
        EXPECT_EQ(Half(w.cell, 1), 0x1234);
    }
    EXPECT_TRUE(GateMessages().empty());
}

TEST_F(LineFaults, StationErrorReplies) {
    Faults("error=5/0x10"); // 65380 + 5: low byte 105
    EXPECT_EQ(2u, f.Read(w));
    Faults("error=7/0x00"); // 7 itself
    EXPECT_EQ(2u, f.Read(w));
    // Error number 256: its low byte is 0, yet the read failed and the cell must not look read.
    memset(w.cell, 0x11, 4);
    Faults("error=256/0x00");
    EXPECT_EQ(2u, f.Read(w));
    EXPECT_EQ(w.cell[0], 0x11);
    Faults("error=5/0x10");
    const uint8_t cell[4] = {0, 0, 1, 0};
    EXPECT_EQ(2u, f.Write(w, cell));
    EXPECT_EQ(GateMessages(), Logged({{8, "KESTA> DoRead() read, ErrCode: 105"},
                                      {8, "KESTA> SingleRead(), rc= 2"},
                                      {8, "KESTA> DoRead() read, ErrCode: 7"},
                                      {8, "KESTA> SingleRead(), rc= 2"},
                                      {8, "KESTA> DoRead() read, ErrCode: 0"},
                                      {8, "KESTA> SingleRead(), rc= 2"},
                                      {32, "KESTA> DoWrite() write, ErrCode: 105"}}));
    // The next read works again.
    EXPECT_EQ(0u, f.Read(w));
    EXPECT_EQ(Half(w.cell, 1), 0x1234);
}

} // namespace
