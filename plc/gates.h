// PLC data access: gate address parsing with the object registry, gate reads and writes, EWT sample
// gates. Entry points of KviMain's table; each takes the host's DriverCall and returns 0, 1 or 2.
#pragma once

#include <stdint.h>

#include "kesta.h"

uint32_t SingleAddressParser(DriverCall *call);
uint32_t BlockAddressParser(DriverCall *call);
uint32_t SingleRead(DriverCall *call);
uint32_t BlockRead(DriverCall *call);
uint32_t SingleWrite(DriverCall *call);
uint32_t BlockWrite(DriverCall *call);
