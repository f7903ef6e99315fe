// Optional frame trace of the line, for the field. When the environment variable KESTA_TRACE names a
// file, every chunk of bytes written to or read from the port is appended to it as one hex line with a
// time stamp (the capture format net2000-decode reads), and the link counters follow at every EndKvi
// and once a period. When KESTA_PCAPNG names a file, the same bytes go there as a pcapng capture, one
// packet per link frame (Wireshark with tools/wireshark/net2000.lua, net2000-decode). Either, both or
// neither. The trace lives as long as the stack: it closes when the last instance ends. Off, each hook
// is one test of a flag: nothing is allocated, nothing reaches the host's log, and a trace file that
// cannot be written only ends the trace, never the request.
#pragma once

#include <stdint.h>

// Direction letters of a trace line: bytes the driver wrote, bytes it read, the echo it read back.
enum { TRACE_SENT = 'M', TRACE_RECEIVED = 'S', TRACE_ECHO = 'E' };

// Seconds between two counter lines unless KESTA_TRACE_PERIOD gives another number (1 to 86400).
enum { TRACE_DEFAULT_PERIOD_S = 60 };
// A trace stops itself once it has written this much, so a forgotten trace cannot fill a disk.
enum { TRACE_MAX_BYTES = 256 * 1024 * 1024 };
// Link type of the pcapng capture: LINKTYPE_USER0, one of the types kept for private use, so a file
// opens anywhere without a registration; the dissector claims it.
enum { TRACE_PCAPNG_LINKTYPE = 147 };

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
// A port was opened under this name: the pcapng capture names its interface after it. Runs at every
// open, trace or not (a few bytes copied into a fixed table).
void TracePortName(uintptr_t handle, const char *name);

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
