// Fuzz target: the gate layer as the host drives it, against a station that lives in this file.
// Address strings of any shape go through both parsers, then reads and writes with whatever
// elementCount, elementBits, station and cell the host record carries. The exchange is a fuzz-local
// RunExchange that answers connects, lookups and ReadWrite items from the input (failures, odd
// descriptors, short replies, item statuses, data), so one iteration takes microseconds. With
// READ_GROUP_MS on (from the input) reads group and answer from kept bytes, the station's room and the
// clock also coming from the input.
// Checked: parsers answer 0 or 1 and fill only sane fields; a read that succeeds leaves exactly the
// station's value in the cell (from its own exchange, or kept from an earlier one younger than the
// bound), a read that fails leaves the cell alone; a write sends the cell's value and drops what was
// kept of it; a group fits the room it was given and carries only single values of its station; no
// request claims more room than it has; every list entry is well formed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_host_stubs.h"
#include "plc/address_parser.h"
#include "plc/gate_io.h"
#include "plc/gates.h"
#include "plc/plc_common.h"
#include "plc/read_group.h"
#include "plc/registry.h"
#include "plc/station.h"
#include "plc/station_watch.h"
#include "platform/system.h"
#include "serial/line_state.h"
#include "serial/reopen.h"
#include "serial/transport.h"

// ---- Platform services the gate layer uses: no waiting, one thread, a clock that moves only when the
// gate layer sleeps. ------------------------------------------------------------------------------------
namespace {
uint64_t g_now = 0;
} // namespace
void plat_line_lock() {}
void plat_line_unlock() {}
void plat_sleep_ms(uint32_t milliseconds) { g_now += milliseconds; }
uint64_t plat_monotonic_ms() { return g_now; }
uint64_t plat_monotonic_us() { return g_now * 1000u; }

namespace {

FuzzInput *g_in = nullptr;
// FUZZ_TRACE=1 tells what each call of an input did (to check a seed, or to read a crash).
const bool g_trace = getenv("FUZZ_TRACE") != nullptr;
// What a connect hands out: one connection handle per station address. The gate layer only keeps a
// handle and hands it back, never looks into it, so any distinct addresses serve.
unsigned char g_entries[256][16];
StationEntry *EntryOf(uint32_t station) { return reinterpret_cast<StationEntry *>(g_entries[station]); }
bool IsEntry(const StationEntry *handle) {
    const unsigned char *at = reinterpret_cast<const unsigned char *>(handle);
    return at >= g_entries[0] && at <= g_entries[255];
}
DriverInstance *g_instance = nullptr;

// What the station did in the last ReadWrite exchange, for the checks after the host's call.
struct Exchange {
    bool seen;
    int32_t rc;
    uint16_t status;
    uint16_t access;
    uint16_t length;
    uint32_t handle;
    uint8_t data[GATE_MAX_READ_BYTES + 2]; // read: the data sent back; write: the data received
};
Exchange g_last;
bool g_answered = false; // the last exchange met a station that answered (a reply or an error reply)

const int32_t kFailures[] = {DSF_ERR_NO_REPLY, 256, DSF_ERR_REPLY_BUFFER, 1, DSF_ERR_NOT_CONNECTED, -173};

// Grouped reads: the bound (0 off), the room the last ExchangeRoom gave, every value the station sent
// for each handle (what kept bytes may hold), and the station of each connection handle.
uint32_t g_boundMs = 0;
struct Room {
    bool given;
    uint32_t itemHead;
    uint32_t message;
};
Room g_room;
std::map<uint32_t, std::set<std::vector<uint8_t>>> g_sent;
uint32_t StationOf(const StationEntry *handle) {
    return static_cast<uint32_t>((reinterpret_cast<const unsigned char *>(handle) - g_entries[0]) / 16);
}

uint32_t Small(FuzzInput &in) {
    static const uint32_t sizes[] = {1, 2, 4, 12, 0, 3, 8, 1000};
    return sizes[in.u8() % 8];
}

void PutHost16(uint8_t *at, uint16_t v) { memcpy(at, &v, sizeof v); }
uint16_t GetHost16(const uint8_t *at) {
    uint16_t v;
    memcpy(&v, at, sizeof v);
    return v;
}
uint32_t GetHost32(const uint8_t *at) {
    uint32_t v;
    memcpy(&v, at, sizeof v);
    return v;
}

void Describe(FuzzInput &in, uint8_t shape, uint8_t *reply) {
    ObjectDescriptor d;
    memset(&d, 0, sizeof d);
    d.status = (shape & 0x40) ? in.u16() : 0;
    d.handle = (shape & 0x01) ? in.u32() : in.u16();
    static const uint16_t kinds[] = {1, 2, 3, 0, 4, 1, 0, 0xFFFF};
    d.kind = kinds[in.u8() % 8];
    d.length = (shape & 0x02) ? in.u32() : Small(in);
    d.dataType = (shape & 0x04) ? in.u16() : in.u8() % 10;
    d.aux = in.u32();
    d.elementLength = (shape & 0x08) ? in.u32() : Small(in);
    d.access = (shape & 0x10) ? in.u16() : 3;
    memcpy(reply, &d, sizeof d);
}

} // namespace

