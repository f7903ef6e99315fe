// Figures of a line that heals itself, as the host drives it: KviMain against the station simulator on a
// pseudo-terminal, the simulator timing both directions at the baud rate. Each figure with its key on
// beside the same run with the key off (or the line without the fault), on a fresh instance each.
//   1. SILENT_STATION_LIMIT: a live station and a switched-off one, the host reading 10 gates of each in
//      turn; the live station's reads per second as a ratio to the same loop without the silent
//      station's gates (goal >= 0.9).
//   2. RELOOKUP_ON_ERROR: the station restarted with new handles between two poll cycles of 10 gates;
//      the failed reads of the next cycle (goal 0).
//   3. PORT_REOPEN_INTERVAL: the line's device pulled and plugged back while the host polls a gate;
//      the time from the device's return to the first good read, less the echo test's wait, as a ratio
//      to the interval (goal <= 1.2).
// Usage: bench_heal [--quick] [--baud N] [--timeout MS]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/driver_fixture.h"

using kesta::sim::ObjectSpec;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

enum { GATES = 10, LIVE = 2, SILENT = 3 };
const double kEchoWaitMs = 500; // the echo test reads for 50 units when nothing echoes

struct Options {
    bool quick = false;
    uint32_t baud = 57600;
    uint32_t timeoutMs = 200; // a line time-out often met: 16 s a cycle for 20 gates of a silent station
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One instance on a fresh line: two stations with GATES 16-bit values each, the given keys.
class Line {
public:
    Line(const Options &o, const std::string &keys, bool linked) : f_(new DriverFixture) {
        if (!f_->ok()) {
            fprintf(stderr, "bench_heal: %s\n", f_->error().c_str());
            return;
        }
        for (uint8_t s : {LIVE, SILENT})
            for (int g = 0; g < GATES; ++g)
                f_->station(s).addObject(ObjectSpec::Scalar("g" + std::to_string(g), kesta::sim::kTypeInt16, g));
        f_->sim().setBaud(o.baud);
        f_->sim().setWireTiming(true);
        f_->sim().setTrafficLimit(16);
        std::string port;
        if (linked) {
            port = f_->LinkLine();
            if (port.empty()) {
                fprintf(stderr, "bench_heal: no link for the line: %s\n", f_->error().c_str());
                return;
            }
        }
        f_->WriteInitFile("NUM_OF_SLAVES = 2\n" + keys);
        if (!f_->StartLine() || f_->ColdStart(o.timeoutMs / 10, 1, port.empty() ? nullptr : port.c_str()) != 0) {
            fprintf(stderr, "bench_heal: cold start failed\n");
            return;
        }
        for (uint8_t s : {LIVE, SILENT})
            for (int g = 0; g < GATES; ++g)
                if (f_->Parse(gates_[s == LIVE ? 0 : 1][g], "00" + std::to_string(s) + "g" + std::to_string(g),
                              GATE_SIGNED16) != 0) {
                    fprintf(stderr, "bench_heal: gate %u g%d does not parse\n", s, g);
                    return;
                }
        ok_ = true;
    }
    ~Line() {
        if (ok_)
            GiveBackLists(&f_->instance());
    }
    bool ok() const { return ok_; }
    DriverFixture &f() { return *f_; }
    uint32_t Read(uint8_t station, int g) { return f_->Read(gates_[station == LIVE ? 0 : 1][g]); }
    // One read of every gate of the station; the failed ones.
    int Cycle(uint8_t station, uint64_t *good) {
        int failed = 0;
        for (int g = 0; g < GATES; ++g) {
            if (Read(station, g) == 0)
                ++*good;
            else
                ++failed;
        }
        return failed;
    }

private:
    std::unique_ptr<DriverFixture> f_;
    DriverFixture::Gate gates_[2][GATES];
    bool ok_ = false;
};

// The live station's good reads per second while the host reads its 10 gates, and those of the silent
// station after them when withSilent, for the given time.
double LiveRate(const Options &o, const std::string &keys, bool withSilent, double seconds) {
    Line line(o, keys, false);
    if (!line.ok())
        return -1;
    if (withSilent) {
        line.f().station(SILENT).switchOff();
        uint64_t none = 0;
        line.Cycle(SILENT, &none); // the station goes silent: with the key on it is set aside now
    }
    uint64_t good = 0;
    const Clock::time_point start = Clock::now();
    while (Seconds(Clock::now() - start) < seconds) {
        line.Cycle(LIVE, &good);
        if (withSilent) {
            uint64_t none = 0;
            line.Cycle(SILENT, &none);
        }
    }
    return good / Seconds(Clock::now() - start);
}

void SilentFigure(const Options &o) {
    const double seconds = o.quick ? 12 : 30; // over two pauses of 10 s: their probes are counted
    const char *keys = "SILENT_STATION_LIMIT = 3\n";
    const double alone = LiveRate(o, keys, false, seconds / 3);
    const double on = LiveRate(o, keys, true, seconds);
    const double off = LiveRate(o, "", true, o.quick ? 20 : 40);
    printf("| live station's reads beside a switched-off one, key on (limit 3, pause 10 s) | %.1f /s | the loop "
           "without the silent station's gates %.1f /s | %.3f |\n",
           on, alone, on / alone);
    printf("| live station's reads beside a switched-off one, key off | %.2f /s | the loop without the silent "
           "station's gates %.1f /s | %.3f |\n",
           off, alone, off / alone);
}

// Failed reads in the poll cycle after a restart between two cycles, over the given restarts.
int RestartFigure(const Options &o, const std::string &keys, int restarts, double *cycleMs) {
    int failed = 0;
    double worst = 0;
    for (int i = 0; i < restarts; ++i) {
        Line line(o, keys, false);
        if (!line.ok())
            return -1;
        uint64_t good = 0;
        line.Cycle(LIVE, &good);
        line.f().station(LIVE).restart();
        const Clock::time_point start = Clock::now();
        failed += line.Cycle(LIVE, &good);
        worst = std::max(worst, Seconds(Clock::now() - start) * 1000);
    }
    *cycleMs = worst;
    return failed;
}

// Pulls the device out for a while at a random moment and polls a gate every 20 ms until a read is good
// again; the time from the device's return to that read, less the echo test's wait, over the interval.
bool ReopenFigure(const Options &o, uint32_t intervalMs, int repeats, double *worst, double *mean) {
    Line line(o, "PORT_REOPEN_INTERVAL = " + std::to_string(intervalMs) + "\n", true);
    if (!line.ok())
        return false;
    std::mt19937 random(intervalMs);
    std::uniform_int_distribution<uint32_t> down(300, 300 + intervalMs * 2);
    *worst = 0;
    *mean = 0;
    for (int i = 0; i < repeats; ++i) {
        if (line.Read(LIVE, 0) != 0)
            return false;
        line.f().sim().unplug(milliseconds(down(random)));
        const Clock::time_point deadline = Clock::now() + milliseconds(intervalMs * 3 + 10000);
        bool good = false;
        while (!good && Clock::now() < deadline) {
            good = line.f().sim().plugged() && line.Read(LIVE, 0) == 0;
            if (!good) {
                line.Read(LIVE, 0); // the host keeps polling while the device is out
                std::this_thread::sleep_for(milliseconds(20));
            }
        }
        if (!good)
            return false;
        const double ms = Seconds(Clock::now() - line.f().sim().pluggedAt()) * 1000 - kEchoWaitMs;
        const double ratio = ms / intervalMs;
        *worst = std::max(*worst, ratio);
        *mean += ratio / repeats;
    }
    return true;
}

int Usage() {
    fprintf(stderr, "usage: bench_heal [--quick] [--baud N] [--timeout MS]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick")
            o.quick = true;
        else if (a == "--baud" && i + 1 < argc)
            o.baud = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
        else if (a == "--timeout" && i + 1 < argc)
            o.timeoutMs = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
        else
            return Usage();
    }
    printf("# A line that heals itself: KviMain over a pty, the simulator timing both directions at %u baud, 11 bits "
           "a character; line time-out %u ms; two stations of %d 16-bit gates each.\n",
           o.baud, o.timeoutMs, GATES);
    printf("| figure | measured | reference (same run) | ratio |\n|---|---:|---|---:|\n");
    fflush(stdout);
    SilentFigure(o);
    fflush(stdout);

