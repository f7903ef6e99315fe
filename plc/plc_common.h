// Helpers shared by the gate routines: the station slots of the packed instance block, and the
// one-item ReadWrite exchange that reads, writes and sample gates make.
#pragma once

#include <stdint.h>

#include "dsf/dsf_request.h"
#include "kesta.h"

// The highest PLC station address; StationTable has one slot for each address up to it.
enum { PLC_MAX_STATION = 255 };

// Sizes of the request records and reply buffers of gate exchanges.
enum {
    GATE_REQUEST_SIZE = 2000,
    GATE_REPLY_SIZE = 4000,
    SAMPLE_REQUEST_SIZE = 256,
    SAMPLE_REPLY_SIZE = 256,
    REPLY_FRAME_OVERHEAD = 14 // link frame (8) + length prefix (2) + message header (4)
};

// The StationTable slot of a station. The slots of the packed instance block are not aligned: the
// returned address is only ever handed on as an opaque slot (to the transport and the station
// services, which copy it by value) or read and written through LoadStationSlot/StoreStationSlot.
void *StationSlot(DriverInstance *instance, uint32_t station);
StationEntry *LoadStationSlot(const DriverInstance *instance, uint32_t station);
void StoreStationSlot(DriverInstance *instance, uint32_t station, StationEntry *entry);

// The caller's records of one exchange: the request record and the reply buffer, with their sizes.
struct ExchangeRecords {
    uint8_t *request;
    uint32_t requestSize;
    uint8_t *reply;
    uint32_t replySize;
};

// The request record already built in records, sent to the station as one request of its own
// (StationRequest: counted, refused while the station is set aside, sent once as a probe) on the line of
// the instance. 0 with the reply record's length in *replyLength, else the engine's code; a station that
// never connected fails with DSF_ERR_NOT_CONNECTED before any traffic.
int32_t ExchangeRecord(DriverInstance *instance, uint32_t station, uint16_t expectedReplyLength,
                       const ExchangeRecords &records, uint32_t *replyLength);

// One ReadWrite exchange of a single item (handle, length, access; for a write, length bytes of data
// in PLC order) on the line of the instance, to the station's connection. 0 with the reply's item in
// *item (its status may still be nonzero; a read's data stays in the caller's reply buffer), else the
// engine's code; a station that never connected fails with DSF_ERR_NOT_CONNECTED before any traffic.
int32_t ExchangeItem(DriverInstance *instance, uint32_t station, uint16_t expectedReplyLength, const ListItem &ask,
                     const uint8_t *data, const ExchangeRecords &records, DsfReplyItem *item);

// The low byte of a result code or item status: the part a log message shows.
inline uint8_t LowByte(uint32_t code) { return static_cast<uint8_t>(code & 0xFFu); }
