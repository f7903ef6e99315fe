// Fault soak: one instance on the simulator's line, thousands of reads and writes while the station
// hits a share of the frames with a fault of every kind (silence, lost answers, noise, bad header and
// data checksums, frames to another station, stale sequence copies, split answers, error replies), and
// now and then every frame of one request, so that it fails.
// Every value has never been seen on the line before, so an answer of an earlier request or of the
// wrong station would show as a wrong value. The figures are printed as FIGURES lines.
//
//   KESTA_SOAK_REQUESTS  requests (default 2000; tools/soak.sh runs 20000)
//   KESTA_SOAK_SEED      seed of the station's faults and of the test's own choices (default 20240)
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "concurrency/driver_line.h"
#include "serial/link_counters.h"
#include "serial/transport.h"
#include "soak_request.h"

namespace {

using concurrency::Clock;
using concurrency::DriverLine;
using kesta::sim::Fault;
using kesta::sim::FaultKind;
using kesta::sim::FaultScript;
using soak::LoggedCode;
using soak::Op;
using soak::Setting;
using soak::TABLE_ELEMENTS;

enum {
    STATION = 2,
    LINE_TIMEOUT = 5, // 50 ms a read: a silent station costs little
    RETRY_LIMIT = 3,  // the stack's RC: a request goes out at most four times
    DEFAULT_REQUESTS = 2000,
    DEFAULT_SEED = 20240,
    // A request sends its frame at most RETRY_LIMIT + 1 times and waits at most one read time-out
    // after each; the rest is the machine's scheduling, generous for a loaded CI machine.
    REQUEST_BOUND_MS = (RETRY_LIMIT + 1) * LINE_TIMEOUT * 10 + 1000,
    // Consecutive failed requests tolerated before the driver counts as not recovering by itself.
    MAX_FAILURE_RUN = 3,
    CLEAN_ROUNDS = 50
};
constexpr double FAULT_RATE = 0.05; // of the frames the station receives
// Error replies are not among the simulator's random kinds: the test adds them as script steps, at a
// rate that gives them about the share of each random kind.
constexpr double ERROR_RATE = FAULT_RATE / 8;
// Station error numbers of the error replies (flags 0x10): 3 unknown handle, 4 beyond the object.
const uint16_t kErrorNumbers[] = {3, 4};
// Random faults rarely hit all four sendings of one request, so the requests that fail for a line
// fault and the recovery after them are made on purpose too: a burst of one kind on as many frames as
// a request may send.
constexpr double BURST_RATE = 0.0025;
const FaultKind kBurstKinds[] = {FaultKind::Silence,        FaultKind::NoReply,      FaultKind::Noise,
                                 FaultKind::HeaderChecksum, FaultKind::DataChecksum, FaultKind::OtherStation,
                                 FaultKind::StaleSequence,  FaultKind::Split};

struct Figures {
    uint32_t requests = 0;
    uint32_t reads = 0;
    uint32_t writes = 0;
    uint32_t succeeded = 0;
    uint32_t wrongValues = 0;
    uint32_t failuresWithoutCode = 0;
    std::map<unsigned, uint32_t> failuresByCode;   // the low byte the driver logs
    std::map<uint32_t, uint32_t> failuresByResult; // 1 or 2, as the host sees it
    uint32_t longestFailureRun = 0;
    uint32_t bursts = 0;
    long long longestUs = 0;
    long long totalUs = 0;
    std::vector<std::string> wrongSamples;
};

class FaultSoak : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line.ok()) << line.error();
        soak::AddObjects(line.station(STATION));
        line.sim().setTrafficLimit(64); // thousands of requests: keep only the last few records
        line.WriteInitFile("NUM_OF_SLAVES = 1\n");
        ASSERT_EQ(0u, line.ColdStart(LINE_TIMEOUT));
        ASSERT_TRUE(soak::ParseGates(line, "002", gates));
        port = line.instance().portHandle;
        ResetLinkCounters();
        line.fixture().ClearMessages();
    }

    // One request of the given kind with values never used before; returns true when it succeeded.
    // codesFromLog: take the failure's code from the driver's message (one thread only: the log is
    // the process's).
    bool Request(Op op, int32_t unique, Figures &figures, bool codesFromLog = true) {
        const Clock::time_point start = Clock::now();
        const soak::Outcome out = soak::Request(line, line.station(STATION), gates, op, unique);
        const uint32_t rc = out.rc;
        const long long us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        figures.requests++;
        (op == Op::Write ? figures.writes : figures.reads)++;
        figures.longestUs = std::max(figures.longestUs, us);
        figures.totalUs += us;

        if (codesFromLog) {
            const std::vector<LoggedMessage> messages = line.fixture().Messages();
            line.fixture().ClearMessages();
            if (rc != 0) {
                const int code = LoggedCode(messages);
                if (code <= 0)
                    figures.failuresWithoutCode++;
                else
                    figures.failuresByCode[static_cast<unsigned>(code)]++;
            }
        }
        if (rc != 0) {
            figures.failuresByResult[rc]++;
            return false;
        }
        figures.succeeded++;
        if (out.wrongElement >= 0) {
            figures.wrongValues++;
            if (figures.wrongSamples.size() < 10) {
                figures.wrongSamples.push_back("request " + std::to_string(figures.requests) + " op " +
                                               std::to_string(static_cast<int>(op)) + " element " +
                                               std::to_string(out.wrongElement) + ": got " + std::to_string(out.got) +
                                               ", station had " + std::to_string(out.expected));
            }
        }
        return true;
    }

    DriverLine line;
    soak::StationGates gates;
    KestaHandle port = 0;
};

