// Grouped reads with a bounded age (READ_GROUP_MS of the instance's line). A single read whose object
// was read from the line less than the bound ago is answered from those bytes; any other read of an
// ordinary gate carries along, in its one ReadWrite request, the station's other single-value objects
// whose bytes are older than half the bound, oldest first, as many as one request frame, one reply
// frame and the station take. EWT gates never take part. With the bound 0 nothing here acts.
#pragma once

#include <stdint.h>

#include "dsf/dsf_request.h"
#include "kesta.h"
#include "plc/plc_common.h"

// The read DoRead is about to make: the host's record, single or block, and the one item it would ask.
struct GroupedRead {
    const GateAddressRW *record;
    bool single;
    ListItem ask;
};

// Answers the read from kept bytes or through a group. False when the line's bound is 0 or the read
// cannot take part (a record that does not match its parse, a block beyond one frame, a station not
// connected): DoRead then makes its own exchange, exactly as without the key. True: *rc and *item are
// what the read's own exchange would have given (the item's data in records.reply).
bool ReadThroughGroup(DriverInstance *instance, const GroupedRead &read, const ExchangeRecords &records,
                      DsfReplyItem *item, int32_t *rc);

// A single gate on the object registered under its address parsed: with the key on, the value may
// ride along in its station's groups.
void NoteSingleValue(DriverInstance *instance, const GateAddressParse *record);
// The object registered under name was written: its kept bytes no longer tell its value.
void DropKeptRead(DriverInstance *instance, const char *name);

// ---- Room of one group ----------------------------------------------------------------------------
// A group is one request frame and one reply frame: at most DSF_MAX_SEGMENT_DATA message bytes each
// way, and no more than the station takes; its request record and reply record are those of a gate
// read (GATE_REQUEST_SIZE, GATE_REPLY_SIZE), its items no more than the record's count byte holds.
struct GroupLimits {
    uint32_t itemHead; // bytes of one read item's head: 2 short, 6 long
    uint32_t message;  // most message bytes of the request and of the reply
};
GroupLimits GroupLimitsFor(uint32_t itemHead, uint32_t stationMessage);

struct GroupFill {
    uint32_t items;
    uint32_t requestMessage; // header, count and the item heads
    uint32_t replyMessage;   // header and each item's data, padded to even
    uint32_t requestRecord;  // service, count and 8 bytes a read item
    uint32_t replyRecord;    // per item its status and data, padded to even
    uint32_t replyData;      // the reply's data bytes: what ExpectedReplyLength is made of
};
GroupFill EmptyGroup();
// Adds a read item of length bytes when it still fits; false (and nothing added) when it does not.
bool GroupTake(GroupFill *fill, const GroupLimits &limits, uint32_t length);

// The clock kept bytes are aged by, in microseconds; null: the platform's monotonic clock. For tests.
typedef uint64_t (*ReadGroupClock)();
void SetReadGroupClock(ReadGroupClock clock);
