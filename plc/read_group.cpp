// Grouped reads: kept bytes beside the registry entries, the choice of the objects that ride along,
// and the one exchange that reads them all. Everything here runs under the line lock: kept bytes are
// shared between a read (under the instance mutex) and a write (without it) on two threads, and a
// group holds the line for its exchange anyway. Nothing is allocated: the riders are picked into a
// fixed array on the stack, the bytes kept in the entries.
#include "plc/read_group.h"

#include <string.h>

#include <algorithm>

#include "dsf/dsf.h"
#include "plc/gate_io.h"
#include "plc/registry.h"
#include "plc/station_watch.h"
#include "platform/system.h"
#include "serial/line_state.h"
#include "serial/transport.h"

namespace {

enum {
    LIST_HEADER = DSF_MESSAGE_HEADER + 2, // a read list's message header and its item count
    REQUEST_RECORD_HEAD = 2,              // service and count
    REQUEST_RECORD_ITEM = sizeof(ListItem),
    ITEM_STATUS = 2,
    MAX_LIST_ITEMS = 255, // the request record's count byte
    // The most items a gate's request record holds, and so the most objects that ride along.
    MAX_GROUP_ITEMS = (GATE_REQUEST_SIZE - REQUEST_RECORD_HEAD) / REQUEST_RECORD_ITEM,
    MAX_RIDERS = MAX_GROUP_ITEMS - 1
};
static_assert(MAX_GROUP_ITEMS <= MAX_LIST_ITEMS, "the count byte holds every item the record does");

ReadGroupClock clockNow = nullptr; // under the line lock

uint64_t Now() { return clockNow != nullptr ? clockNow() : plat_monotonic_us(); }

uint32_t Even(uint32_t n) { return n + (n & 1u); }

uint64_t AgeOf(const KeptRead &kept, uint64_t now) { return now >= kept.readAt ? now - kept.readAt : 0; }

// Kept bytes count only when they were read on the line as it is now.
bool HeldOnLine(const KeptRead &kept, uint32_t epoch) { return kept.held != 0 && kept.epoch == epoch; }

bool YoungerThanBound(const KeptRead &kept, uint32_t epoch, uint64_t now, uint32_t boundMs) {
    return HeldOnLine(kept, epoch) && AgeOf(kept, now) < uint64_t{boundMs} * 1000u;
}

// Never read on this line, or read more than half the bound ago.
bool DueForRefresh(const KeptRead &kept, uint32_t epoch, uint64_t now, uint32_t boundMs) {
    return !HeldOnLine(kept, epoch) || AgeOf(kept, now) * 2u > uint64_t{boundMs} * 1000u;
}

// The read matches what its parse found: the value size, the station, one element.
bool ReadsAsParsed(const KeptRead &kept, const GateAddressRW &record, uint32_t length) {
    return kept.length != 0 && kept.station == record.station && record.elementBits == kept.length * 8u &&
           length == kept.length;
}

// One object that may ride along; oldest first, never-read ones first of all, then in list order.
struct Rider {
    ObjectEntry *entry;
    uint64_t since; // readAt of bytes held on this line, 0 for none
    uint32_t order; // place in the ObjectList
};
bool Older(const Rider &a, const Rider &b) { return a.since != b.since ? a.since < b.since : a.order < b.order; }

// The oldest riders of the asked object's station that fit the group after the asked item, in the
// order they go on the line. A heap of the MAX_RIDERS oldest seen so far keeps the walk of a long list
// to one pass without allocating.
uint32_t PickRiders(const DriverInstance *instance, const ObjectEntry *asked, uint32_t station, uint32_t epoch,
                    uint64_t now, uint32_t boundMs, const GroupLimits &limits, GroupFill *fill,
                    Rider (&riders)[MAX_RIDERS]) {
    uint32_t count = 0;
    uint32_t order = 0;
    for (ObjectEntry *e = static_cast<ObjectEntry *>(instance->ObjectList); e != nullptr; e = e->next, ++order) {
        const KeptRead &kept = e->kept;
        // An object a look-up found gone or changed (RELOOKUP_ON_ERROR) rides nowhere.
        if (e == asked || kept.length == 0 || kept.station != station || kept.alone != 0 ||
            e->form != OBJECT_FORM_GATE || e->state != OBJECT_FOUND || !DueForRefresh(kept, epoch, now, boundMs)) {
            continue;
        }
        const Rider rider = {e, HeldOnLine(kept, epoch) ? kept.readAt : 0, order};
        if (count < MAX_RIDERS) {
            riders[count++] = rider;
            std::push_heap(riders, riders + count, Older);
        } else if (Older(rider, riders[0])) {
            std::pop_heap(riders, riders + count, Older);
            riders[count - 1] = rider;
            std::push_heap(riders, riders + count, Older);
        }
    }
    std::sort_heap(riders, riders + count, Older);
    uint32_t taken = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (GroupTake(fill, limits, riders[i].entry->kept.length)) {
            riders[taken++] = riders[i];
        }
    }
    return taken;
}

