// The driver's registry of gates: the ObjectList (address string -> PLC object handle, block offset)
// and the UsedAreaList (next free element offset per station, PLC data type and element size).
// Entries are taken once per new name or area and live until the process ends; nothing is removed.
#pragma once

#include <stdint.h>

#include "kesta.h"

enum { OBJECT_NAME_SIZE = 256 }; // an address string of at most 255 characters and its NUL

struct ObjectEntry {
    ObjectEntry *next;
    char name[OBJECT_NAME_SIZE]; // the gate's whole address string
    int32_t areaOffset;          // set for a block gate by CheckAndAddGAUsed
    uint16_t handle;
};

struct UsedArea {
    UsedArea *next;
    uint32_t elementBits;
    uint32_t typeCode;
    uint32_t station;
    int32_t nextOffset; // the next free element offset of the area
};

// Registers name with handle; a name already present takes the new handle and keeps its areaOffset.
// 0, or 1 when no memory is left (or the name does not fit an entry).
int CheckAndAdd(DriverInstance *instance, const char *name, uint16_t handle);
// Gives a parsed block gate its offset in its used area and reserves blockLength elements. 0 or 1.
int CheckAndAddGAUsed(DriverInstance *instance, GateAddressParse *record);
// The handle registered under exactly name, or -1.
int32_t FindObjectHandle(const DriverInstance *instance, const char *name);

// Gives every entry of both lists back to the heap and empties them. Only a cold start that replaces
// a run (and the end of a test) does this: during a run the entries are referenced by the host's gates.
void ReleaseRegistry(DriverInstance *instance);
// The same for two list heads the caller took from a block and keeps itself.
void ReleaseRegistryLists(void *objectList, void *usedAreaList);

ObjectEntry *FindObjectEntry(const DriverInstance *instance, const char *name);
UsedArea *FindUsedArea(const DriverInstance *instance, uint32_t elementBits, uint32_t typeCode, uint32_t station);
