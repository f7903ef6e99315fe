// Station slots of the packed instance block and the one-item ReadWrite request record.
#include "plc/plc_common.h"

#include "dsf/dsf.h"

#include <stddef.h>
#include <string.h>

namespace {

unsigned char *SlotBytes(const DriverInstance *instance, uint32_t station) {
    // Byte arithmetic on the block: a pointer to the packed member itself would claim an alignment
    // the slot does not have.
    const unsigned char *base = reinterpret_cast<const unsigned char *>(instance);
    return const_cast<unsigned char *>(base + offsetof(DriverInstance, StationTable) +
                                       station * sizeof(StationEntry *));
}

void PutHost16(uint8_t *at, uint16_t value) { memcpy(at, &value, sizeof value); }
void PutHost32(uint8_t *at, uint32_t value) { memcpy(at, &value, sizeof value); }

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

uint32_t BuildReadWriteRequest(uint8_t *record, uint32_t recordSize, uint32_t handle, uint16_t length, uint16_t access,
                               const uint8_t *data) {
    const bool writes = (access & 0x2u) != 0;
    const uint32_t padded = writes ? (static_cast<uint32_t>(length) + 1u) & ~1u : 0u;
    const uint32_t needed = 2u + LIST_ITEM_HEAD + padded;
    if (record == nullptr || needed > recordSize || (writes && length != 0 && data == nullptr))
        return 0;
    memset(record, 0, recordSize);
    record[0] = DSF_SVC_READ_WRITE;
    record[1] = 1; // one item
    PutHost32(record + 2, handle);
    PutHost16(record + 6, length);
    PutHost16(record + 8, access);
    if (writes && length != 0)
        memcpy(record + 2 + LIST_ITEM_HEAD, data, length);
    return needed;
}

uint16_t ReplyItemStatus(const uint8_t *reply) {
    uint16_t status;
    memcpy(&status, reply, sizeof status);
    return status;
}

uint16_t GetBe16(const uint8_t *bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

uint32_t GetBe32(const uint8_t *bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}
