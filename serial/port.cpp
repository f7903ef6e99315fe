// Port operations over the platform's serial primitives, the same on every platform: open and
// configure from a port record, close, read time-out, purge, write, read. Small result codes only:
// nothing here logs or locks, the callers serialise.
#include "serial/port.h"

#include <string.h>

#include "serial/trace.h"

namespace {

enum { PURGE_CHUNK = 512, PURGE_TIMEOUT_UNITS = 5, PORT_QUEUE_SIZE = 1200, ERROR_CHAR = 0xFC };
enum { ECHO_TEST_TIMEOUT = 50, ECHO_TEST_BYTE = 0x01 };

PortTrace *trace = nullptr;

int TracedRead(PortHandle handle, void *buffer, uint32_t count, uint32_t *got) {
    int rc = plat_port_read(handle, buffer, count, got);
    if (trace != nullptr) {
        if (trace->reads < sizeof trace->counts / sizeof trace->counts[0]) {
            trace->counts[trace->reads] = *got;
        }
        trace->reads++;
    }
    return rc;
}

int TracedSetTimeouts(PortHandle handle, const PortTimeouts *timeouts) {
    if (trace != nullptr) {
        trace->timeoutWrites++;
    }
    return plat_port_set_timeouts(handle, timeouts);
}

void ApplyControlLines(uint16_t flags, PortLineState *state) {
    if (flags & (PORT_FLAG_DTR_ON | PORT_FLAG_DTR_ON2)) {
        state->dtrControl = PORT_DTR_ON;
    } else if (flags & PORT_FLAG_DTR_HANDSHAKE) {
        state->dtrControl = PORT_DTR_HANDSHAKE;
    } else {
        state->dtrControl = PORT_DTR_OFF;
    }
    if (flags & (PORT_FLAG_RTS_ON | PORT_FLAG_RTS_ON2)) {
        state->rtsControl = PORT_RTS_ON;
    } else if (flags & PORT_FLAG_RTS_HANDSHAKE) {
        state->rtsControl = PORT_RTS_HANDSHAKE;
    } else if (flags & PORT_FLAG_RTS_TOGGLE) {
        state->rtsControl = PORT_RTS_TOGGLE;
    } else {
        state->rtsControl = PORT_RTS_OFF;
    }
}

// A port that failed half-way through its configuration is closed at once: the callers only see a
// missing handle, and a handle kept open would hold the device exclusively until the process ends.
int CloseAndFail(PortHandle *handle, int result) {
    plat_port_close(*handle);
    *handle = 0;
    return result;
}

} // namespace

void PortSetTrace(PortTrace *newTrace) { trace = newTrace; }

int OpenPort(const char *portName, const LineParams *lineParams, uint16_t flags, PortHandle *handle) {
    *handle = 0;
    if (plat_port_open(portName, handle) != 0) {
        *handle = 0;
        return PORT_ERR_OPEN;
    }
    TracePortName(*handle, portName);
    if (strcmp(portName, "NUL") == 0) {
        return PORT_OK; // the null line takes no configuration
    }
    PortLineState state;
    if (plat_port_get_state(*handle, &state) != 0) {
        return CloseAndFail(handle, PORT_ERR_GET_STATE);
    }
    PortTimeouts timeouts = {0, 0, PORT_OPEN_READ_TIMEOUT_MS, 0, 0};
    if (TracedSetTimeouts(*handle, &timeouts) != 0) {
        return CloseAndFail(handle, PORT_ERR_OPEN);
    }
    state.baudRate = lineParams->baudRate;
    state.binary = 1;
    state.parityCheck = 1;
    state.outxCtsFlow = 0;
    state.outxDsrFlow = 0;
    state.dsrSensitivity = 0;
    ApplyControlLines(flags, &state);
    state.outX = 0;
    state.inX = 0;
    state.errorCharReplace = 0;
    state.errorChar = static_cast<char>(ERROR_CHAR);
    state.nullDiscard = 0;
    state.abortOnError = 0;
    state.byteSize = static_cast<uint8_t>(lineParams->dataBits & 0xFF);
    state.stopBits = static_cast<uint8_t>(lineParams->stopBits & 0xFF);
    state.parity = static_cast<uint8_t>(lineParams->parity & 0xFF);
    if (plat_port_set_state(*handle, &state) != 0) {
        return CloseAndFail(handle, PORT_ERR_SET_STATE);
    }
    plat_port_set_queues(*handle, PORT_QUEUE_SIZE, PORT_QUEUE_SIZE);
    return PORT_OK;
}

