// SingleRead, BlockRead, SingleWrite, BlockWrite and their workers DoRead and DoWrite. Each call is one
// exchange on the gate's station; nothing is retried here, the engine's retransmissions are all.
// The host's record is trusted in nothing: station, cell and string are checked before use.
#include "plc/gate_io.h"

#include <string.h>

#include "dsf/dsf_request.h"
#include "plc/address_parser.h"
#include "plc/gates.h"
#include "plc/plc_common.h"
#include "plc/read_group.h"
#include "plc/registry.h"
#include "plc/sample_gate.h"
#include "plc/station_watch.h"
#include "platform/system.h"
#include "platform/talrun.h"

namespace {

// What the host must hand over for a read or write; anything missing is refused with 1.
bool CheckRecord(DriverCall *call, const char *who, DriverInstance **instance, GateAddressRW **record) {
    if (call == nullptr || call->instance == nullptr || call->argRecord == nullptr) {
        err(LOG_ERROR, "KESTA> %s() no gate record given", who);
        return false;
    }
    *instance = static_cast<DriverInstance *>(call->instance);
    *record = static_cast<GateAddressRW *>(call->argRecord);
    return true;
}

// Reads and writes alike need the stack open; both log the read's text when it is not.
bool StackReady(const DriverInstance *instance) {
    if (instance->dsfOpen == 0) {
        err(LOG_ERROR, "KESTA> DoRead() Net2000 not initialised!");
        return false;
    }
    return true;
}

bool StationValid(const GateAddressRW *record, const char *who) {
    if (record->station > PLC_MAX_STATION) {
        err(LOG_ERROR, "KESTA> %s() illegal plc address %u", who, record->station);
        return false;
    }
    return true;
}

bool CellGiven(const GateAddressRW *record, const char *who) {
    if (record->valueCell == nullptr) {
        err(LOG_ERROR, "KESTA> %s() gate %s has no value cell", who,
            record->addressString != nullptr ? record->addressString : "");
        return false;
    }
    return true;
}

// Read result of a failed exchange, logged like the engine's own codes.
uint32_t ReadFailed(uint32_t code) {
    err(LOG_DEBUG, "KESTA> DoRead() read, ErrCode: %u", LowByte(code));
    return KVI_FAILED;
}

uint32_t ReadEntry(DriverCall *call, const char *format) {
    if (call == nullptr || call->instance == nullptr)
        return KVI_REFUSED;
    const DriverInstance *instance = static_cast<const DriverInstance *>(call->instance);
    if (instance->portOpen == 0)
        return KVI_REFUSED;
    const uint32_t rc = DoRead(call);
    if (rc != 0)
        err(LOG_DEBUG, format, static_cast<int>(rc));
    return rc;
}

} // namespace

uint32_t ReadReplyFrameLength(uint32_t dataBytes) { return dataBytes + (dataBytes % 2u) + REPLY_FRAME_OVERHEAD; }

// The host's cells are written and read in host order, one named field after another; the PLC's data
// comes and goes most significant byte first.
int ConvertSingleRead(uint32_t elementBits, DsfReader *data, void *cell) {
    DsfWriter halves = dsf_writer(static_cast<uint8_t *>(cell), 4);
    put_h16(&halves, 0);
    switch (elementBits) {
    case 8: put_h16(&halves, get_u8(data)); break;
    case 16: put_h16(&halves, get_be16(data)); break;
    case 32: {
        DsfWriter whole = dsf_writer(static_cast<uint8_t *>(cell), 4);
        put_h32(&whole, get_be32(data));
        break;
    }
    default: return KVI_FAILED;
    }
    return data->ok ? 0 : KVI_FAILED;
}

