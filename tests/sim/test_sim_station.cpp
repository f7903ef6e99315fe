// A station's side of the exchanges, driven frame by frame without a line: connect reply, lookups,
// read and write lists, segments both ways, repeats, EWT records, acknowledgement, faults.
#include <gtest/gtest.h>

#include "support/hex.h"
#include "tools/sim/station.h"

using namespace kesta::sim;

namespace {

// A master at address 1 talking to one station state.
struct Bench {
    StationState s;
    uint8_t seq = 0;

    explicit Bench(uint8_t address = 2) { InitStation(s, address); }

    std::vector<std::vector<uint8_t>> frame(const std::vector<uint8_t> &raw) {
        Frame f;
        EXPECT_TRUE(ParseFrame(raw, &f));
        TrafficRecord rx = DescribeFrame(raw, Direction::FromMaster);
        Answer a;
        HandleFrame(s, f, rx, a);
        std::vector<std::vector<uint8_t>> out;
        for (const OutFrame &o : a.frames)
            out.push_back(o.frame);
        return out;
    }

    std::vector<std::vector<uint8_t>> send(uint8_t type, const std::vector<uint8_t> &data) {
        ++seq;
        return frame(BuildFrame(s.address, 1, seq & 15, type, data.data(), data.size()));
    }

    // One request message; the reply message gathered over NextReplySegment, checking each frame.
    std::vector<uint8_t> request(const std::vector<uint8_t> &message, uint8_t *lastType = nullptr) {
        std::vector<uint8_t> data;
        PutPrefix(data, static_cast<uint32_t>(message.size()));
        data.insert(data.end(), message.begin(), message.end());
        auto answer = send(kRequestLast, data);
        std::vector<uint8_t> reply;
        for (;;) {
            if (answer.size() != 1) {
                ADD_FAILURE() << "expected one answer frame, got " << answer.size();
                return reply;
            }
            Frame f;
            EXPECT_TRUE(ParseFrame(answer[0], &f));
            EXPECT_EQ(f.destination, 1);
            EXPECT_EQ(f.source, s.address);
            EXPECT_EQ(f.sequence, seq & 15) << "the station echoes the sequence it answers";
            uint32_t remaining;
            size_t prefix;
            EXPECT_TRUE(GetPrefix(f.data.data(), f.data.size(), &remaining, &prefix));
            const size_t n = f.data.size() - prefix;
            if (f.type == kReplyMore) {
                EXPECT_EQ(f.data.size(), kMaxFrameData);
                reply.insert(reply.end(), f.data.begin() + static_cast<long>(prefix), f.data.end());
                answer = send(kNextReplySegment, {});
                continue;
            }
            EXPECT_TRUE(n == remaining || n == remaining + 1);
            reply.insert(reply.end(), f.data.begin() + static_cast<long>(prefix),
                         f.data.begin() + static_cast<long>(prefix + remaining));
            if (lastType)
                *lastType = f.type;
            return reply;
        }
    }
};

std::string Handle(uint16_t h) {
    const uint8_t b[2] = {static_cast<uint8_t>(h), static_cast<uint8_t>(h >> 8)};
    return Hex(b, 2);
}

} // namespace

TEST(SimStation, ConnectReplyAndControlWrite) {
    Bench b;
    uint8_t type = 0;
    EXPECT_EQ(Hex(b.request(HexBytes("FF 00 07 21 00 04 00 02 00 04 00 05 00 06"), &type)),
              "00 00 07 21 00 05 01 00 FF FF 00 00 10 00");
    EXPECT_EQ(type, kReplyLast);
    EXPECT_EQ(Hex(b.request(HexBytes("FF 00 08 22 00 01 00 04 02"))), "00 00 08 22");
    EXPECT_EQ(GetConnectObjects(b.s).object4[0], 2);

    ConnectObjects c;
    c.object2 = 0x0080;
    c.object4 = {0, 0};
    c.object5 = 0x0001;
    c.object6 = 8192;
    SetConnectObjects(b.s, c);
    EXPECT_EQ(Hex(b.request(HexBytes("FF 00 09 21 00 04 00 02 00 04 00 05 00 06"))),
              "00 00 09 21 00 80 00 00 00 01 00 00 20 00");
}