void PrintFigures(const char *label, const Figures &f, uint32_t seed, double seconds,
                  const kesta::sim::StationStats &station, const LinkCounters &link) {
    char extra[160] = "";
    if (f.bursts != 0 || station.Faults(FaultKind::Error) != 0) {
        snprintf(extra, sizeof extra, ", error replies on %.4f and bursts of %d faults on %.4f of requests (%u bursts)",
                 ERROR_RATE, RETRY_LIMIT + 1, BURST_RATE, f.bursts);
    }
    printf("FIGURES %s: %u requests (%u reads, %u writes) in %.1f s, line time-out %u ms, random faults on %.3f "
           "of frames%s, seed %u\n",
           label, f.requests, f.reads, f.writes, seconds, LINE_TIMEOUT * 10u, FAULT_RATE, extra, seed);
    uint64_t injected = 0;
    std::string kinds;
    for (size_t k = 1; k < static_cast<size_t>(FaultKind::Count); ++k) {
        const uint64_t n = station.faults[k];
        injected += n;
        kinds += std::string(" ") + kesta::sim::FaultName(static_cast<FaultKind>(k)) + " " + std::to_string(n);
    }
    printf("FIGURES faults injected: %llu of %llu frames heard:%s\n", static_cast<unsigned long long>(injected),
           static_cast<unsigned long long>(station.frames), kinds.c_str());
    uint32_t failures = 0;
    std::string codes;
    for (const auto &c : f.failuresByCode) {
        failures += c.second;
        codes += " " + std::to_string(c.first) + ":" + std::to_string(c.second);
    }
    if (f.failuresByCode.empty()) {
        // Codes not taken from the log: the transport's count of failed exchanges by low byte.
        for (unsigned code = 0; code < 256; ++code) {
            if (link.failedByCode[code] != 0)
                codes += " " + std::to_string(code) + ":" + std::to_string(link.failedByCode[code]);
        }
        for (const auto &r : f.failuresByResult)
            failures += r.second;
    }
    std::string results;
    for (const auto &r : f.failuresByResult)
        results += " " + std::to_string(r.first) + ":" + std::to_string(r.second);
    printf("FIGURES failures: %u of %u requests; by logged code (low byte) %s; by host result %s; without a "
           "code %u; longest run of failures %u\n",
           f.failuresByCode.empty() ? failures : failures + f.failuresWithoutCode, f.requests,
           codes.empty() ? " none" : codes.c_str(), results.empty() ? " none" : results.c_str(), f.failuresWithoutCode,
           f.longestFailureRun);
    printf("FIGURES wrong values: %u\n", f.wrongValues);
    printf("FIGURES longest request: %.1f ms (bound %d ms), mean %.2f ms\n", f.longestUs / 1000.0,
           static_cast<int>(REQUEST_BOUND_MS), f.requests != 0 ? f.totalUs / 1000.0 / f.requests : 0.0);
    printf("FIGURES link: %u exchanges, %u frames out, %u frames in, %u retransmissions, link errors: other "
           "address %u, header checksum %u, sequence %u, data checksum %u; step limits %u\n",
           link.requests, link.framesOut, link.framesIn, link.retransmissions, link.linkErrors[0], link.linkErrors[1],
           link.linkErrors[2], link.linkErrors[3], link.stepLimits);
    fflush(stdout);
}

