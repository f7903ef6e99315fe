// Application layer of the stack: turns a caller's request record into a Net2000 message in the
// request buffer, checks the reply message against it and leaves the result records in the
// caller's reply buffer. It never reads past the request record or the reply message and never
// writes past the reply buffer or the message buffers, whatever a caller or a station hands it.
#include <string.h>

#include "dsf/dsf_internal.h"

namespace {

// Bytes of the fixed request messages behind their 4-byte header.
const uint8_t CONNECT_BODY[] = {0x00, 0x04, 0x00, 0x02, 0x00, 0x04, 0x00, 0x05, 0x00, 0x06};
const uint8_t CONTROL_WRITE_BODY[] = {0x00, 0x01, 0x00, 0x04, 0x02};

enum {
    CONNECT_MESSAGE = 14,
    CONNECT_REPLY_RECORD = 24,
    KEY_MESSAGE = 20,
    KEY_REPLY_RECORD = 8,
    LOOKUP_RESULT = 22,
    HANDLE_RECORD = 8,
    OBJECT_RECORD = 24,
    LIST_STATUS = 2,
    ITEM_STATUS = 2,
    SHORT_HEAD = 2,
    LONG_HEAD = 6,
    LIST_OVERHEAD = 6, // message header and the item count
    TEXT_OVERHEAD = 5, // message header and the text's NUL
    TEXT_REPLY_HEAD = 6,
    ERROR_REPLY_MIN = 8,
    MARKER_SPECIAL = 0xFF,
    CONNECT_FIXED = 500,
    MORE_EXTRA_WAITS = 256,
    ACCESS_ALWAYS = 3,
    ERROR_FLAG_STATION = 0x10,
    STATION_ERROR_BASE = 65380 // error numbers flagged 0x10 come back as 65380 + e
};

// A station status byte as the caller sees it; a nonzero byte never reads as 0 or as a small code.
uint16_t lookup_status(uint8_t s) {
    if (s == 0) {
        return 0;
    }
    if (s < DSF_LOOKUP_STATUS_BIAS) {
        return static_cast<uint16_t>(s - DSF_LOOKUP_STATUS_BIAS);
    }
    return static_cast<uint16_t>(DSF_LOOKUP_STATUS_HIGH | s);
}

struct LookupResult {
    uint8_t status;
    uint8_t kind;
    uint32_t handle;
    uint32_t length;
    uint16_t dataType;
    uint32_t aux;
    uint32_t elementLength;
};

void read_lookup_result(DsfReader *m, LookupResult *r) {
    r->status = get_u8(m);
    r->kind = get_u8(m);
    const uint8_t low = get_u8(m); // the handle's first wire byte is its low byte
    const uint8_t high = get_u8(m);
    r->handle = static_cast<uint32_t>(low) | (static_cast<uint32_t>(high) << 8);
    get_skip(m, 4);
    r->length = get_be32(m);
    r->dataType = get_be16(m);
    r->aux = get_be32(m);
    r->elementLength = get_be32(m);
}

int32_t decode_lookup_key(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                          DsfReader *m) {
    DsfReader req = dsf_reader(request, requestSize, DSF_REQ_KEY_EXPECTED);
    const uint16_t expected = get_h16(&req);
    if (!req.ok) {
        return DSF_ERR_REPLY_BUFFER;
    }
    LookupResult r;
    read_lookup_result(m, &r);
    if (!m->ok) {
        return DSF_ERR_REPLY_LENGTH;
    }
    DsfWriter w = dsf_writer(reply, dsf->replyCapacity);
    uint16_t status = lookup_status(r.status);
    if (status == 0 && r.length != expected) {
        status = static_cast<uint16_t>(DSF_ERR_LOOKUP_LENGTH);
    }
    put_h16(&w, status);
    if (status == 0) {
        put_h32(&w, r.handle);
        put_h16(&w, ACCESS_ALWAYS);
    }
    return w.ok ? DSF_OK : DSF_ERR_REPLY_BUFFER;
}

int32_t decode_lookup_names(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                            DsfReader *m, bool objects) {
    const uint32_t count = request[DSF_REQ_COUNT];
    // One result per name, no more and no less.
    if (m->size != LOOKUP_RESULT * count + DSF_MESSAGE_HEADER) {
        return DSF_ERR_REPLY_LENGTH;
    }
    DsfReader req = dsf_reader(request, requestSize, DSF_REQ_EXPECTED);
    DsfWriter w = dsf_writer(reply, dsf->replyCapacity);
    put_h16(&w, 0); // listStatus
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t expected = get_h16(&req);
        LookupResult r;
        read_lookup_result(m, &r);
        if (!req.ok) {
            return DSF_ERR_REPLY_BUFFER;
        }
        if (!m->ok) {
            return DSF_ERR_REPLY_LENGTH;
        }
        uint16_t status = lookup_status(r.status);
        // Handles always check the length; objects only when the caller gave one.
        if (status == 0 && r.length != expected && (!objects || expected != 0)) {
            status = static_cast<uint16_t>(DSF_ERR_LOOKUP_LENGTH);
        }
        put_h16(&w, status);
        if (status != 0) {
            put_skip(&w, (objects ? OBJECT_RECORD : HANDLE_RECORD) - ITEM_STATUS);
        } else if (objects) {
            put_h32(&w, r.handle);
            put_h16(&w, r.kind);
            put_h32(&w, r.length);
            put_h16(&w, r.dataType);
            put_h32(&w, r.aux);
            put_h32(&w, r.elementLength);
            put_h16(&w, ACCESS_ALWAYS);
        } else {
            put_h32(&w, r.handle);
            put_h16(&w, ACCESS_ALWAYS);
        }
        if (!w.ok) {
            return DSF_ERR_REPLY_BUFFER;
        }
    }
    return w.ok ? DSF_OK : DSF_ERR_REPLY_BUFFER;
}

