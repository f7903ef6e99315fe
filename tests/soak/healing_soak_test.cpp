// Fault soak of a line that heals itself: two stations on one line whose device can be pulled, every
// healing key on, and now and then a station switched off for a while, a station restarted with new
// handles, or the line's device pulled and plugged back under its name, on top of random line faults.
// The host only reads and writes, as a host polls: no parse, no ReOpenCom. Every value has never been
// seen before (the stations' apart), so an answer of an earlier request, of the other station or of an
// old handle would show as a wrong value; every failure must carry a code; after the last event the line
// must come back by itself. The figures are printed as FIGURES lines.
//
//   KESTA_HEAL_SOAK_REQUESTS  requests (default 800; tools/soak.sh runs 3000)
//   KESTA_SOAK_SEED           seed of the events, faults and the test's own choices (default 20240)
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "concurrency/driver_line.h"
#include "soak_request.h"

namespace {

using concurrency::Clock;
using concurrency::DriverLine;
using kesta::sim::Fault;
using kesta::sim::FaultKind;
using kesta::sim::FaultScript;
using soak::Op;
using std::chrono::milliseconds;

enum {
    LINE_TIMEOUT = 5, // 50 ms a read
    DEFAULT_REQUESTS = 800,
    DEFAULT_SEED = 20240,
    LIMIT = 2,          // SILENT_STATION_LIMIT
    PAUSE_MS = 300,     // SILENT_STATION_PAUSE
    REOPEN_MS = 200,    // PORT_REOPEN_INTERVAL
    EVENT_EVERY = 300,  // requests between two events, on average
    HOST_CYCLE_MS = 10, // a host polling again after a failed call
    CLEAN_ROUNDS = 40,
    RECOVERY_MS = 15000, // the 10 s between two rounds of look-ups of a station, and then some
    // The longest a request may take: a connect and a round of six look-ups before it, the request
    // once more after them, each of them at most four sendings, and a reopen's purge and echo test.
    REQUEST_BOUND_MS = 4 * LINE_TIMEOUT * 10 * 9 + 500 + 1500
};
const uint8_t kStations[] = {2, 3};
constexpr double FAULT_RATE = 0.02;

struct Figures {
    uint32_t requests = 0, succeeded = 0, wrongValues = 0, failuresWithoutCode = 0;
    std::map<unsigned, uint32_t> failuresByCode;
    long long longestUs = 0;
    std::vector<std::string> wrongSamples;
};

class HealingSoak : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line.ok()) << line.error();
        for (uint8_t s : kStations)
            soak::AddObjects(line.station(s));
        line.sim().setTrafficLimit(64);
        port = line.fixture().LinkLine();
        ASSERT_FALSE(port.empty()) << line.fixture().error();
        line.WriteInitFile("NUM_OF_SLAVES = 2\nSILENT_STATION_LIMIT = " + std::to_string(LIMIT) +
                           "\nSILENT_STATION_PAUSE = " + std::to_string(PAUSE_MS) +
                           "\nRELOOKUP_ON_ERROR = 1\nPORT_REOPEN_INTERVAL = " + std::to_string(REOPEN_MS) + "\n");
        ASSERT_EQ(0u, line.ColdStart(LINE_TIMEOUT, port));
        for (size_t i = 0; i < 2; ++i)
            ASSERT_TRUE(soak::ParseGates(line, "00" + std::to_string(kStations[i]), gates[i]));
        handle = line.instance().portHandle;
        line.fixture().ClearMessages();
    }

    // One request with values never used before, on station index which; true when it succeeded.
    bool Request(Op op, size_t which, int32_t unique, Figures &figures) {
        const int32_t value = unique * 2 + static_cast<int32_t>(which); // the stations' values apart
        const Clock::time_point start = Clock::now();
        const soak::Outcome out = soak::Request(line, line.station(kStations[which]), gates[which], op, value);
        const long long us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        figures.requests++;
        figures.longestUs = std::max(figures.longestUs, us);
        const std::vector<LoggedMessage> messages = line.fixture().Messages();
        line.fixture().ClearMessages();
        if (out.rc != 0) {
            const int code = soak::LoggedCode(messages);
            if (code <= 0)
                figures.failuresWithoutCode++;
            else
                figures.failuresByCode[static_cast<unsigned>(code)]++;
            return false;
        }
        figures.succeeded++;
        if (out.wrongElement >= 0) {
            figures.wrongValues++;
            if (figures.wrongSamples.size() < 10)
                figures.wrongSamples.push_back(
                    "request " + std::to_string(figures.requests) + " station " + std::to_string(kStations[which]) +
                    " op " + std::to_string(static_cast<int>(op)) + ": got " + std::to_string(out.got) +
                    ", station had " + std::to_string(out.expected));
        }
        return true;
    }

    // One request of every kind on both stations; true when all succeeded.
    bool CleanCycle(int32_t base, Figures &figures) {
        bool all = true;
        const Op ops[] = {Op::Write, Op::ReadBack, Op::ReadChanged, Op::ReadBlock};
        for (size_t which = 0; which < 2; ++which)
            for (Op op : ops)
                all = Request(op, which, base++, figures) && all;
        return all;
    }

    DriverLine line;
    soak::StationGates gates[2];
    std::string port;
    KestaHandle handle = 0;
};