TEST_F(FaultSoak, EveryValueRightEveryFailureCodedEveryRequestBoundedAndTheLineRecovers) {
    const uint32_t requests = Setting("KESTA_SOAK_REQUESTS", DEFAULT_REQUESTS);
    const uint32_t seed = Setting("KESTA_SOAK_SEED", DEFAULT_SEED);
    FaultScript script;
    script.randomRate = FAULT_RATE;
    script.seed = seed;
    line.station(STATION).setFaults(script);

    std::mt19937 choose(seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<size_t> pickError(0, sizeof kErrorNumbers / sizeof kErrorNumbers[0] - 1);
    std::uniform_int_distribution<size_t> pickBurst(0, sizeof kBurstKinds / sizeof kBurstKinds[0] - 1);
    const Op ops[] = {Op::Write, Op::ReadBack, Op::ReadChanged, Op::ReadBlock};
    std::uniform_int_distribution<size_t> pickOp(0, sizeof ops / sizeof ops[0] - 1);

    Figures figures;
    uint32_t failureRun = 0;
    const Clock::time_point start = Clock::now();
    for (uint32_t i = 0; i < requests; ++i) {
        if (chance(choose) < ERROR_RATE) {
            Fault error;
            error.kind = FaultKind::Error;
            error.param = kErrorNumbers[pickError(choose)];
            line.station(STATION).addFault(error); // taken by the next frame: this request's
        } else if (chance(choose) < BURST_RATE) {
            Fault burst;
            burst.kind = kBurstKinds[pickBurst(choose)];
            burst.repeat = RETRY_LIMIT + 1;
            line.station(STATION).addFault(burst);
            figures.bursts++;
        }
        // Values start far from the objects' initial zeros and never repeat.
        const int32_t unique = 1000 + static_cast<int32_t>(i);
        if (Request(ops[pickOp(choose)], unique, figures)) {
            failureRun = 0;
        } else {
            failureRun++;
            figures.longestFailureRun = std::max(figures.longestFailureRun, failureRun);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const kesta::sim::StationStats stats = line.station(STATION).stats();
    LinkCounters link;
    ReadLinkCounters(&link);
    PrintFigures("soak", figures, seed, seconds, stats, link);
    for (const std::string &sample : figures.wrongSamples)
        printf("wrong value: %s\n", sample.c_str());

    EXPECT_EQ(requests, figures.requests);
    EXPECT_EQ(0u, figures.wrongValues);
    EXPECT_EQ(0u, figures.failuresWithoutCode);
    EXPECT_LE(figures.longestUs, REQUEST_BOUND_MS * 1000LL);
    EXPECT_LE(figures.longestFailureRun, static_cast<uint32_t>(MAX_FAILURE_RUN));
    // Faults of every kind the test asks for were injected (a short run may miss a rare one).
    if (requests >= 10000) {
        for (FaultKind kind : {FaultKind::Silence, FaultKind::NoReply, FaultKind::Noise, FaultKind::HeaderChecksum,
                               FaultKind::DataChecksum, FaultKind::OtherStation, FaultKind::StaleSequence,
                               FaultKind::Split, FaultKind::Error})
            EXPECT_GT(stats.Faults(kind), 0u) << kesta::sim::FaultName(kind);
    }

    // Recovered by itself: with the faults over, the same instance (no cold start) answers every
    // request right at once.
    line.station(STATION).setFaults(FaultScript());
    Figures clean;
    for (uint32_t i = 0; i < CLEAN_ROUNDS; ++i)
        Request(ops[i % 4], 5000000 + static_cast<int32_t>(i), clean);
    EXPECT_EQ(static_cast<uint32_t>(CLEAN_ROUNDS), clean.succeeded);
    EXPECT_EQ(0u, clean.wrongValues);
    EXPECT_EQ(port, KestaHandle{line.instance().portHandle});
    EXPECT_EQ(1u, uint32_t{line.instance().dsfOpen});
}

// The same line faults while two host threads share the instance: one reads values the station
// changes (single and block), the other writes. Exchanges of the two threads take turns on the line
// lock; no fault of one may hand its answer to the other's request.
TEST_F(FaultSoak, TwoThreadsOnOneInstanceUnderTheSameFaults) {
    const uint32_t requests = Setting("KESTA_SOAK_REQUESTS", DEFAULT_REQUESTS) / 2;
    const uint32_t seed = Setting("KESTA_SOAK_SEED", DEFAULT_SEED);
    FaultScript script;
    script.randomRate = FAULT_RATE;
    script.seed = seed + 1;
    line.station(STATION).setFaults(script);

    Figures reads;
    Figures writes;
    const Clock::time_point start = Clock::now();
    std::thread reader([&] {
        for (uint32_t i = 0; i < requests / 2; ++i)
            Request(i % 2 == 0 ? Op::ReadChanged : Op::ReadBlock, 2000000 + static_cast<int32_t>(i), reads, false);
    });
    std::thread writer([&] {
        for (uint32_t i = 0; i < requests - requests / 2; ++i)
            Request(Op::Write, 3000000 + static_cast<int32_t>(i), writes, false);
    });
    reader.join();
    writer.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    Figures all = reads;
    all.requests += writes.requests;
    all.writes += writes.writes;
    all.succeeded += writes.succeeded;
    all.wrongValues += writes.wrongValues;
    for (const auto &r : writes.failuresByResult)
        all.failuresByResult[r.first] += r.second;
    all.longestUs = std::max(reads.longestUs, writes.longestUs);
    all.totalUs += writes.totalUs;
    all.wrongSamples.insert(all.wrongSamples.end(), writes.wrongSamples.begin(), writes.wrongSamples.end());
    LinkCounters link;
    ReadLinkCounters(&link);
    PrintFigures("soak two threads", all, seed + 1, seconds, line.station(STATION).stats(), link);
    for (const std::string &sample : all.wrongSamples)
        printf("wrong value: %s\n", sample.c_str());

    EXPECT_EQ(requests, all.requests);
    EXPECT_EQ(0u, all.wrongValues);
    // Every failed call is a failed exchange with a code whose low byte shows.
    EXPECT_EQ(all.requests - all.succeeded, link.requestsFailed);
    EXPECT_EQ(0u, link.failedByCode[0]);
    EXPECT_LE(all.longestUs, REQUEST_BOUND_MS * 1000LL);
    const kesta::sim::LineStats stats = line.sim().lineStats();
    EXPECT_EQ(0u, stats.droppedPartial); // no frame of the master was cut by another's
    EXPECT_EQ(port, KestaHandle{line.instance().portHandle});
}

} // namespace