int ConvertBlockRead(uint32_t elementBits, uint32_t count, DsfReader *data, GateAddressRW *record) {
    if (elementBits == 8) {
        const uint8_t *bytes = get_span(data, count);
        if (bytes == nullptr)
            return KVI_FAILED;
        memcpy(record->valueCell, bytes, count);
        return 0;
    }
    if (elementBits != 16 && elementBits != 32)
        return KVI_FAILED;
    // The host expects its cell pointer moved past the elements, as the driver always has.
    const uint32_t size = elementBits / 8u;
    for (uint32_t i = 0; i < count && data->ok; ++i) {
        DsfWriter element = dsf_writer(static_cast<uint8_t *>(record->valueCell), size);
        if (size == 2)
            put_h16(&element, get_be16(data));
        else
            put_h32(&element, get_be32(data));
        record->valueCell = static_cast<uint8_t *>(record->valueCell) + size;
    }
    return data->ok ? 0 : KVI_FAILED;
}

int ConvertSingleWrite(uint32_t elementBits, const void *cell, uint8_t out[4]) {
    DsfReader in = dsf_reader(static_cast<const uint8_t *>(cell), 4);
    DsfWriter plc = dsf_writer(out, 4);
    switch (elementBits) {
    case 8:
        get_skip(&in, 2); // the first half is not sent
        put_u8(&plc, get_h16(&in) & 0xFFu);
        return 0;
    case 16:
        get_skip(&in, 2);
        put_be16(&plc, get_h16(&in));
        return 0;
    case 32: put_be32(&plc, get_h32(&in)); return 0;
    default: return KVI_FAILED;
    }
}

uint32_t DoRead(DriverCall *call) {
    DriverInstance *instance = nullptr;
    GateAddressRW *record = nullptr;
    if (!CheckRecord(call, "DoRead", &instance, &record))
        return KVI_REFUSED;
    if (!StackReady(instance))
        return KVI_FAILED;
    if (IsTimeStampGate(record->typeCode)) {
        err(LOG_ERROR, "KESTA> DoRead() time-stamp gate can not be read!");
        return KVI_REFUSED;
    }
    if (!StationValid(record, "DoRead") || !CellGiven(record, "DoRead"))
        return KVI_REFUSED;
    if (IsSampleGate(record->typeCode))
        return ReadSampleGate(call);

    ObjectEntry *object = FindObjectEntry(instance, record->addressString);
    if (object == nullptr) {
        err(LOG_ERROR, "KESTA>  Object not found!");
        return KVI_REFUSED;
    }

    const bool single = call->functionCode == KVI_SINGLE_READ;
    // A single gate converts one element; a host that asks for none still gets that one read.
    const uint32_t count = single && record->elementCount == 0 ? 1u : record->elementCount;
    const uint64_t dataBytes = static_cast<uint64_t>(record->elementBits / 8u) * count;
    // The item length is 16 bits and the reply record must fit the reply buffer: a larger read fails
    // here, before any traffic, with the code the engine gives a reply that does not fit.
    if (dataBytes > GATE_MAX_READ_BYTES)
        return ReadFailed(DSF_ERR_REPLY_BUFFER);
    const uint32_t length = static_cast<uint32_t>(dataBytes);

    uint8_t request[GATE_REQUEST_SIZE];
    uint8_t reply[GATE_REPLY_SIZE];
    // The handle is the entry's, taken under the line lock: a look-up after an error reply may renew it.
    const ListItem read = {0, static_cast<uint16_t>(length), DSF_ACCESS_READ};
    const ExchangeRecords records = {request, sizeof request, reply, sizeof reply};
    DsfReplyItem item;
    int32_t rc = 0;
    // READ_GROUP_MS: from kept bytes, or with other objects of the station in one request.
    if (!ReadThroughGroup(instance, {record, single, read}, records, &item, &rc)) {
        rc = ExchangeObject(instance, record->station, object, false,
                            static_cast<uint16_t>(ReadReplyFrameLength(length)), read, nullptr, records, &item);
    }
    // Any code but 0 is a failure, also one whose low byte happens to be 0 (a station error number of
    // 256, say): a read must not hand the host a value the station never sent. Only the low byte shows.
    if (rc != 0)
        return ReadFailed(static_cast<uint32_t>(rc));
    if (item.status != 0)
        return ReadFailed(item.status);

    if (single)
        return static_cast<uint32_t>(ConvertSingleRead(record->elementBits, &item.data, record->valueCell));
    return static_cast<uint32_t>(ConvertBlockRead(record->elementBits, count, &item.data, record));
}