namespace {

// A request of more than one item is a group: the key is on, it fits the room ExchangeRoom gave (one
// frame each way, the station's size, the gate records), it reads only, and every item after the
// first is a single value registered for the same station with its own length.
void CheckGroup(const uint8_t *request, uint32_t items, uint16_t expectedReplyLength, const StationEntry *handle) {
    FuzzCheck(g_boundMs != 0 && g_room.given && IsEntry(handle));
    const uint32_t limit = g_room.message < 508 ? g_room.message : 508;
    FuzzCheck(6 + g_room.itemHead * items <= limit);
    uint32_t data = 0;
    for (uint32_t i = 0; i < items; ++i) {
        const uint32_t handleOf = GetHost32(request + 2 + 8 * i);
        const uint16_t length = GetHost16(request + 6 + 8 * i);
        FuzzCheck(GetHost16(request + 8 + 8 * i) == DSF_ACCESS_READ);
        data += (length + 1u) & ~1u;
        if (i == 0) {
            continue;
        }
        bool registered = false;
        for (const ObjectEntry *e = static_cast<const ObjectEntry *>(g_instance->ObjectList); e != nullptr;
             e = e->next) {
            registered = registered || (e->handle == handleOf && e->kept.length == length &&
                                        e->kept.station == StationOf(handle) && e->kept.alone == 0);
        }
        FuzzCheck(registered);
    }
    FuzzCheck(4 + data <= limit);
    FuzzCheck(expectedReplyLength == data + 14);
}

} // namespace

bool ExchangeRoom(const void *handleSlot, uint32_t *itemHead, uint32_t *stationMessage) {
    StationEntry *handle = nullptr;
    memcpy(&handle, handleSlot, sizeof handle);
    FuzzCheck(g_boundMs != 0);
    if (!IsEntry(handle)) {
        return false;
    }
    static const uint32_t sizes[] = {4096, 508, 64, 12, 7, 100000, 30, 0};
    const uint8_t room = g_in->u8();
    g_room = {true, (room & 0x80) ? 6u : 2u, sizes[room % 8]};
    *itemHead = g_room.itemHead;
    *stationMessage = g_room.message;
    return g_room.message != 0;
}

// The stack is never opened here: the parsers run on an instance that a cold start has prepared.
int32_t dsf_ra_open(const char *) {
    FuzzCheck(false);
    return 1;
}

int32_t LineDeviceReady(PortHandle) { return 0; } // no port here: its device never fails
void TransportNextExchange(bool) { g_answered = false; }
void TransportExchangeDone() {}
bool TransportAnswered() { return g_answered; }

