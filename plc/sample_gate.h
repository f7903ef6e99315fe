// EWT sample gates: a PLC structure hands over its message or measurement records one at a time;
// each goes to the host's time-stamp gate named after it, with the record's own local time.
#pragma once

#include <stdint.h>

#include "kesta.h"

enum { SAMPLE_RECORD_SIZE = 12 };

// With a delay between records a structure that never runs empty would keep the instance mutex for
// ever: one read takes at most this many records and leaves the rest to the next.
enum { EWT_MAX_RECORDS_PER_READ = 1000 };

// Reads the sample gate's structure up to an empty record (one record when ewtDelay is 0), stores the
// records, acknowledges each through ".toggle" and leaves the instance's record count in the cell.
// 0, or 2 when a request failed.
uint32_t ReadSampleGate(DriverCall *call);

// The record's local date and time as seconds since 1970 in a signed 32-bit count. 0, or 1 when the
// time is refused (logged as (1)) or cannot be converted into that count (logged as (2)).
int TimeStamp(uint32_t typeCode, const uint8_t record[SAMPLE_RECORD_SIZE], int32_t *seconds);