int32_t decode_text(DsfInstance *dsf, uint8_t *reply, const uint8_t *message, uint32_t n) {
    if (n > dsf->replyLength) { // replyLength holds the capacity for text requests
        return DSF_ERR_REPLY_BUFFER;
    }
    if (n < TEXT_REPLY_HEAD) { // no room for the status word: nothing to hand over
        return DSF_ERR_REPLY_LENGTH;
    }
    DsfReader m = dsf_reader(message, n, DSF_MESSAGE_HEADER);
    const uint16_t status = get_be16(&m);
    DsfWriter w = dsf_writer(reply, dsf->replyCapacity);
    put_h16(&w, status);
    put_bytes(&w, message + TEXT_REPLY_HEAD, n - TEXT_REPLY_HEAD);
    if (!w.ok || !m.ok) {
        return DSF_ERR_REPLY_BUFFER;
    }
    dsf->replyLength = n - 4;
    return DSF_OK;
}

// Services 5 and 7: count expected lengths, then the names, every blank sent as a NUL.
int32_t encode_lookup_names(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, const StationEntry *station,
                            uint32_t *messageLength) {
    const uint8_t service = request[DSF_REQ_SERVICE];
    const uint32_t count = request[DSF_REQ_COUNT];
    dsf->replyTimeout = dsf->timeoutTE;
    DsfReader req = dsf_reader(request, requestSize, DSF_REQ_NAMES_LENGTH);
    const uint32_t namesLength = get_h16(&req);
    get_skip(&req, 2 * count);
    const uint8_t *names = get_span(&req, namesLength);
    if (names == nullptr) {
        return DSF_ERR_REPLY_BUFFER;
    }
    const uint32_t length = namesLength + LIST_OVERHEAD;
    if (length > station->maxMessage) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    DsfWriter w = dsf_writer(dsf->requestBuffer, dsf->bufferSize);
    dsf_message_header(dsf, &w, DSF_MSG_LOOKUP);
    dsf->expectedReplySize = LOOKUP_RESULT * count + DSF_MESSAGE_HEADER;
    dsf->replyLength = (service == DSF_SVC_LOOKUP_HANDLES ? HANDLE_RECORD : OBJECT_RECORD) * count + LIST_STATUS;
    put_be16(&w, count);
    if (dsf_room(&w, namesLength)) {
        for (uint32_t i = 0; i < namesLength; ++i) {
            put_u8(&w, names[i] == ' ' ? 0x00 : names[i]);
        }
    }
    if (!w.ok) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    *messageLength = length;
    return DSF_OK;
}

