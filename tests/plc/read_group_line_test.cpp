// Grouped reads (READ_GROUP_MS) through KviMain against the station simulator: the frames of a group
// in both item head forms, groups cut at the frame and the station's size, a list the station refuses,
// writes between reads, the age bound on a clock the test moves, two stations on one line, blocks and
// EWT gates, the line's changes, and the key off giving today's frames.
#include "gate_line.h"

#include <atomic>
#include <map>

#include "plc/read_group.h"
#include "support/hex.h"
#include "tools/sim/sim.h"

namespace {

using kesta::sim::kTypeBool;
using kesta::sim::kTypeInt16;
using kesta::sim::kTypeUint16;
using kesta::sim::kTypeUint32;

const uint64_t kT0 = 1000000000; // the test clock's start, microseconds
std::atomic<uint64_t> g_clock(kT0);
uint64_t TestClock() { return g_clock.load(); }

const uint8_t kLongHeads[] = {0x00, 0x05};  // object 2 below 0x80
const uint8_t kShortHeads[] = {0x00, 0x80}; // from 0x80 on

class ReadGroupLine : public GateLine {
protected:
    void SetUp() override {
        GateLine::SetUp();
        g_clock = kT0;
        SetReadGroupClock(TestClock);
    }
    void TearDown() override {
        SetReadGroupClock(nullptr);
        GateLine::TearDown();
    }

    // The test clock, ms after its start.
    static void At(double ms) { g_clock = kT0 + static_cast<uint64_t>(ms * 1000.0 + 0.5); }

    // An object with a handle of the test's choosing, so that frames read as written here.
    void Object(uint8_t station, const std::string &name, uint16_t type, double value, uint16_t handle) {
        ObjectSpec object = ObjectSpec::Scalar(name, type, value);
        object.handle = handle;
        ASSERT_EQ(St(station).addObject(object), handle);
        names_[{station, handle}] = name;
    }
    void Heads(uint8_t station, const uint8_t (&object2)[2]) {
        kesta::sim::ConnectObjects objects = St(station).connectObjects();
        objects.object2 = static_cast<uint16_t>(object2[0] << 8 | object2[1]);
        St(station).setConnectObjects(objects);
    }

    // Cold start with the key, the gates parsed, the traffic and messages of all that forgotten.
    void StartWith(const std::string &key, const std::vector<std::pair<std::string, uint32_t>> &gates) {
        Start("NUM_OF_SLAVES = 4\n" + key);
        for (const auto &g : gates) {
            ASSERT_EQ(0u, f.Parse(gates_[g.first], g.first, g.second)) << g.first;
        }
        Settle();
        f.sim().clearTraffic();
        f.ClearMessages();
    }

    // The station records its answer once it has written the last byte, just after the master has read
    // it: wait until every request has its reply on record before looking at the traffic or clearing it.
    void Settle() {
        kesta::sim::Simulator &sim = f.sim();
        sim.waitUntil(
            [&sim] {
                for (uint8_t address : sim.stationAddresses()) {
                    const kesta::sim::StationStats s = sim.station(address)->stats();
                    if (s.replies < s.requests)
                        return false;
                }
                return true;
            },
            std::chrono::milliseconds(2000));
    }

    // Gates a, b, c on station 2 (handles 0x2001 to 0x2003, values 1, 2, 3; c of cType), started with key.
    void StartThree(const std::string &key, uint16_t cType) {
        Object(2, "a", kTypeUint16, 1, 0x2001);
        Object(2, "b", kTypeUint16, 2, 0x2002);
        Object(2, "c", cType, 3, 0x2003);
        StartWith(key, {{"002a", GATE_UNSIGNED16},
                        {"002b", GATE_UNSIGNED16},
                        {"002c", cType == kTypeUint32 ? uint32_t{GATE_UNSIGNED32} : uint32_t{GATE_UNSIGNED16}}});
    }

