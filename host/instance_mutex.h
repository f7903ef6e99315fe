// The instance's named mutex "SEMKESTA%02u": taken around the calls that use the line (codes 2 to 6),
// each wait bounded by lineTimeout x 30 ms, and closed when the instance ends.
#pragma once

#include <stdint.h>

#include "kesta.h"

enum { MUTEX_MS_PER_UNIT = 30 };

uint32_t ReqSem(DriverInstance *instance); // 0 owned (also when abandoned), 1 timed out or failed
uint32_t RelSem(DriverInstance *instance); // 0 released, 1 failed

// Closes the instance's mutex and clears the handle, so that no later wait can reach an unrelated
// object that the system gave the same handle value. A wait on the cleared handle fails as a wait on a
// closed one does. Returns 0, or nonzero when the close failed (the handle is cleared all the same).
int CloseInstanceMutex(DriverInstance *instance);
