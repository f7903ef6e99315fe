// ReadSampleGate and TimeStamp. A record is counted and acknowledged whatever becomes of it in the
// host: the PLC only presents the next one after the acknowledgement, and a record that cannot be
// stored must not block the ones behind it.
#include "plc/sample_gate.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "dsf/dsf_request.h"
#include "plc/plc_common.h"
#include "plc/registry.h"
#include "plc/station_watch.h"
#include "platform/system.h"
#include "platform/talrun.h"

namespace {

enum {
    SAMPLE_READ_REPLY_FRAME = 26, // frame around the 12-byte record and its item status
    SAMPLE_ACK_REPLY_FRAME = 14,
    PUT_VALUE_KIND = 2 // TalPutGateVal's constant; its meaning is the host's
};

// One EWT record as the PLC structure holds it, 12 bytes: present flag, day, month, one byte not used,
// year (big-endian), hour, minute, then by kind: a message record has its second, the two numbers that
// name its time-stamp gate and its state; a measurement record (no seconds) the two numbers and a
// big-endian value.
struct SampleRecord {
    uint8_t present;
    uint8_t day;
    uint8_t month;
    uint16_t year;
    uint8_t hour;
    uint8_t minute;
    uint8_t second; // 0 for a measurement
    uint8_t gateFirst;
    uint8_t gateSecond;
    uint16_t value; // a message's state byte, or a measurement's value
};

void ReadSampleRecord(uint32_t typeCode, const uint8_t bytes[SAMPLE_RECORD_SIZE], SampleRecord *r) {
    DsfReader in = dsf_reader(bytes, SAMPLE_RECORD_SIZE);
    r->present = get_u8(&in);
    r->day = get_u8(&in);
    r->month = get_u8(&in);
    get_skip(&in, 1);
    r->year = get_be16(&in);
    r->hour = get_u8(&in);
    r->minute = get_u8(&in);
    if (typeCode == EWTV) {
        r->second = 0;
        r->gateFirst = get_u8(&in);
        r->gateSecond = get_u8(&in);
        r->value = get_be16(&in);
    } else {
        r->second = get_u8(&in);
        r->gateFirst = get_u8(&in);
        r->gateSecond = get_u8(&in);
        r->value = get_u8(&in);
    }
}

// One ReadWrite exchange of one item on the sample gate's station; 0 or the engine's code. sample: the
// structure's registry entry (under RELOOKUP_ON_ERROR), whose handles take the place of the record's.
int32_t SampleExchange(DriverInstance *instance, const GateAddressRW *gate, ObjectEntry *sample, bool toggle,
                       uint16_t expected, const ListItem &ask, const uint8_t *data, uint8_t (&reply)[SAMPLE_REPLY_SIZE],
                       DsfReplyItem *item) {
    uint8_t request[SAMPLE_REQUEST_SIZE];
    return ExchangeObject(instance, gate->station, sample, toggle, expected, ask, data,
                          {request, sizeof request, reply, sizeof reply}, item);
}

uint32_t HandleOf(int32_t field) { return static_cast<uint32_t>(field) & 0xFFFFu; }

// The outcome of a sample exchange ("Read" or "Write toggle"): 0 when the exchange and its item both
// succeeded, else 2 after logging the engine's code (ErrCode) or the item status (ErrCode2).
uint32_t SampleResult(const char *what, int32_t rc, const DsfReplyItem &item) {
    if (rc != 0) {
        err(LOG_ERROR, "KESTA> ReadSampleGate() %s, ErrCode: %u", what, LowByte(static_cast<uint32_t>(rc)));
        return KVI_FAILED;
    }
    if (item.status != 0) {
        err(LOG_ERROR, "KESTA> ReadSampleGate() %s, ErrCode2: %u", what, LowByte(item.status));
        return KVI_FAILED;
    }
    return KVI_OK;
}

// 0 and the record, or 2 after logging.
uint32_t ReadRecord(DriverInstance *instance, const GateAddressRW *gate, ObjectEntry *sample,
                    uint8_t (&record)[SAMPLE_RECORD_SIZE]) {
    uint8_t reply[SAMPLE_REPLY_SIZE];
    const ListItem read = {HandleOf(gate->offset), SAMPLE_RECORD_SIZE, DSF_ACCESS_READ};
    DsfReplyItem item;
    const int32_t rc =
        SampleExchange(instance, gate, sample, false, SAMPLE_READ_REPLY_FRAME, read, nullptr, reply, &item);
    if (SampleResult("Read", rc, item) != KVI_OK)
        return KVI_FAILED;
    const uint8_t *bytes = get_span(&item.data, SAMPLE_RECORD_SIZE);
    if (bytes == nullptr)
        return KVI_FAILED; // never: the item's data is the record's 12 bytes
    memcpy(record, bytes, SAMPLE_RECORD_SIZE);
    return KVI_OK;
}

// Writes 0 into ".toggle": the PLC then presents its next record. 0, or 2 after logging.
uint32_t Acknowledge(DriverInstance *instance, const GateAddressRW *gate, ObjectEntry *sample) {
    const uint8_t zero = 0;
    uint8_t reply[SAMPLE_REPLY_SIZE];
    const ListItem write = {HandleOf(gate->toggleHandle), 1, DSF_ACCESS_WRITE};
    DsfReplyItem item;
    const int32_t rc = SampleExchange(instance, gate, sample, true, SAMPLE_ACK_REPLY_FRAME, write, &zero, reply, &item);
    return SampleResult("Write toggle", rc, item);
}

// The record's local time as seconds since 1970, or 1 after logging why not.
int RecordTime(const SampleRecord &r, int32_t *seconds) {
    const unsigned day = r.day;
    const unsigned month = r.month;
    const int year = r.year;
    const unsigned hour = r.hour;
    const unsigned minute = r.minute;
    const unsigned second = r.second; // measurements carry no seconds
    if (hour >= 24 || minute >= 60 || second >= 60 || day > 31 || month > 13) {
        err(LOG_ERROR, "KESTA> TimeStamp() ill. time %02u/%02u/%02u %u:%02u:%02u received (1)", day, month,
            static_cast<unsigned>(year - 1900), hour, minute, second);
        return 1;
    }

    // Month 13, month 0, day 0 and days past the month's end are carried over by the conversion.
    struct tm when;
    memset(&when, 0, sizeof when);
    when.tm_sec = static_cast<int>(second);
    when.tm_min = static_cast<int>(minute);
    when.tm_hour = static_cast<int>(hour);
    when.tm_mday = static_cast<int>(day);
    when.tm_mon = static_cast<int>(month) - 1;
    when.tm_year = year - 1900;
    // Daylight saving follows the record's own date: today's flag would put a winter record read in
    // summer (or the reverse) an hour off.
    when.tm_isdst = -1;
    // The host's time stamps are a signed 32-bit count: where time_t is wider, a time before 1970 or
    // after January 2038 is refused just as the 32-bit conversion refuses it.
    const int64_t converted = static_cast<int64_t>(mktime(&when));
    if (converted < 0 || converted > INT32_MAX) {
        err(LOG_ERROR, "KESTA> TimeStamp() ill. time %02u/%02u/%02u %u:%02u:%02u received (2)",
            static_cast<unsigned>(when.tm_mday), static_cast<unsigned>(when.tm_mon + 1),
            static_cast<unsigned>(when.tm_year), static_cast<unsigned>(when.tm_hour),
            static_cast<unsigned>(when.tm_min), static_cast<unsigned>(when.tm_sec));
        return 1;
    }
    *seconds = static_cast<int32_t>(converted);
    return 0;
}

// Hands one record to its time-stamp gate in the host. Failures are logged and end here.
void StoreRecord(const DriverCall *call, const GateAddressRW *gate, const SampleRecord &record) {
    const bool measurement = gate->typeCode == EWTV;
    int32_t seconds = 0;
    if (RecordTime(record, &seconds) != 0)
        return;

    char address[32];
    snprintf(address, sizeof address, measurement ? "%03u_V%03u_%03u" : "%03u_M%03u_%03u", gate->station,
             record.gateFirst, record.gateSecond);
    uint32_t gateId = 0;
    const uint16_t found = TalGetGateIdByAddressStr(0, static_cast<uint8_t>(call->driverNumber), address, &gateId);
    if (found != 0) {
        err(LOG_ERROR, "KESTA> ReadSampleGate() gate KVI%u GAS '%s' not defined, rc %u", call->driverNumber, address,
            found);
        return;
    }

    // The raw value in value-cell layout: first 16-bit half 0, the value in the second.
    uint16_t cell[2] = {0, 0};
    cell[1] = measurement ? record.value : static_cast<uint16_t>(record.value != 0 ? 1 : 0);
    uint32_t raw;
    memcpy(&raw, cell, sizeof raw);
    TalValue cooked;
    memset(&cooked, 0, sizeof cooked);
    TalCook(0, gateId, raw, &cooked);
    const uint16_t stored = TalPutGateVal(0, gateId, PUT_VALUE_KIND, cooked, seconds, 0);
    if (stored != 0)
        err(LOG_ERROR, "KESTA> ReadSampleGate() Tal5PutGateVal failed rc %u", stored);
}

void StoreCount(const DriverInstance *instance, GateAddressRW *gate) {
    const uint32_t count = instance->sampleCount;
    memcpy(gate->valueCell, &count, sizeof count);
}

// Slices of the pause between two records, after each of which the pause looks whether its run ended.
enum { EWT_PAUSE_SLICE_MS = 50 };

// The pause between two records: as long as the file asks, however long that is, but a run that ends
// meanwhile (EndKvi, or a cold start of the block, which closes its mutex) ends it at once, so that the
// host can always have its thread back. False when the run ended.
bool PauseWhileRunning(const DriverInstance *instance, uint32_t milliseconds) {
    KestaHandle runMutex = 0;
    {
        LineLock line;
        runMutex = instance->mutex;
    }
    const uint64_t end = plat_monotonic_ms() + milliseconds;
    for (;;) {
        const uint64_t now = plat_monotonic_ms();
        if (now >= end) {
            return true;
        }
        const uint64_t left = end - now;
        plat_sleep_ms(left < EWT_PAUSE_SLICE_MS ? static_cast<uint32_t>(left) : uint32_t{EWT_PAUSE_SLICE_MS});
        LineLock line; // EndKvi and the cold start change both under the line lock
        if (instance->ending != 0 || instance->mutex != runMutex) {
            return false;
        }
    }
}

} // namespace

