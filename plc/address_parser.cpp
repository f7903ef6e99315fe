// Address parsing for codes 3 and 4: "001var", "001arr[3]", sample gates "001_Mdata" and time-stamp
// gates "001_M012_003". Everything is read from a bounded working copy of the host's string; the
// host's own string is never read past its 256th byte.
#include "plc/address_parser.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "plc/gates.h"
#include "plc/plc_common.h"
#include "plc/read_group.h"
#include "plc/registry.h"
#include "plc/station.h"
#include "plc/station_watch.h"
#include "platform/system.h"
#include "platform/talrun.h"
#include "serial/transport.h"

namespace {

enum { STATION_DIGITS = 3, SAMPLE_NAME_AT = 5, SAMPLE_LENGTH = 12, ACCESS_READ_WRITE = 3 };

const char TOGGLE_SUFFIX[] = ".toggle";

// Copies the host's address into a zero-filled working copy. The host promises at most 255
// characters; a longer string, or one without its NUL in the first 256 bytes, is refused here
// instead of being read or copied past the copy's end.
bool CopyAddress(const char *address, char (&copy)[OBJECT_NAME_SIZE]) {
    memset(copy, 0, sizeof copy);
    if (address == nullptr) {
        err(LOG_ERROR, "KESTA> Parse() no address string given");
        return false;
    }
    size_t length = 0;
    while (length < OBJECT_NAME_SIZE && address[length] != '\0')
        ++length;
    if (length == OBJECT_NAME_SIZE) {
        err(LOG_ERROR, "KESTA> Parse() address string longer than 255 characters refused");
        return false;
    }
    memcpy(copy, address, length);
    return true;
}

bool NotConnected(uint32_t station) {
    err(LOG_ERROR, "KESTA> Parse() plcaddr %u not connected!", station);
    return false;
}

// Connects the station unless its slot already holds a connection. attempts: how many connects a
// silent station costs; pauseMs follows each failed one (the last included). A station set aside
// (SILENT_STATION_LIMIT) is not connected and costs no attempt.
bool ConnectStation(DriverInstance *instance, uint32_t station, int attempts, uint32_t pauseMs) {
    if (StationSetAside(instance, station))
        return NotConnected(station);
    if (LoadStationSlot(instance, station) != nullptr)
        return true;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        bool connected = false;
        const int32_t rc = StationRequest(instance, station, [&] {
            int32_t code = 0;
            StationEntry *entry = Net2000_Connect(instance->portHandle, static_cast<uint8_t>(station), &code);
            if (entry != nullptr) {
                StoreStationSlot(instance, station, entry); // under the line lock, beside the writes' reads
                connected = true;
            }
            return code;
        });
        if (connected) {
            StationConnected(instance, station);
            return true;
        }
        if (rc == DSF_ERR_SET_ASIDE)
            break; // set aside by the attempts before: no more connects, no more pauses
        if (pauseMs != 0)
            plat_sleep_ms(pauseMs);
    }
    return NotConnected(station);
}

// Up to PARSE_LOOKUP_ATTEMPTS lookups in a row until one yields a descriptor; the PLC's verdict on
// the name (status) is left to the caller.
bool LookupObject(DriverInstance *instance, uint32_t station, const char *name, ObjectDescriptor *descriptor) {
    for (int attempt = 0; attempt < PARSE_LOOKUP_ATTEMPTS; ++attempt) {
        bool found = false;
        const int32_t rc = StationRequest(instance, station, [&] {
            int32_t code = 0;
            found = Net2000_getOV(instance->portHandle, StationSlot(instance, station), name, descriptor, &code) == 0;
            return code;
        });
        if (found)
            return true;
        if (rc == DSF_ERR_SET_ASIDE)
            return NotConnected(station);
    }
    err(LOG_ERROR, "KESTA> Parse() object name %s not defined in PLC", name);
    return false;
}

// Looks up a member of a sample gate: the structure or its ".toggle" companion.
bool LookupSampleObject(DriverInstance *instance, uint32_t station, const char *name, ObjectDescriptor *descriptor) {
    if (!LookupObject(instance, station, name, descriptor))
        return false;
    if (descriptor->status != 0) {
        err(LOG_ERROR, "KESTA> Parse() object name %s not defined in PLC rc= %u", name, descriptor->status & 0xFFu);
        return false;
    }
    return true;
}