    DriverFixture::Gate &G(const std::string &address) { return gates_[address]; }
    uint32_t Read(const std::string &address) { return f.Read(G(address)); }
    uint32_t Write(const std::string &address, uint32_t value) {
        uint8_t cell[4];
        const uint16_t halves[2] = {0, static_cast<uint16_t>(value)};
        if (G(address).rw.elementBits == 32)
            memcpy(cell, &value, 4);
        else
            memcpy(cell, halves, 4);
        return f.Write(G(address), cell);
    }
    uint32_t Value(const std::string &address) {
        const uint8_t *cell = G(address).cell;
        return G(address).rw.elementBits == 32 ? Word32(cell) : Half(cell, 1);
    }

    // The read requests on the line since the traffic was last cleared, each as the names of its items.
    std::vector<std::string> Reads() {
        Settle();
        std::vector<std::string> out;
        for (const TrafficRecord &r : Requests()) {
            if (r.code != kesta::sim::kCodeReadLong && r.code != kesta::sim::kCodeReadShort)
                continue;
            std::string items;
            for (const auto &item : r.items) {
                const auto name = names_.find({r.destination, item.handle});
                items += (items.empty() ? "" : " ") + (name != names_.end() ? name->second : "?");
            }
            out.push_back(items);
        }
        return out;
    }
    size_t Writes() {
        Settle();
        size_t n = 0;
        for (const TrafficRecord &r : Requests())
            n += r.code == kesta::sim::kCodeWriteLong || r.code == kesta::sim::kCodeWriteShort;
        return n;
    }
    std::string ItemName(const TrafficRecord &r, size_t i) const {
        const auto name = names_.find({r.destination, r.items.at(i).handle});
        return name != names_.end() ? name->second : "?";
    }
    // The frames on the line, in order, each with its direction.
    std::vector<TrafficRecord> Frames() {
        Settle();
        return f.sim().traffic();
    }

    // A frame as the record's sender would have built it around this message, with the record's own
    // sequence number; the message's counter byte is the record's.
    static std::vector<uint8_t> FrameAround(const TrafficRecord &r, uint8_t type, const std::string &messageHex) {
        std::vector<uint8_t> message = HexBytes(messageHex);
        message[2] = r.counter;
        const std::string prefix = HexText(
            std::vector<uint8_t>{static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())});
        return Net2000Frame(r.destination, r.source, type, r.sequence, HexBytes(prefix + " " + HexText(message)));
    }

    std::map<std::pair<uint8_t, uint16_t>, std::string> names_;
    std::map<std::string, DriverFixture::Gate> gates_;
};

class ReadGroupFrames : public ReadGroupLine, public ::testing::WithParamInterface<bool> {};

// One read puts all three on the line in one request, the asked one first; the other two reads are
// answered from what that one brought, without traffic, while the station's values have moved on.
TEST_P(ReadGroupFrames, OneRequestCarriesTheStationsValuesByteForByte) {
    const bool shortHeads = GetParam();
    Object(2, "w", kTypeUint16, 0x1234, 0x2001);
    Object(2, "b", kTypeBool, 1, 0x2002);
    Object(2, "d", kTypeUint32, 0x12345678, 0x2003);
    Heads(2, shortHeads ? kShortHeads : kLongHeads);
    StartWith("READ_GROUP_MS = 60000\n",
              {{"002w", GATE_UNSIGNED16}, {"002b", GATE_DIGITAL}, {"002d", GATE_UNSIGNED32}});

    EXPECT_EQ(0u, Read("002w"));
    St(2).setValue("w", 0x4321);
    St(2).setValue("b", 0);
    St(2).setValue("d", 0x0BADF00D);
    EXPECT_EQ(0u, Read("002b"));
    EXPECT_EQ(0u, Read("002d"));
    EXPECT_EQ(Value("002w"), 0x1234u);
    EXPECT_EQ(Value("002b"), 1u);
    EXPECT_EQ(Half(G("002b").cell, 0), 0); // converted exactly as a read from the line
    EXPECT_EQ(Value("002d"), 0x12345678u);
    EXPECT_TRUE(GateMessages().empty());

    const std::vector<TrafficRecord> frames = Frames();
    ASSERT_EQ(frames.size(), 2u) << "one request, one reply";
    const TrafficRecord &request = frames[0];
    const TrafficRecord &reply = frames[1];
    // Item heads: short, the two handle bytes; long, the handle as four bytes and the length as two,
    // least significant first. The reply's data in request order, the byte padded to even.
    const std::string items = shortHeads ? "00 00 00 21 00 03 01 20 02 20 03 20"
                                         : "00 00 00 31 00 03 01 20 00 00 02 00 02 20 00 00 01 00 03 20 00 00 04 00";
    const std::string data = std::string(shortHeads ? "00 00 00 21" : "00 00 00 31") + " 12 34 01 00 12 34 56 78";
    EXPECT_EQ(HexText(request.raw), HexText(FrameAround(request, kesta::sim::kRequestLast, items)));
    EXPECT_EQ(HexText(reply.raw), HexText(FrameAround(reply, kesta::sim::kReplyLast, data)));
    EXPECT_EQ(request.destination, 2);
    EXPECT_EQ(request.source, 1);
}