TEST(SimStation, LookupOfAb) {
    Bench b;
    const auto unknown = b.request(HexBytes("00 00 05 11 00 01 61 62 00"));
    ASSERT_EQ(unknown.size(), 26u);
    EXPECT_EQ(unknown[4], 2) << "default status byte of an unknown name";

    const uint16_t h = AddObject(b.s, ObjectSpec::Scalar("ab", kTypeInt16, -2), nullptr);
    ASSERT_NE(h, 0);
    const auto found = b.request(HexBytes("00 00 06 11 00 01 61 62 00"));
    EXPECT_EQ(Hex(found), "00 00 06 11 00 00 " + Handle(h) + " 00 00 00 00 00 00 00 02 00 02 00 00 00 00 00 00 00 02");
}

TEST(SimStation, ElementLookupAndBothItemForms) {
    Bench b;
    ASSERT_NE(AddObject(b.s, ObjectSpec::Array("table", kTypeUint16, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), nullptr), 0);
    std::vector<uint8_t> m = HexBytes("00 00 01 11 00 01");
    for (char c : std::string("table[3]"))
        m.push_back(static_cast<uint8_t>(c));
    m.push_back(0);
    const auto r = b.request(m);
    ASSERT_EQ(r.size(), 26u);
    EXPECT_EQ(r[4], 0);
    EXPECT_EQ(r[5], kKindSingle);
    const std::string h = Hex(r.data() + 6, 2);
    EXPECT_EQ(Hex(r.data() + 12, 14), "00 00 00 02 00 05 00 00 00 00 00 00 00 02");

    EXPECT_EQ(Hex(b.request(HexBytes("00 00 02 31 00 01 " + h + " 00 00 02 00"))), "00 00 02 31 00 04");
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 03 21 00 01 " + h))), "00 00 03 21 00 04");
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 04 32 00 01 " + h + " 00 00 02 00 12 34"))), "00 00 04 32");
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 05 22 00 01 " + h + " AB CD"))), "00 00 05 22");
    const ObjectState *t = FindObject(b.s, "table");
    EXPECT_EQ(Hex(t->bytes.data() + 4, 4), "00 03 AB CD");
}

TEST(SimStation, ErrorReplies) {
    Bench b;
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 07 31 00 01 EF BE 00 00 02 00"))), "00 00 07 99 00 10 00 03");
    const uint16_t h = AddObject(b.s, ObjectSpec::Scalar("x", kTypeInt16), nullptr);
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 08 31 00 01 " + Handle(h) + " 00 00 04 00"))), "00 00 08 99 00 10 00 04");
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 09 40 00 00"))), "00 00 09 99 00 10 00 01");
}

TEST(SimStation, LongReplyTravelsInSegments) {
    Bench b;
    const uint16_t h = AddObject(b.s, ObjectSpec::Array("big", kTypeInt16, 400), nullptr);
    const auto reply = b.request(HexBytes("00 00 0A 21 00 01 " + Handle(h)));
    EXPECT_EQ(reply.size(), 804u);
    EXPECT_EQ(b.s.stats.replySegments, 1u);
    // The first segment announces the whole message, the last what is left of it.
    b.seq = 0;
    auto first = b.send(kRequestLast, HexBytes("00 08 00 00 0B 21 00 01 " + Handle(h)));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0][4] & 15, kReplyMore);
    EXPECT_EQ(Hex(first[0].data() + 6, 2), "03 24");
    auto last = b.send(kNextReplySegment, {});
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0][4], (2 << 4) | kReplyLast);
    EXPECT_EQ(Hex(last[0].data() + 6, 2), "01 28");
}

