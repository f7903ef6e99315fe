// The Net2000 protocol stack (dsf): pure code over one instance record. It builds and receives link
// frames, encodes requests and decodes replies, and steps one request at a time through the exchange.
// It performs no I/O and allocates only through the callbacks it was created with.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "dsf/dsf_errors.h"

// Wire constants.
enum {
    DSF_STX = 0x02,
    DSF_FRAME_HEADER = 6,
    DSF_FRAME_OVERHEAD = 8, // header + data checksum
    DSF_MAX_FRAME_DATA = 510,
    DSF_MAX_FRAME = 518,
    DSF_MAX_SEGMENT_DATA = 508,      // message bytes in a frame behind a 2-byte length prefix
    DSF_MAX_LONG_SEGMENT_DATA = 506, // message bytes behind a 4-byte length prefix
    DSF_LONG_MESSAGE = 32768,        // messages this long or longer carry a 4-byte length prefix
    DSF_DEFAULT_BUFFER = 4096,
    DSF_MESSAGE_HEADER = 4,   // marker, zero, counter, code
    DSF_MAX_VALUE_TEXT = 51,  // characters of one parameter value, up to the next "/"
    DSF_MAX_PARAMETERS = 1024 // characters of a parameter string that are scanned
};

// Frame layout offsets.
enum {
    DSF_OFS_STX = 0,
    DSF_OFS_WORDS = 1,
    DSF_OFS_DESTINATION = 2,
    DSF_OFS_SOURCE = 3,
    DSF_OFS_CONTROL = 4,
    DSF_OFS_HEADER_CHECK = 5,
    DSF_OFS_DATA = 6
};

// Frame types (low nibble of the control byte).
enum DsfFrameType {
    DSF_FT_REQUEST_LAST = 0x1,
    DSF_FT_REQUEST_MORE = 0x2,
    DSF_FT_REPLY_LAST = 0x3,
    DSF_FT_REPLY_MORE = 0x4,
    DSF_FT_NEXT_REPLY_SEGMENT = 0x5,
    DSF_FT_SEGMENT_REFUSED = 0x6,
    DSF_FT_NEXT_REQUEST_SEGMENT = 0x7,
    DSF_FT_REPLY_ACK_WANTED = 0xD,
    DSF_FT_ACK = 0xE,
    DSF_FT_ACK_FINAL = 0xF
};

// Services of a DsfRequest (byte 0).
enum DsfService {
    DSF_SVC_CONNECT_DEFAULT = 1,
    DSF_SVC_LOOKUP_BY_KEY = 3,
    DSF_SVC_READ_WRITE = 4,
    DSF_SVC_LOOKUP_HANDLES = 5,
    DSF_SVC_FETCH_EXTRA = 6,
    DSF_SVC_LOOKUP_OBJECTS = 7,
    DSF_SVC_TEXT_REQUEST = 8,
    DSF_SVC_CONNECT_STATION = 10
};

// ListItem access values.
enum { DSF_ACCESS_READ = 1, DSF_ACCESS_WRITE = 2, DSF_ACCESS_READ_WRITE = 3 };

// Application message codes (byte 3 of a message).
enum DsfMessageCode {
    DSF_MSG_LOOKUP = 17,
    DSF_MSG_TEXT = 18,
    DSF_MSG_READ = 33,  // short item heads; also the connect request
    DSF_MSG_WRITE = 34, // short item heads; also the control write
    DSF_MSG_READ_LONG = 49,
    DSF_MSG_WRITE_LONG = 50,
    DSF_MSG_EXTRA = 0x80, // reply flag: extra data follows the regular part (161, 162)
    DSF_MSG_ERROR = 153
};