INSTANTIATE_TEST_SUITE_P(Heads, ReadGroupFrames, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "Short" : "Long"; });

// The same reads with the key absent and with the key 0: one request a read, each exactly the read of
// one item that a driver without the key sends, and the two runs byte for byte alike.
TEST_F(ReadGroupLine, KeyOffGivesTodaysFramesExactly) {
    Object(2, "w", kTypeUint16, 0x1234, 0x2001);
    Object(2, "b", kTypeBool, 1, 0x2002);
    Object(2, "d", kTypeUint32, 0x12345678, 0x2003);
    std::vector<std::vector<uint8_t>> runs[2];
    const std::string keys[2] = {"", "READ_GROUP_MS = 0\n"};
    for (int run = 0; run < 2; ++run) {
        StartWith(keys[run], {{"002w", GATE_UNSIGNED16}, {"002b", GATE_DIGITAL}, {"002d", GATE_UNSIGNED32}});
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(0u, Read("002w"));
            EXPECT_EQ(0u, Read("002b"));
            EXPECT_EQ(0u, Read("002d"));
        }
        EXPECT_EQ(Reads(), (std::vector<std::string>{"w", "b", "d", "w", "b", "d"})) << keys[run];
        const std::vector<TrafficRecord> frames = Frames();
        ASSERT_EQ(frames.size(), 12u);
        const char *const single[] = {"00 00 00 31 00 01 01 20 00 00 02 00", "00 00 00 31 00 01 02 20 00 00 01 00",
                                      "00 00 00 31 00 01 03 20 00 00 04 00"};
        for (size_t i = 0; i < frames.size(); ++i) {
            if (frames[i].direction == Direction::FromMaster) {
                EXPECT_EQ(HexText(frames[i].raw),
                          HexText(FrameAround(frames[i], kesta::sim::kRequestLast, single[(i / 2) % 3])));
            }
            // The counter and the sequence number go on from what the cold start left: compare the rest.
            std::vector<uint8_t> bytes = frames[i].raw;
            bytes[4] &= 0x0F;
            bytes[5] = 0;
            bytes[10] = 0;
            bytes.resize(bytes.size() - 2);
            runs[run].push_back(bytes);
        }
        EXPECT_TRUE(GateMessages().empty());
        ASSERT_EQ(0u, f.End());
        GiveBackLists(&f.instance());
    }
    EXPECT_EQ(runs[0], runs[1]);
}