int TimeStamp(uint32_t typeCode, const uint8_t record[SAMPLE_RECORD_SIZE], int32_t *seconds) {
    SampleRecord r;
    ReadSampleRecord(typeCode, record, &r);
    return RecordTime(r, seconds);
}

uint32_t ReadSampleGate(DriverCall *call) {
    if (call == nullptr || call->instance == nullptr || call->argRecord == nullptr)
        return KVI_REFUSED;
    DriverInstance *instance = static_cast<DriverInstance *>(call->instance);
    GateAddressRW *gate = static_cast<GateAddressRW *>(call->argRecord);
    if (gate->station > PLC_MAX_STATION || gate->valueCell == nullptr) {
        err(LOG_ERROR, "KESTA> ReadSampleGate() gate record not usable, plcaddr %u", gate->station);
        return KVI_REFUSED;
    }
    const uint32_t delay = instance->ewtDelay;
    ObjectEntry *sample = nullptr; // registered only under RELOOKUP_ON_ERROR
    {
        LineLock line;
        sample = FindSampleEntry(instance, gate->addressString);
    }
    uint32_t found = 0;
    for (;;) {
        uint8_t bytes[SAMPLE_RECORD_SIZE];
        if (ReadRecord(instance, gate, sample, bytes) != KVI_OK)
            return KVI_FAILED;
        SampleRecord record;
        ReadSampleRecord(gate->typeCode, bytes, &record);
        if (record.present == 0)
            break;
        ++found;
        instance->sampleCount = instance->sampleCount + 1;
        StoreRecord(call, gate, record);
        if (Acknowledge(instance, gate, sample) != KVI_OK)
            return KVI_FAILED;
        if (delay == 0) {
            StoreCount(instance, gate);
            return KVI_OK;
        }
        if (found >= EWT_MAX_RECORDS_PER_READ) {
            err(LOG_ERROR, "KESTA> ReadSampleGate() %u records read, the rest waits for the next read", found);
            break;
        }
        // A run that ended during the pause is not the read's any more: nothing more is stored.
        if (!PauseWhileRunning(instance, delay))
            return KVI_OK;
    }
    if (delay != 0 && found != 0) {
        if (gate->typeCode == EWTV)
            err(LOG_DEBUG, "KESTA> ReadSampleGate() %2u measurement records read", found);
        else
            err(LOG_DEBUG, "KESTA> ReadSampleGate() %2u message records read", found);
    }
    StoreCount(instance, gate);
    return KVI_OK;
}