    double onMs = 0, offMs = 0;
    const int restarts = o.quick ? 1 : 3;
    const int failedOn = RestartFigure(o, "RELOOKUP_ON_ERROR = 1\n", restarts, &onMs);
    const int failedOff = RestartFigure(o, "", restarts, &offMs);
    printf("| failed reads in the cycle after a restart with new handles, key on | %d of %d | %d restarts, longest "
           "cycle %.0f ms | goal 0 |\n",
           failedOn, restarts * GATES, restarts, onMs);
    printf("| failed reads in the cycle after a restart with new handles, key off | %d of %d | %d restarts, longest "
           "cycle %.0f ms | |\n",
           failedOff, restarts * GATES, restarts, offMs);
    fflush(stdout);

    bool ok = failedOn == 0;
    const uint32_t intervals[] = {200, 1000, 5000};
    for (uint32_t interval : intervals) {
        const int repeats = o.quick ? 2 : (interval >= 5000 ? 3 : 6);
        double worst = 0, mean = 0;
        if (!ReopenFigure(o, interval, repeats, &worst, &mean)) {
            printf("| first good read after the device's return, interval %u ms | failed | | |\n", interval);
            ok = false;
            continue;
        }
        printf("| first good read after the device's return, less the echo test's %.0f ms, PORT_REOPEN_INTERVAL %u ms "
               "| mean %.2f, worst %.2f of the interval | %d pulls of 300 to %u ms | %.2f |\n",
               kEchoWaitMs, interval, mean, worst, repeats, 300 + interval * 2, worst);
        ok = ok && worst <= 1.2;
        fflush(stdout);
    }
    return ok ? 0 : 1;
}
