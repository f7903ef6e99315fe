// End-to-end figures of the driver as the host drives it: KviMain against the station simulator on a
// pseudo-terminal, the simulator timing the line in both directions at the baud rate. Every rate is
// reported against the wire limit computed from the exact frame bytes of one clean exchange, measured
// in the same run; fault latencies against the configured read time-out; grouped reads
// (READ_GROUP_MS 1) against the same poll cycle without the key, slice by slice in turn.
// Usage: bench_wire [--quick] [--seconds S] [--baud N]... [--no-faults] [--floor RATIO]
//                   [--group-baud N]... [--no-groups]
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dsf/dsf.h"
#include "serial/line_state.h"
#include "serial/transport.h"
#include "support/driver_fixture.h"

using kesta::sim::FaultScript;
using kesta::sim::LineStats;
using kesta::sim::ObjectSpec;
using kesta::sim::Station;
using Clock = std::chrono::steady_clock;

namespace {

const uint8_t kStation = 1;
// The port's read time-out, 10 ms units. It bounds a whole read, so it must outlast the longest frame
// on the slowest line: 518 bytes take 594 ms at 9600 baud.
const uint32_t kTimeoutUnits = 100;
const double kTimeoutMs = kTimeoutUnits * 10.0;
const uint32_t kEwtDelayMs = 1;
const uint32_t kBitsPerChar = 11; // start, 8 data, odd parity, stop
// Each rate is measured in this many slices and the best one counts: the machine's other load can only
// ever slow a slice down, never speed it up.
const int kSlices = 3;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

uint64_t LineBytes(const LineStats &s) { return s.bytesIn + s.bytesOut; }

struct Row {
    std::string what;
    uint32_t baud = 0;
    double measured = 0; // per second
    double limit = 0;    // per second
    uint64_t bytesEach = 0;
    uint64_t retransmissions = 0;
    bool failed = false;
    std::string reference; // the reference column, when not the wire limit of one exchange
};

__attribute__((format(printf, 1, 2))) std::string Format(const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

class WireBench {
public:
    explicit WireBench(double seconds) : seconds_(seconds) {}

    bool Start() {
        if (!f_.ok()) {
            fprintf(stderr, "bench_wire: %s\n", f_.error().c_str());
            return false;
        }
        Station &st = f_.station(kStation);
        st.addObject(ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 1500));
        std::vector<double> values(300);
        for (size_t i = 0; i < values.size(); ++i) {
            values[i] = static_cast<double>(i);
        }
        st.addObject(ObjectSpec::Array("table", kesta::sim::kTypeInt16, 100, values));
        st.addObject(ObjectSpec::Array("long", kesta::sim::kTypeInt16, 300, values));
        st.addSampleStructure("mdata");
        f_.sim().setTrafficLimit(16);
        f_.sim().setWireTiming(true);
        f_.WriteInitFile(
            "MASTER_ADDRESS = 5\nNUM_OF_SLAVES = 2\nEWT_DELAY_BETWEEN_RECORDS = " + std::to_string(kEwtDelayMs) + "\n");
        if (f_.ColdStart(kTimeoutUnits) != 0) {
            fprintf(stderr, "bench_wire: cold start failed\n");
            return false;
        }
        const TalrunRefApi *talrun = hostlog::Attach(TALRUN_SO_PATH);
        if (talrun != nullptr) {
            talrun->define_gate("001_M005_007", 101);
        }
        if (f_.Parse(single_, "001speed", GATE_SIGNED16) != 0 ||
            f_.Parse(block_, "001table", GATE_SIGNED16, true, 100) != 0 ||
            f_.Parse(long_, "001long", GATE_SIGNED16, true, 300) != 0 ||
            f_.Parse(sample_, "001_Mmdata", GATE_UNSIGNED32) != 0) {
            fprintf(stderr, "bench_wire: a gate does not parse\n");
            return false;
        }
        BuildSegmentedWrite(st.handle("long"));
        return true;
    }

    // Polls of one kind for the measuring time; the limit from the bytes of one clean exchange.
    Row Polls(const std::string &what, uint32_t baud, const std::function<bool()> &poll) {
        Row row;
        row.what = what;
        row.baud = baud;
        f_.sim().setBaud(baud);
        if (!poll() || !poll()) { // warm up; the second also sizes one clean exchange
            row.failed = true;
            return row;
        }
        const uint64_t before = SettledBytes();
        if (!poll()) {
            row.failed = true;
            return row;
        }
        row.bytesEach = SettledBytes() - before;
        const uint64_t repeats0 = f_.station(kStation).stats().retransmissions;
        const uint64_t bytes0 = SettledBytes();
        uint64_t polls = 0;
        for (int slice = 0; slice < kSlices && !row.failed; ++slice) {
            uint64_t n = 0;
            const Clock::time_point start = Clock::now();
            const Clock::time_point end = start + SliceLength();
            Clock::time_point now = start;
            while (now < end || n < 3) {
                if (!poll()) {
                    row.failed = true;
                    break;
                }
                ++n;
                now = Clock::now();
            }
            polls += n;
            row.measured = std::max(row.measured, static_cast<double>(n) / Seconds(now - start));
        }
        row.limit = static_cast<double>(baud) / (kBitsPerChar * static_cast<double>(row.bytesEach));
        row.retransmissions = f_.station(kStation).stats().retransmissions - repeats0;
        if (SettledBytes() - bytes0 != polls * row.bytesEach) {
            row.failed = row.failed || row.retransmissions == 0; // other bytes than clean exchanges
        }
        f_.ClearMessages();
        return row;
    }

    // EWT records: one sample read collects every queued record, each read, stored and acknowledged,
    // ewtDelay apart, and ends on the empty structure. The limit: the line time of all its bytes plus
    // the delay the configuration asks for between records.
    Row Records(uint32_t baud) {
        Row row;
        row.what = "EWT records (ewtDelay 1 ms)";
        row.baud = baud;
        f_.sim().setBaud(baud);
        Station &st = f_.station(kStation);
        QueueRecords(st, 2);
        if (Read(sample_) != 0) { // warm up
            row.failed = true;
            return row;
        }
        // One record's exchanges: the read and the acknowledgement (measured by two calls).
        QueueRecords(st, 1);
        const uint64_t b0 = SettledBytes();
        Read(sample_);
        const uint64_t oneRecord = SettledBytes() - b0;
        const uint64_t b1 = SettledBytes();
        Read(sample_);
        const uint64_t emptyRead = SettledBytes() - b1;
        row.bytesEach = oneRecord - emptyRead;
        const double perRecord = static_cast<double>(row.bytesEach * kBitsPerChar) / baud + kEwtDelayMs / 1000.0;
        const uint32_t records = std::max<uint32_t>(5, static_cast<uint32_t>(Seconds(SliceLength()) / perRecord));
        double best = 0;
        for (int slice = 0; slice < kSlices && !row.failed; ++slice) {
            QueueRecords(st, records);
            const uint64_t repeats0 = st.stats().retransmissions;
            const uint64_t bytes0 = SettledBytes();
            const Clock::time_point start = Clock::now();
            const uint32_t rc = Read(sample_);
            const double elapsed = Seconds(Clock::now() - start);
            const uint64_t bytes = SettledBytes() - bytes0;
            row.failed = rc != 0 || st.pendingRecords("mdata") != 0 || bytes != records * row.bytesEach + emptyRead;
            row.retransmissions += st.stats().retransmissions - repeats0;
            const double wire = static_cast<double>(bytes * kBitsPerChar) / baud + records * (kEwtDelayMs / 1000.0);
            if (wire / elapsed > best) {
                best = wire / elapsed;
                row.measured = records / elapsed;
                row.limit = records / wire;
            }
        }
        f_.ClearMessages();
        return row;
    }

    // Duration of single reads with a fault on the station's next frame, as a ratio to the read
    // time-out; the median of a few.
    double FaultRatio(const std::string &script, uint32_t baud, double *cleanMs, int repeats,
                      const std::function<void()> &before = nullptr, double *framesSent = nullptr) {
        std::vector<double> frames;
        f_.sim().setBaud(baud);
        std::vector<double> clean;
        std::vector<double> faulty;
        Station &st = f_.station(kStation);
        for (int i = 0; i < repeats; ++i) {
            clean.push_back(TimedRead());
            FaultScript faults;
            std::string error;
            kesta::sim::ParseFaultScript(script, &faults, &error);
            st.setFaults(faults);
            if (before) {
                before();
            }
            const uint64_t framesIn = f_.sim().lineStats().framesIn;
            faulty.push_back(TimedRead());
            frames.push_back(static_cast<double>(f_.sim().lineStats().framesIn - framesIn));
            if (getenv("BENCH_WIRE_DEBUG") != nullptr) {
                fprintf(stderr, "%s: %.1f ms, %llu frames from the master\n", script.c_str(), faulty.back(),
                        static_cast<unsigned long long>(f_.sim().lineStats().framesIn - framesIn));
            }
            st.setFaults(FaultScript());
        }
        std::sort(clean.begin(), clean.end());
        std::sort(faulty.begin(), faulty.end());
        *cleanMs = clean[clean.size() / 2];
        std::sort(frames.begin(), frames.end());
        if (framesSent != nullptr) {
            *framesSent = frames[frames.size() / 2];
        }
        f_.ClearMessages();
        return faulty[faulty.size() / 2];
    }

    // The start of a reply frame to the next request, cut short: what a line that loses the tail of
    // an answer leaves in the master's input.
    void InjectPartialReply() {
        const std::vector<kesta::sim::TrafficRecord> traffic = f_.sim().traffic();
        for (auto r = traffic.rbegin(); r != traffic.rend(); ++r) {
            if (r->direction == kesta::sim::Direction::FromStation && r->raw.size() >= 10) {
                std::vector<uint8_t> frame = r->raw;
                frame[4] = static_cast<uint8_t>(((frame[4] >> 4) + 1) << 4 | (frame[4] & 0x0F));
                frame[5] = static_cast<uint8_t>(frame[0] ^ frame[1] ^ frame[2] ^ frame[3] ^ frame[4]);
                frame.resize(10);
                const uint64_t injected = f_.sim().lineStats().bytesInjected;
                f_.sim().inject(frame);
                f_.sim().waitUntil([&] { return f_.sim().lineStats().bytesInjected > injected; },
                                   std::chrono::milliseconds(1000));
                return;
            }
        }
    }

    // The last request and answer of the line, sent and awaited by a bare master on the same pty
    // with no driver in between: the ceiling that the simulator and the pty leave.
    Row RawRoundTrips(uint32_t baud) {
        Row row;
        row.what = "  bare pty round trip of the same frames (ceiling)";
        row.baud = baud;
        f_.sim().setBaud(baud);
        row.failed = true;
        if (!PollSingle()) {
            return row;
        }
        std::vector<uint8_t> request;
        size_t answer = 0;
        for (const kesta::sim::TrafficRecord &r : f_.sim().traffic()) {
            if (r.direction == kesta::sim::Direction::FromMaster) {
                request = r.raw;
            } else {
                answer = r.raw.size();
            }
        }
        const int fd = open(f_.sim().devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || request.empty() || answer == 0) {
            return row;
        }
        termios t;
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        auto roundTrip = [&]() {
            if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
                return false;
            }
            uint8_t buffer[600];
            size_t got = 0;
            while (got < answer) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 1000) <= 0) {
                    return false;
                }
                const ssize_t n = read(fd, buffer, std::min(sizeof buffer, answer - got));
                if (n > 0) {
                    got += static_cast<size_t>(n);
                }
            }
            return true;
        };
        row.failed = !roundTrip();
        for (int slice = 0; slice < kSlices && !row.failed; ++slice) {
            uint64_t trips = 0;
            const Clock::time_point start = Clock::now();
            const Clock::time_point end = start + SliceLength();
            Clock::time_point now = start;
            while (!row.failed && (now < end || trips < 3)) {
                row.failed = !roundTrip();
                ++trips;
                now = Clock::now();
            }
            row.measured = std::max(row.measured, static_cast<double>(trips) / Seconds(now - start));
        }
        close(fd);
        row.bytesEach = request.size() + answer;
        row.limit = static_cast<double>(baud) / (kBitsPerChar * static_cast<double>(row.bytesEach));
        return row;
    }

    // ---- Grouped reads ------------------------------------------------------------------------------
    // A poll cycle of the 20 single gates of one station, read once each, back to back, with the key
    // off and with READ_GROUP_MS 1, for one item head form: a cold start of its own (the connect reply
    // decides the form), then every baud rate and turnaround, the two loops taking turns slice by slice.
    void GroupRows(bool shortHeads, const std::vector<uint32_t> &bauds, std::vector<Row> *rows) {
        Station &st = f_.station(kStation);
        if (groupGates_.empty()) {
            for (int i = 0; i < kGroupGates; ++i) {
                st.addObject(ObjectSpec::Scalar(GroupName(i), kGroupTypes[i % 3].plc, i % 2));
            }
            groupGates_.resize(kGroupGates);
        }
        kesta::sim::ConnectObjects objects = st.connectObjects();
        objects.object2 = shortHeads ? 0x0080 : 0x0005;
        st.setConnectObjects(objects);
        f_.sim().setBaud(57600);
        st.setTurnaround(std::chrono::milliseconds(0));
        f_.WriteInitFile("MASTER_ADDRESS = 5\nNUM_OF_SLAVES = 2\nREAD_GROUP_MS = 1\n");
        bool ok = f_.ColdStart(kTimeoutUnits) == 0;
        for (int i = 0; ok && i < kGroupGates; ++i) {
            ok = f_.Parse(groupGates_[i], "001" + GroupName(i), kGroupTypes[i % 3].gate) == 0;
        }
        handles_.clear();
        for (int i = 0; i < kGroupGates; ++i) {
            handles_[st.handle(GroupName(i))] = i;
        }
        const char *heads = shortHeads ? "short" : "long";
        for (uint32_t baud : bauds) {
            for (uint32_t turnaround : {0u, 10u}) {
                char what[96];
                snprintf(what, sizeof what, "poll cycle of 20 gates, %s heads, turnaround %u ms", heads, turnaround);
                GroupCase c = ok ? MeasureGroups(baud, turnaround) : GroupCase();
                c.failed = c.failed || !ok;
                PushGroupRows(what, baud, turnaround, shortHeads, c, rows);
            }
        }
        st.setTurnaround(std::chrono::milliseconds(0));
    }

    bool PollSingle() { return Read(single_) == 0; }
    bool PollBlock() { return Read(block_, true, 100) == 0; }
    bool PollLong() { return Read(long_, true, 300) == 0; }
    bool PollSegmentedWrite() {
        StationEntry *slot = nullptr;
        memcpy(&slot,
               reinterpret_cast<const uint8_t *>(&f_.instance()) + offsetof(DriverInstance, StationTable) +
                   kStation * sizeof slot,
               sizeof slot);
        uint8_t reply[4000];
        uint32_t replyLength = sizeof reply;
        const int32_t rc = RunExchange(f_.instance().portHandle, DSF_FRAME_OVERHEAD + 6, &slot, segmentedWrite_,
                                       sizeof segmentedWrite_, reply, &replyLength);
        return rc == 0 && reply[0] == 0 && reply[1] == 0;
    }
    void SetAck(bool on) {
        f_.station(kStation).setAckMode(on ? kesta::sim::AckMode::AckFinal : kesta::sim::AckMode::None);
    }