int32_t encode_lookup_key(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, const StationEntry *station,
                          uint32_t *messageLength) {
    dsf->replyTimeout = dsf->timeoutTE;
    DsfReader req = dsf_reader(request, requestSize, DSF_REQ_KEY);
    const uint8_t *key = get_span(&req, DSF_KEY_SIZE);
    get_skip(&req, 2); // the expected length, read by the decoder
    if (!req.ok) {
        return DSF_ERR_REPLY_BUFFER;
    }
    dsf->expectedReplySize = LOOKUP_RESULT + DSF_MESSAGE_HEADER;
    dsf->replyLength = KEY_REPLY_RECORD;
    if (station->maxMessage < KEY_MESSAGE) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    DsfWriter w = dsf_writer(dsf->requestBuffer, dsf->bufferSize);
    dsf_message_header(dsf, &w, DSF_MSG_LOOKUP);
    put_be16(&w, 1);
    put_bytes(&w, key, DSF_KEY_SIZE);
    if (!w.ok) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    *messageLength = KEY_MESSAGE;
    return DSF_OK;
}

// A fixed message that the station tells apart by the special marker in byte 0 (connect, control
// write): the header and the body. Its length, or DSF_ERR_MESSAGE_TOO_LONG when it does not fit.
int32_t encode_special(DsfInstance *dsf, const StationEntry *station, uint8_t code, const uint8_t *body,
                       uint32_t bodySize, uint32_t *messageLength) {
    const uint32_t size = DSF_MESSAGE_HEADER + bodySize;
    if (station->maxMessage < size) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    DsfWriter w = dsf_writer(dsf->requestBuffer, dsf->bufferSize);
    dsf_message_header(dsf, &w, code);
    put_bytes(&w, body, bodySize);
    if (!w.ok) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    dsf->requestBuffer[0] = MARKER_SPECIAL;
    *messageLength = size;
    return DSF_OK;
}

int32_t encode_control_write(DsfInstance *dsf, const StationEntry *station, uint32_t *messageLength) {
    dsf->expectedReplySize = DSF_MESSAGE_HEADER;
    dsf->replyLength = 0;
    return encode_special(dsf, station, DSF_MSG_WRITE, CONTROL_WRITE_BODY, sizeof CONTROL_WRITE_BODY, messageLength);
}

int32_t encode_text(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, const StationEntry *station,
                    uint32_t *messageLength) {
    dsf->replyTimeout = dsf->timeoutTE;
    dsf->replyLength = dsf->replyCapacity;
    const uint8_t *text = request + DSF_REQ_BODY;
    const uint32_t room = requestSize - DSF_REQ_BODY;
    const void *end = memchr(text, 0, room);
    if (end == nullptr) { // the text must end inside the record
        return DSF_ERR_REPLY_BUFFER;
    }
    const uint32_t textLength = static_cast<uint32_t>(static_cast<const uint8_t *>(end) - text);
    const uint32_t length = textLength + TEXT_OVERHEAD;
    if (length > station->maxMessage) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    DsfWriter w = dsf_writer(dsf->requestBuffer, dsf->bufferSize);
    dsf_message_header(dsf, &w, DSF_MSG_TEXT);
    put_bytes(&w, text, textLength + 1);
    if (!w.ok) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    *messageLength = length;
    return DSF_OK;
}

// FetchExtra with count 0: hands over one piece of the extra data that replies 161/162 left.
int32_t hand_over_extra(DsfInstance *dsf, uint8_t *reply) {
    const uint32_t capacity = dsf->replyCapacity;
    if (capacity >= 2) {
        DsfWriter lead = dsf_writer(reply, capacity);
        put_h16(&lead, 0);
    }
    DsfWriter w = dsf_writer(reply, capacity);
    const bool isWrite = dsf->pendingWrite != nullptr;
    const uint8_t *data = isWrite ? dsf->pendingWrite : dsf->pendingRead;
    const uint32_t length = isWrite ? dsf->pendingWriteLength : dsf->pendingReadLength;
    if (data == nullptr) {
        dsf->replyLength = 0;
        return DSF_OK;
    }
    dsf->replyLength = length + 2;
    if (dsf->replyLength > capacity) {
        // The data stays pending: a caller with a larger buffer can still fetch it.
        return DSF_ERR_REPLY_BUFFER;
    }
    put_h16(&w, isWrite && dsf->pendingRead != nullptr ? MORE_EXTRA_WAITS : 0);
    put_bytes(&w, data, length);
    if (!w.ok) {
        return DSF_ERR_REPLY_BUFFER;
    }
    if (isWrite) {
        dsf->pendingWrite = nullptr;
    } else {
        dsf->pendingRead = nullptr;
    }
    return DSF_OK;
}

