// The simulator's own codec against known frames, prefixes, EWT records and values.
#include <gtest/gtest.h>

#include "support/hex.h"
#include "support/golden.h"
#include "tools/sim/codec.h"

using namespace kesta::sim;

TEST(SimCodec, FrameWithoutData) { EXPECT_EQ(Hex(BuildFrame(2, 1, 3, kAck, nullptr, 0)), golden::kAckFrame); }

TEST(SimCodec, FrameWithOddDataIsPadded) {
    const auto data = HexBytes(golden::kOddData);
    EXPECT_EQ(Hex(BuildFrame(2, 1, 1, kRequestLast, data.data(), data.size())), golden::kOddDataFrame);
}

TEST(SimCodec, FrameSizeLimits) {
    std::vector<uint8_t> data(kMaxFrameData, 0x5A);
    EXPECT_EQ(BuildFrame(2, 1, 1, kReplyLast, data.data(), data.size()).size(), kMaxFrame);
    data.push_back(0);
    EXPECT_TRUE(BuildFrame(2, 1, 1, kReplyLast, data.data(), data.size()).empty());
}

TEST(SimCodec, LengthPrefixes) {
    std::vector<uint8_t> p;
    PutPrefix(p, 509);
    PutPrefix(p, 40000);
    EXPECT_EQ(Hex(p), std::string(golden::kPrefix509) + " " + golden::kPrefix40000);
    uint32_t remaining;
    size_t size;
    ASSERT_TRUE(GetPrefix(p.data() + 2, 4, &remaining, &size));
    EXPECT_EQ(remaining, 40000u);
    EXPECT_EQ(size, 4u);
}

TEST(SimCodec, ReceiverSkipsNoiseBadHeaderAndTakesAnyAddress) {
    // Noise, a header whose checksum is wrong, then the two example frames back to back.
    const auto bytes =
        HexBytes(std::string("FF 55 02 00 05 01 3E 00 ") + golden::kAckFrame + " " + golden::kOddDataFrame);
    FrameReceiver rx;
    std::vector<std::string> frames;
    int badHeaders = 0;
    for (uint8_t b : bytes) {
        switch (rx.feed(b)) {
        case FrameReceiver::Event::Frame: frames.push_back(Hex(rx.frame())); break;
        case FrameReceiver::Event::BadHeader: ++badHeaders; break;
        default: break;
        }
    }
    EXPECT_EQ(badHeaders, 1);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], golden::kAckFrame);
    EXPECT_EQ(frames[1], golden::kOddDataFrame);
}

TEST(SimCodec, ReceiverReportsBadDataChecksum) {
    auto f = HexBytes("02 02 02 01 11 12 AA BB CC 00 66 A8");
    FrameReceiver rx;
    FrameReceiver::Event last = FrameReceiver::Event::None;
    for (uint8_t b : f)
        last = rx.feed(b);
    EXPECT_EQ(last, FrameReceiver::Event::BadData);
    ResealFrame(f);
    EXPECT_TRUE(FrameChecksumsOk(f));
}

TEST(SimCodec, EwtRecordExamples) {
    const SampleRecord m = MessageRecord(26, 12, 2001, 14, 30, 45, 5, 7, true);
    EXPECT_EQ(Hex(m.data(), m.size()), "01 1A 0C 00 07 D1 0E 1E 2D 05 07 01");
    const SampleRecord v = MeasurementRecord(26, 12, 2001, 14, 30, 5, 7, 500);
    EXPECT_EQ(Hex(v.data(), v.size()), "01 1A 0C 00 07 D1 0E 1E 05 07 01 F4");
}