PortHandle OpenPortRecord(const PortRecord *record) {
    // The record's name field is the host's: never trust it to be terminated.
    char name[sizeof record->portName];
    memcpy(name, record->portName, sizeof name);
    name[sizeof name - 1] = '\0';
    PortHandle handle = 0;
    if (OpenPort(name, &record->lineParams, record->portFlags, &handle) != PORT_OK) {
        return 0;
    }
    return handle;
}

int ClosePort(PortHandle handle) { return plat_port_close(handle) == 0 ? PORT_OK : PORT_ERR_IO; }

uint32_t SetTimeout(PortHandle handle, uint32_t units) {
    PortTimeouts timeouts;
    if (plat_port_get_timeouts(handle, &timeouts) != 0) {
        return 0;
    }
    uint32_t previous = timeouts.readTotalConstant;
    // Units whose milliseconds pass 32 bits wait the longest a port can, not a wrapped few
    // milliseconds (all bits set has a meaning of its own in the Win32 time-outs).
    const uint64_t ms = units == 0 ? uint64_t{PORT_ZERO_TIMEOUT_MS} : uint64_t{units} * 10u;
    uint32_t wanted = ms >= 0xFFFFFFFFu ? 0xFFFFFFFEu : static_cast<uint32_t>(ms);
    if (wanted != previous) {
        timeouts.readTotalConstant = wanted;
        if (TracedSetTimeouts(handle, &timeouts) != 0) {
            return 0;
        }
    }
    return previous / 10u;
}

int Purge(PortHandle handle) {
    uint32_t waiting = 0;
    int queryFailed = plat_port_clear_error(handle, &waiting) != 0;
    if (!queryFailed && waiting == 0) {
        return PORT_OK;
    }
    uint32_t previous = SetTimeout(handle, PURGE_TIMEOUT_UNITS);
    unsigned char scratch[PURGE_CHUNK];
    uint32_t got = 0;
    int readFailed = 0;
    // Each further read waits at most the 50 ms time-out; a line that keeps delivering full chunks
    // is stopped by the chunk bound rather than held here.
    for (uint32_t chunks = 0; chunks < PURGE_MAX_CHUNKS; chunks++) {
        readFailed = TracedRead(handle, scratch, sizeof scratch, &got) != 0;
        if (readFailed || got != sizeof scratch) {
            break;
        }
    }
    if (previous != 0) {
        SetTimeout(handle, previous);
    }
    return readFailed ? PORT_ERR_PURGE : PORT_OK;
}

int WritePort(PortHandle handle, const void *bytes, uint32_t count, uint32_t *written) {
    uint32_t n = 0;
    if (plat_port_write(handle, bytes, count, &n) != 0) {
        return PORT_ERR_IO;
    }
    if (written != nullptr) {
        *written = n;
    }
    return n == count ? PORT_OK : PORT_ERR_SHORT;
}

int ReadPort(PortHandle handle, void *buffer, uint32_t count, uint32_t *got) {
    if (got != nullptr) {
        *got = 0;
    }
    uint32_t n = 0;
    if (TracedRead(handle, buffer, count & 0xFFFFu, &n) != 0 || n == 0) {
        return PORT_ERR_IO;
    }
    if (got != nullptr) {
        *got = n;
    }
    return PORT_OK;
}

int PortInputQueue(PortHandle handle, uint32_t *waiting) {
    *waiting = 0;
    return plat_port_clear_error(handle, waiting) == 0 ? 0 : 1;
}

uint32_t TimeoutUnits(PortHandle handle) {
    PortTimeouts timeouts;
    return plat_port_get_timeouts(handle, &timeouts) == 0 ? timeouts.readTotalConstant / 10u : 0u;
}

bool EchoTest(PortHandle handle, uint32_t lineTimeout) {
    SetTimeout(handle, ECHO_TEST_TIMEOUT);
    const uint8_t probe = ECHO_TEST_BYTE;
    uint8_t answer = 0;
    uint32_t written = 0;
    uint32_t got = 0;
    const bool wrote = WritePort(handle, &probe, 1, &written) == PORT_OK;
    const bool read = wrote && ReadPort(handle, &answer, 1, &got) == PORT_OK;
    SetTimeout(handle, lineTimeout);
    return read && got == 1 && answer == ECHO_TEST_BYTE;
}

bool PortDeviceFailed(PortHandle handle) { return plat_port_device_failed(handle) != 0; }

int ClosePortDevice(PortHandle handle) { return plat_port_close_device(handle) == 0 ? PORT_OK : PORT_ERR_IO; }

int ReopenPortDevice(PortHandle handle) { return plat_port_reopen_device(handle) == 0 ? PORT_OK : PORT_ERR_OPEN; }
