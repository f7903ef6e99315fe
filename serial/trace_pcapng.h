// The frame trace's second format: pcapng, one packet per link frame, for Wireshark and net2000-decode.
// Only trace.cpp calls in here, under the line lock; nothing is allocated, and the file stops itself at
// TRACE_MAX_BYTES like the text trace.
#pragma once

#include <stdint.h>

// Starts the capture in the file at path; false when it cannot be written (then there is none).
bool PcapngOpen(const char *path);
bool PcapngActive();
// One chunk of line bytes as the transport saw it: direction letter of trace.h, time in microseconds
// since 1970 (UTC), the port handle the bytes went over.
void PcapngBytes(char direction, const uint8_t *bytes, uint32_t count, uint64_t utcMicros, uintptr_t port);
// A request ended: a frame the station started and never finished is written as a cut frame.
void PcapngRequestEnd();
void PcapngFlush();
void PcapngClose();
