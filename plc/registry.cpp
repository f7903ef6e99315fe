// ObjectList and UsedAreaList: appended at the tail, searched by exact match, never shrunk.
// SingleWrite reaches FindObjectHandle without the instance mutex, so the lists change only under
// the process-wide line lock, and an entry is complete before it is linked in.
#include "plc/registry.h"

#include <stdlib.h>
#include <string.h>

#include "platform/system.h"
#include "platform/talrun.h"

namespace {

ObjectEntry *ObjectHead(const DriverInstance *instance) { return static_cast<ObjectEntry *>(instance->ObjectList); }

UsedArea *AreaHead(const DriverInstance *instance) { return static_cast<UsedArea *>(instance->UsedAreaList); }

void AppendObject(DriverInstance *instance, ObjectEntry *entry) {
    ObjectEntry *tail = ObjectHead(instance);
    if (tail == nullptr) {
        instance->ObjectList = entry;
        return;
    }
    while (tail->next != nullptr)
        tail = tail->next;
    tail->next = entry;
}

void AppendArea(DriverInstance *instance, UsedArea *area) {
    UsedArea *tail = AreaHead(instance);
    if (tail == nullptr) {
        instance->UsedAreaList = area;
        return;
    }
    while (tail->next != nullptr)
        tail = tail->next;
    tail->next = area;
}

// Offsets are signed 32-bit in the host's record: an area that would grow past that is refused
// rather than wrapped into negative offsets.
bool OffsetFits(int64_t value) { return value >= 0 && value <= INT32_MAX; }

ObjectEntry *FindEntry(const DriverInstance *instance, const char *name, uint8_t form) {
    if (name == nullptr)
        return nullptr;
    for (ObjectEntry *entry = ObjectHead(instance); entry != nullptr; entry = entry->next) {
        if (entry->form == form && strcmp(entry->name, name) == 0)
            return entry;
    }
    return nullptr;
}

// A new entry at the tail, complete before it is linked in; null (logged) when no memory is left or the
// name does not fit.
ObjectEntry *AddEntry(DriverInstance *instance, const char *name, uint8_t form, uint16_t handle) {
    const size_t length = name != nullptr ? strlen(name) : size_t{OBJECT_NAME_SIZE};
    ObjectEntry *entry =
        length < OBJECT_NAME_SIZE ? static_cast<ObjectEntry *>(calloc(1, sizeof(ObjectEntry))) : nullptr;
    if (entry == nullptr) {
        err(LOG_ERROR, "KESTA> CheckAndAdd() memory allocation problem");
        return nullptr;
    }
    memcpy(entry->name, name, length + 1);
    entry->form = form;
    entry->handle = handle;
    AppendObject(instance, entry);
    return entry;
}

} // namespace

ObjectEntry *FindObjectEntry(const DriverInstance *instance, const char *name) {
    return FindEntry(instance, name, OBJECT_FORM_GATE);
}

ObjectEntry *FindSampleEntry(const DriverInstance *instance, const char *name) {
    return FindEntry(instance, name, OBJECT_FORM_SAMPLE);
}

ObjectEntry *ObjectListHead(const DriverInstance *instance) { return ObjectHead(instance); }

UsedArea *FindUsedArea(const DriverInstance *instance, uint32_t elementBits, uint32_t typeCode, uint32_t station) {
    for (UsedArea *area = AreaHead(instance); area != nullptr; area = area->next) {
        if (area->elementBits == elementBits && area->typeCode == typeCode && area->station == station)
            return area;
    }
    return nullptr;
}

int32_t FindObjectHandle(const DriverInstance *instance, const char *name) {
    const ObjectEntry *entry = FindObjectEntry(instance, name);
    return entry != nullptr ? static_cast<int32_t>(entry->handle) : -1;
}

int CheckAndAdd(DriverInstance *instance, const char *name, uint16_t handle) {
    LineLock line;
    ObjectEntry *entry = FindObjectEntry(instance, name);
    if (entry == nullptr)
        return AddEntry(instance, name, OBJECT_FORM_GATE, handle) != nullptr ? 0 : 1;
    entry->handle = handle;
    entry->kept = KeptRead(); // parsed again: what was kept under the old parse counts for nothing
    return 0;
}

void NoteObjectShape(DriverInstance *instance, const char *name, uint32_t station, const ObjectShape &shape) {
    LineLock line;
    ObjectEntry *entry = FindObjectEntry(instance, name);
    if (entry != nullptr) {
        entry->station = static_cast<uint8_t>(station);
        entry->state = OBJECT_FOUND;
        entry->shape = shape;
    }
}

int RegisterSample(DriverInstance *instance, const char *name, uint32_t station, uint16_t structure, uint16_t toggle,
                   const ObjectShape &shape) {
    LineLock line;
    ObjectEntry *entry = FindSampleEntry(instance, name);
    if (entry == nullptr)
        entry = AddEntry(instance, name, OBJECT_FORM_SAMPLE, structure);
    if (entry == nullptr)
        return 1;
    entry->handle = structure;
    entry->toggleHandle = toggle;
    entry->station = static_cast<uint8_t>(station);
    entry->state = OBJECT_FOUND;
    entry->shape = shape;
    return 0;
}

int CheckAndAddGAUsed(DriverInstance *instance, GateAddressParse *record) {
    ObjectEntry *entry = FindObjectEntry(instance, record->addressString);
    if (entry == nullptr) {
        err(LOG_ERROR, "KESTA>CheckAndAddGAUsed, could not find item %s",
            record->addressString != nullptr ? record->addressString : "");
        return 1;
    }
    LineLock line;
    UsedArea *area = FindUsedArea(instance, record->elementBits, record->typeCode, record->station);
    if (area != nullptr) {
        const int64_t next = static_cast<int64_t>(area->nextOffset) + record->blockLength;
        if (!OffsetFits(next)) {
            err(LOG_ERROR, "KESTA>CheckAndAddGAUsed, no room for %u elements of item %s", record->blockLength,
                record->addressString);
            return 1;
        }
        record->offset = area->nextOffset;
        entry->areaOffset = area->nextOffset;
        area->nextOffset = static_cast<int32_t>(next);
        return 0;
    }
    if (!OffsetFits(record->blockLength)) {
        err(LOG_ERROR, "KESTA>CheckAndAddGAUsed, no room for %u elements of item %s", record->blockLength,
            record->addressString);
        return 1;
    }
    area = static_cast<UsedArea *>(calloc(1, sizeof(UsedArea)));
    if (area == nullptr) {
        err(LOG_ERROR, "KESTA>CheckAndAddGAUsed could not allocate memory");
        return 1;
    }
    record->offset = 0;
    entry->areaOffset = 0;
    area->elementBits = record->elementBits;
    area->typeCode = record->typeCode;
    area->station = record->station;
    area->nextOffset = static_cast<int32_t>(record->blockLength);
    AppendArea(instance, area);
    return 0;
}

void ReleaseRegistryLists(void *objectList, void *usedAreaList) {
    ObjectEntry *entry = static_cast<ObjectEntry *>(objectList);
    while (entry != nullptr) {
        ObjectEntry *next = entry->next;
        free(entry);
        entry = next;
    }
    UsedArea *area = static_cast<UsedArea *>(usedAreaList);
    while (area != nullptr) {
        UsedArea *next = area->next;
        free(area);
        area = next;
    }
}

void ReleaseRegistry(DriverInstance *instance) {
    ReleaseRegistryLists(instance->ObjectList, instance->UsedAreaList);
    instance->ObjectList = nullptr;
    instance->UsedAreaList = nullptr;
}
