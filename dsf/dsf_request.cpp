// The callers' side of the request and reply records: a builder over the caller's record and a reader
// over the reply record. Every field goes through a cursor that knows its buffer's size; the item walk
// is the application layer's own (dsf_read_item), so caller and stack read one record alike.
#include <string.h>

#include "dsf/dsf_internal.h"
#include "dsf/dsf_request.h"

namespace {

enum {
    MAX_COUNT = 255, // the record's count byte
    NAME_HEADS = 4   // namesLength and the one expected length before the name
};

bool refuse(DsfRequestBuilder *b) {
    b->record.ok = false;
    return false;
}

// The field belongs to the request: the right service and room in the count byte; a field that stands
// once only (a station, a name) comes first and alone.
bool fits_service(DsfRequestBuilder *b, bool serviceMatches, bool once) {
    if (!b->record.ok || !serviceMatches || b->count >= MAX_COUNT || (once && b->record.pos != DSF_REQ_BODY)) {
        return refuse(b);
    }
    return true;
}

void count_one(DsfRequestBuilder *b) {
    if (b->record.ok) {
        ++b->count;
        b->record.base[DSF_REQ_COUNT] = static_cast<uint8_t>(b->count);
    }
}

} // namespace

DsfRequestBuilder dsf_request_begin(uint8_t *record, uint32_t recordSize, uint8_t service) {
    DsfRequestBuilder b = {dsf_writer(record, recordSize), service, 0};
    if (record != nullptr) {
        memset(record, 0, recordSize);
    }
    put_u8(&b.record, service);
    put_u8(&b.record, 0); // count
    return b;
}

void dsf_request_put_item(DsfRequestBuilder *b, uint32_t handle, uint16_t length, uint16_t access,
                          const uint8_t *data) {
    const bool known = dsf_item_reads(access) || dsf_item_writes(access);
    if (!fits_service(b, b->service == DSF_SVC_READ_WRITE && known, false)) {
        return;
    }
    const bool carriesData = dsf_item_writes(access);
    if (carriesData && length != 0 && data == nullptr) {
        refuse(b);
        return;
    }
    put_h32(&b->record, handle);
    put_h16(&b->record, length);
    put_h16(&b->record, access);
    if (carriesData) {
        put_bytes(&b->record, data, length);
        put_zeros(&b->record, dsf_even(length) - length); // the pad byte of an odd length
    }
    count_one(b);
}

void dsf_request_put_station(DsfRequestBuilder *b, uint8_t address) {
    if (!fits_service(b, b->service == DSF_SVC_CONNECT_STATION, true)) {
        return;
    }
    // Zero-extended, least significant byte first: the stack reads the address from the first body
    // byte. The count byte of a connect stays 0: the address is the request's body, not an item.
    put_le32(&b->record, address);
    put_zeros(&b->record, 2);
}

void dsf_request_put_name(DsfRequestBuilder *b, const char *name, uint16_t expectedLength) {
    const uint8_t service = b->service;
    const bool lookup = service == DSF_SVC_LOOKUP_OBJECTS || service == DSF_SVC_LOOKUP_HANDLES;
    if (!fits_service(b, lookup && name != nullptr, true)) {
        return;
    }
    // The name and its NUL must fit behind the two heads; a name that does not end inside that room
    // is refused without reading further.
    const uint32_t room = b->record.size - b->record.pos;
    if (room <= NAME_HEADS) {
        refuse(b);
        return;
    }
    const uint32_t length = static_cast<uint32_t>(strnlen(name, room - NAME_HEADS));
    if (length >= 0xFFFF) {
        refuse(b);
        return;
    }
    put_h16(&b->record, static_cast<uint16_t>(length + 1)); // namesLength counts the NUL
    put_h16(&b->record, expectedLength);
    put_bytes(&b->record, reinterpret_cast<const uint8_t *>(name), length);
    put_u8(&b->record, 0x00);
    count_one(b);
}

uint32_t dsf_request_end(const DsfRequestBuilder *b) { return b->record.ok ? b->record.pos : 0; }

DsfReplyReader dsf_reply_reader(const uint8_t *request, uint32_t requestSize, const uint8_t *reply,
                                uint32_t replyLength) {
    DsfReplyReader r = {dsf_reader(request, requestSize, DSF_REQ_BODY), dsf_reader(reply, replyLength), 0};
    if (request != nullptr && requestSize > DSF_REQ_COUNT) {
        r.left = request[DSF_REQ_COUNT];
    }
    return r;
}

// Every item with access 1, 2 or 3 has a slot of a status word, and items that read their data behind
// it, whichever exchange (the write, then the read) filled it.
bool dsf_reply_next_item(DsfReplyReader *r, DsfReplyItem *item) {
    DsfItemHead head;
    if (r->left == 0 || !dsf_read_item(&r->request, &head)) {
        return false;
    }
    --r->left;
    item->handle = head.handle;
    item->length = head.length;
    item->access = head.access;
    item->status = 0;
    item->data = dsf_reader(nullptr, 0);
    if (!dsf_item_reads(head.access) && !dsf_item_writes(head.access)) {
        return false;
    }
    item->status = get_h16(&r->reply);
    if (dsf_item_reads(head.access)) {
        const uint8_t *bytes = get_span(&r->reply, dsf_even(head.length));
        item->data = dsf_reader(bytes, bytes != nullptr ? head.length : 0);
    }
    return r->reply.ok;
}

uint16_t dsf_reply_list_status(DsfReplyReader *r) { return get_h16(&r->reply); }

bool dsf_reply_next_object(DsfReplyReader *r, LookupObjectRecord *object) {
    if (r->left == 0) {
        return false;
    }
    --r->left;
    DsfReader *in = &r->reply;
    object->status = get_h16(in);
    object->handle = get_h32(in);
    object->kind = get_h16(in);
    object->length = get_h32(in);
    object->dataType = get_h16(in);
    object->aux = get_h32(in);
    object->elementLength = get_h32(in);
    object->access = get_h16(in);
    return in->ok;
}
