// Benchmarks of the Net2000 stack: bytes per second through the link receiver, frames built per
// second, and one complete single-item read cycle in memory (encode, frame, receive, decode against
// a canned station reply) with the allocations it makes. Each figure is printed at the end as a
// ratio to a plain copy of the same bytes measured in the same run.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "dsf/dsf_internal.h"
#include "tests/support/frame_checksum.h"
#include "tests/support/golden.h"

// ---- Allocation counting ---------------------------------------------------------------------------
// Callback allocations of the stack, and every heap allocation of the process (malloc, calloc,
// realloc, operator new) while g_counting is set.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_heapAllocations{0};
long g_callbackAllocations = 0;

void *CountingAlloc(uint32_t size) {
    if (g_counting) {
        ++g_callbackAllocations;
    }
    return malloc(size);
}
void CountingRelease(void *block, uint32_t) { free(block); }
} // namespace

#if defined(__GLIBC__)
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);
extern "C" void *malloc(size_t size) __THROW {
    if (g_counting) {
        ++g_heapAllocations;
    }
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) __THROW {
    if (g_counting) {
        ++g_heapAllocations;
    }
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *block, size_t size) __THROW {
    if (g_counting) {
        ++g_heapAllocations;
    }
    return __libc_realloc(block, size);
}
#else
void *operator new(size_t size) {
    if (g_counting) {
        ++g_heapAllocations;
    }
    void *block = malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}
void operator delete(void *block) noexcept { free(block); }
void operator delete(void *block, size_t) noexcept { free(block); }
#endif

namespace {

// ---- Frames, made independently of the stack ----------------------------------------------------
// A station frame to the master (address 1) from station 2 with the data as given.
std::vector<uint8_t> StationFrame(uint8_t type, uint8_t sequence, const std::vector<uint8_t> &data) {
    const size_t words = (data.size() + 1) / 2;
    std::vector<uint8_t> f(2 * words + 8, 0);
    f[0] = 0x02;
    f[1] = static_cast<uint8_t>(words);
    f[2] = 1;
    f[3] = 2;
    f[4] = static_cast<uint8_t>(sequence << 4 | type);
    memcpy(f.data() + 6, data.data(), data.size());
    SetNet2000Checksums(f.data());
    return f;
}

// A reply to a request message: length prefix, header with its counter and code, body.
std::vector<uint8_t> ReplyData(uint8_t counter, uint8_t code, const std::vector<uint8_t> &body) {
    std::vector<uint8_t> d(body.size() + 6, 0);
    d[0] = static_cast<uint8_t>((body.size() + 4) >> 8);
    d[1] = static_cast<uint8_t>(body.size() + 4);
    d[4] = counter;
    d[5] = code;
    memcpy(d.data() + 6, body.data(), body.size());
    return d;
}

DsfInstance *OpenStack() {
    DsfInstance *dsf = nullptr;
    if (dsf_create(1, CountingAlloc, CountingRelease, &dsf) != 0 ||
        dsf_configure(dsf, "/SA=1", nullptr, nullptr) != 0) {
        abort();
    }
    return dsf;
}

enum { STREAM_FRAMES = 64 };

std::vector<uint8_t> FrameStream() {
    std::vector<uint8_t> stream;
    uint32_t seed = 12345;
    for (int i = 0; i < STREAM_FRAMES; ++i) {
        std::vector<uint8_t> data(DSF_MAX_FRAME_DATA);
        for (uint8_t &b : data) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(seed >> 16);
        }
        const std::vector<uint8_t> f = StationFrame(DSF_FT_REPLY_MORE, 0, data);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    return stream;
}

// ---- Link receiver -----------------------------------------------------------------------------
void BM_Receive518Frames(benchmark::State &state) {
    const std::vector<uint8_t> stream = FrameStream();
    DsfInstance *dsf = OpenStack();
    const StationEntry *station = &dsf->stations[0];
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += DSF_MAX_FRAME) {
            if (dsf_receive_bytes(dsf, stream.data() + at, DSF_MAX_FRAME, station) != 1) {
                state.SkipWithError("frame not received");
                break;
            }
        }
        benchmark::DoNotOptimize(dsf->rxFrame);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    dsf_destroy(dsf);
}
BENCHMARK(BM_Receive518Frames);

