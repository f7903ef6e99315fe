// net2000-decode: capture lines, frames written as on the wire, and traffic captured from the
// station simulator while the driver talks to it, checked against the simulator's own record of it.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "run_program.h"
#include "support/driver_fixture.h"
#include "support/golden.h"
#include "support/hex.h"
#include "tools/decode/decode.h"

using namespace kesta::decode;
using kesta::sim::Direction;
using kesta::sim::ObjectSpec;
using kesta::sim::TrafficRecord;
using testing::HasSubstr;

namespace {

// A segment's data: the bytes still to come (this segment's included), then message[from, to).
std::vector<uint8_t> Segment(uint16_t remaining, const std::vector<uint8_t> &message, size_t from, size_t to) {
    std::vector<uint8_t> data;
    data.push_back(static_cast<uint8_t>(remaining >> 8));
    data.push_back(static_cast<uint8_t>(remaining));
    for (size_t i = from; i < to; ++i)
        data.push_back(message[i]);
    return data;
}

// A frame's data: length prefix, then the message.
std::vector<uint8_t> Prefixed(const std::vector<uint8_t> &message) {
    return Segment(static_cast<uint16_t>(message.size()), message, 0, message.size());
}

std::string Line(const char *time, char direction, const std::vector<uint8_t> &bytes) {
    return std::string(time) + " " + direction + " " + HexText(bytes);
}

std::vector<Event> Decode(const std::vector<std::string> &lines) {
    Decoder decoder;
    for (const std::string &l : lines)
        decoder.feedLine(l);
    decoder.finish();
    return decoder.take();
}

std::vector<Event> Frames(const std::vector<Event> &events) {
    std::vector<Event> frames;
    for (const Event &e : events)
        if (e.kind == Event::FrameSeen)
            frames.push_back(e);
    return frames;
}

// ---- Capture lines ------------------------------------------------------------------------------

TEST(DecodeCaptureLine, TimeDirectionAndBytesAsTheTraceAndTheSimulatorWriteThem) {
    const struct {
        const char *line;
        LineKind kind;
        const char *time;
        char direction;
        const char *bytes;
    } rows[] = {
        {"1.302770 M 02 08 02 01", LineKind::Bytes, "1.302770", 'M', "02 08 02 01"},
        {"2024-05-01T12:00:00.123456 S 02 00", LineKind::Bytes, "2024-05-01T12:00:00.123456", 'S', "02 00"},
        {"0.5 E 3F", LineKind::Bytes, "0.5", 'E', "3F"},
        {golden::kAckFrame, LineKind::Bytes, "", '?', golden::kAckFrame},
        {"  s 0200", LineKind::Bytes, "", 'S', "02 00"},
        {"12:00:01 02", LineKind::Bytes, "12:00:01", '?', "02"},
        {"# 2024-05-01T12:00:00 open /SA=1", LineKind::Comment, "", '?', ""},
        {"   ", LineKind::Empty, "", '?', ""},
        {"1.5 M 02 0G", LineKind::Bad, "1.5", 'M', "02"},
        {"1.5 X 02", LineKind::Bad, "1.5", '?', ""},
    };
    for (const auto &row : rows) {
        Chunk chunk;
        std::string why;
        EXPECT_EQ(row.kind, ParseCaptureLine(row.line, &chunk, &why)) << row.line;
        if (row.kind == LineKind::Bytes) {
            EXPECT_EQ(row.time, chunk.time) << row.line;
            EXPECT_EQ(row.direction, chunk.direction) << row.line;
            EXPECT_EQ(row.bytes, HexText(chunk.bytes)) << row.line;
        }
        if (row.kind == LineKind::Bad) {
            EXPECT_FALSE(why.empty());
        }
    }
}

// ---- Frames ---------------------------------------------------------------------------------------

TEST(DecodeFrames, WorkedFramesWithTheirChecksums) {
    const std::vector<Event> events = Decode({golden::kAckFrame, golden::kOddDataFrame});
    ASSERT_EQ(2u, events.size());
    const Frame &ack = events[0].frame;
    EXPECT_EQ(Event::FrameSeen, events[0].kind);
    EXPECT_TRUE(ack.headerOk && ack.dataOk);
    EXPECT_EQ(2, ack.destination);
    EXPECT_EQ(1, ack.source);
    EXPECT_EQ(0xE, ack.type);
    EXPECT_EQ(3, ack.sequence);
    EXPECT_EQ('M', events[0].direction); // an Ack is the master's: inferred from the type
    EXPECT_TRUE(events[0].directionInferred);
    EXPECT_EQ("m   1>2   Ack                seq  3 ok  (acknowledges the reply)", FormatEvent(events[0]));
    EXPECT_TRUE(events[1].frame.dataOk);
    EXPECT_EQ(0x66A9, events[1].frame.checksum);
}

TEST(DecodeFrames, WrongDataChecksumIsNamedWithBothValues) {
    const std::vector<Event> events = Decode({"1.0 S 02 02 02 01 11 12 AA BB CC 00 66 A8"});
    ASSERT_EQ(1u, events.size());
    EXPECT_FALSE(events[0].frame.dataOk);
    EXPECT_EQ(0x66A9, events[0].frame.expectedChecksum);
    EXPECT_THAT(FormatEvent(events[0]), HasSubstr("BAD data checksum 66A8, computed 66A9"));
}

TEST(DecodeFrames, NoiseBadHeaderAndAFrameSplitOverTwoLines) {
    std::vector<uint8_t> frame = Net2000Frame(1, 2, 3, 1, Prefixed(HexBytes("00 00 05 32")));
    std::vector<uint8_t> head(frame.begin(), frame.begin() + 5);
    std::vector<uint8_t> tail(frame.begin() + 5, frame.end());
    const std::vector<Event> events =
        Decode({"1.0 S 55 AA", "1.1 S 02 02 01 02 13 FF", Line("1.2", 'S', head), Line("1.3", 'S', tail)});
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(Event::Noise, events[0].kind);
    EXPECT_EQ("55 AA", HexText(events[0].bytes));
    EXPECT_EQ(Event::BadHeader, events[1].kind);
    EXPECT_EQ("1.1", events[1].time);
    const std::vector<Event> frames = Frames(events);
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ("1.2", frames[0].time); // the time of the frame's first byte
    EXPECT_EQ(frame, frames[0].frame.raw);
}

TEST(DecodeFrames, IncompleteFrameAtTheEndIsReported) {
    const std::vector<Event> events = Decode({"9.0 M 02 08 02 01 11 18 00 0E FF"});
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(Event::Incomplete, events[0].kind);
}

// ---- Messages -----------------------------------------------------------------------------------

// One exchange after another between master 1 and station 2, as the driver runs them.
class DecodeMessages : public testing::Test {
protected:
    void Request(const std::string &message) {
        lines_.push_back(Line("1.0", 'M', Net2000Frame(2, 1, 1, ++sequence_, Prefixed(HexBytes(message)))));
    }
    void Reply(const std::string &message, uint8_t type = 3) {
        lines_.push_back(Line("1.0", 'S', Net2000Frame(1, 2, type, sequence_, Prefixed(HexBytes(message)))));
    }
    std::vector<Event> Messages() {
        std::vector<Event> out;
        for (const Event &e : Frames(Decode(lines_)))
            if (e.hasMessage)
                out.push_back(e);
        return out;
    }
    std::vector<std::string> lines_;
    uint8_t sequence_ = 0;
};

TEST_F(DecodeMessages, ConnectLookupReadAndWriteWithNamesAndTypedValues) {
    Request(golden::kConnectRequest);
    Reply(golden::kConnectReply);
    Request("00 00 02 11 00 01 73 70 65 65 64 00"); // lookup "speed"
    Reply("00 00 02 11 00 00 01 10 00 00 00 00 00 00 00 02 00 02 00 00 00 00 00 00 00 02");
    Request("00 00 03 31 00 01 01 10 00 00 02 00"); // long read of h=1001, 2 bytes
    Reply("00 00 03 31 FA 24");
    Request("00 00 04 32 00 01 01 10 00 00 02 00 04 D2"); // long write of 1234
    Reply("00 00 04 32");
    const std::vector<Event> m = Messages();
    ASSERT_EQ(8u, m.size());
    EXPECT_EQ("Connect: reads the station objects 2, 4, 5, 6", m[0].message.summary);
    EXPECT_EQ("Connect reply: object 2 = 5 (long item heads, codes 49/50), object 4 = 01 00, object 5 = FFFF, "
              "buffer 4096 bytes",
              m[1].message.summary);
    EXPECT_EQ("Lookup \"speed\"", m[2].message.summary);
    EXPECT_EQ("Lookup reply \"speed\" h=1001 single INT, 2 bytes", m[3].message.summary);
    EXPECT_EQ("ReadLong speed (h=1001, 2 bytes)", m[4].message.summary);
    EXPECT_EQ("Read reply speed = -1500", m[5].message.summary);
    ASSERT_EQ(1u, m[5].message.items.size());
    EXPECT_EQ("-1500", m[5].message.items[0].value);
    EXPECT_EQ("WriteLong speed := 1234", m[6].message.summary);
    EXPECT_EQ("Write done", m[7].message.summary);
    EXPECT_EQ(3, m[5].message.counter);
    EXPECT_TRUE(m[5].message.counterMatches);
}

TEST_F(DecodeMessages, ErrorReplyTellsWhatTheDriverMakesOfIt) {
    Request("00 00 07 31 00 01 01 10 00 00 02 00");
    Reply("00 00 07 99 00 10 00 05");
    Request("00 00 08 31 00 01 01 10 00 00 02 00");
    Reply("00 00 08 99 00 04 00 05");
    const std::vector<Event> m = Messages();
    ASSERT_EQ(4u, m.size());
    EXPECT_EQ(65385u, m[1].message.driverResult);
    EXPECT_THAT(m[1].message.summary, HasSubstr("station error 5, flags 0x10"));
    EXPECT_THAT(m[1].message.summary, HasSubstr("65385 (ErrCode 105"));
    EXPECT_EQ(5u, m[3].message.driverResult);
}

TEST_F(DecodeMessages, CounterMismatchAndUnknownLookupStatus) {
    Request("00 00 09 11 00 01 6E 6F 00"); // lookup "no"
    Reply("00 00 09 11 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    Request("00 00 0A 31 00 01 01 10 00 00 02 00");
    Reply("00 00 0B 31 00 01");
    const std::vector<Event> m = Messages();
    ASSERT_EQ(4u, m.size());
    EXPECT_THAT(m[1].message.summary, HasSubstr("\"no\" not known (status 2; the driver logs rc=172)"));
    EXPECT_FALSE(m[3].message.counterMatches);
    EXPECT_THAT(m[3].message.summary, HasSubstr("counter 11 does not match the request's 10"));
}

TEST_F(DecodeMessages, SegmentedReplyIsGatheredAcrossFrames) {
    std::vector<uint8_t> message = HexBytes("00 00 05 31");
    for (int i = 0; i < 600; ++i)
        message.push_back(static_cast<uint8_t>(i));
    Request("00 00 05 31 00 01 01 10 00 00 58 02");
    // ReplyMore with the whole length, the master's NextReplySegment, then ReplyLast with the rest.
    std::vector<uint8_t> first = Segment(0x025C, message, 0, 508);
    lines_.push_back(Line("2.0", 'S', Net2000Frame(1, 2, 4, sequence_, first)));
    lines_.push_back(Line("3.0", 'M', Net2000Frame(2, 1, 5, ++sequence_, {})));
    std::vector<uint8_t> last = Segment(0x0060, message, 508, message.size());
    lines_.push_back(Line("4.0", 'S', Net2000Frame(1, 2, 3, sequence_, last)));
    const std::vector<Event> m = Messages();
    ASSERT_EQ(2u, m.size());
    EXPECT_EQ(message, m[1].message.bytes);
    EXPECT_EQ("4.0", m[1].time);
}

TEST_F(DecodeMessages, RepeatsStaleAnswersAndEchoesAreNamed) {
    const std::vector<uint8_t> request =
        Net2000Frame(2, 1, 1, 1, Prefixed(HexBytes("00 00 01 31 00 01 01 10 00 00 02 00")));
    lines_.push_back(Line("1.0", 'M', request));
    lines_.push_back(Line("1.0", 'E', request));
    lines_.push_back(Line("2.0", 'M', request)); // sent again after silence
    lines_.push_back(Line("3.0", 'S', Net2000Frame(1, 2, 3, 0, Prefixed(HexBytes("00 00 01 31 00 07")))));
    lines_.push_back(Line("3.0", 'S', Net2000Frame(1, 2, 3, 1, Prefixed(HexBytes("00 00 01 31 00 07")))));
    Decoder decoder;
    for (const std::string &l : lines_)
        decoder.feedLine(l);
    const std::vector<Event> events = decoder.take();
    ASSERT_EQ(5u, events.size());
    EXPECT_EQ(Event::Echo, events[1].kind);
    EXPECT_TRUE(events[1].echoMatches);
    EXPECT_TRUE(events[2].repeat);
    EXPECT_THAT(FormatEvent(events[3]), HasSubstr("a stale answer, the driver drops it"));
    EXPECT_TRUE(events[4].hasMessage);
    EXPECT_EQ(1u, decoder.stats().repeats);
    EXPECT_EQ(1u, decoder.stats().staleSequences);
    EXPECT_EQ(1u, decoder.stats().echoes);
}

TEST(DecodeErrCodes, LowBytesOfTheDriversCodes) {
    EXPECT_STREQ("no reply after 3 retransmissions", ErrCodeMeaning(10));
    EXPECT_STREQ("no free station entry (NUM_OF_SLAVES)", ErrCodeMeaning(65326 & 0xFF));
    EXPECT_STREQ("station refused a segmented request", ErrCodeMeaning(100));
    EXPECT_STREQ("station error reply, number = ErrCode - 100", ErrCodeMeaning(105));
    EXPECT_STREQ("station set aside after silent requests (SILENT_STATION_LIMIT)", ErrCodeMeaning(65483 & 0xFF));
    EXPECT_STREQ("port device failed, waiting to reopen it (PORT_REOPEN_INTERVAL)", ErrCodeMeaning(65484 & 0xFF));
    EXPECT_STREQ("object gone or changed in the PLC (RELOOKUP_ON_ERROR)", ErrCodeMeaning(65485 & 0xFF));
    EXPECT_EQ("PLC lookup status 2: object not known", LookupStatusMeaning(172));
    EXPECT_EQ("object length differs", LookupStatusMeaning(170));
}

// ---- Traffic of the driver with the simulator -----------------------------------------------------

class DecodeSimulatorCapture : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(f.ok()) << f.error();
        capturePath_ = f.dir() + "/line.hex";
        capture_ = fopen(capturePath_.c_str(), "w");
        ASSERT_NE(nullptr, capture_);
        f.sim().setHexCapture(capture_);
        kesta::sim::Station &plc = f.station(2);
        plc.addObject(ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 1234));
        plc.addObject(ObjectSpec::Scalar("temperature", kesta::sim::kTypeFloat, 21.5));
        plc.addObject(ObjectSpec::Array("table", kesta::sim::kTypeUint16, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        plc.addObject(ObjectSpec::Array("big_table", kesta::sim::kTypeInt16, 400));
        plc.addSampleStructure("alarms");
        plc.queueRecord("alarms", kesta::sim::MessageRecord(26, 12, 2001, 14, 30, 45, 5, 7, true));
    }
    void TearDown() override {
        f.sim().stop();
        f.sim().setHexCapture(nullptr);
        if (capture_ != nullptr)
            fclose(capture_);
    }

    // Parses and reads every gate once, writes one.
    void Exchanges() {
        ASSERT_EQ(0u, f.ColdStart(20));
        DriverFixture::Gate speed, temperature, table, big, alarms;
        ASSERT_EQ(0u, f.Parse(speed, "002speed", GATE_SIGNED16));
        ASSERT_EQ(0u, f.Parse(temperature, "002temperature", GATE_FLOAT));
        ASSERT_EQ(0u, f.Parse(table, "002table", GATE_UNSIGNED16, true, 10));
        ASSERT_EQ(0u, f.Parse(big, "002big_table", GATE_SIGNED16, true, 400));
        ASSERT_EQ(0u, f.Parse(alarms, "002_Malarms", GATE_UNSIGNED32));
        EXPECT_EQ(0u, f.Read(speed));
        EXPECT_EQ(0u, f.Read(temperature));
        EXPECT_EQ(0u, f.Read(table, true, 10));
        EXPECT_EQ(0u, f.Read(big, true, 400));
        EXPECT_EQ(0u, f.Read(alarms));
        const uint8_t cell[4] = {0, 0, 0x2C, 0x01}; // 300 in the second half
        EXPECT_EQ(0u, f.Write(speed, cell));
        EXPECT_EQ(0u, f.Read(speed));
    }

    std::vector<Event> DecodeCapture() {
        fflush(capture_);
        Decoder decoder;
        for (const std::string &line : Lines(ReadFile(capturePath_)))
            decoder.feedLine(line);
        decoder.finish();
        stats_ = decoder.stats();
        return decoder.take();
    }

    DriverFixture f;
    std::string capturePath_;
    FILE *capture_ = nullptr;
    Stats stats_;
};

TEST_F(DecodeSimulatorCapture, EveryFrameAndMessageAsTheSimulatorSawThem) {
    Exchanges();
    const std::vector<TrafficRecord> traffic = SettledTraffic(f.sim());
    const std::vector<Event> events = DecodeCapture();
    const std::vector<Event> frames = Frames(events);
    ASSERT_EQ(traffic.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const TrafficRecord &r = traffic[i];
        const Event &e = frames[i];
        SCOPED_TRACE("frame " + std::to_string(i) + ": " + r.text);
        EXPECT_EQ(r.raw, e.frame.raw);
        EXPECT_EQ(r.direction == Direction::FromMaster ? 'M' : 'S', e.direction);
        EXPECT_EQ(r.type, e.frame.type);
        EXPECT_EQ(r.sequence, e.frame.sequence);
        EXPECT_EQ(r.valid, e.frame.dataOk);
        EXPECT_EQ(r.hasMessage, e.hasMessage);
        if (r.hasMessage) {
            EXPECT_EQ(r.counter, e.message.counter);
            EXPECT_EQ(r.code, e.message.code);
        }
    }
    EXPECT_EQ(0u, stats_.badHeaders + stats_.badData + stats_.incomplete);
    std::vector<Event> noise;
    for (const Event &e : events)
        if (e.kind == Event::Noise)
            noise.push_back(e);
    ASSERT_EQ(1u, noise.size());
    EXPECT_EQ("M", std::string(1, noise[0].direction));
    EXPECT_EQ("01", HexText(noise[0].bytes)); // the cold start's echo test, the only byte outside a frame
    EXPECT_EQ(1u, stats_.noiseBytes);

    std::vector<std::string> summaries;
    for (const Event &e : frames)
        if (e.hasMessage)
            summaries.push_back(e.message.summary);
    auto has = [&summaries](const std::string &text) {
        for (const std::string &s : summaries)
            if (s.find(text) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(has("Read reply speed = 1234"));
    EXPECT_TRUE(has("Read reply temperature = 21.5"));
    EXPECT_TRUE(has("Read reply table = [1 2 3 4 5 6 7 8 9 10]"));
    EXPECT_TRUE(has("Read reply big_table = [0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 .. (400 values)]"));
    EXPECT_TRUE(has("Read reply alarms = EWT record of 26.12.2001 14:30"));
    EXPECT_TRUE(has("as a message record :45 to gate _M005_007 state 1"));
    EXPECT_TRUE(has(":= 300"));
    EXPECT_TRUE(has("Read reply speed = 300"));
    EXPECT_TRUE(has("Lookup reply \"alarms.toggle\""));
}

TEST_F(DecodeSimulatorCapture, LineFaultsAreNamedAndTheDriverStillGetsItsAnswers) {
    ASSERT_EQ(0u, f.ColdStart(20));
    DriverFixture::Gate speed;
    ASSERT_EQ(0u, f.Parse(speed, "002speed", GATE_SIGNED16));
    // One fault at a time: whether the driver needs to send a frame again depends on timing, and a
    // script running on would hand the next step to that repetition.
    for (const char *fault : {"hcs", "dcs", "noise=5", "stale", "silence", "split=30", "other"}) {
        kesta::sim::FaultScript script;
        std::string error;
        ASSERT_TRUE(kesta::sim::ParseFaultScript(fault, &script, &error)) << error;
        f.station(2).setFaults(script);
        EXPECT_EQ(0u, f.Read(speed)) << fault;
    }
    DecodeCapture();
    const kesta::sim::StationStats st = f.station(2).stats();
    // Hunting on after a bad header may meet the station's address 02 as one more STX.
    EXPECT_GE(stats_.badHeaders, st.Faults(kesta::sim::FaultKind::HeaderChecksum));
    EXPECT_EQ(1u, st.Faults(kesta::sim::FaultKind::HeaderChecksum));
    EXPECT_EQ(st.Faults(kesta::sim::FaultKind::DataChecksum), stats_.badData);
    EXPECT_GE(stats_.staleSequences, 1u); // a repetition may be answered with the stale copy again
    EXPECT_GE(stats_.noiseBytes, 5u);
    EXPECT_GE(stats_.repeats, 1u); // the frame the station did not hear went out again
    EXPECT_EQ(0u, stats_.incomplete);
}

TEST_F(DecodeSimulatorCapture, TheProgramPrintsTheCaptureAndItsCounts) {
    Exchanges();
    fflush(capture_);
    const ProgramResult r = RunProgram({NET2000_DECODE_EXE, "--bytes", capturePath_});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_THAT(r.out,
                HasSubstr("M   1>2   RequestLast        seq  1 ok len 14 | #1 Connect: reads the station objects"));
    EXPECT_THAT(r.out, HasSubstr("| #2 Lookup \"speed\""));
    EXPECT_THAT(r.out, HasSubstr("ReplyMore"));
    EXPECT_THAT(r.out, HasSubstr("Read reply speed = 1234"));
    EXPECT_THAT(r.out, HasSubstr("\n--\nframes: "));
    EXPECT_THAT(r.out, HasSubstr(" 0 bad headers, 0 bad data checksums"));
}

} // namespace
