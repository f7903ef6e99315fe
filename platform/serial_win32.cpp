// The serial line on Win32: CreateFile by name (exclusive), DCB line state, COMMTIMEOUTS, the error and
// input-queue query, ReadFile and WriteFile. No read or write may wait on the line without a bound,
// so time-outs that would mean "wait for ever" are bounded before they reach the device.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "platform/serial_port.h"

namespace {

// A read with no total time-out would wait for ever for its first byte (an interval time-out only
// starts counting once a byte has come); it waits this long instead.
const DWORD kUnboundedReadMs = 1000;
// Writes with no write time-out are bounded by this much plus twice the bytes' time on the wire
// (a handshake line that never clears must not hold the caller).
const DWORD kUnboundedWriteMs = 1000;

struct Win32Port {
    HANDLE handle;      // INVALID_HANDLE_VALUE while the device is closed after a failure
    DWORD baudRate;     // last rate set, for the write bound
    PortTimeouts asked; // the time-outs as the caller set them (the device may hold bounded ones)
    char path[4 + 12];  // as opened: a reopen finds the device by it again
    char name[12];
    int deviceFailed; // an operation failed in a way only a new open mends
    DWORD deviceError;
    int haveState; // state holds the line state last set, for a reopen
    PortLineState state;
    int haveQueues;
    DWORD inQueue, outQueue;
};

// What a USB adapter answers once it has been pulled out (drivers differ: the usbser driver says
// ERROR_BAD_COMMAND or ERROR_ACCESS_DENIED, others ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE, ERROR_NOT_READY
// or ERROR_OPERATION_ABORTED): the handle is of no more use, only a new open of the device can help.
// Noted on the port until its device is opened again.
void NoteFailure(Win32Port *port) {
    const DWORD e = GetLastError();
    switch (e) {
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_UNIT:
        port->deviceFailed = 1;
        port->deviceError = e;
        break;
    default: break;
    }
    SetLastError(e);
}

// A port whose device was closed after a failure answers every operation with this, at once.
bool DeviceOpen(const Win32Port *port) {
    if (port->handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    return true;
}

static_assert(sizeof(DCB) <= sizeof(((PortLineState *)nullptr)->native), "DCB fits the blob");

Win32Port *ToPort(PortHandle handle) { return reinterpret_cast<Win32Port *>(handle); }

bool ValidPort(PortHandle handle) {
    if (handle == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

int WriteDeviceTimeouts(Win32Port *port) {
    const PortTimeouts &t = port->asked;
    COMMTIMEOUTS ct;
    ct.ReadIntervalTimeout = t.readInterval;
    ct.ReadTotalTimeoutMultiplier = t.readTotalMultiplier;
    ct.ReadTotalTimeoutConstant = t.readTotalConstant;
    ct.WriteTotalTimeoutMultiplier = t.writeTotalMultiplier;
    ct.WriteTotalTimeoutConstant = t.writeTotalConstant;
    // Interval MAXDWORD with no totals is the one total-free form that returns at once.
    if (ct.ReadTotalTimeoutMultiplier == 0 && ct.ReadTotalTimeoutConstant == 0 && ct.ReadIntervalTimeout != MAXDWORD) {
        ct.ReadTotalTimeoutConstant = kUnboundedReadMs;
    }
    if (ct.WriteTotalTimeoutMultiplier == 0 && ct.WriteTotalTimeoutConstant == 0) {
        DWORD baud = port->baudRate == 0 ? 9600 : port->baudRate;
        ct.WriteTotalTimeoutMultiplier = 22000 / baud + 1; // 11 bits a byte, twice over
        ct.WriteTotalTimeoutConstant = kUnboundedWriteMs;
    }
    return SetCommTimeouts(port->handle, &ct) ? 0 : -1;
}

HANDLE OpenDevice(const char *path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

int plat_port_open(const char *name, PortHandle *handle) {
    *handle = 0;
    size_t length = strnlen(name, 12);
    if (length == 0 || length > 11) {
        SetLastError(ERROR_INVALID_NAME);
        return -1;
    }
    // "COM10" and above only open through the device namespace; the prefix does no harm below that.
    // The null device keeps its plain name.
    char path[4 + 12];
    if (strcmp(name, "NUL") == 0 || name[0] == '\\') {
        memcpy(path, name, length + 1);
    } else {
        memcpy(path, "\\\\.\\", 4);
        memcpy(path + 4, name, length + 1);
    }
    Win32Port *port = static_cast<Win32Port *>(calloc(1, sizeof(Win32Port)));
    if (port == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    memcpy(port->path, path, sizeof port->path);
    memcpy(port->name, name, length);
    port->handle = OpenDevice(port->path);
    if (port->handle == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        free(port);
        SetLastError(e);
        return -1;
    }
    port->baudRate = 9600;
    COMMTIMEOUTS ct;
    if (GetCommTimeouts(port->handle, &ct)) {
        port->asked.readInterval = ct.ReadIntervalTimeout;
        port->asked.readTotalMultiplier = ct.ReadTotalTimeoutMultiplier;
        port->asked.readTotalConstant = ct.ReadTotalTimeoutConstant;
        port->asked.writeTotalMultiplier = ct.WriteTotalTimeoutMultiplier;
        port->asked.writeTotalConstant = ct.WriteTotalTimeoutConstant;
        // A port comes with whatever time-outs its last user left, often none at all (wine never keeps
        // any): bound them before the first read or write. The null device has none to set.
        WriteDeviceTimeouts(port);
    }
    *handle = reinterpret_cast<PortHandle>(port);
    return 0;
}

namespace {

std::atomic<uint32_t> failingCloses{0}; // test seam: closes still to fail

bool TakeInjectedCloseFailure() {
    uint32_t left = failingCloses.load();
    while (left != 0 && !failingCloses.compare_exchange_weak(left, left - 1)) {
    }
    return left != 0;
}

} // namespace

void plat_port_fail_next_closes(uint32_t n) { failingCloses.store(n); }

namespace {

// The device handle closed, or left open when the close fails: the caller keeps a port whose close
// failed (CloseCom changes nothing then) and may close it again later.
int CloseDevice(Win32Port *port) {
    if (port->handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (TakeInjectedCloseFailure()) {
        SetLastError(ERROR_GEN_FAILURE);
        return -1;
    }
    if (!CloseHandle(port->handle)) {
        return -1;
    }
    port->handle = INVALID_HANDLE_VALUE;
    return 0;
}

} // namespace

int plat_port_close(PortHandle handle) {
    if (!ValidPort(handle)) {
        return -1;
    }
    Win32Port *port = ToPort(handle);
    // The record must outlive a failed close, or the second close would free it twice.
    if (CloseDevice(port) != 0) {
        return -1;
    }
    free(port);
    return 0;
}

int plat_port_device_failed(PortHandle handle) { return handle != 0 && ToPort(handle)->deviceFailed ? 1 : 0; }

uint32_t plat_port_device_error(PortHandle handle) { return handle != 0 ? ToPort(handle)->deviceError : 0u; }

const char *plat_port_name(PortHandle handle) { return handle != 0 ? ToPort(handle)->name : ""; }

int plat_port_close_device(PortHandle handle) {
    if (!ValidPort(handle)) {
        return -1;
    }
    return CloseDevice(ToPort(handle));
}

int plat_port_get_state(PortHandle handle, PortLineState *state) {
    if (!ValidPort(handle)) {
        return -1;
    }
    if (!DeviceOpen(ToPort(handle))) {
        return -1;
    }
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(ToPort(handle)->handle, &dcb)) {
        NoteFailure(ToPort(handle));
        return -1;
    }
    memset(state, 0, sizeof *state);
    memcpy(state->native, &dcb, sizeof dcb);
    // Our codes for stop bits, parity and the DTR/RTS modes are the DCB's own.
    state->baudRate = dcb.BaudRate;
    state->byteSize = dcb.ByteSize;
    state->stopBits = dcb.StopBits;
    state->parity = dcb.Parity;
    state->dtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    state->rtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    state->binary = static_cast<uint8_t>(dcb.fBinary);
    state->parityCheck = static_cast<uint8_t>(dcb.fParity);
    state->outxCtsFlow = static_cast<uint8_t>(dcb.fOutxCtsFlow);
    state->outxDsrFlow = static_cast<uint8_t>(dcb.fOutxDsrFlow);
    state->dsrSensitivity = static_cast<uint8_t>(dcb.fDsrSensitivity);
    state->outX = static_cast<uint8_t>(dcb.fOutX);
    state->inX = static_cast<uint8_t>(dcb.fInX);
    state->errorCharReplace = static_cast<uint8_t>(dcb.fErrorChar);
    state->nullDiscard = static_cast<uint8_t>(dcb.fNull);
    state->abortOnError = static_cast<uint8_t>(dcb.fAbortOnError);
    state->errorChar = dcb.ErrorChar;
    return 0;
}

namespace {

int ApplyState(Win32Port *port, const PortLineState *state) {
    DCB dcb;
    memcpy(&dcb, state->native, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = state->baudRate;
    dcb.ByteSize = state->byteSize;
    dcb.StopBits = state->stopBits;
    dcb.Parity = state->parity;
    dcb.fDtrControl = state->dtrControl & 3u;
    dcb.fRtsControl = state->rtsControl & 3u;
    dcb.fBinary = state->binary ? 1 : 0;
    dcb.fParity = state->parityCheck ? 1 : 0;
    dcb.fOutxCtsFlow = state->outxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = state->outxDsrFlow ? 1 : 0;
    dcb.fDsrSensitivity = state->dsrSensitivity ? 1 : 0;
    dcb.fOutX = state->outX ? 1 : 0;
    dcb.fInX = state->inX ? 1 : 0;
    dcb.fErrorChar = state->errorCharReplace ? 1 : 0;
    dcb.fNull = state->nullDiscard ? 1 : 0;
    dcb.fAbortOnError = state->abortOnError ? 1 : 0;
    dcb.ErrorChar = state->errorChar;
    if (!SetCommState(port->handle, &dcb)) {
        NoteFailure(port);
        return -1;
    }
    port->baudRate = state->baudRate;
    port->state = *state;
    port->haveState = 1;
    // The write bound follows the rate; a device that refuses it keeps the bound it had.
    WriteDeviceTimeouts(port);
    return 0;
}

} // namespace

int plat_port_set_state(PortHandle handle, const PortLineState *state) {
    if (!ValidPort(handle) || !DeviceOpen(ToPort(handle))) {
        return -1;
    }
    return ApplyState(ToPort(handle), state);
}

// The device comes back under the same name: it gets the line state last set on the port, on the DCB the
// new device brings along, the time-outs and the queue sizes.
int plat_port_reopen_device(PortHandle handle) {
    if (!ValidPort(handle)) {
        return -1;
    }
    Win32Port *port = ToPort(handle);
    if (CloseDevice(port) != 0) {
        return -1; // still held: opening it again would only be refused
    }
    port->handle = OpenDevice(port->path);
    if (port->handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (port->haveState) {
        PortLineState state = port->state;
        DCB dcb;
        memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(port->handle, &dcb) ||
            (memcpy(state.native, &dcb, sizeof dcb), ApplyState(port, &state)) != 0) {
            const DWORD e = GetLastError();
            CloseHandle(port->handle);
            port->handle = INVALID_HANDLE_VALUE;
            SetLastError(e);
            return -1;
        }
    }
    WriteDeviceTimeouts(port);
    if (port->haveQueues) {
        SetupComm(port->handle, port->inQueue, port->outQueue);
    }
    port->deviceFailed = 0;
    port->deviceError = 0;
    return 0;
}

int plat_port_get_timeouts(PortHandle handle, PortTimeouts *timeouts) {
    if (!ValidPort(handle)) {
        return -1;
    }
    COMMTIMEOUTS ct;
    if (!DeviceOpen(ToPort(handle)) || !GetCommTimeouts(ToPort(handle)->handle, &ct)) {
        return -1; // also what the null device answers
    }
    *timeouts = ToPort(handle)->asked;
    return 0;
}

int plat_port_set_timeouts(PortHandle handle, const PortTimeouts *timeouts) {
    if (!ValidPort(handle)) {
        return -1;
    }
    Win32Port *port = ToPort(handle);
    if (!DeviceOpen(port)) {
        return -1;
    }
    PortTimeouts previous = port->asked;
    port->asked = *timeouts;
    if (WriteDeviceTimeouts(port) != 0) {
        NoteFailure(port);
        port->asked = previous;
        return -1;
    }
    return 0;
}

int plat_port_set_queues(PortHandle handle, uint32_t inSize, uint32_t outSize) {
    if (!ValidPort(handle) || !DeviceOpen(ToPort(handle))) {
        return -1;
    }
    Win32Port *port = ToPort(handle);
    port->haveQueues = 1;
    port->inQueue = inSize;
    port->outQueue = outSize;
    if (!SetupComm(port->handle, inSize, outSize)) {
        NoteFailure(port);
        return -1;
    }
    return 0;
}

int plat_port_clear_error(PortHandle handle, uint32_t *inQueue) {
    if (!ValidPort(handle)) {
        return -1;
    }
    if (!DeviceOpen(ToPort(handle))) {
        return -1;
    }
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    if (!ClearCommError(ToPort(handle)->handle, &errors, &stat)) {
        NoteFailure(ToPort(handle));
        return -1;
    }
    *inQueue = stat.cbInQue;
    return 0;
}

int plat_port_read(PortHandle handle, void *buffer, uint32_t count, uint32_t *got) {
    *got = 0;
    if (!ValidPort(handle)) {
        return -1;
    }
    if (!DeviceOpen(ToPort(handle))) {
        return -1;
    }
    DWORD n = 0;
    if (!ReadFile(ToPort(handle)->handle, buffer, count, &n, nullptr)) {
        NoteFailure(ToPort(handle));
        *got = n;
        return -1;
    }
    *got = n;
    return 0;
}

int plat_port_write(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written) {
    *written = 0;
    if (!ValidPort(handle)) {
        return -1;
    }
    if (!DeviceOpen(ToPort(handle))) {
        return -1;
    }
    DWORD n = 0;
    if (!WriteFile(ToPort(handle)->handle, buffer, count, &n, nullptr)) {
        NoteFailure(ToPort(handle));
        *written = n;
        return -1;
    }
    *written = n;
    return 0;
}
