// Optional frame trace of the line, for the field. When the environment variable KESTA_TRACE names a
// file, every chunk of bytes written to or read from the port is appended to it as one hex line with a
// time stamp (the capture format net2000-decode reads), and the link counters follow at every EndKvi
// and once a period. The trace lives as long as the stack: it closes when the last instance ends. Off, each hook is one test of a flag: nothing is allocated, nothing reaches the host's
// log, and a trace file that cannot be written only ends the trace, never the request.
#pragma once

#include <stdint.h>

// Direction letters of a trace line: bytes the driver wrote, bytes it read, the echo it read back.
enum { TRACE_SENT = 'M', TRACE_RECEIVED = 'S', TRACE_ECHO = 'E' };

// Seconds between two counter lines unless KESTA_TRACE_PERIOD gives another number (1 to 86400).
enum { TRACE_DEFAULT_PERIOD_S = 60 };
// A trace stops itself once it has written this much, so a forgotten trace cannot fill a disk.
enum { TRACE_MAX_BYTES = 256 * 1024 * 1024 };

extern bool traceActive;

// The stack was opened with this parameter string: start a trace if KESTA_TRACE asks for one.
void TraceOpen(const char *parameters);
void TraceWriteBytes(char direction, const uint8_t *bytes, uint32_t count);
// End of one request: its result when it failed, the counters when a period has passed, and the
// buffered lines to the file (never in the middle of an exchange).
void TraceWriteRequestEnd(int32_t result);
// The counters with the reason (EndKvi), written at once. Takes the line lock itself.
void TraceCounters(const char *why);
inline void TraceEnd(const char *why) { TraceCounters(why); } // an instance ends; the trace goes on
// The stack is gone: the last lines to the file, and the trace is closed.
void TraceClose();

inline void TraceBytes(char direction, const uint8_t *bytes, uint32_t count) {
    if (traceActive && count != 0) {
        TraceWriteBytes(direction, bytes, count);
    }
}

inline void TraceRequestEnd(int32_t result) {
    if (traceActive) {
        TraceWriteRequestEnd(result);
    }
}