int32_t encode_read_write(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, const StationEntry *station,
                          uint32_t *messageLength) {
    if (dsf->readAfterWrite == 1) {
        const int32_t rc = dsf_encode_list(dsf, request, requestSize, false, messageLength);
        dsf->readAfterWrite = 0;
        return rc;
    }
    dsf->pendingWrite = nullptr;
    dsf->pendingRead = nullptr;
    uint32_t readSize = 0;
    uint32_t writeSize = 0;
    const int32_t rc = dsf_count_items(dsf, request, requestSize, &readSize, &writeSize);
    if (rc != DSF_OK) {
        return rc;
    }
    if ((readSize > writeSize ? readSize : writeSize) > station->maxMessage) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    if (dsf->writeItemCount > 0) {
        dsf->readAfterWrite = dsf->readItemCount > 0 ? 1 : 0;
        return dsf_encode_list(dsf, request, requestSize, true, messageLength);
    }
    dsf->readAfterWrite = 0;
    return dsf_encode_list(dsf, request, requestSize, false, messageLength);
}

} // namespace

// Items with access 1 take 8 bytes of the record, with 2 or 3 8 + even(length); any other access
// value takes part in nothing, carries no data and takes 8 bytes.
bool dsf_read_item(DsfReader *request, DsfItemHead *item) {
    item->handle = get_h32(request);
    item->length = get_h16(request);
    item->access = get_h16(request);
    item->data = nullptr;
    if (dsf_item_writes(item->access)) {
        item->data = get_span(request, dsf_even(item->length));
    }
    return request->ok;
}

uint32_t dsf_message_header(DsfInstance *dsf, DsfWriter *message, uint8_t code) {
    ++dsf->messageCounter; // one counter per instance, shared by all stations
    put_u8(message, 0x00);
    put_u8(message, 0x00);
    put_u8(message, dsf->messageCounter);
    put_u8(message, code);
    return DSF_MESSAGE_HEADER;
}

int32_t dsf_count_items(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint32_t *readSize,
                        uint32_t *writeSize) {
    const uint32_t head = dsf->itemMode == 1 ? LONG_HEAD : SHORT_HEAD;
    const uint32_t count = request[DSF_REQ_COUNT];
    uint32_t r = 0;
    uint32_t w = 0;
    dsf->readItemCount = 0;
    dsf->writeItemCount = 0;
    dsf->replyLength = 0;
    DsfReader req = dsf_reader(request, requestSize, DSF_REQ_BODY);
    for (uint32_t i = 0; i < count; ++i) {
        DsfItemHead item;
        if (!dsf_read_item(&req, &item)) {
            return DSF_ERR_REPLY_BUFFER; // the record ends inside an item
        }
        const uint32_t data = dsf_even(item.length);
        if (dsf_item_reads(item.access)) {
            ++dsf->readItemCount;
            r += head;
            dsf->replyLength += ITEM_STATUS + data;
        }
        if (dsf_item_writes(item.access)) {
            ++dsf->writeItemCount;
            w += head + data;
            if (!dsf_item_reads(item.access)) {
                dsf->replyLength += ITEM_STATUS;
            }
        }
    }
    *readSize = r != 0 ? r + LIST_OVERHEAD : 0;
    *writeSize = w != 0 ? w + LIST_OVERHEAD : 0;
    return DSF_OK;
}

uint32_t dsf_read_item_head(const DsfInstance *dsf) { return dsf->itemMode == 1 ? LONG_HEAD : SHORT_HEAD; }

uint32_t dsf_station_message_limit(const DsfInstance *dsf, StationEntry *const *handleLocation) {
    const StationEntry *station = dsf_station_at(dsf, handleLocation);
    if (station == nullptr || station->connectState != 2) {
        return 0;
    }
    return station->offeredMessage < station->maxMessage ? station->offeredMessage : station->maxMessage;
}