TEST(SimStation, SegmentedRequest) {
    Bench b;
    // A lookup message of 509 bytes: one name of 502 characters.
    std::vector<uint8_t> m = HexBytes("00 00 0C 11 00 01");
    m.insert(m.end(), 502, 'n');
    m.push_back(0);
    ASSERT_EQ(m.size(), 509u);
    std::vector<uint8_t> first = HexBytes("01 FD");
    first.insert(first.end(), m.begin(), m.begin() + 508);
    auto a = b.send(kRequestMore, first);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Hex(a[0]), Hex(BuildFrame(1, 2, 1, kNextRequestSegment, nullptr, 0)));
    a = b.send(kRequestLast, {0x00, 0x01, m.back()});
    ASSERT_EQ(a.size(), 1u);
    Frame f;
    ASSERT_TRUE(ParseFrame(a[0], &f));
    EXPECT_EQ(f.type, kReplyLast);
    EXPECT_EQ(Hex(f.data.data(), 6), "00 1A 00 00 0C 11");

    b.s.refuseSegments = true;
    a = b.send(kRequestMore, first);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Hex(a[0]), Hex(BuildFrame(1, 2, 3, kSegmentRefused, nullptr, 0)));
}

TEST(SimStation, RepeatedFrameIsAnsweredAgainNotCarriedOutTwice) {
    Bench b;
    ASSERT_NE(AddSample(b.s, "msgs", kKindStructure, 0, nullptr), 0);
    QueueRecord(b.s, b.s.byName["msgs"], MessageRecord(26, 12, 2001, 14, 30, 45, 5, 7, true), nullptr);
    QueueRecord(b.s, b.s.byName["msgs"], MessageRecord(26, 12, 2001, 14, 31, 0, 5, 8, false), nullptr);
    uint16_t toggle;
    View v;
    ASSERT_TRUE(ResolveName(b.s, "msgs.toggle", &toggle, &v));
    const auto data = HexBytes("00 0E 00 00 0D 32 00 01 " + Handle(toggle) + " 00 00 01 00 00 00");
    const auto ack = BuildFrame(2, 1, 5, kRequestLast, data.data(), data.size());
    const auto one = b.frame(ack);
    const auto again = b.frame(ack);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one, again);
    EXPECT_EQ(b.s.stats.requests, 1u);
    EXPECT_EQ(b.s.stats.retransmissions, 1u);
    EXPECT_EQ(b.s.objects[b.s.byName["msgs"]].acknowledged, 1u) << "one acknowledgement, not two";
}

TEST(SimStation, SampleStructurePresentsRecordsInTurn) {
    Bench b;
    const uint16_t h = AddSample(b.s, "meas", kKindStructure, 0, nullptr);
    const size_t obj = b.s.byName["meas"];
    ASSERT_TRUE(QueueRecord(b.s, obj, MeasurementRecord(26, 12, 2001, 14, 30, 5, 7, 500), nullptr));
    ASSERT_TRUE(QueueRecord(b.s, obj, MeasurementRecord(26, 12, 2001, 14, 31, 5, 7, 501), nullptr));
    uint16_t toggle;
    View v;
    ASSERT_TRUE(ResolveName(b.s, "meas.toggle", &toggle, &v));
    const std::string read = "00 01 " + Handle(h) + " 00 00 0C 00";
    const std::string write = "00 01 " + Handle(toggle) + " 00 00 01 00 00 00";
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 01 31 " + read))), "00 00 01 31 01 1A 0C 00 07 D1 0E 1E 05 07 01 F4");
    b.request(HexBytes("00 00 02 32 " + write));
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 03 31 " + read))), "00 00 03 31 01 1A 0C 00 07 D1 0E 1F 05 07 01 F5");
    b.request(HexBytes("00 00 04 32 " + write));
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 05 31 " + read))), "00 00 05 31 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(b.s.objects[obj].acknowledged, 2u);
}

