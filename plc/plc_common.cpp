// Station slots of the packed instance block and the one-item ReadWrite exchange.
#include "plc/plc_common.h"

#include "platform/system.h"

#include <stddef.h>
#include <string.h>

#include "plc/station_watch.h"
#include "serial/transport.h"

namespace {

unsigned char *SlotBytes(const DriverInstance *instance, uint32_t station) {
    // Byte arithmetic on the block: a pointer to the packed member itself would claim an alignment
    // the slot does not have.
    const unsigned char *base = reinterpret_cast<const unsigned char *>(instance);
    return const_cast<unsigned char *>(base + offsetof(DriverInstance, StationTable) +
                                       station * sizeof(StationEntry *));
}

} // namespace

void *StationSlot(DriverInstance *instance, uint32_t station) { return SlotBytes(instance, station); }

StationEntry *LoadStationSlot(const DriverInstance *instance, uint32_t station) {
    StationEntry *entry = nullptr;
    memcpy(&entry, SlotBytes(instance, station), sizeof entry);
    return entry;
}

void StoreStationSlot(DriverInstance *instance, uint32_t station, StationEntry *entry) {
    memcpy(SlotBytes(instance, station), &entry, sizeof entry);
}

int32_t ExchangeRecord(DriverInstance *instance, uint32_t station, uint16_t expectedReplyLength,
                       const ExchangeRecords &records, uint32_t *replyLength) {
    *replyLength = records.replySize;
    // The station slots and the port are shared with writes, which come without the instance mutex:
    // they are read under the line lock that every exchange holds.
    LineLock line;
    if (LoadStationSlot(instance, station) == nullptr) {
        return DSF_ERR_NOT_CONNECTED; // a gate whose parse never connected its station
    }
    return StationRequest(instance, station, [&] {
        return RunExchange(instance->portHandle, expectedReplyLength, StationSlot(instance, station), records.request,
                           records.requestSize, records.reply, replyLength);
    });
}

int32_t ExchangeItem(DriverInstance *instance, uint32_t station, uint16_t expectedReplyLength, const ListItem &ask,
                     const uint8_t *data, const ExchangeRecords &records, DsfReplyItem *item) {
    DsfRequestBuilder request = dsf_request_begin(records.request, records.requestSize, DSF_SVC_READ_WRITE);
    dsf_request_put_item(&request, ask.handle, ask.length, ask.access, data);
    if (dsf_request_end(&request) == 0) {
        return DSF_ERR_REPLY_BUFFER; // the record is shorter than its item, as the stack would say
    }
    uint32_t replyLength = 0;
    const int32_t rc = ExchangeRecord(instance, station, expectedReplyLength, records, &replyLength);
    if (rc != 0) {
        return rc;
    }
    DsfReplyReader reply = dsf_reply_reader(records.request, records.requestSize, records.reply, replyLength);
    // The stack hands back a whole slot for the item; a reply record that ends inside it is no answer.
    return dsf_reply_next_item(&reply, item) ? 0 : DSF_ERR_REPLY_LENGTH;
}
