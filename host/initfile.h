// The driver's optional initialisation file "KESTA%02d.INT" in the host's current directory: sets the
// master address, the number of slaves, flushing before each send and the delay between EWT records.
// Reports every key through err; nothing in the file can make the cold start fail.
#pragma once

#include <stdint.h>

#include "kesta.h"

// Sets instance->masterAddress, the driver-wide flushBeforeSend and numSlaves (defaults first, whether
// or not the file opens) and instance->ewtDelay (only from a nonzero value in the file).
void InitFile(DriverInstance *instance, uint32_t driverNumber);
