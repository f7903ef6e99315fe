// Operations shared between the parts of the stack (private to dsf/ and its tests): buffer
// bookkeeping, frame checksums, the application layer's message builders and the engine's
// segmenting and gathering.
#pragma once

#include <stdint.h>

#include "dsf/dsf.h"
#include "dsf/dsf_cursor.h"

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