uint32_t DoWrite(DriverCall *call, const uint8_t *data) {
    DriverInstance *instance = nullptr;
    GateAddressRW *record = nullptr;
    if (!CheckRecord(call, "DoWrite", &instance, &record))
        return KVI_REFUSED;
    if (!StackReady(instance))
        return KVI_FAILED;
    if (!StationValid(record, "DoWrite"))
        return KVI_REFUSED;

    uint8_t reply[GATE_REPLY_SIZE];
    DsfReplyItem item;
    ObjectEntry *object = nullptr;
    int32_t rc = 0;
    {
        // Writes come without the instance mutex; the line lock keeps the lookup away from a parse
        // that is adding to the list and holds the line for the whole write.
        LineLock line;
        object = FindObjectEntry(instance, record->addressString);
        if (object != nullptr) {
            uint8_t request[GATE_REQUEST_SIZE];
            const ListItem write = {0, static_cast<uint16_t>(record->elementBits / 8u), DSF_ACCESS_WRITE};
            rc = ExchangeObject(instance, record->station, object, false, REPLY_FRAME_OVERHEAD, write, data,
                                {request, sizeof request, reply, sizeof reply}, &item);
            DropKeptRead(instance, record->addressString);
        }
    }
    if (object == nullptr) {
        err(LOG_ERROR, "KESTA> DoWrite() Object not found!");
        return KVI_REFUSED;
    }
    if (rc != 0) {
        err(LOG_ERROR, "KESTA> DoWrite() write, ErrCode: %u", LowByte(static_cast<uint32_t>(rc)));
        return KVI_FAILED;
    }
    if (item.status != 0) {
        err(LOG_ERROR, "KESTA> DoWrite() write, ErrCode: %u", LowByte(item.status));
        return KVI_REFUSED;
    }
    return KVI_OK;
}

uint32_t SingleRead(DriverCall *call) { return ReadEntry(call, "KESTA> SingleRead(), rc= %d"); }

uint32_t BlockRead(DriverCall *call) { return ReadEntry(call, "KESTA> BlockRead(), rc= %d"); }

uint32_t SingleWrite(DriverCall *call) {
    if (call == nullptr || call->instance == nullptr)
        return KVI_REFUSED;
    const DriverInstance *instance = static_cast<const DriverInstance *>(call->instance);
    if (instance->portOpen == 0)
        return KVI_REFUSED;
    DriverInstance *unused = nullptr;
    GateAddressRW *record = nullptr;
    if (!CheckRecord(call, "SingleWrite", &unused, &record))
        return KVI_REFUSED;
    if (IsSampleGate(record->typeCode)) {
        err(LOG_ERROR, "KESTA> DoRead() sample gate can not be written!");
        return KVI_REFUSED;
    }
    if (IsTimeStampGate(record->typeCode)) {
        err(LOG_ERROR, "KESTA> DoRead() time-stamp gate can not be written!");
        return KVI_REFUSED;
    }
    if (!CellGiven(record, "SingleWrite"))
        return KVI_REFUSED;
    uint8_t data[4] = {0, 0, 0, 0};
    if (ConvertSingleWrite(record->elementBits, record->valueCell, data) != 0)
        return KVI_FAILED;
    return DoWrite(call, data);
}

uint32_t BlockWrite(DriverCall *) {
    err(LOG_DEBUG, "KESTA> BlockWrite() NOT supported");
    return KVI_REFUSED;
}