// Long heads: 6 + 6 n message bytes, so 83 items fill a request frame (504 bytes; 84 would take 510).
// The next read takes the asked object and the 16 never read, not those just read.
TEST_F(ReadGroupLine, AGroupIsCutAtTheRequestFrame) {
    std::vector<std::pair<std::string, uint32_t>> gates;
    for (int i = 0; i < 100; ++i) {
        Object(2, "v" + std::to_string(i), kTypeUint16, i, static_cast<uint16_t>(0x3000 + i));
        gates.push_back({"002v" + std::to_string(i), GATE_UNSIGNED16});
    }
    StartWith("READ_GROUP_MS = 60000\n", gates);
    EXPECT_EQ(0u, Read("002v5"));
    EXPECT_EQ(0u, Read("002v90"));
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(0u, Read("002v" + std::to_string(i)));
        EXPECT_EQ(Value("002v" + std::to_string(i)), static_cast<uint32_t>(i));
    }
    Settle();
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_EQ(requests[0].items.size(), 83u);
    EXPECT_EQ(requests[0].messageLength, 504u);
    EXPECT_EQ(ItemName(requests[0], 0), "v5");
    EXPECT_EQ(ItemName(requests[0], 1), "v0") << "the others in list order";
    EXPECT_EQ(ItemName(requests[0], 82), "v82");
    ASSERT_EQ(requests[1].items.size(), 17u);
    EXPECT_EQ(ItemName(requests[1], 0), "v90");
    EXPECT_EQ(ItemName(requests[1], 1), "v83");
    EXPECT_EQ(ItemName(requests[1], 16), "v99");
}

// Each limit cuts its own group: the reply frame (short heads, 4-byte values: 4 + 4 n reply bytes, 126
// items), the request record of 2000 bytes (short heads, single bytes: 249 items of 8 record bytes),
// and a station that takes messages of 64 bytes (long heads: 6 + 6 n, 9 items).
TEST_F(ReadGroupLine, AGroupIsCutAtTheReplyFrameTheRecordAndTheStationsSize) {
    struct {
        const char *what;
        uint16_t type;
        uint32_t gateType;
        int objects;
        bool shortHeads;
        uint32_t stationSize;
        size_t items;
        uint32_t messageLength;
    } const cases[] = {
        {"reply frame", kTypeUint32, GATE_UNSIGNED32, 130, true, 4096, 126, 6 + 2 * 126},
        {"request record", kTypeBool, GATE_DIGITAL, 260, true, 4096, 249, 6 + 2 * 249},
        {"station's size", kTypeUint16, GATE_UNSIGNED16, 12, false, 64, 9, 6 + 6 * 9},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kesta::sim::Station &st = St(2);
        std::vector<std::pair<std::string, uint32_t>> gates;
        const std::string prefix = "g" + std::to_string(&c - cases) + "_";
        for (int i = 0; i < c.objects; ++i) {
            Object(2, prefix + std::to_string(i), c.type, i % 2,
                   static_cast<uint16_t>(0x4000 + 0x200 * (&c - cases) + i));
            gates.push_back({"002" + prefix + std::to_string(i), c.gateType});
        }
        Heads(2, c.shortHeads ? kShortHeads : kLongHeads);
        kesta::sim::ConnectObjects objects = st.connectObjects();
        objects.object6 = c.stationSize;
        st.setConnectObjects(objects);
        StartWith("READ_GROUP_MS = 60000\n", gates);
        ASSERT_EQ(0u, Read(gates[0].first));
        Settle();
        const std::vector<TrafficRecord> requests = Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].items.size(), c.items);
        EXPECT_EQ(requests[0].messageLength, c.messageLength);
        EXPECT_EQ(St(2).stats().errors, 0u);
        ASSERT_EQ(0u, f.End());
        GiveBackLists(&f.instance());
    }
}