void Keep(ObjectEntry *entry, const DsfReplyItem &item, uint32_t epoch, uint64_t at) {
    DsfReader data = item.data; // a copy: the caller still converts from the item
    const uint8_t *bytes = item.status == 0 ? get_span(&data, entry->kept.length) : nullptr;
    if (bytes == nullptr) {
        entry->kept.held = 0; // a refused item: its own read tells the host why
        return;
    }
    memcpy(entry->kept.bytes, bytes, entry->kept.length);
    entry->kept.held = 1;
    entry->kept.epoch = epoch;
    entry->kept.readAt = at;
}

// The reply as the asked object's own exchange would have left it: its kept bytes first in the reply
// buffer, a status of 0.
void AnswerFromKept(const ObjectEntry &asked, const ListItem &ask, const ExchangeRecords &records, DsfReplyItem *item) {
    memcpy(records.reply, asked.kept.bytes, asked.kept.length);
    *item = {ask.handle, ask.length, ask.access, 0, dsf_reader(records.reply, asked.kept.length)};
}

// Failures of the line or of the stack itself end the read as they would end it alone: a silent
// station would otherwise cost its whole round of retransmissions twice. Anything else is the station's
// (or the stack's) verdict on this list, and the asked object is read on its own.
bool ListRefused(int32_t rc) {
    switch (rc) {
    case DSF_ERR_NO_REPLY:
    case DSF_ERR_NOT_OPEN:
    case DSF_ERR_NOT_CONNECTED:
    case DSF_ERR_INSTANCE:
    case DSF_ERR_FRAME_BUFFER:
    case DSF_ERR_ACTION:
    case DSF_ERR_BUFFER:
    case DSF_ERR_NO_MEMORY:
    case DSF_ERR_RESIZE:
    case DSF_ERR_RESIZE_REQUEST:
    case DSF_ERR_SET_ASIDE:
    case DSF_ERR_PORT_LOST:
    case DSF_ERR_OBJECT_CHANGED: return false;
    default: return true;
    }
}

// The asked object on its own, as a read without the key makes it; a good read ends its solitude and,
// for a single value, is kept.
int32_t ReadAlone(DriverInstance *instance, ObjectEntry *asked, const GroupedRead &read, bool keeps, uint32_t epoch,
                  const ExchangeRecords &records, DsfReplyItem *item) {
    const uint16_t expected = static_cast<uint16_t>(ReadReplyFrameLength(read.ask.length));
    // As DoRead's own exchange: the station's turn, and under RELOOKUP_ON_ERROR a look-up and one more try.
    const int32_t rc =
        ExchangeObject(instance, read.record->station, asked, false, expected, read.ask, nullptr, records, item);
    if (rc == 0 && item->status == 0) {
        asked->kept.alone = 0;
        if (keeps) {
            Keep(asked, *item, epoch, Now());
        }
    }
    return rc;
}

// The group's request: the asked item first, then the riders in their order.
bool BuildGroup(const GroupedRead &read, const Rider *riders, uint32_t count, const ExchangeRecords &records) {
    DsfRequestBuilder b = dsf_request_begin(records.request, records.requestSize, DSF_SVC_READ_WRITE);
    dsf_request_put_item(&b, read.ask.handle, read.ask.length, DSF_ACCESS_READ, nullptr);
    for (uint32_t i = 0; i < count; ++i) {
        dsf_request_put_item(&b, riders[i].entry->handle, riders[i].entry->kept.length, DSF_ACCESS_READ, nullptr);
    }
    return dsf_request_end(&b) != 0;
}

} // namespace

GroupLimits GroupLimitsFor(uint32_t itemHead, uint32_t stationMessage) {
    const uint32_t frame = DSF_MAX_SEGMENT_DATA;
    return GroupLimits{itemHead, stationMessage < frame ? stationMessage : frame};
}

GroupFill EmptyGroup() { return GroupFill{0, LIST_HEADER, DSF_MESSAGE_HEADER, REQUEST_RECORD_HEAD, 0, 0}; }

bool GroupTake(GroupFill *fill, const GroupLimits &limits, uint32_t length) {
    const uint32_t data = Even(length);
    GroupFill next = *fill;
    next.items += 1;
    next.requestMessage += limits.itemHead;
    next.replyMessage += data;
    next.requestRecord += REQUEST_RECORD_ITEM;
    next.replyRecord += ITEM_STATUS + data;
    next.replyData += data;
    if (length > 0xFFFFu || next.items > MAX_GROUP_ITEMS || next.requestMessage > limits.message ||
        next.replyMessage > limits.message || next.requestRecord > GATE_REQUEST_SIZE ||
        next.replyRecord > GATE_REPLY_SIZE) {
        return false;
    }
    *fill = next;
    return true;
}