// Sample gate (_Mdata, _Vdata) or time-stamp gate (_M012_003, _V012_003) of a single parse.
int ParseEwt(DriverInstance *instance, GateAddressParse *record, const char *copy) {
    const char letter = copy[STATION_DIGITS + 1];
    if (letter == 'M') {
        record->typeCode = EWTM;
    } else if (letter == 'V') {
        record->typeCode = EWTV;
    } else {
        err(LOG_ERROR, "KESTA> SingleParse() illegal EWT sample gate");
        return 1;
    }
    const char *name = copy + SAMPLE_NAME_AT;
    unsigned first = 0;
    unsigned second = 0;
    if (sscanf(name, "%3u_%3u", &first, &second) == 2) {
        // The record's own time stamp lands here later; nothing to look up in the PLC now.
        record->toggleHandle = -1;
        record->typeCode = letter == 'M' ? EWTm : EWTv;
        record->elementBits = letter == 'M' ? 1u : 16u;
        return 0;
    }

    // One connect only: a sample gate polls a structure, its station is tried again next parse.
    if (!ConnectStation(instance, record->station, 1, 0))
        return 1;
    ObjectDescriptor structure;
    if (!LookupSampleObject(instance, record->station, name, &structure))
        return 1;
    record->offset = static_cast<int32_t>(structure.handle & 0xFFFFu);
    if (structure.kind != OBJECT_KIND_STRUCT && structure.kind != OBJECT_KIND_STRUCT2) {
        err(LOG_ERROR, "KESTA> Parse() SAMPLE gate, object %s type %u should be struct", name, structure.kind);
        return 1;
    }
    if (structure.length != SAMPLE_LENGTH) {
        err(LOG_ERROR, "KESTA> Parse() SAMPLE gate, illegal length %u stuct %s", structure.length, name);
        return 1;
    }
    if (structure.access != ACCESS_READ_WRITE) {
        err(LOG_ERROR, "KESTA> Parse() SAMPLE gate, stuct %s should be READ/WRITE", name);
        return 1;
    }

    char toggleName[OBJECT_NAME_SIZE + sizeof TOGGLE_SUFFIX];
    snprintf(toggleName, sizeof toggleName, "%s%s", name, TOGGLE_SUFFIX);
    ObjectDescriptor toggle;
    if (!LookupSampleObject(instance, record->station, toggleName, &toggle))
        return 1;
    record->toggleHandle = static_cast<int32_t>(toggle.handle & 0xFFFFu);
    record->elementBits = 16;
    // Looked up again by name after an error reply: its handles then come from the registry.
    if (LineOptionsOf(instance).relookupOnError != 0 &&
        RegisterSample(instance, copy, record->station, static_cast<uint16_t>(structure.handle),
                       static_cast<uint16_t>(toggle.handle),
                       {structure.kind, structure.dataType, structure.length}) != 0)
        return 1;
    return 0;
}

// The "[index]" of a single gate: decimal digits only, "[]" is 0. The index must fit the record's
// signed 32-bit offset; a longer one is refused rather than wrapped.
bool ParseIndex(GateAddressParse *record, const char *copy, int mode) {
    const char *open = strchr(copy, '[');
    if (open == nullptr)
        return true;
    if (mode == PARSE_BLOCK) {
        err(LOG_ERROR, "KESTA> Parse()'[Index]' not allowed for block");
        return false;
    }
    // The first ']' of the address closes the index. One ahead of the '[' leaves no digits to check:
    // the index is 0 and the name, brackets and all, is looked up as it stands.
    const char *close = strchr(copy, ']');
    if (close == nullptr) {
        err(LOG_ERROR, "KESTA> Parse() no match found for '[' ");
        return false;
    }
    int64_t index = 0;
    record->offset = 0;
    for (const char *at = open + 1; at < close; ++at) {
        if (*at < '0' || *at > '9') {
            err(LOG_ERROR, "KESTA> Parse() %c not recognised in %s", *at, copy);
            return false;
        }
        index = index * 10 + (*at - '0');
        if (index > INT32_MAX) {
            err(LOG_ERROR, "KESTA> Parse() index too large in %s", copy);
            return false;
        }
        record->offset = static_cast<int32_t>(index);
    }
    return true;
}

