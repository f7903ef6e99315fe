// The frame trace: hex lines of the bytes on the line, time-stamped, appended to the file KESTA_TRACE
// names, and the link counters as comment lines; the pcapng capture of KESTA_PCAPNG beside it
// (trace_pcapng.cpp). Plain C stdio with a static buffer; every call runs under the line lock (the
// transport's hooks hold it; TraceOpen, TraceCounters and TraceClose take it). It must never log
// through the host, never fail a request, and never write more than TRACE_MAX_BYTES to a file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "platform/system.h"
#include "serial/link_counters.h"
#include "serial/line_state.h"
#include "serial/trace.h"
#include "serial/trace_pcapng.h"
#include "serial/transport.h"

bool traceActive = false;

namespace {

FILE *traceFile = nullptr;
char fileBuffer[32 * 1024]; // stdio's buffer: lines reach the file at the end of a request
uint64_t periodMs = TRACE_DEFAULT_PERIOD_S * 1000u;
uint64_t lastCountersMs = 0;
uint64_t written = 0;

uint64_t NowMicros() {
    const auto now = std::chrono::system_clock::now();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count());
}

// Local date and time with microseconds, one word: 2024-05-01T12:00:00.123456.
void TimeStamp(char *out, size_t size, uint64_t us = NowMicros()) {
    const time_t seconds = static_cast<time_t>(us / 1000000);
    struct tm local;
    if (plat_localtime(seconds, &local) != 0) {
        memset(&local, 0, sizeof local);
    }
    snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%06d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
             local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(us % 1000000));
}

void Close() {
    if (traceFile != nullptr) {
        fclose(traceFile);
        traceFile = nullptr;
    }
    traceActive = PcapngActive();
}

// Every write goes through here: a failing file or a full quota ends the trace quietly.
void Put(const char *text, size_t n) {
    if (traceFile == nullptr) {
        return;
    }
    if (written + n > TRACE_MAX_BYTES) {
        static const char stop[] = "# trace stopped: size limit reached\n";
        fwrite(stop, 1, sizeof stop - 1, traceFile);
        Close();
        return;
    }
    if (fwrite(text, 1, n, traceFile) != n) {
        Close();
        return;
    }
    written += n;
}

void PutText(const char *text) { Put(text, strlen(text)); }

void Comment(const char *what) {
    char stamp[96];
    TimeStamp(stamp, sizeof stamp);
    char line[256];
    const int n = snprintf(line, sizeof line, "# %s %s\n", stamp, what);
    if (n > 0) {
        Put(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    }
}

void Counters(const char *why) {
    LinkCounters c;
    ReadLinkCounters(&c);
    char stamp[96];
    TimeStamp(stamp, sizeof stamp);
    char line[512];
    int n = snprintf(line, sizeof line,
                     "# %s counters %s requests=%u failed=%u framesOut=%u bytesOut=%u framesIn=%u bytesIn=%u "
                     "retransmissions=%u echoMismatches=%u stepLimits=%u link65291=%u link65292=%u "
                     "link65293=%u link65294=%u failedByCode=",
                     stamp, why, c.requests, c.requestsFailed, c.framesOut, c.bytesOut, c.framesIn, c.bytesIn,
                     c.retransmissions, c.echoMismatches, c.stepLimits, c.linkErrors[0], c.linkErrors[1],
                     c.linkErrors[2], c.linkErrors[3]);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof line) {
        return;
    }
    PutText(line);
    bool any = false;
    for (unsigned code = 0; code < 256; ++code) {
        if (c.failedByCode[code] != 0) {
            n = snprintf(line, sizeof line, "%s%u:%u", any ? "," : "", code, c.failedByCode[code]);
            Put(line, static_cast<size_t>(n));
            any = true;
        }
    }
    PutText(any ? "\n" : "-\n");
}

void Flush() {
    if (traceFile != nullptr && fflush(traceFile) != 0) {
        Close();
    }
    PcapngFlush();
    traceActive = traceFile != nullptr || PcapngActive();
}

// The text trace of KESTA_TRACE, appended to.
void OpenText(const char *parameters) {
    const char *path = getenv("KESTA_TRACE");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    traceFile = fopen(path, "a");
    if (traceFile == nullptr) {
        // Standard error, not the host's log: the host's log must look the same with and without a trace.
        fprintf(stderr, "kesta: trace file %s cannot be opened; no trace\n", path);
        return;
    }
    setvbuf(traceFile, fileBuffer, _IOFBF, sizeof fileBuffer);
    written = 0;
    char what[160];
    snprintf(what, sizeof what, "open %.120s", parameters != nullptr ? parameters : "");
    Comment(what);
}

// The pcapng capture of KESTA_PCAPNG, appended to: a section for each opening of the stack.
void OpenPcapng() {
    const char *path = getenv("KESTA_PCAPNG");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    if (!PcapngOpen(path)) {
        fprintf(stderr, "kesta: capture file %s cannot be opened; no capture\n", path);
    }
}

} // namespace

void TraceOpen(const char *parameters) {
    LineLock lock;
    if (traceActive) {
        return; // one trace per loaded library, like the stack
    }
    OpenText(parameters);
    OpenPcapng();
    if (traceFile == nullptr && !PcapngActive()) {
        return;
    }
    periodMs = TRACE_DEFAULT_PERIOD_S * 1000u;
    const char *period = getenv("KESTA_TRACE_PERIOD");
    if (period != nullptr && period[0] != '\0') {
        char *end = nullptr;
        const unsigned long seconds = strtoul(period, &end, 10);
        if (end != period && *end == '\0' && seconds >= 1 && seconds <= 86400) {
            periodMs = static_cast<uint64_t>(seconds) * 1000u;
        }
    }
    traceActive = true;
    Flush();
    lastCountersMs = plat_monotonic_ms();
}

void TraceWriteBytes(char direction, const uint8_t *bytes, uint32_t count) {
    const uint64_t now = NowMicros();
    PcapngBytes(direction, bytes, count, now, LineStateHeld()->currentPort); // called under the line lock
    if (traceFile == nullptr) {
        return;
    }
    static const char digits[] = "0123456789ABCDEF";
    char stamp[96];
    TimeStamp(stamp, sizeof stamp, now);
    char head[128];
    const int n = snprintf(head, sizeof head, "%s %c", stamp, direction);
    Put(head, static_cast<size_t>(n));
    char chunk[3 * 64 + 1];
    size_t used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        chunk[used++] = ' ';
        chunk[used++] = digits[bytes[i] >> 4];
        chunk[used++] = digits[bytes[i] & 0x0F];
        if (used == 3 * 64) {
            Put(chunk, used);
            used = 0;
        }
    }
    chunk[used++] = '\n';
    Put(chunk, used);
}

void TraceWriteRequestEnd(int32_t result) {
    PcapngRequestEnd();
    if (traceFile != nullptr) {
        if (result != 0) {
            char what[64];
            snprintf(what, sizeof what, "result %d ErrCode %u", static_cast<int>(result),
                     static_cast<unsigned>(result) & 0xFFu);
            Comment(what);
        }
        const uint64_t now = plat_monotonic_ms();
        if (now - lastCountersMs >= periodMs) {
            lastCountersMs = now;
            Counters("period");
        }
    }
    Flush();
}

void TraceCounters(const char *why) {
    LineLock lock;
    if (traceFile == nullptr) {
        return;
    }
    Counters(why);
    Flush();
}

void TraceClose() {
    LineLock lock;
    PcapngClose();
    if (traceFile != nullptr) {
        Comment("close");
    }
    Close();
    traceActive = false;
}