private:
    static constexpr int kGroupGates = 20;
    struct GroupType {
        uint16_t plc;
        uint32_t gate;
    };
    // A mix of 8-, 16- and 32-bit values.
    static constexpr GroupType kGroupTypes[3] = {{kesta::sim::kTypeBool, GATE_DIGITAL},
                                                 {kesta::sim::kTypeUint16, GATE_UNSIGNED16},
                                                 {kesta::sim::kTypeUint32, GATE_UNSIGNED32}};
    static std::string GroupName(int i) { return "poll" + std::to_string(i); }

    // One loop of poll cycles (key off or on) over one slice, or what several slices gave.
    struct Loop {
        uint64_t bytesEach = 0;    // line bytes of one clean cycle
        uint32_t exchanges = 0;    // exchanges of one clean cycle
        double cycles = 0;         // per second, the best slice
        double exchangeRate = 0;   // the line's exchanges per second of time spent in them, best slice
        double valuesFromLine = 0; // values the line brought per second, best slice
        double oldestMs = 0;       // the oldest value a read handed out (from the line: 0)
        uint64_t retransmissions = 0;
        bool failed = false;
    };
    struct GroupCase {
        Loop off, on;
        bool failed = false;
    };

    // The key for this line as a cold start leaves it in the line table; the line's epoch changes, so
    // every loop starts with nothing kept.
    void SetGroupMs(uint32_t ms) {
        const LineSettings line = LineSettingsOf(&f_.instance());
        LineOptions options = line.options;
        options.readGroupMs = ms;
        RememberLine(&f_.instance(), line.port, line.echo, line.flush, options);
    }

    // Cycles until the slice ends (at least minCycles). With the key on a cycle starts only once the
    // values of the last grouped exchange are a whole READ_GROUP_MS old, so that each cycle's first read
    // goes to the line: a host polling faster than that is served from kept values for as many cycles as
    // fit the bound, a figure of memory, not of the line. Ages: from the return of the read that brought
    // a value to the return of the read that handed it out.
    bool RunCycles(bool grouped, Clock::duration length, int minCycles, bool paced, Loop *best,
                   uint64_t minExchanges = 0) {
        Station &st = f_.station(kStation);
        std::vector<Clock::time_point> arrived(kGroupGates, Clock::time_point());
        Clock::time_point lastLine = Clock::now() - std::chrono::seconds(1);
        uint64_t cycles = 0;
        uint64_t exchanges = 0;
        uint64_t values = 0;
        double inExchanges = 0;
        const Clock::time_point start = Clock::now();
        Clock::time_point now = start;
        while (now < start + length || cycles < static_cast<uint64_t>(minCycles) || exchanges < minExchanges) {
            if (grouped && paced) {
                const Clock::time_point due = lastLine + std::chrono::microseconds(1050);
                while (Clock::now() < due) {
                    std::this_thread::yield();
                }
            }
            for (int i = 0; i < kGroupGates; ++i) {
                const uint64_t before = st.stats().requests;
                const Clock::time_point called = Clock::now();
                if (f_.Read(groupGates_[i]) != 0) {
                    return false;
                }
                const Clock::time_point back = Clock::now();
                if (st.stats().requests == before) {
                    if (arrived[i] == Clock::time_point()) {
                        return false; // a value this loop never brought from the line
                    }
                    best->oldestMs = std::max(best->oldestMs, Seconds(back - arrived[i]) * 1000.0);
                    continue;
                }
                ++exchanges;
                inExchanges += Seconds(back - called);
                lastLine = back;
                const std::vector<kesta::sim::TrafficRecord> traffic = f_.sim().traffic();
                for (auto r = traffic.rbegin(); r != traffic.rend(); ++r) {
                    if (r->direction == kesta::sim::Direction::FromMaster && r->hasMessage) {
                        for (const auto &item : r->items) {
                            const auto gate = handles_.find(item.handle);
                            if (gate != handles_.end()) {
                                arrived[gate->second] = back;
                                ++values;
                            }
                        }
                        break;
                    }
                }
            }
            ++cycles;
            now = Clock::now();
        }
        const double elapsed = Seconds(now - start);
        if (paced && cycles / elapsed > best->cycles) {
            best->cycles = cycles / elapsed;
            best->valuesFromLine = values / elapsed;
        }
        if (paced && inExchanges > 0) {
            best->exchangeRate = std::max(best->exchangeRate, exchanges / inExchanges);
        }
        return true;
    }

    GroupCase MeasureGroups(uint32_t baud, uint32_t turnaround) {
        GroupCase c;
        f_.sim().setBaud(baud);
        f_.station(kStation).setTurnaround(std::chrono::milliseconds(turnaround));
        Loop *loops[2] = {&c.off, &c.on};
        // Warm up, then one clean cycle of each sizes its line bytes and exchanges.
        for (int key = 0; key < 2; ++key) {
            SetGroupMs(key);
            Loop probe;
            if (!RunCycles(key == 1, Clock::duration::zero(), 1, true, &probe)) {
                c.failed = true;
                return c;
            }
            const uint64_t bytes0 = SettledBytes();
            const uint64_t requests0 = f_.station(kStation).stats().requests;
            RunCycles(key == 1, Clock::duration::zero(), 1, true, &probe);
            loops[key]->bytesEach = SettledBytes() - bytes0;
            loops[key]->exchanges = static_cast<uint32_t>(f_.station(kStation).stats().requests - requests0);
        }
        const uint64_t repeats0 = f_.station(kStation).stats().retransmissions;
        for (int slice = 0; slice < kSlices && !c.failed; ++slice) {
            for (int key = 0; key < 2 && !c.failed; ++key) {
                SetGroupMs(key);
                c.failed = !RunCycles(key == 1, SliceLength(), 2, true, loops[key]);
            }
        }
        // Back to back as well, with no pause between cycles, until the kept values have run out at least
        // twice: values are handed out up to the bound.
        SetGroupMs(1);
        c.failed = c.failed || !RunCycles(true, std::chrono::milliseconds(200), 2, false, &c.on, 3);
        c.on.retransmissions = c.off.retransmissions = f_.station(kStation).stats().retransmissions - repeats0;
        SetGroupMs(0);
        f_.ClearMessages();
        return c;
    }

    static double WireSeconds(uint64_t bytes, uint32_t baud, uint32_t exchanges, uint32_t turnaround) {
        return static_cast<double>(bytes * kBitsPerChar) / baud + exchanges * turnaround / 1000.0;
    }

    void PushGroupRows(const char *what, uint32_t baud, uint32_t turnaround, bool shortHeads, const GroupCase &c,
                       std::vector<Row> *rows) {
        Row off;
        off.what = std::string(what) + ", READ_GROUP_MS 0";
        off.baud = baud;
        off.failed = c.failed;
        off.measured = c.off.cycles;
        off.limit = 1.0 / WireSeconds(c.off.bytesEach, baud, c.off.exchanges, turnaround);
        off.bytesEach = c.off.bytesEach;
        off.retransmissions = c.off.retransmissions;
        off.reference = Format("wire limit %.2f /s (%llu bytes, %u exchanges)", off.limit,
                               static_cast<unsigned long long>(c.off.bytesEach), c.off.exchanges);
        rows->push_back(off);

        // The goals, at 57600 baud.
        double goal = 0;
        if (baud == 57600 && turnaround == 0) {
            goal = shortHeads ? 5.0 : 2.5;
        } else if (baud == 57600 && turnaround == 10 && shortHeads) {
            goal = 8.0;
        }
        Row on;
        on.what = std::string(what) + ", READ_GROUP_MS 1";
        on.baud = baud;
        on.failed = c.failed;
        on.measured = c.on.cycles;
        on.limit = c.off.cycles; // the ratio is to the loop without the key
        on.retransmissions = c.on.retransmissions;
        on.reference = goal > 0 ? Format("READ_GROUP_MS 0: %.2f /s; goal %.1f", c.off.cycles, goal)
                                : Format("READ_GROUP_MS 0: %.2f /s", c.off.cycles);
        rows->push_back(on);

        Row exchange;
        exchange.what = std::string("  its grouped exchange (") + (shortHeads ? "short" : "long") + " heads, " +
                        std::to_string(turnaround) + " ms)";
        exchange.baud = baud;
        exchange.failed = c.failed || c.on.exchanges != 1;
        exchange.measured = c.on.exchangeRate;
        exchange.limit = 1.0 / WireSeconds(c.on.bytesEach, baud, 1, turnaround);
        exchange.bytesEach = c.on.bytesEach;
        exchange.reference = Format("wire limit %.2f /s (%llu bytes); %.0f values/s from the line, "
                                    "READ_GROUP_MS 0 %.0f; oldest value %.3f ms",
                                    exchange.limit, static_cast<unsigned long long>(c.on.bytesEach),
                                    c.on.valuesFromLine, c.off.valuesFromLine, c.on.oldestMs);
        rows->push_back(exchange);
    }

    Clock::duration SliceLength() const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds_ / kSlices));
    }

    // The simulator counts an answer's bytes once it has written the last one, just after the master
    // has read it: look at the counters only once the line has been quiet for a moment.
    uint64_t SettledBytes() {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return LineBytes(f_.sim().lineStats());
    }

    uint32_t Read(DriverFixture::Gate &gate, bool block = false, uint32_t count = 1) {
        const uint32_t rc = f_.Read(gate, block, count);
        if (rc != 0 && getenv("BENCH_WIRE_DEBUG") != nullptr) {
            fprintf(stderr, "read of %s: %u\n", gate.address.c_str(), rc);
            for (const std::string &t : f_.Texts()) {
                fprintf(stderr, "  %s\n", t.c_str());
            }
        }
        return rc;
    }

    double TimedRead() {
        const Clock::time_point start = Clock::now();
        const uint32_t rc = Read(single_);
        const double ms = Seconds(Clock::now() - start) * 1000.0;
        return rc == 0 ? ms : -1.0;
    }

    void QueueRecords(Station &st, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            st.queueRecord("mdata",
                           kesta::sim::MessageRecord(26, 12, 2001, 14, 30, static_cast<int>(i % 60), 5, 7, i % 2 == 0));
        }
    }

    // One write item of 600 bytes: a request message of 614 bytes, which travels in two segments.
    void BuildSegmentedWrite(uint16_t handle) {
        memset(segmentedWrite_, 0, sizeof segmentedWrite_);
        segmentedWrite_[0] = DSF_SVC_READ_WRITE;
        segmentedWrite_[1] = 1;
        const ListItem item = {handle, 600, DSF_ACCESS_WRITE};
        memcpy(segmentedWrite_ + DSF_REQ_BODY, &item, sizeof item);
        for (uint32_t i = 0; i < 600; ++i) {
            segmentedWrite_[DSF_REQ_BODY + sizeof item + i] = static_cast<uint8_t>(i);
        }
    }

    double seconds_;
    DriverFixture f_;
    DriverFixture::Gate single_, block_, long_, sample_;
    std::vector<DriverFixture::Gate> groupGates_;
    std::map<uint16_t, int> handles_; // station handle -> poll gate
    uint8_t segmentedWrite_[DSF_REQUEST_SIZE];
};

