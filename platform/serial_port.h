// The operating system's serial line, reduced to the primitives the port operations are built on:
// exclusive open by name, the line state, five read/write time-out values, queue sizes, the error and
// input-queue query, read, write, close. One implementation per platform; nothing above this header
// knows which.
#pragma once

#include <stdint.h>

typedef uintptr_t PortHandle; // 0 means none

enum { PORT_DTR_OFF = 0, PORT_DTR_ON = 1, PORT_DTR_HANDSHAKE = 2 };
enum { PORT_RTS_OFF = 0, PORT_RTS_ON = 1, PORT_RTS_HANDSHAKE = 2, PORT_RTS_TOGGLE = 3 };

// The line state. get fills every field; set applies every field. native keeps what the platform read
// and the fields above do not cover, so that a get/modify/set round trip leaves it as read.
struct PortLineState {
    uint32_t baudRate;
    uint8_t byteSize;
    uint8_t stopBits;   // 0 one, 1 one and a half, 2 two
    uint8_t parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t dtrControl; // PORT_DTR_*
    uint8_t rtsControl; // PORT_RTS_*
    uint8_t binary;
    uint8_t parityCheck;
    uint8_t outxCtsFlow;
    uint8_t outxDsrFlow;
    uint8_t dsrSensitivity;
    uint8_t outX;
    uint8_t inX;
    uint8_t errorCharReplace;
    uint8_t nullDiscard;
    uint8_t abortOnError;
    char errorChar;
    alignas(8) unsigned char native[128];
};

// Time-outs in milliseconds, with the read semantics of a Windows COM port: with interval 0 and
// multiplier 0, a read returns when all bytes asked for are in or the total constant has passed.
struct PortTimeouts {
    uint32_t readInterval;
    uint32_t readTotalMultiplier;
    uint32_t readTotalConstant;
    uint32_t writeTotalMultiplier;
    uint32_t writeTotalConstant;
};

// All return 0 on success and nonzero on failure (the system error is then in plat_last_error()).
int plat_port_open(const char *name, PortHandle *handle); // exclusive; "NUL" is the null line
int plat_port_close(PortHandle handle);
int plat_port_get_state(PortHandle handle, PortLineState *state);
int plat_port_set_state(PortHandle handle, const PortLineState *state);
int plat_port_get_timeouts(PortHandle handle, PortTimeouts *timeouts);
int plat_port_set_timeouts(PortHandle handle, const PortTimeouts *timeouts);
int plat_port_set_queues(PortHandle handle, uint32_t inSize, uint32_t outSize);
int plat_port_clear_error(PortHandle handle, uint32_t *inQueue); // clears a pending line error
int plat_port_read(PortHandle handle, void *buffer, uint32_t count, uint32_t *got);
int plat_port_write(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written);

// The device behind an open port. A USB adapter pulled out, or a line hung up, leaves the port useless:
// every operation fails until the device is opened again. The port keeps its record, and so its handle
// value, through that: its device is closed and opened again inside the record, by the name the port was
// opened with and with the line state, time-outs and queue sizes last set on it.
// 1 once an operation on the port has failed in a way that only a new open mends (POSIX: EIO, ENXIO,
// ENODEV, a hang-up; Win32: the errors a removed adapter gives), until its device is opened again; else 0.
int plat_port_device_failed(PortHandle handle);
uint32_t plat_port_device_error(PortHandle handle); // the system error of that failure
// Closes the device and keeps the port, whose operations then fail at once until a reopen. 0 closed, or no
// device was open; nonzero the close failed (POSIX: the descriptor is given up all the same; Win32: the
// device stays open and the next close or reopen closes it).
int plat_port_close_device(PortHandle handle);
// Opens the port's device again by its name, exclusively, with the line state, time-outs and queue sizes
// last set on the port. 0 open; nonzero: the port stays without its device (a device still open, whose
// close failed before, is closed first).
int plat_port_reopen_device(PortHandle handle);
const char *plat_port_name(PortHandle handle); // the name the port was opened with

// Test seam: the next n closes fail as a close can fail on this platform. On POSIX the descriptor is
// released all the same (close gives it up whatever it answers); on Win32 the handle stays open. Either
// way the port's record is kept, so a later close of the same handle is safe. Closes of a port's device
// (plat_port_close_device, and the one a reopen makes first) fail the same way. 0 ends the seam.
void plat_port_fail_next_closes(uint32_t n);
