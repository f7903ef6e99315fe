// The driver's frame trace (KESTA_TRACE) and link counters, through KviMain against the simulator:
// what lands in the file after a few requests, and what does not change when the trace is on.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_program.h"
#include "serial/link_counters.h"
#include "speed_line.h"
#include "support/driver_fixture.h"
#include "tools/decode/decode.h"

using kesta::decode::Chunk;
using kesta::decode::Decoder;
using kesta::decode::Event;
using kesta::decode::LineKind;
using kesta::decode::ParseCaptureLine;
using kesta::sim::Direction;
using kesta::sim::ObjectSpec;
using testing::HasSubstr;

namespace {

class DriverTrace : public SpeedLine {
protected:
    void SetUp() override {
        SpeedLine::SetUp();
        path_ = f.dir() + "/kesta.trace";
        setenv("KESTA_TRACE", path_.c_str(), 1);
        unsetenv("KESTA_TRACE_PERIOD");
        ResetLinkCounters(); // they count from the library's load: other tests of this process ran before
    }
    void TearDown() override {
        unsetenv("KESTA_TRACE");
        unsetenv("KESTA_TRACE_PERIOD");
    }

    std::vector<std::string> TraceLines() { return Lines(ReadFile(path_)); }

    // key=value pairs of the last counter line.
    std::map<std::string, std::string> LastCounters() {
        std::map<std::string, std::string> values;
        for (const std::string &line : TraceLines()) {
            if (line.find(" counters ") == std::string::npos)
                continue;
            values.clear();
            std::istringstream words(line);
            std::string word;
            while (words >> word) {
                const size_t eq = word.find('=');
                if (eq != std::string::npos)
                    values[word.substr(0, eq)] = word.substr(eq + 1);
            }
        }
        return values;
    }

    static unsigned Number(const std::map<std::string, std::string> &values, const char *key) {
        auto it = values.find(key);
        return it == values.end() ? 9999u : static_cast<unsigned>(std::stoul(it->second));
    }