// ---- The exchange: one request, answered from the input. ---------------------------------------------
int32_t RunExchange(PortHandle, uint16_t expectedReplyLength, void *handleSlot, const uint8_t *request,
                    uint32_t requestSize, uint8_t *reply, uint32_t *replyLength) {
    FuzzInput &in = *g_in;
    FuzzCheck(request != nullptr && reply != nullptr && replyLength != nullptr && requestSize >= 10);
    const uint32_t capacity = *replyLength;
    FuzzCheck(capacity >= 26);
    // Both sizes must be true: touching the last byte shows a lie under ASan.
    volatile uint8_t touch = request[requestSize - 1];
    touch = reply[capacity - 1];
    (void)touch;
    FuzzCheck(ReadLineState().ExpectedReplyLength == EXPECTED_REPLY_IDLE); // the callers leave the resting value behind

    StationEntry *handle = nullptr;
    if (handleSlot != nullptr) {
        memcpy(&handle, handleSlot, sizeof handle);
    }
    const uint8_t answer = in.u8();
    const int32_t failure = (answer & 0xE0) == 0xE0 ? kFailures[answer % 6] : 0;
    g_answered = failure == 0 || failure == 256; // 256: a station's error reply

    switch (request[0]) {
    case DSF_SVC_CONNECT_STATION: {
        FuzzCheck(expectedReplyLength == 24 && handleSlot != nullptr);
        if (failure != 0) {
            return failure;
        }
        handle = EntryOf(request[2]);
        memcpy(handleSlot, &handle, sizeof handle);
        *replyLength = 14;
        return 0;
    }
    case DSF_SVC_LOOKUP_OBJECTS: {
        FuzzCheck(expectedReplyLength == 36 && request[1] == 1);
        const uint16_t namesLength = GetHost16(request + 2);
        FuzzCheck(namesLength >= 1 && 6u + namesLength <= requestSize && request[6 + namesLength - 1] == '\0');
        FuzzCheck(strlen(reinterpret_cast<const char *>(request + 6)) + 1 == namesLength);
        // A lookup goes to a station that a connect has served.
        FuzzCheck(IsEntry(handle));
        if (failure != 0) {
            return failure;
        }
        Describe(in, in.u8(), reply);
        *replyLength = (answer & 0x10) ? in.u8() % 40 : 26;
        return 0;
    }
    case DSF_SVC_READ_WRITE: {
        const uint32_t items = request[1];
        FuzzCheck(items >= 1 && 2u + 8u * items <= requestSize);
        if (items > 1) {
            CheckGroup(request, items, expectedReplyLength, handle);
        }
        Exchange &x = g_last;
        x.seen = true;
        x.handle = GetHost32(request + 2);
        x.length = GetHost16(request + 6);
        x.access = GetHost16(request + 8);
        FuzzCheck(x.handle <= 0xFFFF);
        FuzzCheck(x.length <= GATE_MAX_READ_BYTES);
        if (x.access == DSF_ACCESS_WRITE) {
            FuzzCheck(items == 1 && expectedReplyLength == 14 && x.length <= 4);
            FuzzCheck(10u + x.length <= requestSize);
            memcpy(x.data, request + 10, x.length);
        } else {
            FuzzCheck(x.access == DSF_ACCESS_READ);
            FuzzCheck(items > 1 || expectedReplyLength == x.length + x.length % 2 + 14);
        }
        x.rc = failure;
        if (failure != 0) {
            return failure;
        }
        // Each item its status and data, one after the other (status 0 and a read's data, padded).
        uint32_t at = 0;
        for (uint32_t i = 0; i < items; ++i) {
            const uint32_t handleOf = GetHost32(request + 2 + 8 * i);
            const uint16_t length = GetHost16(request + 6 + 8 * i);
            const uint16_t status = (answer & 0x08) ? in.u16() : 0;
            const uint32_t even = (length + 1u) & ~1u;
            FuzzCheck(at + 2 + even <= capacity);
            PutHost16(reply + at, status);
            if (i == 0) {
                x.status = status;
            }
            if (x.access == DSF_ACCESS_READ) {
                uint8_t data[GATE_MAX_READ_BYTES + 2];
                in.bytes(data, length);
                memcpy(reply + at + 2, data, length);
                if (i == 0) {
                    memcpy(x.data, data, length);
                }
                if (status == 0 && length <= 4) {
                    g_sent[handleOf].insert(std::vector<uint8_t>(data, data + length));
                }
            }
            at += 2 + (x.access == DSF_ACCESS_READ ? even : 0);
        }
        // A reply record cut short now and then: the gate layer must not read past it.
        *replyLength = (answer & 0x04) && items > 1 ? at - in.u8() % 3 : at;
        return 0;
    }
    default:
        FuzzCheck(false); // the gate layer sends nothing else
        return 1;
    }
}