bool ReadThroughGroup(DriverInstance *instance, const GroupedRead &asRead, const ExchangeRecords &records,
                      DsfReplyItem *item, int32_t *rc) {
    LineLock line;
    const LineSettings settings = LineSettingsOf(instance);
    const uint32_t boundMs = settings.options.readGroupMs;
    const GateAddressRW &record = *asRead.record;
    ObjectEntry *asked = boundMs != 0 ? FindObjectEntry(instance, record.addressString) : nullptr;
    if (asked == nullptr || asked->state != OBJECT_FOUND) {
        return false; // an object a look-up found gone or changed fails as it does alone
    }
    GroupedRead read = asRead;
    read.ask.handle = asked->handle; // the entry's: a look-up after an error reply may have renewed it
    const bool keeps = read.single && ReadsAsParsed(asked->kept, record, read.ask.length);
    if (read.single ? !keeps : read.ask.length == 0) {
        return false;
    }
    const uint64_t now = Now();
    if (keeps && YoungerThanBound(asked->kept, settings.epoch, now, boundMs)) {
        AnswerFromKept(*asked, read.ask, records, item);
        *rc = 0;
        return true;
    }
    uint32_t itemHead = 0;
    uint32_t stationMessage = 0;
    if (!ExchangeRoom(StationSlot(instance, record.station), &itemHead, &stationMessage)) {
        return false;
    }
    const GroupLimits limits = GroupLimitsFor(itemHead, stationMessage);
    GroupFill fill = EmptyGroup();
    if (!GroupTake(&fill, limits, read.ask.length)) {
        return false; // a block beyond one frame reads alone, as it always has
    }
    Rider riders[MAX_RIDERS];
    const uint32_t count = asked->kept.alone != 0 ? 0
                                                  : PickRiders(instance, asked, record.station, settings.epoch, now,
                                                               boundMs, limits, &fill, riders);
    if (count == 0 || !BuildGroup(read, riders, count, records)) {
        *rc = ReadAlone(instance, asked, read, keeps, settings.epoch, records, item);
        return true;
    }

    // The group is one request of the station's, counted, refused or sent once as any other.
    uint32_t replyLength = 0;
    const int32_t result = ExchangeRecord(
        instance, record.station, static_cast<uint16_t>(ReadReplyFrameLength(fill.replyData)), records, &replyLength);
    const uint64_t at = Now();
    if (result == 0) {
        DsfReplyReader reply = dsf_reply_reader(records.request, records.requestSize, records.reply, replyLength);
        if (!dsf_reply_next_item(&reply, item)) {
            *rc = DSF_ERR_REPLY_LENGTH; // as the read's own exchange would say
            return true;
        }
        *rc = 0;
        if (keeps) {
            Keep(asked, *item, settings.epoch, at);
        }
        for (uint32_t i = 0; i < count; ++i) {
            DsfReplyItem rider;
            if (!dsf_reply_next_item(&reply, &rider)) {
                break;
            }
            Keep(riders[i].entry, rider, settings.epoch, at);
        }
        return true;
    }
    if (!ListRefused(result)) {
        *rc = result;
        return true;
    }
    // The station refused the list as a whole (a handle it no longer knows, say): every object of it
    // is read on its own until that succeeds, and the asked one now, as without the key.
    asked->kept.alone = 1;
    for (uint32_t i = 0; i < count; ++i) {
        riders[i].entry->kept.alone = 1;
    }
    *rc = ReadAlone(instance, asked, read, keeps, settings.epoch, records, item);
    return true;
}

void NoteSingleValue(DriverInstance *instance, const GateAddressParse *record) {
    const uint32_t bits = record->elementBits;
    if ((bits != 8 && bits != 16 && bits != 32) || record->station > PLC_MAX_STATION) {
        return;
    }
    LineLock line;
    if (LineOptionsOf(instance).readGroupMs == 0) {
        return;
    }
    ObjectEntry *entry = FindObjectEntry(instance, record->addressString);
    if (entry != nullptr) {
        entry->kept = KeptRead();
        entry->kept.length = static_cast<uint8_t>(bits / 8u);
        entry->kept.station = static_cast<uint8_t>(record->station);
    }
}

void DropKeptRead(DriverInstance *instance, const char *name) {
    LineLock line;
    if (LineOptionsOf(instance).readGroupMs == 0) {
        return;
    }
    ObjectEntry *entry = FindObjectEntry(instance, name);
    if (entry != nullptr) {
        entry->kept.held = 0;
    }
}

void SetReadGroupClock(ReadGroupClock clock) {
    LineLock line;
    clockNow = clock;
}