int32_t dsf_encode_list(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, bool write,
                        uint32_t *messageLength) {
    const bool longHeads = dsf->itemMode == 1;
    const uint8_t code =
        longHeads ? (write ? DSF_MSG_WRITE_LONG : DSF_MSG_READ_LONG) : (write ? DSF_MSG_WRITE : DSF_MSG_READ);
    DsfWriter w = dsf_writer(dsf->requestBuffer, dsf->bufferSize);
    dsf_message_header(dsf, &w, code);
    dsf->expectedReplySize = DSF_MESSAGE_HEADER;
    put_be16(&w, 0); // item count, filled in below
    uint32_t n = 0;
    const uint32_t count = request[DSF_REQ_COUNT];
    DsfReader req = dsf_reader(request, requestSize, DSF_REQ_BODY);
    for (uint32_t i = 0; i < count; ++i) {
        DsfItemHead item;
        if (!dsf_read_item(&req, &item)) {
            return DSF_ERR_REPLY_BUFFER;
        }
        if (!(write ? dsf_item_writes(item.access) : dsf_item_reads(item.access))) {
            continue;
        }
        ++n;
        if (longHeads) {
            put_le32(&w, item.handle);
            put_le16(&w, item.length);
        } else {
            put_le16(&w, item.handle & 0xFFFF);
        }
        if (write) {
            put_bytes(&w, item.data, dsf_even(item.length));
        } else {
            dsf->expectedReplySize += dsf_even(item.length);
        }
    }
    if (!w.ok) {
        return DSF_ERR_MESSAGE_TOO_LONG;
    }
    dsf->requestBuffer[4] = static_cast<uint8_t>(n >> 8);
    dsf->requestBuffer[5] = static_cast<uint8_t>(n);
    *messageLength = n != 0 ? w.pos : 0;
    return DSF_OK;
}

// Every ReadWrite item has a slot of 2 bytes, plus even(length) for access 1 and 3, whichever
// exchange fills it; items with other access values have none.
int32_t dsf_decode_list(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                        const uint8_t *message, uint32_t messageLength, bool write, uint32_t *position) {
    const uint32_t count = request[DSF_REQ_COUNT];
    DsfReader req = dsf_reader(request, requestSize, DSF_REQ_BODY);
    DsfReader m = dsf_reader(message, messageLength, DSF_MESSAGE_HEADER);
    DsfWriter w = dsf_writer(reply, dsf->replyCapacity);
    for (uint32_t i = 0; i < count; ++i) {
        DsfItemHead item;
        if (!dsf_read_item(&req, &item)) {
            return DSF_ERR_REPLY_BUFFER;
        }
        const uint32_t data = dsf_even(item.length);
        if (!write) {
            if (dsf_item_reads(item.access)) {
                const uint8_t *bytes = get_span(&m, data);
                if (bytes == nullptr) {
                    return DSF_ERR_REPLY_LENGTH;
                }
                put_h16(&w, 0);
                put_bytes(&w, bytes, data);
            } else if (item.access == DSF_ACCESS_WRITE) {
                put_skip(&w, ITEM_STATUS);
            }
        } else {
            if (dsf_item_writes(item.access)) {
                put_h16(&w, 0);
                if (item.access == DSF_ACCESS_READ_WRITE) {
                    put_skip(&w, data);
                }
            } else if (item.access == DSF_ACCESS_READ) {
                put_skip(&w, ITEM_STATUS + data);
            }
        }
        if (!w.ok) {
            return DSF_ERR_REPLY_BUFFER;
        }
    }
    *position = m.pos;
    return DSF_OK;
}

int32_t dsf_connect_request(DsfInstance *dsf, StationEntry *station, uint32_t *messageLength) {
    station->connectState = 1;
    const int32_t rc = encode_special(dsf, station, DSF_MSG_READ, CONNECT_BODY, sizeof CONNECT_BODY, messageLength);
    if (rc != DSF_OK) {
        return rc;
    }
    dsf->expectedReplySize = CONNECT_MESSAGE; // the reply is as long as the request
    dsf->replyLength = CONNECT_REPLY_RECORD;
    return DSF_OK;
}