TEST(SimStation, AckModes) {
    Bench b;
    b.s.ackMode = AckMode::AckFinal;
    uint8_t type = 0;
    b.request(HexBytes("00 00 01 12 49 44 00"), &type);
    EXPECT_EQ(type, kReplyAckWanted);
    auto a = b.send(kAck, {});
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Hex(a[0]), Hex(BuildFrame(1, 2, 2, kAckFinal, nullptr, 0)));

    b.s.ackMode = AckMode::Silent;
    b.request(HexBytes("00 00 02 12 49 44 00"), &type);
    EXPECT_EQ(type, kReplyAckWanted);
    EXPECT_TRUE(b.send(kAck, {}).empty());
}

TEST(SimStation, TextAndExtraData) {
    Bench b;
    b.s.textReplies["ID"] = {7, {'S', 'I', 'M', 0}};
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 01 12 49 44 00"))), "00 00 01 12 00 07 53 49 4D 00");
    const uint16_t h = AddObject(b.s, ObjectSpec::Scalar("x", kTypeUint16, 0x1234), nullptr);
    b.s.extraRead = {0xE1, 0xE2};
    b.s.extraWrite = {0xF1};
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 02 21 00 01 " + Handle(h)))), "00 00 02 A1 12 34 E1 E2");
    EXPECT_EQ(Hex(b.request(HexBytes("00 00 03 22 00 01 " + Handle(h) + " 00 01"))), "00 00 03 A2 F1");
}

TEST(SimStation, FaultScriptTakesOneStepPerFrame) {
    Bench b;
    FaultScript script;
    std::string error;
    ASSERT_TRUE(ParseFaultScript("silence,hcs,other,stale", &script, &error)) << error;
    SetFaults(b.s, script);
    const auto req = BuildFrame(2, 1, 1, kRequestLast, HexBytes("00 04 00 00 01 12").data(), 6);
    EXPECT_TRUE(b.frame(req).empty());
    const auto corrupted = b.frame(req);
    ASSERT_EQ(corrupted.size(), 1u);
    EXPECT_FALSE(FrameChecksumsOk(corrupted[0]));
    const auto other = b.frame(req); // the repeat, after a frame to another address
    ASSERT_EQ(other.size(), 2u);
    EXPECT_NE(other[0][2], 1);
    EXPECT_TRUE(FrameChecksumsOk(other[1]));
    const auto stale = b.frame(req);
    ASSERT_EQ(stale.size(), 2u);
    EXPECT_EQ(stale[0][4] >> 4, 0);
    EXPECT_EQ(stale[1][4] >> 4, 1);
    EXPECT_EQ(b.s.stats.requests, 1u);
    EXPECT_EQ(b.s.stats.Faults(FaultKind::Silence), 1u);
    EXPECT_EQ(b.s.stats.Faults(FaultKind::HeaderChecksum), 1u);
    EXPECT_EQ(b.s.stats.Faults(FaultKind::OtherStation), 1u);
    EXPECT_EQ(b.s.stats.Faults(FaultKind::StaleSequence), 1u);
}

namespace {

const char kConnect[] = "FF 00 07 21 00 04 00 02 00 04 00 05 00 06";

// A read of one whole object by its handle, short item heads.
std::vector<uint8_t> ReadOf(uint16_t h) { return HexBytes("00 00 03 21 00 01 " + Handle(h)); }

Fault Step(const char *text) {
    FaultScript script;
    std::string error;
    EXPECT_TRUE(ParseFaultScript(text, &script, &error)) << error;
    return script.steps.at(0);
}

} // namespace

// A station switched off hears nothing; switched on again it serves only the masters that connected
// since, with error 7 before that (the connect itself is always served), its program and handles as they
// were.
TEST(SimStation, SwitchedOnAgainItWantsAConnectFirst) {
    Bench b;
    const uint16_t h = AddObject(b.s, ObjectSpec::Scalar("x", kTypeInt16, 258), nullptr);
    EXPECT_EQ(Hex(b.request(ReadOf(h))), "00 00 03 21 01 02") << "served without a connect before any restart";
    SwitchOff(b.s, std::chrono::steady_clock::time_point::max());
    std::vector<uint8_t> data;
    const std::vector<uint8_t> m = ReadOf(h);
    PutPrefix(data, static_cast<uint32_t>(m.size()));
    data.insert(data.end(), m.begin(), m.end());
    EXPECT_TRUE(b.send(kRequestLast, data).empty());
    EXPECT_EQ(b.s.stats.frames, 1u) << "frames while off are not counted as heard";
    SwitchOn(b.s);
    EXPECT_EQ(Hex(b.request(ReadOf(h))), "00 00 03 99 00 10 00 07");
    EXPECT_EQ(Hex(b.request(HexBytes(kConnect))), "00 00 07 21 00 05 01 00 FF FF 00 00 10 00");
    EXPECT_EQ(Hex(b.request(ReadOf(h))), "00 00 03 21 01 02");
}