TEST_F(HealingSoak, StationsOffAndOnRestartsAndAPulledDeviceHealWithoutTheHost) {
    const uint32_t requests = soak::Setting("KESTA_HEAL_SOAK_REQUESTS", DEFAULT_REQUESTS);
    const uint32_t seed = soak::Setting("KESTA_SOAK_SEED", DEFAULT_SEED);
    for (size_t which = 0; which < 2; ++which) {
        FaultScript script;
        script.randomRate = FAULT_RATE;
        script.seed = seed + static_cast<uint32_t>(which);
        line.station(kStations[which]).setFaults(script);
    }
    std::mt19937 choose(seed);
    std::uniform_int_distribution<uint32_t> nextEvent(EVENT_EVERY / 2, EVENT_EVERY * 3 / 2);
    std::uniform_int_distribution<uint32_t> pickEvent(0, 2);
    std::uniform_int_distribution<size_t> pickStation(0, 1);
    std::uniform_int_distribution<uint32_t> downMs(300, 1000);
    const Op ops[] = {Op::Write, Op::ReadBack, Op::ReadChanged, Op::ReadBlock};
    std::uniform_int_distribution<size_t> pickOp(0, 3);
    const FaultKind eventKinds[] = {FaultKind::SwitchOff, FaultKind::Restart, FaultKind::Unplug};

    Figures figures;
    uint32_t events[3] = {0, 0, 0};
    uint32_t due = nextEvent(choose);
    const Clock::time_point start = Clock::now();
    for (uint32_t i = 0; i < requests; ++i) {
        if (i == due) {
            // Taken by the next frame the station hears: a switch-off or a restart of that station, or
            // the line's device pulled out.
            const uint32_t kind = pickEvent(choose);
            Fault event;
            event.kind = eventKinds[kind];
            event.param = downMs(choose);
            line.station(kStations[pickStation(choose)]).addFault(event);
            events[kind]++;
            due += nextEvent(choose);
        }
        if (!Request(ops[pickOp(choose)], pickStation(choose), 1000 + static_cast<int32_t>(i), figures))
            std::this_thread::sleep_for(milliseconds(HOST_CYCLE_MS));
    }

    // Events over: the stations on, the device in. Within the pause, the reopen interval and the time
    // between two rounds of look-ups every kind of request on both stations succeeds again, with no
    // call of the host but its reads and writes.
    for (uint8_t s : kStations)
        line.station(s).setFaults(FaultScript());
    ASSERT_TRUE(line.sim().waitUntil(
        [&] { return line.sim().plugged() && line.station(2).switchedOn() && line.station(3).switchedOn(); },
        milliseconds(5000)));
    const Clock::time_point quiet = Clock::now();
    Figures recovery;
    bool back = false;
    while (!back && Clock::now() - quiet < milliseconds(RECOVERY_MS)) {
        back = CleanCycle(4000000 + static_cast<int32_t>(recovery.requests), recovery);
        if (!back)
            std::this_thread::sleep_for(milliseconds(50));
    }
    const double recoverySeconds = std::chrono::duration<double>(Clock::now() - quiet).count();
    Figures clean;
    for (uint32_t i = 0; i < CLEAN_ROUNDS / 8; ++i)
        CleanCycle(5000000 + static_cast<int32_t>(i) * 8, clean);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    const kesta::sim::StationStats s2 = line.station(2).stats();
    const kesta::sim::StationStats s3 = line.station(3).stats();
    printf("FIGURES healing soak: %u requests on 2 stations in %.1f s, line time-out %u ms, random faults on "
           "%.3f of frames, seed %u; SILENT_STATION_LIMIT %d, SILENT_STATION_PAUSE %d, RELOOKUP_ON_ERROR 1, "
           "PORT_REOPEN_INTERVAL %d\n",
           figures.requests, seconds, LINE_TIMEOUT * 10u, FAULT_RATE, seed, LIMIT, PAUSE_MS, REOPEN_MS);
    printf("FIGURES healing events: %u switch-offs, %u restarts, %u device pulls asked; taken: off %llu, restart %llu, "
           "unplug %llu; device back %llu times\n",
           events[0], events[1], events[2],
           static_cast<unsigned long long>(s2.Faults(FaultKind::SwitchOff) + s3.Faults(FaultKind::SwitchOff)),
           static_cast<unsigned long long>(s2.Faults(FaultKind::Restart) + s3.Faults(FaultKind::Restart)),
           static_cast<unsigned long long>(s2.Faults(FaultKind::Unplug) + s3.Faults(FaultKind::Unplug)),
           static_cast<unsigned long long>(line.sim().replugs()));
    std::string codes;
    uint32_t failures = 0;
    for (const auto &c : figures.failuresByCode) {
        failures += c.second;
        codes += " " + std::to_string(c.first) + ":" + std::to_string(c.second);
    }
    printf("FIGURES healing failures: %u of %u requests; by logged code (low byte)%s; without a code %u\n",
           failures + figures.failuresWithoutCode, figures.requests, codes.empty() ? " none" : codes.c_str(),
           figures.failuresWithoutCode);
    printf("FIGURES healing wrong values: %u\n", figures.wrongValues + recovery.wrongValues + clean.wrongValues);
    printf("FIGURES healing longest request: %.1f ms (bound %d ms); back %.1f s after the last event; then %u of %u "
           "requests succeeded\n",
           figures.longestUs / 1000.0, static_cast<int>(REQUEST_BOUND_MS), recoverySeconds, clean.succeeded,
           clean.requests);
    fflush(stdout);
    for (const std::string &sample : figures.wrongSamples)
        printf("wrong value: %s\n", sample.c_str());

    EXPECT_EQ(0u, figures.wrongValues + recovery.wrongValues + clean.wrongValues);
    EXPECT_EQ(0u, figures.failuresWithoutCode + recovery.failuresWithoutCode + clean.failuresWithoutCode);
    EXPECT_LE(figures.longestUs, REQUEST_BOUND_MS * 1000LL);
    EXPECT_TRUE(back) << "the line did not come back within " << RECOVERY_MS << " ms";
    EXPECT_EQ(clean.requests, clean.succeeded);
    EXPECT_EQ(handle, KestaHandle{line.instance().portHandle}) << "the host's port handle stays";
    EXPECT_GT(events[0] + events[1] + events[2], 0u);
}

} // namespace