// One row of the figures table: | figure | measured | reference (same run) | ratio |
void PrintRow(const Row &r) {
    char figure[160];
    snprintf(figure, sizeof figure, "%s, %u baud", r.what.c_str(), r.baud);
    if (r.failed) {
        printf("| %-62s | FAILED | | |\n", figure);
        return;
    }
    char measured[64];
    char reference[256];
    snprintf(measured, sizeof measured, "%.1f /s", r.measured);
    snprintf(reference, sizeof reference, "wire limit %.1f /s (%llu bytes)", r.limit,
             static_cast<unsigned long long>(r.bytesEach));
    if (!r.reference.empty()) {
        snprintf(measured, sizeof measured, "%.2f /s", r.measured);
        snprintf(reference, sizeof reference, "%s", r.reference.c_str());
    }
    printf("| %-62s | %12s | %-34s | %5.3f |%s\n", figure, measured, reference, r.measured / r.limit,
           r.retransmissions != 0 ? " retransmissions!" : "");
}

void PrintFault(const char *what, double ms, const char *reference, double ratio) {
    char measured[64];
    snprintf(measured, sizeof measured, "%.1f ms", ms);
    printf("| %-62s | %12s | %-34s | %5.2f |\n", what, measured, reference, ratio);
}

int Usage() {
    fprintf(stderr, "usage: bench_wire [--quick] [--seconds S] [--baud N]... [--no-faults] [--floor RATIO]\n"
                    "                  [--group-baud N]... [--no-groups]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    double seconds = 3.0;
    bool faults = true;
    double floor = 0; // fail when a driver row falls below this ratio (a read that waits for a time-out)
    std::vector<uint32_t> bauds;
    std::vector<uint32_t> groupBauds;
    bool groups = true;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            seconds = 0.6;
            quick = true;
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else if (a == "--baud" && i + 1 < argc) {
            bauds.push_back(static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10)));
        } else if (a == "--floor" && i + 1 < argc) {
            floor = atof(argv[++i]);
        } else if (a == "--no-faults") {
            faults = false;
        } else if (a == "--group-baud" && i + 1 < argc) {
            groupBauds.push_back(static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10)));
        } else if (a == "--no-groups") {
            groups = false;
        } else {
            return Usage();
        }
    }
    if (bauds.empty()) {
        bauds = {9600, 57600, 115200};
    }
    if (groupBauds.empty()) {
        // A short run keeps to 57600: a cycle of 20 reads takes about a second at 9600 baud.
        groupBauds = quick ? std::vector<uint32_t>{57600} : std::vector<uint32_t>{9600, 57600};
    }
    WireBench bench(seconds);
    if (!bench.Start()) {
        return 1;
    }
    printf("# End to end: KviMain over a pty, the simulator timing both directions at 11 bits a character,\n"
           "# turnaround 0; the driver opened at 57600 8O1 (a pty has no rate of its own: the simulator's pacing\n"
           "# is the wire); read time-out %.0f ms; each rate the best of %d slices of %.2f s.\n",
           kTimeoutMs, kSlices, seconds / kSlices);
    bool ok = true;
    double worst = 1e9;
    for (uint32_t baud : bauds) {
        std::vector<Row> rows;
        rows.push_back(bench.Polls("single 16-bit read", baud, [&] { return bench.PollSingle(); }));
        rows.push_back(bench.RawRoundTrips(baud));
        rows.push_back(bench.Polls("block read, 100 x 16-bit", baud, [&] { return bench.PollBlock(); }));
        rows.push_back(bench.Records(baud));
        rows.push_back(
            bench.Polls("block read, 300 x 16-bit (2 reply frames)", baud, [&] { return bench.PollLong(); }));
        bench.SetAck(true);
        rows.push_back(
            bench.Polls("single read, station wants Ack (AckFinal)", baud, [&] { return bench.PollSingle(); }));
        bench.SetAck(false);
        rows.push_back(
            bench.Polls("write of 600 bytes (2 request segments)", baud, [&] { return bench.PollSegmentedWrite(); }));
        for (const Row &r : rows) {
            PrintRow(r);
            ok = ok && !r.failed;
            if (!r.failed && r.what[0] != ' ') {
                worst = std::min(worst, r.measured / r.limit);
            }
        }
    }
    printf("# worst ratio of the driver to the wire limit: %.3f\n", worst);
    if (worst < floor) {
        printf("# below the floor of %.2f: some exchange waits for the read time-out\n", floor);
        ok = false;
    }
    if (faults) {
        const uint32_t baud = 57600;
        const int repeats = seconds < 1.0 ? 3 : 5;
        char timeout[64];
        snprintf(timeout, sizeof timeout, "read time-out %.0f ms", kTimeoutMs);
        double clean = 0;
        double frames = 0;
        const double lost = bench.FaultRatio("noreply", baud, &clean, repeats, nullptr, &frames);
        char reference[96];
        snprintf(reference, sizeof reference, "%s; %.0f frames sent", timeout, frames);
        PrintFault("first reply lost (one retransmission), single read, 57600 baud", lost, reference,
                   lost / kTimeoutMs);
        const double partial = bench.FaultRatio(
            "silence", baud, &clean, repeats, [&] { bench.InjectPartialReply(); }, &frames);
        snprintf(reference, sizeof reference, "%s; %.0f frames sent", timeout, frames);
        PrintFault("start of a reply lost, then silence, 57600 baud", partial, reference, partial / kTimeoutMs);
        const double split = bench.FaultRatio("split=20", baud, &clean, repeats);
        PrintFault("reply split by a 20 ms pause: cost over a clean read", split - clean, "the pause 20 ms",
                   (split - clean) / 20.0);
        ok = ok && lost > 0 && partial > 0 && split > 0;
    }
    if (groups) {
        // Last: each head form cold-starts the instance again, which ends the gates above.
        printf("# Grouped reads: a poll cycle of 20 single gates of one station (8, 16 and 32 bits), each read\n"
               "#   once, back to back; READ_GROUP_MS 0 and 1 taking turns slice by slice. With the key a cycle\n"
               "#   starts once the last group's values are 1 ms old (else whole cycles come from kept values);\n"
               "#   wire limits hold the station's turnaround once an exchange. The grouped exchange's rate is\n"
               "#   per second spent in it; the oldest value counts back-to-back cycles too.\n");
        for (bool shortHeads : {true, false}) {
            std::vector<Row> rows;
            bench.GroupRows(shortHeads, groupBauds, &rows);
            for (const Row &r : rows) {
                PrintRow(r);
                ok = ok && !r.failed;
            }
        }
    }
    return ok ? 0 : 1;
}