// The request record handed to the stack. It is a byte buffer: byte 0 service, byte 1 count, the body
// from byte 2, multi-byte fields in host order at unaligned offsets (read them with memcpy). The
// driver's callers pass 2000-byte records, 256 bytes for sample reads; the stack never reads past the
// size it is given with the record.
enum {
    DSF_REQUEST_SIZE = 2000,
    DSF_REQ_SERVICE = 0,
    DSF_REQ_COUNT = 1,
    DSF_REQ_BODY = 2,
    // LookupByKey: 14 key bytes, then the expected object length.
    DSF_REQ_KEY = 2,
    DSF_KEY_SIZE = 14,
    DSF_REQ_KEY_EXPECTED = 16,
    // LookupHandles, LookupObjects: namesLength, count expected lengths, then the names area.
    DSF_REQ_NAMES_LENGTH = 2,
    DSF_REQ_EXPECTED = 4,
    // ConnectStation: the station address.
    DSF_REQ_STATION = 2
};

struct DsfRequest {
    uint8_t service;
    uint8_t count;
    uint8_t body[DSF_REQUEST_SIZE - 2];
};

// Head of one ReadWrite item; items with access 2 or 3 carry even(length) data bytes behind it.
struct ListItem {
    uint32_t handle; // 16-bit object token, zero-extended; its low byte is the first wire byte
    uint16_t length;
    uint16_t access;
};
static_assert(sizeof(ListItem) == 8, "ListItem head is 8 bytes in the request record");

// Reply records left in the caller's reply buffer (host order, no padding).
#pragma pack(push, 1)
struct ConnectReply {
    uint16_t one;          // always 1
    uint8_t undefinedByte; // no defined content (written 0)
    uint8_t peerFlags;     // DSF_PEER_NO_OBJECT5, DSF_PEER_OBJECT4_SET
    uint8_t zero[12];
    uint32_t bufferSize; // the peer's message buffer size
    uint32_t fixed500;   // always 500
};
struct LookupKeyReply { // LookupByKey, and one name of LookupHandles
    uint16_t status;
    uint32_t handle;
    uint16_t access;
};
struct LookupObjectRecord { // one name of LookupObjects
    uint16_t status;
    uint32_t handle;
    uint16_t kind;
    uint32_t length;
    uint16_t dataType;
    uint32_t aux;
    uint32_t elementLength;
    uint16_t access;
};
#pragma pack(pop)
static_assert(sizeof(ConnectReply) == 24, "ConnectReply is 24 bytes");
static_assert(sizeof(LookupKeyReply) == 8, "LookupKeyReply is 8 bytes");
static_assert(sizeof(LookupObjectRecord) == 24, "LookupObjectRecord is 24 bytes");

enum { DSF_PEER_NO_OBJECT5 = 0x04, DSF_PEER_OBJECT4_SET = 0x10 };

// Lookup status words besides 0 (found): s - 86 for a station status byte s of 1 to 85 (65451 to
// 65535), DSF_ERR_LOOKUP_LENGTH (65450) for a length mismatch, and DSF_LOOKUP_STATUS_HIGH | s for a
// status byte of 86 and above (65110 to 65279), so that no nonzero byte reads as success and the low
// byte still shows what the station said.
enum { DSF_LOOKUP_STATUS_BIAS = 86, DSF_LOOKUP_STATUS_HIGH = 0xFE00 };

// What a dsf_step asks the transport loop to do next.
enum EngineAction { StepAgain = 1, Receive = 2, Done = 5, Failed = 6, SendReceive = 7, Process = 8 };

// The stack's instance record and its station entries are the stack's own (dsf/dsf_internal.h): callers
// hold a DsfInstance pointer from dsf_create, and a connection handle is a StationEntry pointer that a
// connect request stored; both are only handed back to the stack.
struct DsfInstance;
struct StationEntry;

typedef void *(*DsfAlloc)(uint32_t size);
typedef void (*DsfRelease)(void *block, uint32_t size);