// The station refuses the whole list (a handle it no longer knows, here one the test spoilt): the read
// that asked is made alone and succeeds; the others are left to their own reads, each alone, and the
// spoilt one fails there with the result and messages of a read without the key. Groups then go on
// without it.
TEST_F(ReadGroupLine, AnItemRefusedInsideAGroupFailsOnlyItsOwnRead) {
    Object(2, "a", kTypeUint16, 11, 0x2001);
    Object(2, "b", kTypeUint16, 22, 0x2002);
    Object(2, "c", kTypeUint16, 33, 0x2003);
    Object(2, "d", kTypeUint16, 44, 0x2004);
    StartWith(
        "READ_GROUP_MS = 100\n",
        {{"002a", GATE_UNSIGNED16}, {"002b", GATE_UNSIGNED16}, {"002c", GATE_UNSIGNED16}, {"002d", GATE_UNSIGNED16}});
    FindObjectEntry(&f.instance(), "002d")->handle = 0x2999;
    names_[{2, 0x2999}] = "d?";

    EXPECT_EQ(0u, Read("002a"));
    EXPECT_EQ(Value("002a"), 11u);
    EXPECT_EQ(Reads(), (std::vector<std::string>{"a b c d?", "a"}));
    EXPECT_EQ(St(2).stats().errors, 1u);
    EXPECT_TRUE(GateMessages().empty()) << "the refused list costs no message";

    f.sim().clearTraffic();
    EXPECT_EQ(0u, Read("002c"));
    EXPECT_EQ(2u, Read("002d"));
    EXPECT_EQ(0u, Read("002b"));
    EXPECT_EQ(Value("002b"), 22u);
    EXPECT_EQ(Value("002c"), 33u);
    EXPECT_EQ(Reads(), (std::vector<std::string>{"c", "d?", "b"}));
    // Error 3 with flag 0x10: 65383, of which the low byte shows.
    EXPECT_EQ(GateMessages(), Logged({{8, "KESTA> DoRead() read, ErrCode: 103"}, {8, "KESTA> SingleRead(), rc= 2"}}));

    // Due again: the good ones group, the refused one keeps to itself.
    At(150);
    f.sim().clearTraffic();
    EXPECT_EQ(0u, Read("002c"));
    EXPECT_EQ(2u, Read("002d"));
    EXPECT_EQ(Reads(), (std::vector<std::string>{"c a b", "d?"}));
}

// A write in between: the written object's kept bytes go, its next read is on the line and shows the
// value written; the others are still answered from theirs.
TEST_F(ReadGroupLine, AWriteBetweenTwoReadsSendsTheNextReadToTheLine) {
    StartThree("READ_GROUP_MS = 60000\n", kTypeUint32);
    EXPECT_EQ(0u, Read("002a"));
    EXPECT_EQ(0u, Write("002b", 0x5555));
    EXPECT_EQ(0u, Write("002c", 0x66666666));
    EXPECT_EQ(0u, Read("002b"));
    EXPECT_EQ(0u, Read("002c"));
    EXPECT_EQ(0u, Read("002a"));
    EXPECT_EQ(Value("002b"), 0x5555u);
    EXPECT_EQ(Value("002c"), 0x66666666u);
    EXPECT_EQ(Value("002a"), 1u);
    EXPECT_EQ(Writes(), 2u);
    // b's read finds c's kept bytes gone too: c rides along as one never read, and its own read is kept.
    EXPECT_EQ(Reads(), (std::vector<std::string>{"a b c", "b c"}));
}

// The bound on the test's clock: a value younger than READ_GROUP_MS comes from what was kept, one that
// old goes to the line; riders are those older than half the bound, the oldest first.
TEST_F(ReadGroupLine, ValuesAreNeverOlderThanTheBound) {
    StartThree("READ_GROUP_MS = 100\n", kTypeUint16);
    At(0);
    EXPECT_EQ(0u, Read("002a")); // a b c, all read at 0
    St(2).setValue("b", 20);
    At(99.999);
    EXPECT_EQ(0u, Read("002b"));
    EXPECT_EQ(Value("002b"), 2u) << "99.999 ms old: kept";
    At(100);
    EXPECT_EQ(0u, Read("002b"));
    EXPECT_EQ(Value("002b"), 20u) << "100 ms old: from the line";
    EXPECT_EQ(Reads(), (std::vector<std::string>{"a b c", "b a c"}));

    // From here a, b, c were read at 100.
    f.sim().clearTraffic();
    At(110);
    EXPECT_EQ(0u, Write("002a", 7));
    EXPECT_EQ(0u, Read("002a")); // b and c are 10 ms old: not due
    At(150);
    EXPECT_EQ(0u, Write("002b", 8));
    EXPECT_EQ(0u, Read("002b")); // c is 50 ms old: not older than half the bound
    At(160.001);
    EXPECT_EQ(0u, Write("002a", 9));
    EXPECT_EQ(0u, Read("002a")); // c 60.001, b 10.001: c alone is due
    At(210.002);
    EXPECT_EQ(0u, Write("002c", 10));
    EXPECT_EQ(0u, Read("002c")); // b 60.002, a 50.001: both due, b the older
    EXPECT_EQ(Reads(), (std::vector<std::string>{"a", "b", "a c", "c b a"}));
    EXPECT_EQ(Value("002a"), 9u);
    EXPECT_EQ(Value("002c"), 10u);
}

