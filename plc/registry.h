// The driver's registry of gates: the ObjectList (address string -> PLC object handle, block offset)
// and the UsedAreaList (next free element offset per station, PLC data type and element size).
// Entries are taken once per new name or area and live until the process ends; nothing is removed.
#pragma once

#include <stdint.h>

#include "kesta.h"

enum { OBJECT_NAME_SIZE = 256 }; // an address string of at most 255 characters and its NUL

// An object as the PLC described it at the parse, for a later look-up to compare.
struct ObjectShape {
    uint16_t kind;
    uint16_t dataType;
    uint32_t length;
};
enum { OBJECT_FORM_GATE = 0, OBJECT_FORM_SAMPLE = 1 };
enum { OBJECT_FOUND = 0, OBJECT_GONE = 1, OBJECT_CHANGED = 2 };
// What grouped reads (READ_GROUP_MS) keep of an object beside its entry: whether a single gate on it
// parsed (its station and value size), and the bytes and time of its last good read from the line.
// All zero for a new entry and whenever its name is registered again; read and written under the line
// lock only (reads and writes of one object may run on two threads).
struct KeptRead {
    uint8_t length;  // 1, 2 or 4: a single value of this many bytes that may ride in a group; 0 never
    uint8_t station; // its PLC station
    uint8_t held;    // bytes hold a good read from the line, taken under epoch and ended at readAt
    uint8_t alone;   // its station refused a list it was in: it is read on its own until that succeeds
    uint8_t bytes[4];
    uint32_t epoch;  // the line's epoch of that read (serial/line_state.h)
    uint64_t readAt; // microseconds of the monotonic clock when that read's exchange ended
};

struct ObjectEntry {
    ObjectEntry *next;
    char name[OBJECT_NAME_SIZE]; // the gate's whole address string
    int32_t areaOffset;          // set for a block gate by CheckAndAddGAUsed
    uint16_t handle;
    // What a look-up after an error reply (RELOOKUP_ON_ERROR) goes by: the station, the object's shape at
    // the parse, and what the last look-up found. A sample entry (only registered under that key, never
    // found by FindObjectEntry) names an EWT structure: handle is the structure's, toggleHandle its
    // ".toggle" companion's.
    uint8_t station;
    uint8_t form;  // OBJECT_FORM_*
    uint8_t state; // OBJECT_FOUND, or what the last look-up found instead
    uint16_t toggleHandle;
    ObjectShape shape;
    KeptRead kept;
};

struct UsedArea {
    UsedArea *next;
    uint32_t elementBits;
    uint32_t typeCode;
    uint32_t station;
    int32_t nextOffset; // the next free element offset of the area
};

// Registers name with handle; a name already present takes the new handle and keeps its areaOffset
// (what was kept of its reads goes: they were of the handle it had).
// 0, or 1 when no memory is left (or the name does not fit an entry).
int CheckAndAdd(DriverInstance *instance, const char *name, uint16_t handle);
// Gives a parsed block gate its offset in its used area and reserves blockLength elements. 0 or 1.
int CheckAndAddGAUsed(DriverInstance *instance, GateAddressParse *record);
// The handle registered under exactly name, or -1.
int32_t FindObjectHandle(const DriverInstance *instance, const char *name);

// The parse found the registered name's object with this shape at station: found as registered.
void NoteObjectShape(DriverInstance *instance, const char *name, uint32_t station, const ObjectShape &shape);
// Registers a sample gate's structure (name: the gate's address string) with its two handles. 0 or 1.
int RegisterSample(DriverInstance *instance, const char *name, uint32_t station, uint16_t structure, uint16_t toggle,
                   const ObjectShape &shape);
ObjectEntry *FindSampleEntry(const DriverInstance *instance, const char *name);
ObjectEntry *ObjectListHead(const DriverInstance *instance); // every entry, gates and samples, in order

// Gives every entry of both lists back to the heap and empties them. Only a cold start that replaces
// a run (and the end of a test) does this: during a run the entries are referenced by the host's gates.
void ReleaseRegistry(DriverInstance *instance);
// The same for two list heads the caller took from a block and keeps itself.
void ReleaseRegistryLists(void *objectList, void *usedAreaList);

ObjectEntry *FindObjectEntry(const DriverInstance *instance, const char *name);
UsedArea *FindUsedArea(const DriverInstance *instance, uint32_t elementBits, uint32_t typeCode, uint32_t station);
