// pcapng captures: the driver's KESTA_PCAPNG trace against the simulator (one packet per frame, the
// port as interface, directions, bytes of no frame marked), the decoder's reader on files of every
// kind and damage, the conversion of hex captures, and the normalised per-packet lines the Wireshark
// leg compares with tshark. With KESTA_CAPTURE_DIR set, the captures made here are kept there (the
// wireshark leg of tools/test-all.sh runs the dissector over them).
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"
#include "speed_line.h"
#include "support/driver_fixture.h"
#include "support/frame_checksum.h"
#include "support/hex.h"
#include "support/pcapng_builder.h"
#include "tools/decode/pcapng.h"

using namespace kesta::decode;
using kesta::sim::Direction;
using kesta::sim::ObjectSpec;
using testing::HasSubstr;

namespace {

uint64_t NowMicros() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

std::vector<PcapngPacket> ReadPcapng(const std::string &bytes, std::string *error = nullptr,
                                     std::vector<PcapngInterface> *interfaces = nullptr) {
    std::istringstream in(bytes);
    PcapngReader reader(in);
    std::vector<PcapngPacket> packets;
    PcapngPacket p;
    while (reader.next(&p))
        packets.push_back(p);
    if (error != nullptr)
        *error = reader.error();
    if (interfaces != nullptr)
        *interfaces = reader.interfaces();
    return packets;
}

// A capture worth keeping for the Wireshark leg.
void Keep(const std::string &name, const std::string &bytes) {
    const char *dir = getenv("KESTA_CAPTURE_DIR");
    if (dir == nullptr || dir[0] == '\0')
        return;
    std::ofstream out(std::string(dir) + "/" + name, std::ios::binary);
    out << bytes;
}

// The lines net2000-decode --fields prints for a capture.
std::vector<std::string> Fields(const std::string &bytes) {
    std::istringstream in(bytes);
    PcapngReader reader(in);
    Decoder decoder;
    std::vector<std::string> lines;
    PcapngPacket p;
    while (reader.next(&p)) {
        Chunk chunk;
        chunk.micros = static_cast<int64_t>(p.micros);
        chunk.direction = p.direction;
        chunk.bytes = p.bytes;
        decoder.feedPacket(chunk);
        lines.push_back(FormatFields(p.number, p, decoder.take()));
    }
    return lines;
}

std::string Kind(const PcapngPacket &p) {
    if (p.comment.empty())
        return "frame";
    return p.comment.substr(0, p.comment.find_first_of(": "));
}

// ---- The driver's capture ------------------------------------------------------------------------

class DriverPcapng : public SpeedLine {
protected:
    void SetUp() override {
        SpeedLine::SetUp();
        path_ = f.dir() + "/line.pcapng";
        setenv("KESTA_PCAPNG", path_.c_str(), 1);
        unsetenv("KESTA_TRACE");
        start_ = NowMicros();
    }
    void TearDown() override {
        unsetenv("KESTA_PCAPNG");
        unsetenv("KESTA_TRACE");
    }

    std::vector<PcapngPacket> Packets(std::vector<PcapngInterface> *interfaces = nullptr) {
        std::string error;
        std::vector<PcapngPacket> packets = ReadPcapng(ReadFile(path_), &error, interfaces);
        EXPECT_EQ("", error);
        return packets;
    }