int32_t dsf_connect_reply(DsfInstance *dsf, uint8_t *reply, const uint8_t *message, uint32_t messageLength,
                          StationEntry *station) {
    // Everything is read from the message first: it may lie in a buffer that is about to be replaced.
    DsfReader m = dsf_reader(message, messageLength, DSF_MESSAGE_HEADER);
    const uint16_t object2 = get_be16(&m);
    const uint8_t object4 = get_u8(&m);
    get_skip(&m, 1);
    const uint16_t object5 = get_be16(&m);
    const uint32_t size = get_be32(&m);
    if (!m.ok) {
        return DSF_ERR_REPLY_LENGTH;
    }
    uint8_t flags = 0;
    if (object5 == 0xFFFF) {
        flags |= DSF_PEER_NO_OBJECT5;
    }
    if (object4 == 1) {
        flags |= DSF_PEER_OBJECT4_SET;
    }
    dsf->itemMode = object2 < 0x80 ? 1 : 0;

    DsfWriter w = dsf_writer(reply, dsf->replyCapacity);
    put_h16(&w, 1);
    put_u8(&w, 0);
    put_u8(&w, flags);
    put_zeros(&w, 12);
    if (!w.ok) {
        return DSF_ERR_REPLY_BUFFER;
    }
    if (size > dsf->bufferSize) {
        if (size > DSF_MAX_BUFFER) {
            return DSF_ERR_RESIZE_REQUEST; // no length prefix could carry such a message
        }
        dsf_release_buffers(dsf);
        dsf->requestBuffer = static_cast<uint8_t *>(dsf->alloc(size));
        if (dsf->requestBuffer == nullptr) {
            return DSF_ERR_RESIZE_REQUEST;
        }
        dsf->bufferSize = size;
        dsf->reassemblyBuffer = static_cast<uint8_t *>(dsf->alloc(size + 4));
        if (dsf->reassemblyBuffer == nullptr) {
            return DSF_ERR_RESIZE;
        }
        dsf->pendingBuffer = static_cast<uint8_t *>(dsf->alloc(size + 4));
        if (dsf->pendingBuffer == nullptr) {
            return DSF_ERR_RESIZE;
        }
        station->maxMessage = size;
        station->maxReassembly = size + 4;
    }
    put_h32(&w, size);
    put_h32(&w, CONNECT_FIXED);
    if (!w.ok) {
        return DSF_ERR_REPLY_BUFFER;
    }
    // A peer that offers less than the stack's buffers leaves its limits alone, but takes no more than
    // it offered: callers that fill a request with many items ask for this.
    station->offeredMessage = size;
    station->connectState = 2;
    return DSF_OK;
}

namespace {

// ConnectDefault: the first entry, whatever it served before.
int32_t encode_connect_default(DsfInstance *dsf, StationEntry **handleLocation, uint32_t *length) {
    if (handleLocation == nullptr) {
        return DSF_ERR_NO_STATION;
    }
    StationEntry *station = &dsf->stations[0];
    *handleLocation = station;
    return dsf_connect_request(dsf, station, length);
}

// ConnectStation: the first entry that is free or already serves the address. Entries are never given
// back, so a station connected before finds its own entry again.
int32_t encode_connect_station(DsfInstance *dsf, StationEntry **handleLocation, const uint8_t *request,
                               uint32_t requestSize, uint32_t *length) {
    if (requestSize <= DSF_REQ_STATION) {
        return DSF_ERR_REPLY_BUFFER;
    }
    const uint8_t address = request[DSF_REQ_STATION];
    StationEntry *station = nullptr;
    for (uint32_t i = 0; i < dsf->stationCount && station == nullptr; ++i) {
        StationEntry *e = &dsf->stations[i];
        if (e->connectState == 0 || e->stationAddress == address) {
            station = e;
        }
    }
    if (station == nullptr || handleLocation == nullptr) {
        return DSF_ERR_NO_STATION;
    }
    *handleLocation = station;
    station->stationAddress = address;
    return dsf_connect_request(dsf, station, length);
}

// The message of one service into the request buffer; station is the connected entry (services other
// than the two connects).
int32_t encode_service(DsfInstance *dsf, StationEntry **handleLocation, const uint8_t *request, uint32_t requestSize,
                       uint8_t *reply, const StationEntry *station, uint32_t *length) {
    switch (request[DSF_REQ_SERVICE]) {
    case DSF_SVC_CONNECT_DEFAULT: return encode_connect_default(dsf, handleLocation, length);
    case DSF_SVC_CONNECT_STATION: return encode_connect_station(dsf, handleLocation, request, requestSize, length);
    case DSF_SVC_LOOKUP_BY_KEY: return encode_lookup_key(dsf, request, requestSize, station, length);
    case DSF_SVC_READ_WRITE: return encode_read_write(dsf, request, requestSize, station, length);
    case DSF_SVC_LOOKUP_HANDLES:
    case DSF_SVC_LOOKUP_OBJECTS: return encode_lookup_names(dsf, request, requestSize, station, length);
    case DSF_SVC_FETCH_EXTRA:
        if (request[DSF_REQ_COUNT] != 0) {
            return encode_control_write(dsf, station, length);
        }
        return hand_over_extra(dsf, reply);
    case DSF_SVC_TEXT_REQUEST: return encode_text(dsf, request, requestSize, station, length);
    default: return DSF_ERR_SERVICE;
    }
}

} // namespace