namespace {

// ---- Gates as the host keeps them. ---------------------------------------------------------------------
enum { GATES = 8, GARBAGE = 0x5A5A5A5A };

struct Gate {
    std::string address;
    bool parsed = false;
    bool block = false;
    uint32_t gateType = 0;
    GateAddressParse parse{};
};
Gate g_gates[GATES];

std::string Digits3(unsigned value) {
    char text[8];
    snprintf(text, sizeof text, "%03u", value % 1000u);
    return text;
}

std::string Name(FuzzInput &in) {
    static const char *const names[] = {"speed", "table", "data", "arr", "x", "_Mdata", "level raw", "t.toggle"};
    const uint8_t pick = in.u8();
    if (pick < 0xC0) {
        return names[pick % 8];
    }
    std::string name;
    const size_t n = in.u8() % 24;
    for (size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>(in.u8());
        name += c == '\0' ? '_' : c;
    }
    return name;
}

std::string Address(FuzzInput &in, uint8_t form, uint8_t master) {
    const unsigned station = (form & 0x08) ? in.u8() : (master == 2 ? 3u : 2u);
    switch (form & 7) {
    case 0: { // anything, also longer than the host's 255 characters
        const size_t n = (form & 0x10) ? 250 + in.u8() % 40 : in.u8() % 32;
        std::string text;
        for (size_t i = 0; i < n; ++i) {
            const char c = static_cast<char>(in.u8());
            text += c == '\0' ? '1' : c;
        }
        return text;
    }
    case 1:
    case 2: return Digits3(station) + Name(in);
    case 3: {
        std::string index;
        const size_t n = in.u8() % 12;
        for (size_t i = 0; i < n; ++i) {
            index += static_cast<char>((form & 0x10) ? in.u8() | 1 : '0' + in.u8() % 10);
        }
        return Digits3(station) + Name(in) + "[" + index + ((form & 0x20) ? "" : "]");
    }
    case 4: return Digits3(station) + ((form & 0x10) ? "_V" : "_M") + Name(in);
    case 5: return Digits3(station) + ((form & 0x10) ? "_V" : "_M") + Digits3(in.u8()) + "_" + Digits3(in.u16());
    case 6: { // an earlier gate's address again, or an element of it
        const Gate &earlier = g_gates[in.u8() % GATES];
        return (form & 0x10) ? earlier.address + "[" + std::to_string(in.u8()) + "]" : earlier.address;
    }
    default: return Digits3(station) + std::string(in.u8() % 255, 'n');
    }
}

const uint32_t kGateTypes[] = {GATE_UNSIGNED16, GATE_SIGNED16, GATE_FLOAT,  GATE_SIGNED32,
                               GATE_UNSIGNED32, GATE_DIGITAL,  GATE_STRING, 2};

// The host type that a PLC data type 1..8 demands.
uint32_t RequiredGateType(uint32_t plcType) {
    static const uint32_t required[9] = {0,
                                         GATE_DIGITAL,
                                         GATE_SIGNED16,
                                         GATE_SIGNED16,
                                         GATE_SIGNED32,
                                         GATE_UNSIGNED16,
                                         GATE_UNSIGNED16,
                                         GATE_UNSIGNED32,
                                         GATE_FLOAT};
    return required[plcType];
}

void CheckParsed(const Gate &gate, uint32_t rc, uint8_t master) {
    FuzzCheck(rc == KVI_OK || rc == KVI_REFUSED); // parsers never answer 2
    if (rc != KVI_OK) {
        return;
    }
    const GateAddressParse &p = gate.parse;
    FuzzCheck(gate.address.size() <= 255);
    FuzzCheck(p.station <= 255 && p.station != master);
    FuzzCheck(gate.block || gate.gateType != GATE_STRING); // a block parse does not read the type
    const uint32_t type = p.typeCode;
    if (type == EWTm || type == EWTv) {
        FuzzCheck(!gate.block && p.toggleHandle == -1);
        FuzzCheck(type == EWTm
                      ? p.elementBits == 1 && gate.gateType == GATE_DIGITAL
                      : p.elementBits == 16 && (gate.gateType == GATE_UNSIGNED16 || gate.gateType == GATE_SIGNED16));
        FuzzCheck(static_cast<uint32_t>(p.offset) == GARBAGE); // the host's value stays
        return;
    }
    if (type == EWTM || type == EWTV) {
        FuzzCheck(!gate.block && gate.gateType == GATE_UNSIGNED32 && p.elementBits == 16);
        FuzzCheck(p.offset >= 0 && p.offset <= 0xFFFF && p.toggleHandle >= 0 && p.toggleHandle <= 0xFFFF);
        return;
    }
    FuzzCheck(p.toggleHandle == -1 && p.offset >= 0);
    if (!gate.block && type >= 1 && type <= 8) {
        FuzzCheck(gate.gateType == RequiredGateType(type));
    }
    const ObjectEntry *entry = FindObjectEntry(g_instance, gate.address.c_str());
    if (gate.block) {
        FuzzCheck(entry != nullptr && entry->areaOffset == p.offset);
        FuzzCheck(static_cast<int64_t>(p.offset) + gate.parse.blockLength <= INT32_MAX);
    } else if (gate.address.find('[') == std::string::npos) {
        FuzzCheck(entry != nullptr);
    }
}

void ParseGate(FuzzInput &in, uint8_t op, uint8_t master) {
    Gate &gate = g_gates[(op >> 4) % GATES];
    gate.block = (op & 0x0F) == 2;
    gate.address = Address(in, in.u8(), master);
    const uint8_t typeByte = in.u8();
    gate.gateType = (typeByte & 0x80) ? in.u32() : kGateTypes[typeByte % 8];
    memset(&gate.parse, 0x5A, sizeof gate.parse); // the driver's fields hold whatever the host left there
    gate.parse.addressString = gate.address.c_str();
    gate.parse.gateType = gate.gateType;
    gate.parse.blockLength = (typeByte & 0x40) ? in.u32() : in.u8();
    DriverCall call{};
    call.instance = g_instance;
    call.functionCode = gate.block ? KVI_BLOCK_ADDRESS_PARSER : KVI_SINGLE_ADDRESS_PARSER;
    call.argRecord = &gate.parse;
    const uint32_t rc = gate.block ? BlockAddressParser(&call) : SingleAddressParser(&call);
    gate.parsed = rc == KVI_OK;
    if (g_trace) {
        fprintf(stderr, "%s parse '%s' type %u -> %u (station %u, typeCode 0x%X, offset %d, toggle %d, bits %u)\n",
                gate.block ? "block" : "single", gate.address.c_str(), gate.gateType, rc, gate.parse.station,
                gate.parse.typeCode, gate.parse.offset, gate.parse.toggleHandle, gate.parse.elementBits);
    }
    CheckParsed(gate, rc, master);
}

// The value a successful single read must leave in a cell of the host: two 16-bit halves, the value
// in the second; 32 bits whole.
bool SingleCellHolds(const uint8_t *cell, uint32_t bits, const uint8_t *data) {
    uint16_t halves[2];
    uint32_t whole;
    memcpy(halves, cell, 4);
    memcpy(&whole, cell, 4);
    switch (bits) {
    case 8: return halves[0] == 0 && halves[1] == data[0];
    case 16: return halves[0] == 0 && halves[1] == (data[0] << 8 | data[1]);
    case 32:
        return whole == (static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
                         static_cast<uint32_t>(data[2]) << 8 | data[3]);
    default: return false;
    }
}

bool BlockCellHolds(const uint8_t *cell, uint32_t bits, uint32_t count, const uint8_t *data) {
    const uint32_t size = bits / 8;
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t b = 0; b < size; ++b) {
            // Host order on a little-endian machine: the PLC's bytes reversed within each element.
            if (cell[i * size + b] != data[i * size + (size - 1 - b)]) {
                return false;
            }
        }
    }
    return true;
}