    std::string path_;
    uint64_t start_ = 0;
};

TEST_F(DriverPcapng, EveryFrameIsOnePacketWithItsTimeDirectionAndPort) {
    Requests(3);
    ASSERT_EQ(0u, f.End());
    const uint64_t end = NowMicros();
    std::vector<PcapngInterface> interfaces;
    const std::vector<PcapngPacket> packets = Packets(&interfaces);
    Keep("driver-requests.pcapng", ReadFile(path_));
    ASSERT_EQ(1u, interfaces.size());
    EXPECT_EQ(kPcapngLinkType, interfaces[0].linkType);
    EXPECT_EQ(f.sim().portName(), interfaces[0].name);
    EXPECT_THAT(interfaces[0].description, HasSubstr("Net2000 line on " + f.sim().portName()));
    EXPECT_EQ(1000000u, interfaces[0].unitsPerSecond);

    // Packet for packet what the station side saw and answered, in order.
    const std::vector<kesta::sim::TrafficRecord> traffic = SettledTraffic(f.sim());
    ASSERT_EQ(traffic.size(), packets.size());
    uint64_t last = start_;
    for (size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(traffic[i].raw, packets[i].bytes);
        EXPECT_EQ(traffic[i].direction == Direction::FromMaster ? 'M' : 'S', packets[i].direction);
        EXPECT_EQ("", packets[i].comment);
        EXPECT_GE(packets[i].micros, last);
        EXPECT_LE(packets[i].micros, end);
        last = packets[i].micros;
    }
    EXPECT_EQ(12u, packets.size()); // connect, lookup, three reads, a write: each a request and a reply
}

TEST_F(DriverPcapng, BothTraceFormatsAtOnceCarryTheSameBytes) {
    const std::string text = f.dir() + "/line.hex";
    setenv("KESTA_TRACE", text.c_str(), 1);
    Requests(2);
    ASSERT_EQ(0u, f.End());
    std::vector<uint8_t> fromText[2], fromPcapng[2];
    for (const std::string &line : Lines(ReadFile(text))) {
        Chunk chunk;
        if (ParseCaptureLine(line, &chunk, nullptr) == LineKind::Bytes)
            fromText[chunk.direction == 'M'].insert(fromText[chunk.direction == 'M'].end(), chunk.bytes.begin(),
                                                    chunk.bytes.end());
    }
    for (const PcapngPacket &p : Packets())
        fromPcapng[p.direction == 'M'].insert(fromPcapng[p.direction == 'M'].end(), p.bytes.begin(), p.bytes.end());
    EXPECT_FALSE(fromText[1].empty());
    EXPECT_EQ(fromText[0], fromPcapng[0]);
    EXPECT_EQ(fromText[1], fromPcapng[1]);
}

TEST_F(DriverPcapng, NothingWithoutTheVariableAndTheHostLogIsTheSame) {
    Requests(2);
    ASSERT_EQ(0u, f.End());
    const std::vector<LoggedMessage> traced = f.Messages();
    ASSERT_FALSE(traced.empty());
    f.ClearMessages();
    unlink(path_.c_str());
    unsetenv("KESTA_PCAPNG");
    speed_ = DriverFixture::Gate();
    Requests(2);
    ASSERT_EQ(0u, f.End());
    EXPECT_EQ(traced, f.Messages());
    EXPECT_NE(0, access(path_.c_str(), F_OK));
}

TEST_F(DriverPcapng, AFileThatCannotBeWrittenLeavesTheDriverWorking) {
    setenv("KESTA_PCAPNG", (f.dir() + "/no/such/directory/line.pcapng").c_str(), 1);
    Requests(2);
    EXPECT_EQ(0u, f.End());
}

TEST_F(DriverPcapng, EachOpeningOfTheStackAppendsASection) {
    Requests(1);
    ASSERT_EQ(0u, f.End());
    const size_t first = Packets().size();
    speed_ = DriverFixture::Gate();
    Requests(1);
    ASSERT_EQ(0u, f.End());
    EXPECT_EQ(2 * first, Packets().size());
}

// Noise before an answer, an answer in two chunks, a header with a wrong checksum: the frames stay
// whole packets, the rest comes as packets of its own with a comment.
TEST_F(DriverPcapng, LineFaultsGivePacketsOfTheirOwnAndFramesStayWhole) {
    Requests(0);
    for (const char *fault : {"noise=5", "split=20", "hcs", "dcs", "stale", "other"}) {
        Fault(fault);
        EXPECT_EQ(0u, f.Read(speed_)) << fault;
    }
    ASSERT_EQ(0u, f.End());
    const std::string capture = ReadFile(path_);
    Keep("driver-faults.pcapng", capture);
    std::map<std::string, int> kinds;
    for (const PcapngPacket &p : ReadPcapng(capture)) {
        ++kinds[Kind(p)];
        if (Kind(p) == "frame") {
            ASSERT_GE(p.bytes.size(), 8u);
            EXPECT_EQ(0x02, p.bytes[0]);
            EXPECT_EQ(p.bytes[1] * 2u + 8u, p.bytes.size());
        }
        if (Kind(p) == "outside") {
            EXPECT_EQ('S', p.direction);
        }
    }
    EXPECT_GE(kinds["outside"], 2) << "the noise and the header with a wrong checksum";
    EXPECT_EQ(0, kinds["cut"]);
    // Every line of the decoder for this capture: one per packet, the bad data checksum named.
    const std::vector<std::string> lines = Fields(capture);
    EXPECT_EQ(static_cast<size_t>(kinds["frame"] + kinds["outside"]), lines.size());
    EXPECT_THAT(lines, testing::Contains(testing::HasSubstr(" bad")));
    EXPECT_THAT(lines, testing::Contains(testing::HasSubstr(" repeat")));
}

// An answer whose second half comes long after the driver gave up waiting: what came is a cut frame.
TEST_F(DriverPcapng, AFrameLeftUnfinishedIsACutFrame) {
    Requests(0);
    Fault("split=450"); // the driver sends again after 200 ms: the first half is left unfinished
    EXPECT_EQ(0u, f.Read(speed_));
    ASSERT_EQ(0u, f.End());
    int cut = 0;
    for (const PcapngPacket &p : Packets()) {
        if (Kind(p) == "cut") {
            ++cut;
            EXPECT_EQ('S', p.direction);
            EXPECT_EQ(0x02, p.bytes[0]);
        }
    }
    EXPECT_GE(cut, 1);
}

TEST_F(DriverPcapng, EchoesOfAConverterArePacketsMarkedAsEchoes) {
    f.sim().setEcho(true);
    Requests(1);
    ASSERT_EQ(0u, f.End());
    const std::string capture = ReadFile(path_);
    Keep("driver-echo.pcapng", capture);
    const std::vector<PcapngPacket> packets = ReadPcapng(capture);
    int echoes = 0;
    for (size_t i = 1; i < packets.size(); ++i) {
        if (packets[i].direction != 'E')
            continue;
        ++echoes;
        EXPECT_EQ(kCommentEcho, packets[i].comment);
        EXPECT_EQ(packets[i - 1].bytes, packets[i].bytes) << "the echo follows the frame it copies";
    }
    EXPECT_GE(echoes, 4);
}

// ---- Hex captures to pcapng ---------------------------------------------------------------------

// A frame with right checksums from "DST SRC CONTROL DATA..." (the length byte and pad are made here).
std::string FrameHex(const std::string &fields) {
    std::vector<uint8_t> head = HexBytes(fields);
    std::vector<uint8_t> data(head.begin() + 3, head.end());
    if (data.size() % 2 != 0)
        data.push_back(0);
    std::vector<uint8_t> frame = {0x02, static_cast<uint8_t>(data.size() / 2), head[0], head[1], head[2], 0};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.resize(frame.size() + 2);
    SetNet2000Checksums(frame.data());
    return HexText(frame);
}

struct ConversionCase {
    const char *name;
    std::vector<std::string> lines;
    std::vector<std::string> packets; // "DIR KIND HEX" for each packet written
};

class HexToPcapng : public testing::TestWithParam<ConversionCase> {};

TEST_P(HexToPcapng, PacketsAsTheDecoderReadsTheBytes) {
    const ConversionCase &c = GetParam();
    std::ostringstream out;
    CaptureToPcapng converter(out, "ttyS0", "test");
    for (const std::string &line : c.lines)
        converter.feedLine(line);
    converter.finish();
    std::vector<std::string> got;
    for (const PcapngPacket &p : ReadPcapng(out.str()))
        got.push_back(std::string(1, p.direction) + " " + Kind(p) + " " + HexText(p.bytes));
    EXPECT_EQ(c.packets, got);
    EXPECT_EQ(c.packets.size(), converter.packets());
}

const std::string kRequest = FrameHex("02 01 11 00 04 FF 00 01 21");
const std::string kReply = FrameHex("01 02 13 00 04 00 00 01 21");

INSTANTIATE_TEST_SUITE_P(
    Cases, HexToPcapng,
    testing::Values(
        ConversionCase{
            "frames", {"1.0 M " + kRequest, "1.1 S " + kReply}, {"M frame " + kRequest, "S frame " + kReply}},
        ConversionCase{"split_reply",
                       {"1.0 M " + kRequest, "1.1 S " + kReply.substr(0, 12), "1.2 S " + kReply.substr(12)},
                       {"M frame " + kRequest, "S frame " + kReply}},
        ConversionCase{"noise_then_frame", {"1.0 S 55 AA " + kReply}, {"S outside 55 AA", "S frame " + kReply}},
        // A header with a wrong checksum gives up its STX; the rest up to the next STX goes with it.
        ConversionCase{
            "bad_header", {"1.0 S 02 02 01 02 13 00 " + kReply}, {"S outside 02 02 01 02 13 00", "S frame " + kReply}},
        ConversionCase{
            "echo", {"1.0 M " + kRequest, "1.0 E " + kRequest}, {"M frame " + kRequest, "E echo " + kRequest}},
        // A frame the master's next frame cut short, and one the capture ends in.
        ConversionCase{"cut_by_a_send",
                       {"1.0 S " + kReply.substr(0, 15), "1.1 M " + kRequest},
                       {"S cut " + kReply.substr(0, 14), "M frame " + kRequest}},
        ConversionCase{"cut_at_the_end", {"1.0 M " + kRequest.substr(0, 8)}, {"M cut " + kRequest.substr(0, 8)}},
        ConversionCase{"no_direction", {"02 00 02 01 3E 3F 00 3F"}, {"? frame 02 00 02 01 3E 3F 00 3F"}}),
    [](const testing::TestParamInfo<ConversionCase> &param) { return std::string(param.param.name); });

// ---- The reader ---------------------------------------------------------------------------------

void AddPacket(PcapngBuilder &b, uint32_t interfaceId, uint64_t ticks, const std::vector<uint8_t> &bytes,
               uint32_t flags) {
    b.Packet(interfaceId, ticks, bytes.data(), bytes.size(), flags);
}

TEST(PcapngReader, EitherByteOrderAnyResolutionAndOtherLinkTypesPassedOver) {
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        PcapngBuilder b{big, ""};
        b.Section();
        b.Interface(1, -1);   // Ethernet: not ours
        b.Interface(147, 9);  // nanoseconds
        b.Interface(147, -1); // microseconds by default
        AddPacket(b, 0, 5, {1, 2, 3}, 2);
        AddPacket(b, 1, 1500000000123456789ull, HexBytes("02 00 02 01 3E 3F 00 3F"), 2);
        AddPacket(b, 2, 42, HexBytes("AA"), 1);
        b.Block(0x0BAD, [&b] { b.out += std::string(8, 'x'); }); // unknown block types are passed over
        AddPacket(b, 2, 43, HexBytes("BB"), 0);
        std::istringstream in(b.out);
        PcapngReader reader(in);
        PcapngPacket p;
        ASSERT_TRUE(reader.next(&p)) << reader.error();
        EXPECT_EQ(2u, p.number);
        EXPECT_EQ(1500000000123456ull, p.micros);
        EXPECT_EQ('M', p.direction);
        EXPECT_EQ("02 00 02 01 3E 3F 00 3F", HexText(p.bytes));
        ASSERT_TRUE(reader.next(&p));
        EXPECT_EQ(42u, p.micros);
        EXPECT_EQ('S', p.direction);
        ASSERT_TRUE(reader.next(&p));
        EXPECT_EQ('?', p.direction);
        EXPECT_EQ(4u, p.number);
        EXPECT_FALSE(reader.next(&p));
        EXPECT_EQ("", reader.error());
        EXPECT_EQ(1u, reader.otherPackets());
    }
}