int32_t dsf_encode_request(DsfInstance *dsf, StationEntry **handleLocation, const uint8_t *request,
                           uint32_t requestSize, uint8_t *reply, uint32_t replyCapacity, uint32_t *messageLength) {
    uint32_t length = 0;
    if (messageLength != nullptr) {
        *messageLength = 0;
    }
    dsf->replyCapacity = reply != nullptr ? replyCapacity : 0;
    dsf->replyTimeout = dsf->timeoutTT;
    if (request == nullptr || requestSize < DSF_REQ_BODY) {
        return DSF_ERR_REPLY_BUFFER;
    }
    const uint8_t service = request[DSF_REQ_SERVICE];
    const StationEntry *station = dsf_station_at(dsf, handleLocation);
    const bool connects = service == DSF_SVC_CONNECT_DEFAULT || service == DSF_SVC_CONNECT_STATION;
    if (!connects && (station == nullptr || station->connectState != 2)) {
        return DSF_ERR_NOT_CONNECTED;
    }
    if (!dsf_buffers_ready(dsf)) {
        return DSF_ERR_BUFFER; // lost to a failed growth: only closing the stack helps
    }
    const int32_t rc = encode_service(dsf, handleLocation, request, requestSize, reply, station, &length);
    if (rc != DSF_OK) {
        return rc;
    }
    if (dsf->replyLength > dsf->replyCapacity) {
        return DSF_ERR_REPLY_BUFFER;
    }
    if (messageLength != nullptr) {
        *messageLength = length;
    }
    return DSF_OK;
}

namespace {

// Counter and code of a reply against the request still in the request buffer. An error reply (153)
// answers any request; it needs its error number.
int32_t check_reply_head(const DsfInstance *dsf, const uint8_t *message, uint32_t n) {
    if (message[2] != dsf->requestBuffer[2]) {
        return DSF_ERR_REPLY_COUNTER;
    }
    const uint8_t code = message[3];
    if ((code & 0x7F) != dsf->requestBuffer[3]) {
        if (code != DSF_MSG_ERROR) {
            return DSF_ERR_REPLY_CODE;
        }
        if (n < ERROR_REPLY_MIN) {
            return DSF_ERR_REPLY_LENGTH;
        }
    }
    return DSF_OK;
}

// A regular reply is exactly as long as expected; one flagged with extra data (0x80) is longer.
bool length_fits(uint32_t n, uint32_t expected, bool extra) { return extra ? n > expected : n == expected; }

bool is_connect(uint8_t service) { return service == DSF_SVC_CONNECT_DEFAULT || service == DSF_SVC_CONNECT_STATION; }

// Read reply (33, 161): the connect reply, or the data of each read item; extra data behind it is kept
// for FetchExtra where it was received.
int32_t decode_read(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                    const uint8_t *message, uint32_t n, StationEntry *station, bool extra) {
    const uint32_t expected = dsf->expectedReplySize;
    if (!length_fits(n, expected, extra)) {
        return DSF_ERR_REPLY_LENGTH;
    }
    if (is_connect(request[DSF_REQ_SERVICE])) {
        if (station == nullptr) {
            return DSF_ERR_NOT_CONNECTED;
        }
        return dsf_connect_reply(dsf, reply, message, n, station);
    }
    uint32_t position = 0;
    const int32_t rc = dsf_decode_list(dsf, request, requestSize, reply, message, n, false, &position);
    if (rc != DSF_OK) {
        return rc;
    }
    if (extra) {
        // Refers into the message where it was received: valid until the next exchange.
        dsf->pendingRead = message + expected;
        dsf->pendingReadLength = n - expected;
    }
    return DSF_OK;
}

// Write reply (34, 162): a status for each write item; extra data behind the header is copied into
// the pending buffer for FetchExtra. The control write's reply carries nothing to hand over.
int32_t decode_write(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                     const uint8_t *message, uint32_t n, bool extra) {
    if (!length_fits(n, dsf->expectedReplySize, extra)) {
        return DSF_ERR_REPLY_LENGTH;
    }
    if (request[DSF_REQ_SERVICE] == DSF_SVC_FETCH_EXTRA) {
        return DSF_OK;
    }
    uint32_t position = 0;
    const int32_t rc = dsf_decode_list(dsf, request, requestSize, reply, message, n, true, &position);
    if (rc != DSF_OK || !extra) {
        return rc;
    }
    DsfWriter w = dsf_writer(dsf->pendingBuffer, dsf->bufferSize + 4);
    put_bytes(&w, message + DSF_MESSAGE_HEADER, n - DSF_MESSAGE_HEADER);
    if (!w.ok) {
        return DSF_ERR_REPLY_LENGTH;
    }
    dsf->pendingWrite = dsf->pendingBuffer;
    dsf->pendingWriteLength = n - DSF_MESSAGE_HEADER;
    return DSF_OK;
}

// Error reply (153): the station's error number, or 65380 + it when flagged 0x10.
int32_t decode_error(const uint8_t *message, uint32_t n) {
    DsfReader m = dsf_reader(message, n, DSF_MESSAGE_HEADER);
    get_u8(&m);
    const uint8_t flags = get_u8(&m);
    const uint32_t error = get_be16(&m);
    if (flags & ERROR_FLAG_STATION) {
        return static_cast<int32_t>(STATION_ERROR_BASE + error);
    }
    // An error reply that names no error is still no result: never let it pass as success.
    return error != 0 ? static_cast<int32_t>(error) : DSF_ERR_REPLY_CODE;
}

} // namespace