bool GetParseArgs(DriverCall *call, const char *who, DriverInstance **instance, GateAddressParse **record) {
    if (call == nullptr || call->instance == nullptr || call->argRecord == nullptr) {
        err(LOG_ERROR, "KESTA> %s() no gate record given", who);
        return false;
    }
    *instance = static_cast<DriverInstance *>(call->instance);
    *record = static_cast<GateAddressParse *>(call->argRecord);
    return true;
}

} // namespace

bool IsSampleGate(uint32_t typeCode) { return typeCode == EWTM || typeCode == EWTV; }

bool IsTimeStampGate(uint32_t typeCode) { return typeCode == EWTm || typeCode == EWTv; }

int Parse(DriverInstance *instance, GateAddressParse *record, int mode) {
    if (instance->dsfOpen == 0) {
        err(LOG_ERROR, "KESTA> Parse() must be connected to PLC!");
        return 1;
    }
    LineSetExpectedReply(EXPECTED_REPLY_IDLE);

    char copy[OBJECT_NAME_SIZE];
    if (!CopyAddress(record->addressString, copy))
        return 1;

    unsigned station = 0;
    if (sscanf(copy, "%3u", &station) != 1) {
        // Nothing that reads as a number: shown as -1.
        err(LOG_ERROR, "KESTA> Parse() incorrect plc address %d", -1);
        return 1;
    }
    if (station > PLC_MAX_STATION) {
        err(LOG_ERROR, "KESTA> Parse() incorrect plc address %d", static_cast<int>(station));
        return 1;
    }
    if (station == instance->masterAddress) {
        err(LOG_ERROR, "KESTA> Parse() err: plcaddr is same as master, %u", station);
        return 1;
    }
    record->station = station;

    if (mode == PARSE_SINGLE && copy[STATION_DIGITS] == '_')
        return ParseEwt(instance, record, copy);

    record->offset = -1;
    if (!ParseIndex(record, copy, mode))
        return 1;
    if (!ConnectStation(instance, station, PARSE_CONNECT_ATTEMPTS, PARSE_CONNECT_PAUSE_MS))
        return 1;

    const char *name = copy + STATION_DIGITS;
    ObjectDescriptor descriptor;
    if (!LookupObject(instance, station, name, &descriptor))
        return 1;
    if (descriptor.status != 0) {
        err(LOG_ERROR, "KESTA> Parse() object name %s not defined in PLC rc=%u", name, descriptor.status & 0xFFu);
        return 1;
    }
    // Registered before the shape is checked: a refused address stays in the list, as it always has.
    if (CheckAndAdd(instance, copy, static_cast<uint16_t>(descriptor.handle)) != 0)
        return 1;
    NoteObjectShape(instance, copy, station, {descriptor.kind, descriptor.dataType, descriptor.length});

    if (descriptor.kind == OBJECT_KIND_ARRAY) {
        if (mode == PARSE_SINGLE) {
            err(LOG_ERROR, "KESTA> Parse() object %s is array, should be block", name);
            return 1;
        }
        record->elementBits = descriptor.elementLength * 8u;
    } else {
        if (mode == PARSE_BLOCK) {
            err(LOG_ERROR, "KESTA> Parse() object %s not an array, should not be block", name);
            return 1;
        }
        record->elementBits = descriptor.length * 8u;
    }
    record->typeCode = descriptor.dataType;
    record->toggleHandle = -1;
    return 0;
}