// Instance and configuration. A failed create or configure leaves a record that dsf_destroy
// releases exactly (each buffer once, with its size); dsf_destroy(nullptr) does nothing.
int32_t dsf_create(uint16_t stationCount, DsfAlloc alloc, DsfRelease release, DsfInstance **instance);
int32_t dsf_configure(DsfInstance *dsf, const char *parameters, uint16_t *rxFrameSize, uint16_t *txFrameSize);
void dsf_destroy(DsfInstance *dsf);
void dsf_reset(DsfInstance *dsf, int keepReadAfterWrite);
// text starts at a key's second letter; -1 when there is no value (or the value text runs over 51
// characters).
int32_t dsf_parse_value(const char *text);

// Link frames. frame buffers are DSF_MAX_FRAME bytes. dsf_receive_bytes: 1 a good frame is held,
// -1 a frame failed its data checksum, 0 all bytes taken; a null station skips the sequence test.
uint32_t dsf_build_frame(DsfInstance *dsf, uint8_t *frame, uint32_t n, uint32_t destination, uint32_t type,
                         uint32_t sequence);
int32_t dsf_receive_bytes(DsfInstance *dsf, const uint8_t *bytes, uint16_t count, const StationEntry *station);
void dsf_resync(DsfInstance *dsf);
void dsf_clear_receive(DsfInstance *dsf);
int32_t dsf_acknowledge(DsfInstance *dsf, uint8_t *frame, StationEntry *station);

// Application layer. Every read of the request record stays inside requestSize; every write of the
// reply record inside the capacity given to dsf_encode_request (kept in replyCapacity).
int32_t dsf_encode_request(DsfInstance *dsf, StationEntry **handleLocation, const uint8_t *request,
                           uint32_t requestSize, uint8_t *reply, uint32_t replyCapacity, uint32_t *messageLength);
int32_t dsf_decode_reply(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                         const uint8_t *message, uint32_t messageLength, StationEntry *station);

// What a caller that fills one ReadWrite request with several items must know to keep it to one frame.
// Bytes of one read item's head in the read messages: 6 while the last accepted connect reply asked
// for long heads, else 2.
uint32_t dsf_read_item_head(const DsfInstance *dsf);
// The largest message the station at handleLocation takes: what its connect reply offered, never more
// than the stack's own limit for it; 0 when handleLocation holds no connected station of this stack.
uint32_t dsf_station_message_limit(const DsfInstance *dsf, StationEntry *const *handleLocation);

// Engine. replyLength: in, the reply buffer's capacity; out, the reply length with Done.
// txLength: in, the transmit buffer's capacity (at least DSF_MAX_FRAME); out, the bytes to send with
// SendReceive. A handleLocation that is null or holds no entry of this stack is "not connected"
// (65320) for every service but ConnectDefault and ConnectStation.
int32_t dsf_step(DsfInstance *dsf, StationEntry **handleLocation, const uint8_t *request, uint32_t requestSize,
                 uint8_t *reply, uint32_t *replyLength, uint8_t *txBuffer, uint16_t *txLength, const uint8_t *received,
                 uint16_t receivedCount, uint16_t *action, int32_t *timeout);

// What the transport asks the stack between steps, so that it never reads the stack's record.
// Bytes the next reply read should take. The reply to a request is the frame the caller expects
// (expectedReplyLength); the frames that follow within the same request are sized by what the engine
// still expects: 8 for the data-less answer to an Ack or to a request segment, the missing bytes of a
// long reply behind their length prefix. Never more than one frame (518).
uint32_t dsf_reply_read_size(const DsfInstance *dsf, uint32_t expectedReplyLength);
// Length of the frame whose header starts bytes, when count holds a whole header that is valid and
// addressed to this stack (STX, own address, header checksum); 0 when the bytes start no such header.
uint32_t dsf_announced_frame_length(const DsfInstance *dsf, const uint8_t *bytes, uint32_t count);
// The receiver's link error (65291 to 65294) of the bytes fed since the last call, taken and cleared;
// 0 when there is none.
uint32_t dsf_take_link_error(DsfInstance *dsf);
// 1 when no request is in progress (the engine rests in Idle), else 0.
int dsf_idle(const DsfInstance *dsf);