int32_t dsf_decode_reply(DsfInstance *dsf, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                         const uint8_t *message, uint32_t messageLength, StationEntry *station) {
    if (dsf->requestBuffer == nullptr) {
        return DSF_ERR_BUFFER;
    }
    if (request == nullptr || requestSize < DSF_REQ_BODY) {
        return DSF_ERR_REPLY_BUFFER;
    }
    if (message == nullptr || messageLength < DSF_MESSAGE_HEADER) {
        return DSF_ERR_REPLY_LENGTH;
    }
    const uint32_t n = messageLength;
    const int32_t head = check_reply_head(dsf, message, n);
    if (head != DSF_OK) {
        return head;
    }
    const uint8_t code = message[3];
    switch (code) {
    case DSF_MSG_LOOKUP: {
        if (n != dsf->expectedReplySize) {
            return DSF_ERR_REPLY_LENGTH;
        }
        DsfReader m = dsf_reader(message, n, DSF_MESSAGE_HEADER);
        const uint8_t service = request[DSF_REQ_SERVICE];
        if (service == DSF_SVC_LOOKUP_BY_KEY) {
            return decode_lookup_key(dsf, request, requestSize, reply, &m);
        }
        return decode_lookup_names(dsf, request, requestSize, reply, &m, service != DSF_SVC_LOOKUP_HANDLES);
    }
    case DSF_MSG_TEXT: return decode_text(dsf, reply, message, n);
    case DSF_MSG_READ:
    case DSF_MSG_READ | DSF_MSG_EXTRA:
        return decode_read(dsf, request, requestSize, reply, message, n, station, code != DSF_MSG_READ);
    case DSF_MSG_WRITE:
    case DSF_MSG_WRITE | DSF_MSG_EXTRA:
        return decode_write(dsf, request, requestSize, reply, message, n, code != DSF_MSG_WRITE);
    case DSF_MSG_READ_LONG:
    case DSF_MSG_WRITE_LONG: {
        if (n != dsf->expectedReplySize) {
            return DSF_ERR_REPLY_LENGTH;
        }
        uint32_t position = 0;
        return dsf_decode_list(dsf, request, requestSize, reply, message, n, code == DSF_MSG_WRITE_LONG, &position);
    }
    case DSF_MSG_ERROR: return decode_error(message, n);
    default: return DSF_OK; // 145, 146, 177, 178: accepted, nothing to write
    }
}
