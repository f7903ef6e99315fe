// Station services: open the Net2000 stack once, connect one PLC station, describe one named object.
// Each runs one exchange through the transport and logs its own failure.
#pragma once

#include <stdint.h>

#include "dsf/dsf.h"
#include "platform/serial_port.h"

#pragma pack(push, 1)
// One PLC object as a lookup describes it, in host byte order, 26 bytes.
struct ObjectDescriptor {
    uint16_t listStatus;
    uint16_t status; // 0: the PLC knows the object; else its status byte - 86, or 65450
    uint32_t handle; // 16-bit object handle, zero-extended; first wire byte is the low byte
    uint16_t kind;   // 1 array, 2 and 3 structure, other single variable
    uint32_t length; // bytes of the whole object
    uint16_t dataType;
    uint32_t aux;
    uint32_t elementLength; // bytes of one element
    uint16_t access;        // 3
};
#pragma pack(pop)
static_assert(sizeof(ObjectDescriptor) == 26, "descriptor is 26 bytes on the wire record");

enum { OBJECT_KIND_ARRAY = 1, OBJECT_KIND_STRUCT = 2, OBJECT_KIND_STRUCT2 = 3 };

// Opens the library's one stack, or counts this instance in when another has opened it already: the
// stack keeps the master address and the numSlaves station entries of its first open.
uint32_t Net2000_Open(uint8_t masterAddress); // 0 open, 2 failed
// line: the port of the instance the exchange serves (its portHandle); every instance has its own.
// Returns the connection handle (the stack's station entry), or null when the station did not connect.
// One station address is one station entry of the shared stack, whatever line it was connected on.
// result, when given, receives the exchange's code (0 connected).
StationEntry *Net2000_Connect(PortHandle line, uint8_t stationAddress, int32_t *result = nullptr);
// handleSlot: the station's StationTable slot (possibly unaligned). Returns 0 and fills *descriptor
// when the exchange succeeded (the descriptor's status may still be nonzero), 1 when it failed; result,
// when given, receives the exchange's code (DSF_ERR_REPLY_BUFFER for a name refused before the line).
int Net2000_getOV(PortHandle line, void *handleSlot, const char *name, ObjectDescriptor *descriptor,
                  int32_t *result = nullptr);
