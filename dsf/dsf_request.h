// Request and reply records as the stack's callers write and read them. A builder puts the fields of a
// DsfRequest into the caller's record in record order, every field room-checked against the record's
// size; a reader walks the reply record that the stack left, item by item alongside the request that
// asked for it. Pure code over the cursor helpers: no I/O, nothing allocated, no offsets for callers.
#pragma once

#include <stdint.h>

#include "dsf/dsf.h"
#include "dsf/dsf_cursor.h"

// ---- Request records -----------------------------------------------------------------------------
// A request being written. Once a field does not fit, or does not belong to the service, nothing more
// is written and dsf_request_end answers 0: a builder lists its fields and tests the end once.
struct DsfRequestBuilder {
    DsfWriter record; // the caller's record
    uint8_t service;
    uint32_t count; // list items or names put so far: the record's count byte
};

// Starts a request of `service` in the caller's record: clears the whole record (pad bytes and
// the unused rest read as 0), then puts the service code and a count of 0.
DsfRequestBuilder dsf_request_begin(uint8_t *record, uint32_t recordSize, uint8_t service);
// ReadWrite: one more list item. Its head in host order (handle, length, access), then for access 2
// and 3 the `length` bytes at data and, for an odd length, a pad byte 0. Any number of items, as far
// as the record's room and the count byte (255) go; access values other than 1, 2, 3 are refused.
void dsf_request_put_item(DsfRequestBuilder *b, uint32_t handle, uint16_t length, uint16_t access, const uint8_t *data);
// ConnectStation: the station's address (the stack takes it from the record's first body byte).
void dsf_request_put_station(DsfRequestBuilder *b, uint8_t address);
// LookupObjects, LookupHandles: the request's one name with its NUL, and the object length the station
// must report (for LookupObjects 0: not checked). namesLength counts the NUL.
void dsf_request_put_name(DsfRequestBuilder *b, const char *name, uint16_t expectedLength);
// Bytes of the record in use; 0 when anything did not fit or did not belong to the service.
uint32_t dsf_request_end(const DsfRequestBuilder *b);

// ---- Reply records -------------------------------------------------------------------------------
// One ReadWrite item of a reply record, with the head of the request item it answers.
struct DsfReplyItem {
    uint32_t handle;
    uint16_t length;
    uint16_t access;
    uint16_t status; // the item's status: 0 done, else the station's code
    DsfReader data;  // access 1 and 3: the `length` bytes read, in the PLC's order; else a reader of none
};

struct DsfReplyReader {
    DsfReader request; // the request's items, walked in step with the reply
    DsfReader reply;
    uint32_t left; // items (or names) of the request not read yet
};

// replyLength: the reply record's length as the request came back with it.
DsfReplyReader dsf_reply_reader(const uint8_t *request, uint32_t requestSize, const uint8_t *reply,
                                uint32_t replyLength);
// ReadWrite: the next item's slot, in request order. false when no item is left, or when the request
// or the reply record ends inside the item (or the item has no slot: access other than 1, 2, 3).
bool dsf_reply_next_item(DsfReplyReader *r, DsfReplyItem *item);
// LookupObjects: the list status that leads the record, then the record of each name in request order
// (false when none is left or the reply ends inside it). For a nonzero status the other fields are
// whatever the caller's buffer held.
uint16_t dsf_reply_list_status(DsfReplyReader *r);
bool dsf_reply_next_object(DsfReplyReader *r, LookupObjectRecord *object);
