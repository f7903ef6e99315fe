// The stack's instance record: creation with the user's memory callbacks, configuration from the
// parameter string, reset and destruction. Every buffer comes from the alloc callback and goes back
// through release with the size it was obtained with; nothing here allocates otherwise.
#include <string.h>

#include "dsf/dsf_internal.h"

namespace {

enum {
    DEFAULT_OWN_ADDRESS = 1,
    DEFAULT_STATION_ADDRESS = 127,
    DEFAULT_RETRY_LIMIT = 3,
    DEFAULT_TIMEOUT_TT = 500,
    DEFAULT_TIMEOUT_TE = 3000,
    DEFAULT_TIMEOUT_TQ = 3000,
    MAX_STATIONS = 255
};

enum ParameterKey { KEY_NONE, KEY_DA, KEY_RC, KEY_SA, KEY_TT, KEY_TE, KEY_TQ };

uint32_t station_table_size(const DsfInstance *dsf) {
    return static_cast<uint32_t>(dsf->stationCount) * static_cast<uint32_t>(sizeof(StationEntry));
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

ParameterKey select_key(char first, char second) {
    const char a = upper(first);
    const char b = upper(second);
    switch (a) {
    case 'D': return b == 'A' ? KEY_DA : KEY_NONE;
    case 'R': return b == 'C' ? KEY_RC : KEY_NONE;
    case 'S': return b == 'A' ? KEY_SA : KEY_NONE;
    case 'T': return b == 'T' ? KEY_TT : b == 'E' ? KEY_TE : b == 'Q' ? KEY_TQ : KEY_NONE;
    default: return KEY_NONE;
    }
}

void store_parameter(DsfInstance *dsf, ParameterKey key, int32_t value) {
    switch (key) {
    case KEY_SA: dsf->ownAddress = static_cast<uint8_t>(value); break;
    case KEY_DA:
        if (dsf->stations != nullptr && dsf->stationCount > 0) {
            dsf->stations[0].stationAddress = static_cast<uint8_t>(value);
        }
        break;
    case KEY_RC: dsf->retryLimit = value; break;
    case KEY_TT: dsf->timeoutTT = value; break;
    case KEY_TE: dsf->timeoutTE = value; break;
    case KEY_TQ: dsf->timeoutTQ = value; break;
    case KEY_NONE: break;
    }
}

// Groups are "/", two key letters, "=", a value; anything else is passed over up to the next "/".
void scan_parameters(DsfInstance *dsf, const char *text) {
    uint32_t pos = 0;
    while (pos < DSF_MAX_PARAMETERS && text[pos] != '\0') {
        if (text[pos] != '/') {
            ++pos;
            continue;
        }
        ++pos; // the key's first letter; scanning goes on from here whatever it is
        const char first = text[pos];
        if (first == '\0') {
            break;
        }
        const ParameterKey key = select_key(first, text[pos + 1]);
        if (key == KEY_NONE) {
            continue;
        }
        const int32_t value = dsf_parse_value(text + pos + 1);
        if (value != -1) {
            store_parameter(dsf, key, value);
        }
    }
}

void station_defaults(DsfInstance *dsf) {
    if (dsf->stations == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < dsf->stationCount; ++i) {
        StationEntry *e = &dsf->stations[i];
        e->connectState = 0;
        e->stationAddress = DEFAULT_STATION_ADDRESS;
        e->sequence = 0;
        e->maxMessage = DSF_DEFAULT_BUFFER;
        e->maxReassembly = DSF_DEFAULT_BUFFER + 4;
        e->offeredMessage = DSF_DEFAULT_BUFFER;
    }
}

} // namespace

StationEntry *dsf_station_at(const DsfInstance *dsf, StationEntry *const *handleLocation) {
    if (handleLocation == nullptr) {
        return nullptr;
    }
    StationEntry *station = *handleLocation;
    return dsf_station_valid(dsf, station) ? station : nullptr;
}

// A handle is only trusted when it points at an entry of this instance's table: a host may hold a
// slot that was never connected (null) or one left over from an earlier stack.
bool dsf_station_valid(const DsfInstance *dsf, const StationEntry *station) {
    if (station == nullptr || dsf->stations == nullptr) {
        return false;
    }
    const uintptr_t base = reinterpret_cast<uintptr_t>(dsf->stations);
    const uintptr_t at = reinterpret_cast<uintptr_t>(station);
    if (at < base) {
        return false;
    }
    const uintptr_t offset = at - base;
    return offset % sizeof(StationEntry) == 0 && offset / sizeof(StationEntry) < dsf->stationCount;
}

void dsf_release_buffers(DsfInstance *dsf) {
    const uint32_t size = dsf->bufferSize;
    if (dsf->requestBuffer != nullptr) {
        dsf->release(dsf->requestBuffer, size);
        dsf->requestBuffer = nullptr;
    }
    if (dsf->reassemblyBuffer != nullptr) {
        dsf->release(dsf->reassemblyBuffer, size + 4);
        dsf->reassemblyBuffer = nullptr;
    }
    if (dsf->pendingBuffer != nullptr) {
        dsf->release(dsf->pendingBuffer, size + 4);
        dsf->pendingBuffer = nullptr;
    }
    // Whatever referred into the buffers is gone with them.
    dsf->pendingWrite = nullptr;
    dsf->pendingRead = nullptr;
    dsf->segmentNext = nullptr;
    dsf->segmenting = 0;
    dsf->reassembling = 0;
}

bool dsf_buffers_ready(const DsfInstance *dsf) {
    return dsf->requestBuffer != nullptr && dsf->reassemblyBuffer != nullptr && dsf->pendingBuffer != nullptr;
}

int32_t dsf_create(uint16_t stationCount, DsfAlloc alloc, DsfRelease release, DsfInstance **instance) {
    if (instance == nullptr) {
        return DSF_ERR_NO_MEMORY;
    }
    *instance = nullptr;
    if (alloc == nullptr || release == nullptr) {
        return DSF_ERR_NO_MEMORY;
    }
    DsfInstance *dsf = static_cast<DsfInstance *>(alloc(sizeof(DsfInstance)));
    if (dsf == nullptr) {
        return DSF_ERR_NO_MEMORY;
    }
    memset(dsf, 0, sizeof *dsf);
    dsf->self = dsf;
    dsf->alloc = alloc;
    dsf->release = release;
    *instance = dsf; // handed out at once: a refused count still leaves a record to destroy
    if (stationCount == 0 || stationCount > MAX_STATIONS) {
        return DSF_ERR_STATION_COUNT;
    }
    dsf->stationCount = stationCount;
    dsf->stations = static_cast<StationEntry *>(alloc(station_table_size(dsf)));
    if (dsf->stations == nullptr) {
        return DSF_ERR_NO_MEMORY;
    }
    memset(dsf->stations, 0, station_table_size(dsf));
    return DSF_OK;
}

int32_t dsf_configure(DsfInstance *dsf, const char *parameters, uint16_t *rxFrameSize, uint16_t *txFrameSize) {
    if (dsf == nullptr || dsf->self != dsf) {
        return DSF_ERR_INSTANCE;
    }
    if (dsf->stations == nullptr) {
        return DSF_ERR_NO_MEMORY; // creation failed; there is nothing to configure
    }
    dsf->ownAddress = DEFAULT_OWN_ADDRESS;
    dsf->retryLimit = DEFAULT_RETRY_LIMIT;
    dsf->timeoutTT = DEFAULT_TIMEOUT_TT;
    dsf->timeoutTE = DEFAULT_TIMEOUT_TE;
    dsf->timeoutTQ = DEFAULT_TIMEOUT_TQ;
    station_defaults(dsf);
    if (parameters != nullptr) {
        scan_parameters(dsf, parameters);
    }
    if (rxFrameSize != nullptr) {
        *rxFrameSize = DSF_MAX_FRAME;
    }
    if (txFrameSize != nullptr) {
        *txFrameSize = DSF_MAX_FRAME;
    }
    dsf->messageCounter = 0;
    dsf->segmenting = 0;
    dsf->reassembling = 0;
    dsf->readAfterWrite = 0;
    dsf->itemMode = 0;
    dsf->pendingWrite = nullptr;
    dsf->pendingRead = nullptr;
    dsf->rxState = DSF_RX_HUNT;
    dsf->rxCount = 0;

    // A second configuration starts from fresh default buffers instead of leaking the first ones.
    dsf_release_buffers(dsf);
    // The size is set before any buffer exists, so that a partial failure leaves every buffer
    // already obtained with the size it will be released with.
    dsf->bufferSize = DSF_DEFAULT_BUFFER;
    dsf->pendingBuffer = static_cast<uint8_t *>(dsf->alloc(DSF_DEFAULT_BUFFER + 4));
    if (dsf->pendingBuffer == nullptr) {
        return DSF_ERR_BUFFER;
    }
    dsf->requestBuffer = static_cast<uint8_t *>(dsf->alloc(DSF_DEFAULT_BUFFER));
    if (dsf->requestBuffer == nullptr) {
        return DSF_ERR_BUFFER;
    }
    dsf->reassemblyBuffer = static_cast<uint8_t *>(dsf->alloc(DSF_DEFAULT_BUFFER + 4));
    if (dsf->reassemblyBuffer == nullptr) {
        return DSF_ERR_BUFFER;
    }
    dsf->state = DSF_IDLE;
    return DSF_OK;
}

void dsf_destroy(DsfInstance *dsf) {
    if (dsf == nullptr || dsf->release == nullptr) {
        return;
    }
    const DsfRelease release = dsf->release;
    dsf_release_buffers(dsf);
    if (dsf->stations != nullptr) {
        release(dsf->stations, station_table_size(dsf));
        dsf->stations = nullptr;
    }
    dsf->self = nullptr;
    release(dsf, sizeof(DsfInstance));
}

void dsf_reset(DsfInstance *dsf, int keepReadAfterWrite) {
    if (dsf == nullptr) {
        return;
    }
    dsf->segmenting = 0;
    dsf->reassembling = 0;
    dsf->state = DSF_IDLE;
    if (!keepReadAfterWrite) {
        dsf->readAfterWrite = 0;
    }
}

// text starts at the key's second letter. The value runs from after "=" to the next "/" or the end
// and is read like "%ld": blanks, a sign, digits, stopping at anything else. A value text longer
// than DSF_MAX_VALUE_TEXT characters is refused without looking further than that.
int32_t dsf_parse_value(const char *text) {
    if (text == nullptr || text[0] == '\0' || text[1] != '=') {
        return -1;
    }
    const char *value = text + 2;
    uint32_t length = 0;
    while (length <= DSF_MAX_VALUE_TEXT && value[length] != '\0' && value[length] != '/') {
        ++length;
    }
    if (length > DSF_MAX_VALUE_TEXT) {
        return -1;
    }
    uint32_t i = 0;
    while (i < length && is_space(value[i])) {
        ++i;
    }
    bool negative = false;
    if (i < length && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    if (i >= length || value[i] < '0' || value[i] > '9') {
        return -1;
    }
    // Saturates like the 32-bit C library conversion does on overflow.
    int64_t magnitude = 0;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    while (i < length && value[i] >= '0' && value[i] <= '9') {
        magnitude = magnitude * 10 + (value[i] - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
        ++i;
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}