struct DamageCase {
    const char *name;
    std::string file;
    const char *error;
};

std::string Damaged(int which) {
    PcapngBuilder b;
    b.Section();
    b.Interface(147, -1);
    AddPacket(b, 0, 1, HexBytes("02 00 02 01 3E 3F 00 3F"), 2);
    std::string s = b.out;
    switch (which) {
    case 0: return s.substr(0, s.size() - 20);     // cut inside the last block
    case 1: s[s.size() - 4] = 0x7F; return s;      // trailing length differs
    case 2: s[8] = 0x11; return s;                 // no byte-order magic
    case 3: return s.substr(28);                   // no section header first
    case 4: s[s.size() - 52 + 8] = 5; return s;    // a packet of an interface never described
    case 5: s[s.size() - 52 + 7] = 0x7F; return s; // absurd block length
    default: return s;
    }
}

class PcapngDamage : public testing::TestWithParam<DamageCase> {};

TEST_P(PcapngDamage, IsReportedNotTrusted) {
    std::string error;
    ReadPcapng(GetParam().file, &error);
    EXPECT_THAT(error, HasSubstr(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(Cases, PcapngDamage,
                         testing::Values(DamageCase{"cut", Damaged(0), "file ends inside a block"},
                                         DamageCase{"length_not_repeated", Damaged(1), "length not repeated"},
                                         DamageCase{"no_magic", Damaged(2), "byte-order magic"},
                                         DamageCase{"no_section", Damaged(3), "no section header first"},
                                         DamageCase{"interface", Damaged(4), "which was not described"},
                                         DamageCase{"length", Damaged(5), "block of length"}),
                         [](const testing::TestParamInfo<DamageCase> &param) { return std::string(param.param.name); });

// ---- Every message of every service, converted: what the Wireshark leg compares -----------------

// Requests and replies of every service and form, segments both ways, the acknowledge handshake and
// error replies, as a hex capture with right checksums; converted to pcapng, the decoder's lines
// name each counter, code, handle and error.
TEST(PcapngAllServices, ConvertedCaptureDecodesEveryMessage) {
    const std::vector<std::pair<char, std::string>> frames = {
        {'M', "02 01 11 00 0E FF 00 01 21 00 04 00 02 00 04 00 05 00 06"},                   // connect
        {'S', "01 02 13 00 0E 00 00 01 21 00 05 01 00 FF FF 00 00 10 00"},                   // long heads
        {'M', "02 01 21 00 09 FF 00 02 22 00 01 00 04 02"},                                  // control write
        {'S', "01 02 23 00 04 00 00 02 22"},                                                 //
        {'M', "02 01 31 00 14 00 00 03 11 00 01 4B 45 59 30 31 32 33 34 35 36 37 38 39 41"}, // by key
        {'S', "01 02 33 00 1A 00 00 03 11 00 01 02 00 00 00 00 00 00 00 00 02 00 02 00 00 00 00 00 00 00 02"},
        {'M', "02 01 41 00 0E 00 00 04 11 00 02 73 70 65 65 64 00 78 00"}, // two names
        {'S', "01 02 43 00 30 00 00 04 11 00 00 01 10 00 00 00 00 00 00 00 02 00 02 00 00 00 00 00 00 00 02 "
              "02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {'M', "02 01 51 00 12 00 00 05 31 00 02 01 10 00 00 02 00 02 10 00 00 01 00"}, // read, long heads
        {'S', "01 02 53 00 08 00 00 05 31 04 D2 01 00"},
        {'M', "02 01 61 00 0C 00 00 06 32 00 01 01 10 00 00 02 00 00 07"}, // write, long heads
        {'S', "01 02 63 00 04 00 00 06 32"},
        {'M', "02 01 71 00 0A 00 00 07 21 00 02 01 10 02 10"}, // read, short heads
        {'S', "01 02 73 00 0A 00 00 07 A1 00 07 01 00 EE FF"}, // extra data
        {'M', "02 01 81 00 0A 00 00 08 22 00 01 01 10 00 08"}, // write, short heads
        {'S', "01 02 8D 00 06 00 00 08 A2 AB CD"},             // extra, wants an Ack
        {'M', "02 01 9E"},                                     // Ack
        {'S', "01 02 9F"},                                     // AckFinal
        {'M', "02 01 A1 00 09 00 00 09 12 68 65 6C 6C 6F 00"}, // text
        {'S', "01 02 A3 00 0A 00 00 09 12 00 00 68 69 00 00"},
        {'M', "02 01 B1 00 08 00 00 0A 21 00 01 01 10"}, // error replies
        {'S', "01 02 B3 00 08 00 00 0A 99 00 10 00 05"},
        {'M', "02 01 C1 00 08 00 00 0B 21 00 01 01 10"},
        {'S', "01 02 C3 00 08 00 00 0B 99 00 04 00 00"},
        {'M', "02 01 D2 00 0D 00 00 0C 22 00 01 01 10 11 22"}, // segmented request
        {'S', "01 02 D7"},
        {'M', "02 01 E1 00 03 33 44 55"},
        {'S', "01 02 E3 00 04 00 00 0C 22"},
        {'M', "02 01 F1 00 08 00 00 0D 21 00 01 01 10"}, // segmented reply
        {'S', "01 02 F4 00 06 00 00 0D 21"},
        {'M', "02 01 05"},
        {'S', "01 02 03 00 02 01 02"},
        {'M', "02 01 12 00 0C 00 00 0E 21 00 01 01 10"}, // refused
        {'S', "01 02 16"},
    };
    std::string hex;
    unsigned tick = 0;
    for (const auto &f : frames)
        hex += std::to_string(++tick) + ".000000 " + f.first + " " + FrameHex(f.second) + "\n";
    std::ostringstream out;
    CaptureToPcapng converter(out, "capture", "every service");
    for (const std::string &line : Lines(hex))
        converter.feedLine(line);
    converter.finish();
    Keep("all-services.pcapng", out.str());
    const std::vector<std::string> lines = Fields(out.str());
    ASSERT_EQ(frames.size(), lines.size());
    const char *expected[] = {
        "1 m frame 1 2 1 1 ok #1 33",
        "2 s frame 2 1 3 1 ok #1 33",
        "3 m frame 1 2 1 2 ok #2 34",
        "4 s frame 2 1 3 2 ok #2 34",
        "5 m frame 1 2 1 3 ok #3 17",
        "6 s frame 2 1 3 3 ok #3 17 h=0002",
        "7 m frame 1 2 1 4 ok #4 17",
        "8 s frame 2 1 3 4 ok #4 17 h=1001",
        "9 m frame 1 2 1 5 ok #5 49 h=1001,1002",
        "10 s frame 2 1 3 5 ok #5 49 h=1001,1002",
        "11 m frame 1 2 1 6 ok #6 50 h=1001",
        "12 s frame 2 1 3 6 ok #6 50 h=1001",
        "13 m frame 1 2 1 7 ok #7 33 h=1001,1002",
        "14 s frame 2 1 3 7 ok #7 161 h=1001,1002",
        "15 m frame 1 2 1 8 ok #8 34 h=1001",
        "16 s frame 2 1 13 8 ok #8 162 h=1001",
        "17 m frame 1 2 14 9 ok",
        "18 s frame 2 1 15 9 ok",
        "19 m frame 1 2 1 10 ok #9 18",
        "20 s frame 2 1 3 10 ok #9 18",
        "21 m frame 1 2 1 11 ok #10 33 h=1001",
        "22 s frame 2 1 3 11 ok #10 153 error=5/65385",
        "23 m frame 1 2 1 12 ok #11 33 h=1001",
        "24 s frame 2 1 3 12 ok #11 153 error=0/65324",
        "25 m frame 1 2 2 13 ok",
        "26 s frame 2 1 7 13 ok",
        "27 m frame 1 2 1 14 ok #12 34 h=1001",
        "28 s frame 2 1 3 14 ok #12 34 h=1001",
        "29 m frame 1 2 1 15 ok #13 33 h=1001",
        "30 s frame 2 1 4 15 ok",
        "31 m frame 1 2 5 0 ok",
        "32 s frame 2 1 3 0 ok #13 33 h=1001",
        "33 m frame 1 2 2 1 ok",
        "34 s frame 2 1 6 1 ok",
    };
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(expected[i], lines[i]);
}

// The program converts and prints the same lines.
TEST(PcapngProgram, ConvertsAHexCaptureAndPrintsFields) {
    char dir[] = "/tmp/pcapngXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string hex = std::string(dir) + "/line.hex", pcapng = std::string(dir) + "/line.pcapng";
    {
        std::ofstream out(hex);
        out << "# a capture\n1.5 M " << kRequest << "\n1.6 S " << kReply << "\n";
    }
    ProgramResult r = RunProgram({NET2000_DECODE_EXE, "--quiet", "--pcapng", pcapng, hex});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    r = RunProgram({NET2000_DECODE_EXE, "--fields", pcapng});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("1 m frame 1 2 1 1 ok #1 33\n2 s frame 2 1 3 1 ok #1 33\n", r.out);
    r = RunProgram({NET2000_DECODE_EXE, "--no-summary", pcapng});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_THAT(r.out, HasSubstr("#1 Connect: reads the station objects"));
    // A damaged file is named, and the exit status says so.
    {
        std::ofstream out(pcapng, std::ios::binary | std::ios::app);
        out << "xyz";
    }
    r = RunProgram({NET2000_DECODE_EXE, "--fields", pcapng});
    EXPECT_EQ(1, r.status);
    EXPECT_THAT(r.err, HasSubstr("file ends inside a block header"));
    unlink(hex.c_str());
    unlink(pcapng.c_str());
    rmdir(dir);
}

} // namespace
