// The table of the instance blocks the driver runs, and of the ports it holds for blocks that do not
// run. A block's bytes alone never make it the driver's: its address must be here, and for a running
// block its mutex and port handle must still be the ones the driver wrote.
#include "host/instances.h"

namespace {

struct Slot {
    const DriverInstance *block; // null: free
    InstanceRecord record;
    uint32_t lastUse; // for giving up the oldest entry of an ended block when the table is full
};

Slot slots[INSTANCE_TABLE_SIZE];
uint32_t useClock = 0;

// Something of the driver's that must still be closed or given back.
bool HoldsHandles(const InstanceRecord &r) {
    return r.running || r.port != 0 || r.objectList != nullptr || r.usedAreaList != nullptr;
}

// Worth a slot: handles, or an ended run whose reads are answered at once.
bool Holds(const InstanceRecord &r) { return r.ended || HoldsHandles(r); }

Slot *SlotOf(const DriverInstance *block) {
    if (block == nullptr) {
        return nullptr;
    }
    for (Slot &slot : slots) {
        if (slot.block == block) {
            return &slot;
        }
    }
    return nullptr;
}

// A slot for the block: its own, a free one, or else the least recently used one of an ended block
// that holds nothing (forgetting it only means its reads are refused instead of answered with 0).
Slot *ClaimSlot(const DriverInstance *block) {
    Slot *slot = SlotOf(block);
    if (slot != nullptr) {
        return slot;
    }
    Slot *oldest = nullptr;
    for (Slot &candidate : slots) {
        if (candidate.block == nullptr) {
            slot = &candidate;
            break;
        }
        if (!HoldsHandles(candidate.record) && (oldest == nullptr || candidate.lastUse < oldest->lastUse)) {
            oldest = &candidate;
        }
    }
    if (slot == nullptr) {
        slot = oldest;
    }
    if (slot != nullptr) {
        *slot = Slot();
        slot->block = block;
    }
    return slot;
}

void Touch(Slot *slot) {
    slot->lastUse = ++useClock;
    if (!Holds(slot->record)) {
        *slot = Slot(); // nothing left to hold: the block is a stranger again
    }
}

// The block still holds what the driver wrote into it. Packed fields are read by value.
bool Intact(const DriverInstance *block, const InstanceRecord &r) {
    const KestaHandle mutex = block->mutex;
    const KestaHandle port = block->portHandle;
    return mutex == r.mutex && port == r.port;
}

} // namespace

InstanceRecord LookUpInstance(const DriverInstance *block) {
    LineLock lock;
    const Slot *slot = SlotOf(block);
    if (slot == nullptr) {
        return InstanceRecord();
    }
    InstanceRecord r = slot->record;
    r.intact = r.running && Intact(block, r);
    return r;
}

MutexHandle InstanceMutex(const DriverInstance *block) {
    const InstanceRecord r = LookUpInstance(block);
    return r.intact ? r.mutex : 0;
}

// Ended by the driver, and the block still shows the flag the driver wrote: memory of an ended block
// that the host allocated again is a stranger.
bool InstanceEnded(const DriverInstance *block) {
    const InstanceRecord r = LookUpInstance(block);
    return r.ended && block->ending == 1;
}

bool InstanceRunning(const DriverInstance *block) { return LookUpInstance(block).intact; }

bool InstanceStart(DriverInstance *block, MutexHandle mutex) {
    LineLock lock;
    Slot *slot = ClaimSlot(block);
    if (slot == nullptr) {
        return false;
    }
    slot->record = InstanceRecord();
    slot->record.running = true;
    slot->record.mutex = mutex;
    block->mutex = mutex;
    block->portHandle = 0;
    Touch(slot);
    return true;
}

bool InstanceSetPort(DriverInstance *block, PortHandle port) {
    LineLock lock;
    Slot *slot = port != 0 ? ClaimSlot(block) : SlotOf(block);
    block->portHandle = port;
    if (slot == nullptr) {
        return port == 0;
    }
    slot->record.port = port;
    Touch(slot);
    return true;
}

MutexHandle InstanceTakeMutex(DriverInstance *block) {
    LineLock lock;
    Slot *slot = SlotOf(block);
    if (slot == nullptr || !slot->record.running) {
        return 0;
    }
    const MutexHandle mutex = slot->record.mutex;
    slot->record.mutex = 0;
    block->mutex = 0;
    return mutex;
}

void InstanceSetStack(const DriverInstance *block, bool holds) {
    LineLock lock;
    Slot *slot = SlotOf(block);
    if (slot != nullptr) {
        slot->record.holdsStack = holds;
        Touch(slot);
    }
}

void InstanceStartFailed(const DriverInstance *block) {
    LineLock lock;
    Slot *slot = SlotOf(block);
    if (slot != nullptr) {
        slot->record.startFailed = true;
        Touch(slot);
    }
}

void InstanceEnd(DriverInstance *block) {
    LineLock lock;
    Slot *slot = ClaimSlot(block);
    if (slot != nullptr && slot->record.running && Intact(block, slot->record)) {
        slot->record.objectList = block->ObjectList;
        slot->record.usedAreaList = block->UsedAreaList;
    }
    block->ending = 1;
    block->mutex = 0;
    if (slot == nullptr) {
        return;
    }
    slot->record.running = false;
    slot->record.ended = true;
    slot->record.startFailed = false;
    slot->record.holdsStack = false;
    slot->record.mutex = 0;
    Touch(slot);
}

void InstanceTakeLists(const DriverInstance *block, void **objectList, void **usedAreaList) {
    LineLock lock;
    *objectList = nullptr;
    *usedAreaList = nullptr;
    Slot *slot = SlotOf(block);
    if (slot != nullptr) {
        *objectList = slot->record.objectList;
        *usedAreaList = slot->record.usedAreaList;
        slot->record.objectList = nullptr;
        slot->record.usedAreaList = nullptr;
        Touch(slot);
    }
}