// A restart hands every object a handle never used before: the old one gets error 3, the name finds
// the new one, and a sample structure's ".toggle" moves with it.
TEST(SimStation, RestartRenumbersEveryHandle) {
    Bench b;
    const uint16_t x = AddObject(b.s, ObjectSpec::Scalar("x", kTypeInt16, 1), nullptr);
    ASSERT_NE(AddSample(b.s, "ewt", kKindStructure, 0, nullptr), 0);
    uint16_t toggle = 0;
    View v;
    ASSERT_TRUE(ResolveName(b.s, "ewt.toggle", &toggle, &v));
    Restart(b.s);
    uint16_t x2 = 0, toggle2 = 0;
    ASSERT_TRUE(ResolveName(b.s, "x", &x2, &v));
    ASSERT_TRUE(ResolveName(b.s, "ewt.toggle", &toggle2, &v));
    EXPECT_GT(x2, toggle);
    EXPECT_NE(toggle2, toggle);
    EXPECT_EQ(Hex(b.request(HexBytes(kConnect))), "00 00 07 21 00 05 01 00 FF FF 00 00 10 00");
    EXPECT_EQ(Hex(b.request(ReadOf(x))), "00 00 03 99 00 10 00 03");
    EXPECT_EQ(Hex(b.request(ReadOf(x2))), "00 00 03 21 00 01");
}

// Events of a script are taken by a frame that is not heard; a program change drops or resizes the
// object and restarts the station.
TEST(SimStation, ScriptEventsTakeTheirFrame) {
    Bench b;
    AddObject(b.s, ObjectSpec::Scalar("x", kTypeInt16, 1), nullptr);
    AddObject(b.s, ObjectSpec::Array("t", kTypeUint16, 4, {1, 2, 3, 4}), nullptr);
    FaultScript script;
    script.steps = {Step("restart"), Step("drop=x"), Step("resize=t/6"), Step("off=60000"), Step("unplug=700")};
    SetFaults(b.s, script);
    const auto req = BuildFrame(2, 1, 1, kRequestLast, HexBytes("00 04 00 00 01 12").data(), 6);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(b.frame(req).empty()) << i;
    EXPECT_EQ(FindObject(b.s, "x"), nullptr);
    ASSERT_NE(FindObject(b.s, "t"), nullptr);
    EXPECT_EQ(Hex(FindObject(b.s, "t")->bytes), "00 01 00 02 00 03 00 04 00 00 00 00");
    EXPECT_TRUE(b.frame(req).empty()) << "switched off for a minute";
    SwitchOn(b.s);
    Frame f;
    ASSERT_TRUE(ParseFrame(req, &f));
    TrafficRecord rx = DescribeFrame(req, Direction::FromMaster);
    Answer a;
    HandleFrame(b.s, f, rx, a);
    EXPECT_TRUE(a.frames.empty());
    EXPECT_EQ(a.unplugMs, 700);
    for (FaultKind k :
         {FaultKind::Restart, FaultKind::Drop, FaultKind::Resize, FaultKind::SwitchOff, FaultKind::Unplug})
        EXPECT_EQ(b.s.stats.Faults(k), 1u) << FaultName(k);
    EXPECT_FALSE(DropObject(b.s, "nosuch"));
    EXPECT_FALSE(ResizeObject(b.s, "t", 0));
}