void ReadOrWrite(FuzzInput &in, uint8_t op) {
    Gate &gate = g_gates[(op >> 4) % GATES];
    const uint8_t shape = in.u8();
    GateAddressRW rw;
    memset(&rw, 0, sizeof rw);
    rw.addressString = gate.address.c_str();
    // A host carries the parser's fields over; a careless one hands over anything at all.
    rw.station = (shape & 0x01) ? in.u32() : gate.parse.station;
    rw.typeCode = (shape & 0x02) ? in.u32() : gate.parse.typeCode;
    rw.offset = gate.parse.offset;
    rw.toggleHandle = gate.parse.toggleHandle;
    rw.elementBits = (shape & 0x04) ? ((shape & 0x08) ? in.u32() : in.u8()) : gate.parse.elementBits;
    rw.elementCount = (shape & 0x10) ? in.u32() : in.u8() % 8;
    const int kind = op & 0x0F; // 3 single read, 4 block read, 5 write
    const uint32_t bits = rw.elementBits;
    // The host's cell is exactly as large as the gate it serves: a single cell of 32 bits (a sample
    // gate's count included), or the block's elements; bounded here for absurd records.
    uint64_t cellSize = kind == 4 ? static_cast<uint64_t>(bits / 8) * rw.elementCount : 4;
    const bool oversized = cellSize > GATE_MAX_READ_BYTES;
    if (oversized || cellSize < 4) {
        cellSize = 4;
    }
    uint8_t *cell = static_cast<uint8_t *>(malloc(cellSize));
    memset(cell, 0xC3, cellSize);
    uint8_t *before = static_cast<uint8_t *>(malloc(cellSize));
    in.bytes(cell, cellSize < 4 ? cellSize : 4);
    memcpy(before, cell, cellSize);
    rw.valueCell = (shape & 0x20) && (shape & 0x40) ? nullptr : cell;

    DriverCall call{};
    call.instance = g_instance;
    call.argRecord = &rw;
    call.driverNumber = 3;
    g_last.seen = false;
    uint32_t rc;
    if (kind == 5) {
        call.functionCode = KVI_SINGLE_WRITE;
        rc = SingleWrite(&call);
    } else {
        call.functionCode = kind == 3 ? KVI_SINGLE_READ : KVI_BLOCK_READ;
        rc = kind == 3 ? SingleRead(&call) : BlockRead(&call);
    }
    if (g_trace) {
        fprintf(stderr, "%s '%s' count %u bits %u -> %u (exchange %s, rc %d, status %u)\n",
                kind == 5   ? "write"
                : kind == 3 ? "single read"
                            : "block read",
                gate.address.c_str(), rw.elementCount, bits, rc, g_last.seen ? "seen" : "none", g_last.rc,
                g_last.status);
    }
    FuzzCheck(rc <= KVI_FAILED);
    FuzzCheck(ReadLineState().ExpectedReplyLength == EXPECTED_REPLY_IDLE);

    const bool ordinary = !IsSampleGate(rw.typeCode) && !IsTimeStampGate(rw.typeCode);
    const bool sized = bits == 8 || bits == 16 || bits == 32;
    if (ordinary && g_last.seen) {
        // A failed exchange or a refused item never reaches the host as a success.
        if (g_last.rc != 0 || g_last.status != 0) {
            FuzzCheck(rc != KVI_OK);
        }
        FuzzCheck(rw.station <= 255);
    }
    if (ordinary && kind != 5 && rw.valueCell != nullptr && !oversized) {
        if (rc == KVI_OK && !g_last.seen) {
            // Answered from kept bytes: a single value the station sent under its handle, younger than
            // the bound.
            FuzzCheck(kind == 3 && g_boundMs != 0);
            const ObjectEntry *e = FindObjectEntry(g_instance, rw.addressString);
            FuzzCheck(e != nullptr && e->kept.held != 0 && e->kept.length * 8u == bits);
            FuzzCheck(g_now * 1000u - e->kept.readAt < uint64_t{g_boundMs} * 1000u);
            FuzzCheck(SingleCellHolds(cell, bits, e->kept.bytes));
            FuzzCheck(g_sent[e->handle].count(std::vector<uint8_t>(e->kept.bytes, e->kept.bytes + e->kept.length)) ==
                      1);
        } else if (rc == KVI_OK) {
            FuzzCheck(g_last.seen && g_last.rc == 0 && g_last.status == 0);
            if (kind == 3) {
                FuzzCheck(SingleCellHolds(cell, bits, g_last.data));
            } else {
                FuzzCheck(BlockCellHolds(cell, bits, rw.elementCount, g_last.data));
                const size_t moved = static_cast<uint8_t *>(rw.valueCell) - cell;
                FuzzCheck(moved == (bits == 8 ? 0 : bits / 8 * rw.elementCount));
            }
        } else if (sized) {
            FuzzCheck(memcmp(cell, before, cellSize) == 0); // a failed read leaves the cell alone
        }
    }
    if (ordinary && kind == 5 && g_last.seen) {
        // A write that reached the line leaves nothing kept of its object.
        const ObjectEntry *e = FindObjectEntry(g_instance, rw.addressString);
        FuzzCheck(e == nullptr || e->kept.held == 0);
    }
    if (ordinary && kind == 5 && rc == KVI_OK) {
        FuzzCheck(g_last.seen && g_last.access == DSF_ACCESS_WRITE && g_last.length == bits / 8);
        uint8_t expected[4];
        uint16_t half;
        uint32_t whole;
        memcpy(&half, before + 2, 2);
        memcpy(&whole, before, 4);
        if (bits == 8) {
            expected[0] = static_cast<uint8_t>(half);
        } else if (bits == 16) {
            expected[0] = static_cast<uint8_t>(half >> 8);
            expected[1] = static_cast<uint8_t>(half);
        } else {
            FuzzCheck(bits == 32);
            for (int i = 0; i < 4; ++i) {
                expected[i] = static_cast<uint8_t>(whole >> (24 - 8 * i));
            }
        }
        FuzzCheck(memcmp(expected, g_last.data, bits / 8) == 0);
    }
    free(before);
    free(cell);
}

