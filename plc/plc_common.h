// Helpers shared by the gate routines: the station slots of the packed instance block, and the
// one-item ReadWrite requests that reads, writes and sample gates send. Nothing here touches the line.
#pragma once

#include <stdint.h>

#include "kesta.h"

// The highest PLC station address; StationTable has one slot for each address up to it.
enum { PLC_MAX_STATION = 255 };

// Sizes of the request records and reply buffers of gate exchanges.
enum {
    GATE_REQUEST_SIZE = 2000,
    GATE_REPLY_SIZE = 4000,
    SAMPLE_REQUEST_SIZE = 256,
    SAMPLE_REPLY_SIZE = 256,
    LIST_ITEM_HEAD = 8,       // handle u32, length u16, access u16
    REPLY_ITEM_STATUS = 2,    // each item of a ReadWrite reply starts with a u16 status
    REPLY_FRAME_OVERHEAD = 14 // link frame (8) + length prefix (2) + message header (4)
};

// The StationTable slot of a station. The slots of the packed instance block are not aligned: the
// returned address is only ever handed on as an opaque slot (to the transport and the station
// services, which copy it by value) or read and written through LoadStationSlot/StoreStationSlot.
void *StationSlot(DriverInstance *instance, uint32_t station);
StationEntry *LoadStationSlot(const DriverInstance *instance, uint32_t station);
void StoreStationSlot(DriverInstance *instance, uint32_t station, StationEntry *entry);

// Writes a ReadWrite request (service 4) with one ListItem into record: handle, length, access and,
// for a write, even(length) bytes of data (data holds length bytes; a pad byte of 0 follows an odd
// count). The record is cleared first. Returns the bytes used, or 0 when the request does not fit.
uint32_t BuildReadWriteRequest(uint8_t *record, uint32_t recordSize, uint32_t handle, uint16_t length, uint16_t access,
                               const uint8_t *data);

// The item status at the head of a ReadWrite reply record (host order).
uint16_t ReplyItemStatus(const uint8_t *reply);

// The low byte of a result code or item status: the part a log message shows.
inline uint8_t LowByte(uint32_t code) { return static_cast<uint8_t>(code & 0xFFu); }

uint16_t GetBe16(const uint8_t *bytes);
uint32_t GetBe32(const uint8_t *bytes);