TEST(SimCodec, ValuesAreStoredBigEndian) {
    struct Row {
        uint16_t type;
        double value;
        const char *bytes;
    } rows[] = {
        {kTypeBool, 1, "01"},
        {kTypeInt16, -2, "FF FE"},
        {kTypeInt16b, 0x1234, "12 34"},
        {kTypeInt32, -100000, "FF FE 79 60"},
        {kTypeUint16, 65535, "FF FF"},
        {kTypeUint16b, 1, "00 01"},
        {kTypeUint32, 0x12345678, "12 34 56 78"},
        {kTypeFloat, 1.5, "3F C0 00 00"},
    };
    for (const Row &r : rows) {
        uint8_t b[4];
        ASSERT_TRUE(EncodeValue(r.type, TypeSize(r.type), r.value, b)) << r.type;
        EXPECT_EQ(Hex(b, TypeSize(r.type)), r.bytes) << r.type;
        EXPECT_EQ(DecodeValue(r.type, b, TypeSize(r.type)), r.value) << r.type;
    }
    uint8_t b[4];
    EXPECT_FALSE(EncodeValue(kTypeInt16, 2, 32768, b));
    EXPECT_FALSE(EncodeValue(kTypeUint16, 2, -1, b));
    EXPECT_FALSE(EncodeValue(kTypeBool, 1, 2, b));
}

TEST(SimCodec, FaultScripts) {
    FaultScript s;
    std::string error;
    ASSERT_TRUE(ParseFaultScript("ok*2,silence*3,noise=8,hcs,error=5/0x04,split=80,random=0.25/9", &s, &error))
        << error;
    ASSERT_EQ(s.steps.size(), 6u);
    EXPECT_EQ(s.steps[1].kind, FaultKind::Silence);
    EXPECT_EQ(s.steps[1].repeat, 3u);
    EXPECT_EQ(s.steps[2].param, 8u);
    EXPECT_EQ(s.steps[4].param, 5u);
    EXPECT_EQ(s.steps[4].flags, 0x04);
    EXPECT_EQ(s.randomRate, 0.25);
    EXPECT_EQ(s.seed, 9u);
    EXPECT_FALSE(ParseFaultScript("silense", &s, &error));
    EXPECT_NE(error.find("'silense'"), std::string::npos) << error;
    EXPECT_FALSE(ParseFaultScript("hcs=3", &s, &error));
    EXPECT_FALSE(ParseFaultScript("random=2", &s, &error));
}

// The station and line events: what each step reads, and the refusals beside it.
TEST(SimCodec, EventSteps) {
    struct Row {
        const char *text;
        FaultKind kind;
        uint32_t param;
        const char *name;
    };
    const Row rows[] = {
        {"off", FaultKind::SwitchOff, 0, ""},
        {"off=2500", FaultKind::SwitchOff, 2500, ""},
        {"restart", FaultKind::Restart, 0, ""},
        {"drop=speed", FaultKind::Drop, 0, "speed"},
        {"resize=table/20", FaultKind::Resize, 20, "table"},
        {"unplug", FaultKind::Unplug, 0, ""},
        {"unplug=1500", FaultKind::Unplug, 1500, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        FaultScript s;
        std::string error;
        ASSERT_TRUE(ParseFaultScript(row.text, &s, &error)) << error;
        ASSERT_EQ(s.steps.size(), 1u);
        EXPECT_EQ(s.steps[0].kind, row.kind);
        EXPECT_EQ(s.steps[0].param, row.param);
        EXPECT_EQ(s.steps[0].name, row.name);
        EXPECT_STREQ(FaultName(row.kind), std::string(row.text).substr(0, std::string(row.text).find('=')).c_str());
    }
    const char *refused[] = {"drop",      "drop=",     "drop=a/3",    "resize=table", "resize=table/0",
                             "resize=/3", "restart=1", "off=3600001", "unplug=x",     "resize=t/1048577"};
    for (const char *text : refused) {
        FaultScript s;
        std::string error;
        EXPECT_FALSE(ParseFaultScript(text, &s, &error)) << text;
        EXPECT_NE(error.find('\''), std::string::npos) << text << ": " << error;
    }
}