int CheckGateType(const GateAddressParse *record) {
    const char *gate = record->addressString;
    const uint32_t gateType = record->gateType;
    const int plcType = static_cast<int>(record->typeCode);
    switch (record->typeCode) {
    case 1:
        if (gateType != GATE_DIGITAL) {
            err(LOG_ERROR, "KESTA> SingleParse() gate %s, mem type 1 (BOOL) must be DIGITAL", gate);
            return 1;
        }
        break;
    case 2:
    case 3:
        if (gateType != GATE_SIGNED16) {
            err(LOG_ERROR, "KESTA> SingleParse() gate %s, mem type %d must be SIGNED 16", gate, plcType);
            return 1;
        }
        break;
    case 4:
        if (gateType != GATE_SIGNED32) {
            err(LOG_ERROR, "KESTA> SingleParse() gate %s, mem. type %d must be SIGNED 32", gate, plcType);
            return 1;
        }
        break;
    case 5:
    case 6:
        if (gateType != GATE_UNSIGNED16) {
            err(LOG_ERROR, "KESTA> SingleParse() gate %s, mem. type %d must be UNSIGNED 16", gate, plcType);
            return 1;
        }
        break;
    case 7:
        if (gateType != GATE_UNSIGNED32) {
            err(LOG_ERROR, "KESTA> SingleParse() gate %s, mem. type %d must be UNSIGNED 32", gate, plcType);
            return 1;
        }
        break;
    case 8:
        if (gateType != GATE_FLOAT) {
            err(LOG_ERROR, "KESTA> SingleParse() gate %s, mem. type %d must be FLOAT", gate, plcType);
            return 1;
        }
        break;
    default: break;
    }
    if (gateType == GATE_STRING) {
        err(LOG_ERROR, "KESTA> SingleParse() gate %s, no STRING gates supported", gate);
        return 1;
    }
    if (IsSampleGate(record->typeCode) && gateType != GATE_UNSIGNED32) {
        err(LOG_ERROR, "KESTA> SingleParse() '%s', sample gate must be UNSIGNED32", gate);
        return 1;
    }
    if (record->typeCode == EWTv && gateType != GATE_UNSIGNED16 && gateType != GATE_SIGNED16) {
        err(LOG_ERROR, "KESTA> SingleParse() '%s', sample gate must be 16-bit type", gate);
        return 1;
    }
    if (record->typeCode == EWTm && gateType != GATE_DIGITAL) {
        err(LOG_ERROR, "KESTA> SingleParse() '%s', sample gate must be DIGITAL type", gate);
        return 1;
    }
    return 0;
}

int AssignSingleOffset(DriverInstance *instance, GateAddressParse *record) {
    if (record->offset != -1) {
        char cut[OBJECT_NAME_SIZE];
        snprintf(cut, sizeof cut, "%s", record->addressString);
        char *open = strchr(cut, '[');
        if (open == nullptr) {
            err(LOG_ERROR, "KESTA> ERROR #1, contact driver tech. support");
            return 1;
        }
        *open = '\0';
        // An element of a block gate parsed earlier lands inside that block.
        const ObjectEntry *block = FindObjectEntry(instance, cut);
        if (block != nullptr) {
            const int64_t offset = static_cast<int64_t>(record->offset) + block->areaOffset;
            if (offset > INT32_MAX) {
                err(LOG_ERROR, "KESTA> SingleParse() gate %s, offset out of range", record->addressString);
                return 1;
            }
            record->offset = static_cast<int32_t>(offset);
            return 0;
        }
    }
    UsedArea *area = FindUsedArea(instance, record->elementBits, record->typeCode, record->station);
    if (area == nullptr) {
        record->offset = 0;
        return 0;
    }
    if (area->nextOffset == INT32_MAX) {
        err(LOG_ERROR, "KESTA> SingleParse() gate %s, offset out of range", record->addressString);
        return 1;
    }
    record->offset = area->nextOffset;
    area->nextOffset += 1;
    return 0;
}

uint32_t SingleAddressParser(DriverCall *call) {
    DriverInstance *instance = nullptr;
    GateAddressParse *record = nullptr;
    if (!GetParseArgs(call, "SingleAddressParser", &instance, &record))
        return KVI_REFUSED;
    const int rc = Parse(instance, record, PARSE_SINGLE);
    if (rc != 0)
        return static_cast<uint32_t>(rc);
    if (CheckGateType(record) != 0)
        return KVI_REFUSED;
    if (IsSampleGate(record->typeCode) || IsTimeStampGate(record->typeCode))
        return KVI_OK;
    if (AssignSingleOffset(instance, record) != 0)
        return KVI_REFUSED;
    NoteSingleValue(instance, record); // READ_GROUP_MS: the value may ride along in its station's reads
    return KVI_OK;
}

uint32_t BlockAddressParser(DriverCall *call) {
    DriverInstance *instance = nullptr;
    GateAddressParse *record = nullptr;
    if (!GetParseArgs(call, "BlockAddressParser", &instance, &record))
        return KVI_REFUSED;
    if (Parse(instance, record, PARSE_BLOCK) != 0)
        return KVI_REFUSED;
    return CheckAndAddGAUsed(instance, record) == 0 ? KVI_OK : KVI_REFUSED;
}