void CheckLists(const DriverInstance *instance) {
    for (const ObjectEntry *e = static_cast<const ObjectEntry *>(instance->ObjectList); e != nullptr; e = e->next) {
        FuzzCheck(strnlen(e->name, sizeof e->name) < sizeof e->name && e->areaOffset >= 0);
        const KeptRead &k = e->kept;
        FuzzCheck(k.length == 0 || k.length == 1 || k.length == 2 || k.length == 4);
        FuzzCheck(g_boundMs != 0 || (k.length == 0 && k.held == 0 && k.alone == 0));
        if (k.held != 0) {
            FuzzCheck(k.length != 0 && g_sent[e->handle].count(std::vector<uint8_t>(k.bytes, k.bytes + k.length)) == 1);
        }
    }
    for (const UsedArea *a = static_cast<const UsedArea *>(instance->UsedAreaList); a != nullptr; a = a->next) {
        FuzzCheck(a->nextOffset >= 0 && a->station <= 255);
    }
}

void FreeLists(DriverInstance *instance) { ReleaseRegistry(instance); }

} // namespace

// Input: master address, flags (stack open, EWT delay, port state, healing keys, READ_GROUP_MS), then operations,
// each one byte (low nibble: 0, 1 single parse; 2 block parse; 3 single read; 4 block read; 5 write;
// 6 time passes; high nibble: which of eight gates) followed by its own fields and the station's
// answers to its exchanges.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in = {data, size, 0};
    g_in = &in;
    DriverInstance instance;
    const uint8_t master = in.u8();
    const uint8_t flags = in.u8();
    // The block as a cold start leaves it: every field it writes is written, the rest is what the host
    // handed over, cleared or not (flag 0x20: the 0xCD of a debug heap).
    memset(&instance, (flags & 0x20) ? 0xCD : 0x00, sizeof instance);
    instance.ending = 0;
    instance.mutex = 0;
    instance.sampleCount = 0;
    instance.lineTimeout = 20;
    instance.ObjectList = nullptr;
    instance.UsedAreaList = nullptr;
    for (size_t i = 0; i < sizeof instance.StationTable / sizeof instance.StationTable[0]; ++i) {
        instance.StationTable[i] = nullptr;
    }
    g_instance = &instance;
    instance.masterAddress = master;
    instance.dsfOpen = (flags & 0x0F) == 0x0F ? 0 : 1;
    instance.portOpen = (flags & 0xF0) == 0xF0 ? 0 : 1;
    instance.portHandle = 42;
    instance.ewtDelay = (flags & 0x10) ? in.u8() : 0;
    // Flags 0x40 and 0x80: the line's options as a cold start leaves them in the line table: the healing
    // keys (a station set aside after a few silent requests, objects looked up again after an error reply)
    // and READ_GROUP_MS.
    g_boundMs = (flags & 0x80) ? 1u + in.u16() % 60000u : 0;
    g_room = Room();
    g_sent.clear();
    ForgetLine(&instance);
    if ((flags & 0x40) != 0 || g_boundMs != 0) {
        LineOptions options = DefaultLineOptions();
        if (flags & 0x40) {
            options.silentStationLimit = in.u8() % 4;
            options.silentStationPause = 100u + in.u8();
            options.relookupOnError = in.u8() & 1u;
        }
        options.readGroupMs = g_boundMs;
        RememberLine(&instance, instance.portHandle, 0, 0, options);
    }
    LineSetExpectedReply(EXPECTED_REPLY_IDLE);
    for (Gate &gate : g_gates) {
        gate = Gate();
    }
    for (int ops = 0; ops < 64 && in.more(); ++ops) {
        const uint8_t op = in.u8();
        switch (op & 0x0F) {
        case 0:
        case 1:
        case 2: ParseGate(in, op, master); break;
        case 3:
        case 4:
        case 5: ReadOrWrite(in, op); break;
        case 6: g_now += (op & 0x80) ? in.u16() : in.u8() % 8; break;
        default: ParseGate(in, static_cast<uint8_t>(op & 0xF0), master); break;
        }
        CheckLists(&instance);
    }
    FreeLists(&instance);
    ForgetLine(&instance); // the next input's block may lie at the same address
    ForgetStations(&instance);
    g_in = nullptr;
    return 0;
}
