// Placeholder entry points until the gate layer lands.
#include "plc/gates.h"

uint32_t SingleAddressParser(DriverCall *) { return 2; }
uint32_t BlockAddressParser(DriverCall *) { return 2; }
uint32_t SingleRead(DriverCall *) { return 2; }
uint32_t BlockRead(DriverCall *) { return 2; }
uint32_t SingleWrite(DriverCall *) { return 2; }
uint32_t BlockWrite(DriverCall *) { return 1; }