// Two stations on one line: a group never crosses to another station.
TEST_F(ReadGroupLine, TwoStationsOnOneLineGroupEachOnItsOwn) {
    Object(2, "a", kTypeUint16, 21, 0x2001);
    Object(2, "b", kTypeUint32, 22, 0x2002);
    Object(3, "a", kTypeUint16, 31, 0x2001);
    Object(3, "b", kTypeBool, 1, 0x2002);
    Object(3, "c", kTypeUint16, 33, 0x2003);
    StartWith("READ_GROUP_MS = 60000\n", {{"002a", GATE_UNSIGNED16},
                                          {"003a", GATE_UNSIGNED16},
                                          {"002b", GATE_UNSIGNED32},
                                          {"003b", GATE_DIGITAL},
                                          {"003c", GATE_UNSIGNED16}});
    EXPECT_EQ(0u, Read("003c"));
    EXPECT_EQ(0u, Read("002b"));
    for (const char *gate : {"002a", "003a", "002b", "003b", "003c"})
        EXPECT_EQ(0u, Read(gate)) << gate;
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].destination, 3);
    EXPECT_EQ(requests[1].destination, 2);
    EXPECT_EQ(Reads(), (std::vector<std::string>{"c a b", "b a"}));
    EXPECT_EQ(Value("002a"), 21u);
    EXPECT_EQ(Value("002b"), 22u);
    EXPECT_EQ(Value("003a"), 31u);
    EXPECT_EQ(Value("003b"), 1u);
    EXPECT_EQ(Value("003c"), 33u);
}

