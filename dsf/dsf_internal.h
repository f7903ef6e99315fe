// The stack's own records and the operations shared between its parts: the instance record and its
// station entries, buffer bookkeeping, frame checksums, the application layer's message builders and
// the engine's segmenting and gathering. Private to dsf/ and to the stack's own tests, fuzz targets
// and benchmark: the driver's other layers see only dsf/dsf.h and ask the stack through its functions.
#pragma once

#include <stdint.h>

#include "dsf/dsf.h"
#include "dsf/dsf_cursor.h"

// Engine states.
enum DsfState { DSF_IDLE = 0, DSF_AWAIT_REPLY = 1, DSF_DELIVER = 2, DSF_AWAIT_FINAL_ACK = 3 };

// Receive states.
enum DsfRxState { DSF_RX_HUNT = 0, DSF_RX_HEADER = 1, DSF_RX_DATA = 2 };

// One station that may be connected; a connection handle points at one of these.
struct StationEntry {
    int32_t connectState; // 0 free, 1 connect requested, 2 connected
    uint8_t stationAddress;
    uint8_t sequence; // frame sequence counter; its low nibble travels in the control byte
    uint32_t maxMessage;
    uint32_t maxReassembly;
    uint32_t offeredMessage; // the message size its last connect reply offered (object 6)
};

struct DsfInstance {
    DsfInstance *self;
    DsfAlloc alloc;
    DsfRelease release;
    int32_t state;
    int32_t itemMode;
    uint32_t replyLength;
    uint8_t *requestBuffer;
    uint32_t bufferSize;
    uint8_t messageCounter;
    uint32_t readItemCount;
    uint32_t writeItemCount;
    int32_t readAfterWrite;
    uint32_t expectedReplySize;
    uint8_t *pendingBuffer;
    const uint8_t *pendingWrite;
    uint32_t pendingWriteLength;
    const uint8_t *pendingRead;
    uint32_t pendingReadLength;
    int32_t reassembling;
    int32_t segmenting;
    const uint8_t *segmentNext;
    uint32_t segmentRemaining;
    uint8_t *reassemblyBuffer;
    uint32_t reassemblyTotal;
    uint32_t reassemblyCount;
    uint32_t reassemblyRounds; // ReplyMore segments taken for the reply being gathered
    uint8_t rxFrameType;
    uint8_t txSegmentType;
    uint8_t rxFrame[DSF_MAX_FRAME];
    int32_t rxState;
    uint32_t rxCount;
    uint32_t rxWords;
    uint32_t txFrameLength;
    StationEntry *stations;
    uint16_t stationCount;
    uint32_t linkError;
    int32_t retries;
    int32_t retryLimit;
    int32_t replyTimeout;
    int32_t timeoutTQ;
    int32_t timeoutTT;
    int32_t timeoutTE;
    uint8_t ownAddress;
    uint32_t replyCapacity; // capacity of the caller's reply buffer for the request in progress
};

// Largest message buffer a station may ask for: a length prefix carries 31 bits, and the buffers
// are that size plus 4.
enum : uint32_t { DSF_MAX_BUFFER = 0x7FFFFFFFu };

// Instance (dsf_instance.cpp).
// The entry handleLocation holds, when it is one of this instance's station entries; else null.
StationEntry *dsf_station_at(const DsfInstance *dsf, StationEntry *const *handleLocation);
bool dsf_station_valid(const DsfInstance *dsf, const StationEntry *station);
// Gives back the three message buffers and empties every reference into them.
void dsf_release_buffers(DsfInstance *dsf);
bool dsf_buffers_ready(const DsfInstance *dsf);

// Link frames (dsf_link.cpp).
uint8_t dsf_header_checksum(const uint8_t *frame);
uint16_t dsf_data_checksum(const uint8_t *frame, uint32_t words);
inline uint32_t dsf_frame_length(uint32_t words) { return 2 * words + DSF_FRAME_OVERHEAD; }

// Application layer (dsf_app.cpp).
// One ReadWrite item of a request record, as dsf_read_item walks them.
struct DsfItemHead {
    uint32_t handle;
    uint16_t length;
    uint16_t access;
    const uint8_t *data; // even(length) bytes for access 2 and 3, else null
};
bool dsf_read_item(DsfReader *request, DsfItemHead *item);
inline bool dsf_item_reads(uint16_t access) { return access == DSF_ACCESS_READ || access == DSF_ACCESS_READ_WRITE; }
inline bool dsf_item_writes(uint16_t access) { return access == DSF_ACCESS_WRITE || access == DSF_ACCESS_READ_WRITE; }
uint32_t dsf_message_header(DsfInstance *dsf, DsfWriter *message, uint8_t code);
int32_t dsf_count_items(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint32_t *readSize,
                        uint32_t *writeSize);
int32_t dsf_encode_list(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, bool write,
                        uint32_t *messageLength);
int32_t dsf_decode_list(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                        const uint8_t *message, uint32_t messageLength, bool write, uint32_t *position);
int32_t dsf_connect_request(DsfInstance *dsf, StationEntry *station, uint32_t *messageLength);
int32_t dsf_connect_reply(DsfInstance *dsf, uint8_t *reply, const uint8_t *message, uint32_t messageLength,
                          StationEntry *station);

// Engine (dsf_engine.cpp).
enum { DSF_GATHER_READY = 0, DSF_GATHER_MORE_REPLY = 1, DSF_GATHER_NEXT_REQUEST = 2 };
uint32_t dsf_segment_request(DsfInstance *dsf, const uint8_t *data, uint32_t length, uint8_t *frame);
int32_t dsf_gather_reply(DsfInstance *dsf, const StationEntry *station, const uint8_t *data, uint32_t length,
                         const uint8_t **message, uint32_t *messageLength);
void dsf_error_reply(DsfInstance *dsf, uint32_t code, const uint8_t **message, uint32_t *messageLength);