    std::string path_;
};

TEST_F(DriverTrace, EveryFrameSentAndReceivedIsAHexLineWithATimeStamp) {
    Requests(3);
    ASSERT_EQ(0u, f.End());
    const std::vector<std::string> lines = TraceLines();
    ASSERT_GE(lines.size(), 4u);
    const std::regex stamp("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}");
    EXPECT_THAT(lines.front(), testing::MatchesRegex("# .* open /SA=1/RC=3/TT=200/TE=200/TQ=200"));
    EXPECT_THAT(lines[lines.size() - 2], HasSubstr(" counters EndKvi requests="));
    EXPECT_THAT(lines.back(), testing::MatchesRegex("# .* close"));

    std::vector<uint8_t> sent, received;
    size_t sentLines = 0;
    for (const std::string &line : lines) {
        Chunk chunk;
        std::string why;
        const LineKind kind = ParseCaptureLine(line, &chunk, &why);
        if (kind == LineKind::Comment)
            continue;
        ASSERT_EQ(LineKind::Bytes, kind) << line;
        EXPECT_TRUE(std::regex_match(chunk.time, stamp)) << chunk.time;
        ASSERT_TRUE(chunk.direction == 'M' || chunk.direction == 'S') << line;
        std::vector<uint8_t> &to = chunk.direction == 'M' ? sent : received;
        to.insert(to.end(), chunk.bytes.begin(), chunk.bytes.end());
        sentLines += chunk.direction == 'M';
    }
    // Byte for byte what the station side saw and answered.
    std::vector<uint8_t> fromMaster, fromStation;
    for (const kesta::sim::TrafficRecord &r : SettledTraffic(f.sim())) {
        std::vector<uint8_t> &to = r.direction == Direction::FromMaster ? fromMaster : fromStation;
        to.insert(to.end(), r.raw.begin(), r.raw.end());
    }
    EXPECT_EQ(fromMaster, sent);
    EXPECT_EQ(fromStation, received);

    const std::map<std::string, std::string> c = LastCounters();
    EXPECT_EQ(sentLines, Number(c, "framesOut"));
    EXPECT_EQ(sent.size(), Number(c, "bytesOut"));
    EXPECT_EQ(received.size(), Number(c, "bytesIn"));
    EXPECT_EQ(Number(c, "framesOut"), Number(c, "framesIn"));
    EXPECT_EQ(6u, Number(c, "requests")); // connect, lookup, three reads, a write
    EXPECT_EQ(0u, Number(c, "failed"));
    EXPECT_EQ(0u, Number(c, "retransmissions"));
    EXPECT_EQ("-", c.at("failedByCode"));
    for (const char *key : {"link65291", "link65292", "link65293", "link65294", "echoMismatches"})
        EXPECT_EQ(0u, Number(c, key)) << key;
}

TEST_F(DriverTrace, TheDecoderReadsTheTrace) {
    Requests(1);
    ASSERT_EQ(0u, f.End());
    Decoder decoder;
    for (const std::string &line : TraceLines())
        decoder.feedLine(line);
    decoder.finish();
    std::string text;
    for (const Event &e : decoder.take())
        text += kesta::decode::FormatEvent(e) + "\n";
    EXPECT_EQ(0u, decoder.stats().badLines);
    EXPECT_EQ(0u, decoder.stats().badHeaders + decoder.stats().badData + decoder.stats().noiseBytes);
    EXPECT_THAT(text, HasSubstr("Read reply speed = 1234"));
    EXPECT_THAT(text, HasSubstr("WriteLong speed := 7"));
}

TEST_F(DriverTrace, NothingWithoutTheVariable) {
    unsetenv("KESTA_TRACE");
    Requests(1);
    ASSERT_EQ(0u, f.End());
    EXPECT_NE(0, access(path_.c_str(), F_OK));
}

TEST_F(DriverTrace, TheHostLogIsTheSameWithAndWithoutATrace) {
    Requests(2);
    ASSERT_EQ(0u, f.End());
    const std::vector<LoggedMessage> traced = f.Messages();
    ASSERT_FALSE(traced.empty());
    f.ClearMessages();
    unsetenv("KESTA_TRACE");
    speed_ = DriverFixture::Gate();
    Requests(2);
    ASSERT_EQ(0u, f.End());
    EXPECT_EQ(traced, f.Messages());
}

TEST_F(DriverTrace, EndKviOfAnInstanceThatNeverStartedWritesNoTrace) {
    // Straight through KviMain with a fresh block: no stack was opened, so there is no trace to end.
    std::vector<uint8_t> block(sizeof(DriverInstance), 0);
    DriverCall call{};
    call.instance = reinterpret_cast<DriverInstance *>(block.data());
    call.functionCode = KVI_END;
    call.driverNumber = f.driverNumber();
    EXPECT_EQ(0u, KviMain(&call));
    EXPECT_NE(0, access(path_.c_str(), F_OK));
}

TEST_F(DriverTrace, AFileThatCannotBeWrittenLeavesTheDriverWorking) {
    setenv("KESTA_TRACE", (f.dir() + "/no/such/directory/kesta.trace").c_str(), 1);
    Requests(2);
    EXPECT_EQ(0u, f.End());
}

TEST_F(DriverTrace, FailedRequestsAndEveryLinkErrorAreCounted) {
    Requests(0);
    // One fault at a time: whether the driver needs to send a frame again depends on timing, and a
    // script running on would hand the next step to that repetition.
    for (const char *fault : {"hcs", "dcs", "stale", "other"}) {
        kesta::sim::FaultScript script;
        std::string error;
        ASSERT_TRUE(kesta::sim::ParseFaultScript(fault, &script, &error)) << error;
        f.station(2).setFaults(script);
        EXPECT_EQ(0u, f.Read(speed_)) << fault;
    }
    kesta::sim::FaultScript silence;
    std::string error;
    ASSERT_TRUE(kesta::sim::ParseFaultScript("silence*8", &silence, &error)) << error;
    f.station(2).setFaults(silence);
    EXPECT_EQ(2u, f.Read(speed_)); // four sendings unheard: no reply
    ASSERT_EQ(0u, f.End());
    const std::map<std::string, std::string> c = LastCounters();
    EXPECT_GE(Number(c, "link65291"), 1u); // a frame to another station
    EXPECT_GE(Number(c, "link65292"), 1u); // header checksum
    EXPECT_GE(Number(c, "link65293"), 1u); // stale sequence
    EXPECT_GE(Number(c, "link65294"), 1u); // data checksum
    EXPECT_EQ(1u, Number(c, "failed"));
    EXPECT_EQ("10:1", c.at("failedByCode"));
    EXPECT_GE(Number(c, "retransmissions"), 5u);
    const std::string text = ReadFile(path_);
    EXPECT_THAT(text, HasSubstr(" result 65290 ErrCode 10\n"));
}

TEST_F(DriverTrace, CountersOncePerPeriod) {
    setenv("KESTA_TRACE_PERIOD", "1", 1);
    Requests(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(0u, f.Read(speed_));
    EXPECT_THAT(ReadFile(path_), HasSubstr(" counters period requests="));
    ASSERT_EQ(0u, f.End());
}

TEST_F(DriverTrace, EchoesOfAConverterAreTracedAndMatch) {
    f.sim().setEcho(true);
    Requests(1);
    ASSERT_EQ(0u, f.End());
    Decoder decoder;
    for (const std::string &line : TraceLines())
        decoder.feedLine(line);
    EXPECT_GE(decoder.stats().echoes, 3u);
    EXPECT_EQ(0u, decoder.stats().echoMismatches);
    EXPECT_EQ(0u, Number(LastCounters(), "echoMismatches"));
}

} // namespace