void BM_CopyLoop518Frames(benchmark::State &state) {
    const std::vector<uint8_t> stream = FrameStream();
    uint8_t held[DSF_MAX_FRAME];
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += DSF_MAX_FRAME) {
            for (size_t i = 0; i < DSF_MAX_FRAME; ++i) {
                held[i] = stream[at + i];
            }
            benchmark::DoNotOptimize(held);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_CopyLoop518Frames);

// ---- Frame building ------------------------------------------------------------------------------
void BM_BuildFrame(benchmark::State &state) {
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    DsfInstance *dsf = OpenStack();
    uint8_t frame[DSF_MAX_FRAME];
    for (uint32_t i = 0; i < n; ++i) {
        frame[DSF_OFS_DATA + i] = static_cast<uint8_t>(i * 31);
    }
    uint32_t sequence = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dsf_build_frame(dsf, frame, n, 2, DSF_FT_REQUEST_LAST, ++sequence));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    dsf_destroy(dsf);
}
BENCHMARK(BM_BuildFrame)->Arg(510)->Arg(10);

void BM_CopyLoopFrame(benchmark::State &state) {
    const size_t length = static_cast<size_t>(state.range(0));
    uint8_t source[DSF_MAX_FRAME];
    uint8_t frame[DSF_MAX_FRAME];
    for (size_t i = 0; i < sizeof source; ++i) {
        source[i] = static_cast<uint8_t>(i * 31);
    }
    for (auto _ : state) {
        for (size_t i = 0; i < length; ++i) {
            frame[i] = source[i];
        }
        benchmark::DoNotOptimize(frame);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyLoopFrame)->Arg(518)->Arg(18);

// ---- One read cycle through dsf_step -----------------------------------------------------------
struct ReadCycle {
    DsfInstance *dsf = nullptr;
    StationEntry *handle = nullptr;
    uint8_t tx[DSF_MAX_FRAME];
    uint8_t reply[64];
    uint8_t request[10] = {DSF_SVC_READ_WRITE, 1};
    std::vector<uint8_t> answers[256]; // station reply by message counter
    size_t bytesMoved = 0;             // frame and record bytes of one cycle

    // Steps until Done or Failed, answering every SendReceive with `answer`.
    int32_t Run(const uint8_t *req, uint32_t size, const std::vector<uint8_t> *byCounter) {
        const uint8_t *received = nullptr;
        uint16_t count = 0;
        for (int step = 0; step < 16; ++step) {
            uint32_t replyLength = sizeof reply;
            uint16_t txLength = sizeof tx;
            uint16_t action = 0;
            int32_t timeout = 0;
            const int32_t rc = dsf_step(dsf, &handle, req, size, reply, &replyLength, tx, &txLength, received, count,
                                        &action, &timeout);
            switch (action) {
            case SendReceive: {
                const std::vector<uint8_t> &a = byCounter[dsf->messageCounter];
                received = a.data();
                count = static_cast<uint16_t>(a.size());
                break;
            }
            case Process: break;
            case Done: return 0;
            default: return rc != 0 ? rc : -1;
            }
        }
        return -1;
    }

    void Open() {
        const ListItem item = {0x1234, 2, DSF_ACCESS_READ}; // one read of 2 bytes
        memcpy(request + DSF_REQ_BODY, &item, sizeof item);
        dsf = OpenStack();
        // Connect: counter 1, sequence 1; the canned connect reply offers 4096 bytes and short heads.
        std::vector<uint8_t> connect[256];
        connect[1] = StationFrame(DSF_FT_REPLY_LAST, 1,
                                  ReplyData(1, DSF_MSG_READ, golden::Bytes(golden::kConnectObjectsShortHeads)));
        const uint8_t connectRequest[3] = {DSF_SVC_CONNECT_STATION, 0, 2};
        if (Run(connectRequest, sizeof connectRequest, connect) != 0) {
            abort();
        }
        // Counter and sequence number advance together, one per request.
        const uint8_t counter0 = dsf->messageCounter;
        const uint8_t sequence0 = handle->sequence;
        for (int c = 0; c < 256; ++c) {
            const uint8_t sequence = static_cast<uint8_t>((c - counter0 + sequence0) & 0x0F);
            answers[c] = StationFrame(DSF_FT_REPLY_LAST, sequence,
                                      ReplyData(static_cast<uint8_t>(c), DSF_MSG_READ, {0xAB, 0xCD}));
        }
        bytesMoved = 18 + answers[0].size() + 4; // request frame, reply frame, reply record
    }
};

// Runs one request per iteration with every allocation counted, and reports the allocations per
// request. A failed request ends the run as an error.
template <typename Request> void CountedRequests(benchmark::State &state, const char *failure, Request request) {
    g_callbackAllocations = 0;
    g_heapAllocations = 0;
    g_counting = true;
    for (auto _ : state) {
        if (request() != 0) {
            g_counting = false;
            state.SkipWithError(failure);
            break;
        }
    }
    g_counting = false;
    const double n = static_cast<double>(state.iterations());
    state.counters["callback_allocs_per_request"] = static_cast<double>(g_callbackAllocations) / n;
    state.counters["heap_allocs_per_request"] = static_cast<double>(g_heapAllocations.load()) / n;
    state.SetItemsProcessed(state.iterations());
}

void BM_ReadCycle(benchmark::State &state) {
    ReadCycle cycle;
    cycle.Open();
    if (cycle.Run(cycle.request, sizeof cycle.request, cycle.answers) != 0) { // the first request
        state.SkipWithError("first read failed");
        return;
    }
    CountedRequests(state, "read failed",
                    [&cycle] { return cycle.Run(cycle.request, sizeof cycle.request, cycle.answers); });
    dsf_destroy(cycle.dsf);
}
BENCHMARK(BM_ReadCycle);

// ---- A block read of 256 16-bit elements: 516 message bytes, so two reply frames ----------------
struct BlockCycle {
    ReadCycle base;
    uint8_t request[10] = {DSF_SVC_READ_WRITE, 1};
    uint8_t reply[600];
    std::vector<uint8_t> frames[256][2]; // by message counter: the ReplyMore, then the ReplyLast

    void Open() {
        base.Open();
        const ListItem item = {0x1234, 512, DSF_ACCESS_READ};
        memcpy(request + DSF_REQ_BODY, &item, sizeof item);
        std::vector<uint8_t> body(512);
        for (size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<uint8_t>(i * 7);
        }
        // The request and the NextReplySegment each advance the sequence number.
        const uint8_t counter0 = base.dsf->messageCounter;
        const uint8_t sequence0 = base.handle->sequence;
        for (int c = 0; c < 256; ++c) {
            const std::vector<uint8_t> whole = ReplyData(static_cast<uint8_t>(c), DSF_MSG_READ, body); // prefix 516
            const uint8_t sequence = static_cast<uint8_t>((2 * (c - counter0) + sequence0 - 1) & 0x0F);
            std::vector<uint8_t> first(whole.begin(), whole.begin() + 2 + DSF_MAX_SEGMENT_DATA);
            std::vector<uint8_t> last = {0x00, static_cast<uint8_t>(whole.size() - first.size())};
            last.insert(last.end(), whole.begin() + static_cast<long>(first.size()), whole.end());
            frames[c][0] = StationFrame(DSF_FT_REPLY_MORE, sequence, first);
            frames[c][1] = StationFrame(DSF_FT_REPLY_LAST, static_cast<uint8_t>((sequence + 1) & 0x0F), last);
        }
    }

    int32_t Run() {
        const uint8_t *received = nullptr;
        uint16_t count = 0;
        int sent = 0;
        for (int step = 0; step < 16; ++step) {
            uint32_t replyLength = sizeof reply;
            uint16_t txLength = sizeof base.tx;
            uint16_t action = 0;
            int32_t timeout = 0;
            const int32_t rc = dsf_step(base.dsf, &base.handle, request, sizeof request, reply, &replyLength, base.tx,
                                        &txLength, received, count, &action, &timeout);
            switch (action) {
            case SendReceive: {
                const std::vector<uint8_t> &a = frames[base.dsf->messageCounter][sent < 2 ? sent : 1];
                ++sent;
                received = a.data();
                count = static_cast<uint16_t>(a.size());
                break;
            }
            case Process: break;
            case Done: return sent == 2 && replyLength == 2 + 512 ? 0 : -2;
            default: return rc != 0 ? rc : -1;
            }
        }
        return -1;
    }
};

void BM_BlockRead256(benchmark::State &state) {
    BlockCycle *cycle = new BlockCycle; // 130 KiB of canned frames: not on the stack
    cycle->Open();
    if (cycle->Run() != 0) {
        state.SkipWithError("first block read failed");
        delete cycle;
        return;
    }
    CountedRequests(state, "block read failed", [cycle] { return cycle->Run(); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
    dsf_destroy(cycle->base.dsf);
    delete cycle;
}
BENCHMARK(BM_BlockRead256);

void BM_MemcpyBlockReadBytes(benchmark::State &state) {
    const size_t bytes = 18 + 518 + 8 + 18 + 514; // request, two reply frames, NextReplySegment, record
    static uint8_t source[1100];
    static uint8_t target[1100];
    memset(source, 0x5A, sizeof source);
    for (auto _ : state) {
        memcpy(target, source, bytes);
        benchmark::DoNotOptimize(target);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemcpyBlockReadBytes);

void BM_MemcpyReadCycleBytes(benchmark::State &state) {
    const size_t bytes = 18 + 16 + 4;
    uint8_t source[64];
    uint8_t target[64];
    memset(source, 0x5A, sizeof source);
    for (auto _ : state) {
        memcpy(target, source, bytes);
        benchmark::DoNotOptimize(target);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemcpyReadCycleBytes);

// ---- Ratios and the figures table --------------------------------------------------------------
// CPU time per iteration: on a shared machine the wall clock also counts other processes' turns.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                const std::string name = run.benchmark_name();
                times_[name] = run.GetAdjustedCPUTime() * Nanoseconds(run.time_unit);
                for (const auto &c : run.counters) {
                    counters_[name + "." + c.first] = c.second.value;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const {
        const struct {
            const char *name;
            const char *baseline;
            const char *what;
        } pairs[] = {
            {"BM_Receive518Frames", "BM_CopyLoop518Frames", "receive 518-byte frames vs byte-copy loop"},
            {"BM_BuildFrame/510", "BM_CopyLoopFrame/518", "build 518-byte frame vs byte-copy loop"},
            {"BM_BuildFrame/10", "BM_CopyLoopFrame/18", "build 18-byte frame vs byte-copy loop"},
            {"BM_ReadCycle", "BM_MemcpyReadCycleBytes", "read cycle vs memcpy of its 38 bytes"},
            {"BM_BlockRead256", "BM_MemcpyBlockReadBytes", "block read 256 x 16-bit vs memcpy of its bytes"},
        };
        printf("\nTime ratios (same run, CPU time):\n");
        for (const auto &p : pairs) {
            const auto a = times_.find(p.name);
            const auto b = times_.find(p.baseline);
            if (a != times_.end() && b != times_.end() && b->second > 0) {
                printf("  %-48s %8.1f x\n", p.what, a->second / b->second);
            }
        }
    }

    // Rows of the figures table: | figure | measured | reference (same run) | ratio |
    // false when a request allocated after warm-up.
    bool PrintRows() const {
        bool clean = true;
        printf("\n# In memory (CPU time, same run)\n");
        const double stream = static_cast<double>(STREAM_FRAMES) * DSF_MAX_FRAME;
        Row("receive 518-byte frames", "BM_Receive518Frames", "BM_CopyLoop518Frames", "byte-copy loop", stream);
        Row("build a 518-byte frame", "BM_BuildFrame/510", "BM_CopyLoopFrame/518", "byte-copy loop of 518 bytes", 0);
        Row("build an 18-byte frame", "BM_BuildFrame/10", "BM_CopyLoopFrame/18", "byte-copy loop of 18 bytes", 0);
        Row("single 16-bit read cycle through the engine", "BM_ReadCycle", "BM_MemcpyReadCycleBytes",
            "memcpy of its 38 bytes", 0);
        Row("block read 256 x 16-bit through the engine (2 reply frames)", "BM_BlockRead256", "BM_MemcpyBlockReadBytes",
            "memcpy of its bytes", 0);
        // What the engine costs beside the line it drives.
        Wire("single 16-bit read cycle vs its 38 bytes on the wire at 115200", "BM_ReadCycle", 38);
        Wire("block read 256 x 16-bit vs its 562 bytes on the wire at 115200", "BM_BlockRead256", 18 + 518 + 8 + 18);
        for (const char *name : {"BM_ReadCycle", "BM_BlockRead256"}) {
            const auto cb = counters_.find(std::string(name) + ".callback_allocs_per_request");
            const auto heap = counters_.find(std::string(name) + ".heap_allocs_per_request");
            if (cb != counters_.end() && heap != counters_.end()) {
                char figure[96];
                snprintf(figure, sizeof figure, "allocations per request after warm-up, %s", name + 3);
                char measured[64];
                snprintf(measured, sizeof measured, "%.0f + %.0f", cb->second, heap->second);
                printf("| %-62s | %12s | %-34s | %5s |\n", figure, measured, "stack callbacks + heap; must be 0",
                       cb->second == 0 && heap->second == 0 ? "ok" : "FAIL");
                clean = clean && cb->second == 0 && heap->second == 0;
            }
        }
        return clean;
    }

private:
    static double Nanoseconds(benchmark::TimeUnit unit) {
        switch (unit) {
        case benchmark::kSecond: return 1e9;
        case benchmark::kMillisecond: return 1e6;
        case benchmark::kMicrosecond: return 1e3;
        default: return 1;
        }
    }

    // bytes != 0: shown as throughput, else as time per iteration.
    void Row(const char *what, const char *name, const char *baseline, const char *reference, double bytes) const {
        const auto a = times_.find(name);
        const auto b = times_.find(baseline);
        if (a == times_.end() || b == times_.end() || a->second <= 0) {
            printf("| %-62s | %12s | %-34s | %5s |\n", what, "not run", "", "");
            return;
        }
        char measured[64];
        char ref[96];
        if (bytes != 0) {
            snprintf(measured, sizeof measured, "%.0f MB/s", bytes / a->second * 1e3);
            snprintf(ref, sizeof ref, "%s %.0f MB/s", reference, bytes / b->second * 1e3);
        } else {
            snprintf(measured, sizeof measured, "%.1f ns", a->second);
            snprintf(ref, sizeof ref, "%s %.1f ns", reference, b->second);
        }
        printf("| %-62s | %12s | %-34s | %5.1f |\n", what, measured, ref, a->second / b->second);
    }

    void Wire(const char *what, const char *name, double bytes) const {
        const auto a = times_.find(name);
        if (a == times_.end()) {
            return;
        }
        const double wireNs = bytes * 11.0 / 115200.0 * 1e9;
        char measured[64];
        char ref[96];
        snprintf(measured, sizeof measured, "%.2f us", a->second / 1e3);
        snprintf(ref, sizeof ref, "wire %.2f ms", wireNs / 1e6);
        printf("| %-62s | %12s | %-34s | %7.1e |\n", what, measured, ref, a->second / wireNs);
    }

    std::map<std::string, double> times_;
    std::map<std::string, double> counters_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    const bool clean = reporter.PrintRows();
    benchmark::Shutdown();
    return clean ? 0 : 1;
}
