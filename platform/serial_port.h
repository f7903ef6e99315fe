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

// Test seam: the next n closes fail as a close can fail on this platform. On POSIX the descriptor is
// released all the same (close gives it up whatever it answers); on Win32 the handle stays open. Either
// way the port's record is kept, so a later close of the same handle is safe. 0 ends the seam.
void plat_port_fail_next_closes(uint32_t n);