// A block read leads a group when it fits one frame and is never answered from kept bytes; one beyond a
// frame reads alone, as it always has.
TEST_F(ReadGroupLine, BlockReadsLeadAGroupWhenTheyFit) {
    Object(2, "a", kTypeUint16, 7, 0x2001);
    ObjectSpec table = ObjectSpec::Array("table", kTypeInt16, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    table.handle = 0x2100;
    ASSERT_EQ(St(2).addObject(table), 0x2100);
    names_[{2, 0x2100}] = "table";
    ObjectSpec big = ObjectSpec::Array("big", kTypeInt16, 300);
    big.handle = 0x2200;
    ASSERT_EQ(St(2).addObject(big), 0x2200);
    names_[{2, 0x2200}] = "big";
    StartWith("READ_GROUP_MS = 60000\n", {{"002a", GATE_UNSIGNED16}});
    DriverFixture::Gate tableGate, bigGate;
    ASSERT_EQ(0u, f.Parse(tableGate, "002table", GATE_SIGNED16, true, 10));
    ASSERT_EQ(0u, f.Parse(bigGate, "002big", GATE_SIGNED16, true, 300));
    f.sim().clearTraffic();

    EXPECT_EQ(0u, f.Read(tableGate, true, 10));
    EXPECT_EQ(tableGate.rw.valueCell, static_cast<void *>(tableGate.cell + 20));
    EXPECT_EQ(Half(tableGate.cell, 9), 10);
    EXPECT_EQ(0u, Read("002a")); // came with the block
    EXPECT_EQ(Value("002a"), 7u);
    EXPECT_EQ(0u, f.Read(tableGate, true, 10)); // blocks keep nothing
    EXPECT_EQ(0u, f.Read(bigGate, true, 300));
    EXPECT_EQ(Reads(), (std::vector<std::string>{"table a", "table", "big"}));
    EXPECT_EQ(Requests()[0].items[0].length, 20u);
}

// EWT sample gates never group and never answer from kept bytes: every read of one is its own
// exchange of the structure alone.
TEST_F(ReadGroupLine, SampleGatesNeverGroup) {
    Object(2, "a", kTypeUint16, 7, 0x2001);
    St(2).addSampleStructure("msgs");
    const uint16_t structure = St(2).handle("msgs");
    names_[{2, structure}] = "msgs";
    StartWith("READ_GROUP_MS = 60000\n", {{"002a", GATE_UNSIGNED16}, {"002_Mmsgs", GATE_UNSIGNED32}});
    EXPECT_EQ(0u, Read("002_Mmsgs"));
    EXPECT_EQ(0u, Read("002_Mmsgs"));
    EXPECT_EQ(0u, Read("002a"));
    EXPECT_EQ(Reads(), (std::vector<std::string>{"msgs", "msgs", "a"}));
}

// CloseCom and ReOpenCom, and ChangeKviParams to another line: what was kept before counts for
// nothing on the line as it is now.
TEST_F(ReadGroupLine, ALineThatChangedForgetsWhatWasKept) {
    Object(2, "a", kTypeUint16, 1, 0x2001);
    Object(2, "b", kTypeUint16, 2, 0x2002);
    StartWith("READ_GROUP_MS = 60000\n", {{"002a", GATE_UNSIGNED16}, {"002b", GATE_UNSIGNED16}});
    EXPECT_EQ(0u, Read("002a"));
    EXPECT_EQ(0u, f.Call(KVI_CLOSE_COM));
    EXPECT_EQ(1u, Read("002b")) << "a closed port refuses reads, kept bytes or not";
    EXPECT_EQ(0u, f.Call(KVI_REOPEN_COM));
    EXPECT_EQ(0u, Read("002b"));
    EXPECT_EQ(0u, Read("002a")); // came with b
    EXPECT_EQ(Reads(), (std::vector<std::string>{"a b", "b a"}));

    // Station 2 on another line holds other values under the same handles.
    kesta::sim::Simulator other;
    std::string error;
    ASSERT_TRUE(other.createPty(&error)) << error;
    for (const auto &o : {std::make_pair("a", 0x2001), std::make_pair("b", 0x2002)}) {
        ObjectSpec object = ObjectSpec::Scalar(o.first, kTypeUint16, 100 + o.second % 16);
        object.handle = static_cast<uint16_t>(o.second);
        ASSERT_EQ(other.addStation(2).addObject(object), object.handle);
    }
    ASSERT_TRUE(other.start(&error)) << error;
    ParamChange change{};
    snprintf(change.portName, sizeof change.portName, "%s", other.portName().c_str());
    change.timeout = -1;
    change.lineParams = LineParams{57600, 8, 0, 1};
    ASSERT_EQ(0u, f.Call(KVI_CHANGE_PARAMS, &change));
    EXPECT_EQ(0u, Read("002b"));
    EXPECT_EQ(0u, Read("002a"));
    EXPECT_EQ(Value("002a"), 101u);
    EXPECT_EQ(Value("002b"), 102u);
    other.waitForReplies(2, 1, std::chrono::milliseconds(2000));
    size_t requests = 0;
    for (const TrafficRecord &r : other.traffic())
        requests += r.direction == Direction::FromMaster && r.hasMessage ? 1 : 0;
    EXPECT_EQ(requests, 1u) << "b and a in one group";
    other.stop();
}

// A read whose record does not match its parse (more elements than one) is made as without the key.
TEST_F(ReadGroupLine, ARecordUnlikeItsParseReadsAsWithoutTheKey) {
    Object(2, "a", kTypeUint16, 1, 0x2001);
    Object(2, "b", kTypeUint16, 2, 0x2002);
    StartWith("READ_GROUP_MS = 60000\n", {{"002a", GATE_UNSIGNED16}, {"002b", GATE_UNSIGNED16}});
    EXPECT_EQ(2u, f.Read(G("002a"), false, 3)) << "6 bytes of a 2-byte object: refused by the station";
    EXPECT_EQ(0u, f.Read(G("002a"), false, 0));
    EXPECT_EQ(Reads(), (std::vector<std::string>{"a", "a b"}));
    EXPECT_EQ(Requests()[0].items[0].length, 6u);
}

} // namespace
