// The driver's optional initialisation file "KESTA%02d.INT" in the host's current directory: sets the
// master address, the number of slaves, flushing before each send and the delay between EWT records.
// Reports every key through err; nothing in the file can make the cold start fail.
#pragma once

#include <stdint.h>

#include "serial/line_state.h"

// What one reading of the file settles. The reading itself writes nothing driver-wide: the cold start
// applies it, under the line lock, so that two instances starting at once keep each its own settings.
struct InitSettings {
    uint8_t masterAddress;   // 1 unless the file sets another
    uint8_t numSlaves;       // 1 unless the file sets another
    uint8_t flushBeforeSend; // 0 unless the file sets 1
    uint32_t ewtDelay;       // changed only by a nonzero value in the file: set it before the reading
    LineOptions options;     // the keys beyond the four, each off unless the file sets it
};

// Starts from the defaults above (ewtDelay and options as the caller set them) and reads the file.
void InitFile(uint32_t driverNumber, InitSettings *settings);
