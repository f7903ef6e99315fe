// Port operations on a serial line: open and configure from a port record, close, set the read
// time-out, purge pending input, write and read. Small result codes, no logging, no locking: the
// callers serialise.
#pragma once

#include <stdint.h>

#include "kesta.h"
#include "platform/serial_port.h"

// Results of the port operations.
enum {
    PORT_OK = 0,
    PORT_ERR_OPEN = 1,      // cannot be opened, or its time-outs cannot be set
    PORT_ERR_SHORT = 2,     // fewer bytes written than asked
    PORT_ERR_GET_STATE = 4, // line state cannot be read (handle closed again)
    PORT_ERR_SET_STATE = 5, // line state cannot be set
    PORT_ERR_IO = 7,        // read or write failed, read delivered nothing, close failed
    PORT_ERR_PURGE = 1      // Purge: the last read of the drain failed
};

// DTR/RTS selection bits of the flags word.
enum {
    PORT_FLAG_DTR_ON = 0x0001,
    PORT_FLAG_RTS_ON = 0x0002,
    PORT_FLAG_DTR_ON2 = 0x0100,
    PORT_FLAG_RTS_ON2 = 0x0200,
    PORT_FLAG_RTS_HANDSHAKE = 0x1000,
    PORT_FLAG_RTS_TOGGLE = 0x2000,
    PORT_FLAG_DTR_HANDSHAKE = 0x8000,
    PORT_FLAGS_COLD_START = 0x0303 // DTR on, RTS on
};

struct PortRecord {
    char portName[12];
    LineParams lineParams;
    uint16_t portFlags;
};

int OpenPort(const char *portName, const LineParams *lineParams, uint16_t flags, PortHandle *handle);
PortHandle OpenPortRecord(const PortRecord *record); // the handle, or 0
int ClosePort(PortHandle handle);
uint32_t SetTimeout(PortHandle handle, uint32_t units); // previous time-out in 10 ms units, 0 on failure
int Purge(PortHandle handle);
int WritePort(PortHandle handle, const void *bytes, uint32_t count, uint32_t *written);
int ReadPort(PortHandle handle, void *buffer, uint32_t count, uint32_t *got);
int PortInputQueue(PortHandle handle, uint32_t *waiting); // 0 ok; clears a pending line error
uint32_t TimeoutUnits(PortHandle handle);                 // the read time-out in 10 ms units, 0 on failure

// Whether the line echoes (an RS485 converter that hands back every byte sent): one byte out, and an
// echo comes straight back within 500 ms. The read time-out is lineTimeout units afterwards. A write or
// read that fails counts as no echo.
bool EchoTest(PortHandle handle, uint32_t lineTimeout);

// The port's device (platform/serial_port.h): failed in a way only a new open mends; closed inside the
// port, which keeps its handle; opened again by its name with the settings last made.
bool PortDeviceFailed(PortHandle handle);
int ClosePortDevice(PortHandle handle);  // PORT_OK, or PORT_ERR_IO when the close failed
int ReopenPortDevice(PortHandle handle); // PORT_OK, or PORT_ERR_OPEN while the device is not back

// Read time-out (ms) that a time-out of 0 units stands for: 0 would let a read wait without limit.
enum { PORT_OPEN_READ_TIMEOUT_MS = 1000, PORT_ZERO_TIMEOUT_MS = PORT_OPEN_READ_TIMEOUT_MS };
// Purge reads 512 bytes at a time while full chunks come; a line that never stops delivering is left
// after this many chunks (64 KiB, more than any queue a port keeps).
enum { PURGE_MAX_CHUNKS = 128 };

// Test seam: while a trace is set, the port operations record the reads they make (with what each
// delivered) and every time-out write.
struct PortTrace {
    uint32_t reads;         // reads made (also those past the end of counts)
    uint32_t counts[16];    // bytes delivered by the first 16 reads
    uint32_t timeoutWrites; // time-out records written to the port
};
void PortSetTrace(PortTrace *trace); // null stops tracing
