// Driver-wide line state: one record per loaded library, shared by every driver instance, and the
// table of the lines the instances hold. Owned here and changed only through these functions, each of
// which takes the process-wide line lock itself; nothing above serial/ writes a field of it directly.
#pragma once

#include <stdint.h>

#include "platform/serial_port.h"

enum { EXPECTED_REPLY_IDLE = 518 };

struct LineState {
    PortHandle currentPort;       // the port the transport drives: the line of the exchange in progress
    uint8_t echoFlag;             // 1 when that line's converter echoes what is sent
    uint8_t flushBeforeSend;      // 1: purge the line's input before each frame
    uint8_t numSlaves;            // station entries of the stack when it is created (NUM_OF_SLAVES)
    uint16_t ExpectedReplyLength; // the reply frame the current caller expects; 518 between requests
};

// What the initialisation file's keys beyond the four ask of an instance's line. Each is off unless the
// file sets it, so that a file without them gives exactly the behaviour of one that predates them.
struct LineOptions {
    uint32_t readGroupMs;        // READ_GROUP_MS: answer reads from values younger than this, group the rest
    uint32_t silentStationLimit; // SILENT_STATION_LIMIT: requests in a row unanswered before a station rests
    uint32_t silentStationPause; // SILENT_STATION_PAUSE: how long a silent station is set aside, ms
    uint32_t relookupOnError;    // RELOOKUP_ON_ERROR: look a station's objects up again after an error reply
    uint32_t portReopenInterval; // PORT_REOPEN_INTERVAL: ms between attempts to reopen a vanished port
};
enum { SILENT_STATION_PAUSE_DEFAULT = 10000 };
LineOptions DefaultLineOptions();

// A copy of the record, taken under the line lock.
LineState ReadLineState();

// A cold start begins: no port in use, no echo, the resting reply length.
void LineColdStart();
// What a cold start's initialisation file says for the whole library: the last cold start decides.
void LineApplyInitFile(uint8_t numSlaves, uint8_t flushBeforeSend);
void LineSetEcho(uint8_t echo);
void LineSetFlush(uint8_t flush);
void LineSetNumSlaves(uint8_t numSlaves);
void LineSetCurrentPort(PortHandle port);
// The port was closed: currentPort lets go of it where it held it, and so does every line entry.
void LinePortClosed(PortHandle port);
void LineSetExpectedReply(uint16_t length);

// The line settings of each instance that holds a line: whether its RS485 converter echoes (its own
// cold start's echo test) and whether its input is purged before each frame (its own FLUSH_BUFFER).
// The driver-wide echoFlag and flushBeforeSend are those of the last cold start; an exchange runs with
// the settings of the line it goes out on, or a second line's cold start would decide for the first.
// owner: the instance. A fixed table of LINE_TABLE_SIZE; an instance beyond it, and a line opened
// without a cold start's echo test, run with the driver-wide settings.
enum { LINE_TABLE_SIZE = 32 };
// The device of a line's port under PORT_REOPEN_INTERVAL: closed once after it failed, then opened again
// by the transport at most once per interval. The port itself (its handle) stays the line's throughout.
struct LineDevice {
    uint8_t closed;      // failed and closed: exchanges on the line fail at once until a reopen
    uint64_t nextReopen; // monotonic ms from which the next reopen may be tried
    uint32_t reopens;    // times the device was opened again since the line's cold start
};
void RememberLine(const void *owner, PortHandle port, uint8_t echo, uint8_t flush, const LineOptions &options);
// What the table holds for the owner's line; for an owner it does not hold, no port, the driver-wide
// echo and flush settings and the default options (all off).
struct LineSettings {
    PortHandle port;
    uint8_t echo;
    uint8_t flush;
    LineOptions options;
    uint32_t reopens; // of the port's device since the cold start: stations connect again on demand
    // Changes whenever the owner's line does (its cold start, a port closed, reopened or moved, its end);
    // never repeats in the process, 0 for an owner the table does not hold. What was read from the line
    // under one epoch says nothing of a line with another.
    uint32_t epoch;
};
LineSettings LineSettingsOf(const void *owner);
inline LineOptions LineOptionsOf(const void *owner) { return LineSettingsOf(owner).options; }
void MoveLine(const void *owner, PortHandle port); // the owner's port changed; 0: closed
void ForgetLine(const void *owner);

// For serial/'s device policy alone, with the line lock held: the entry of the line whose port this is.
struct LineHeld {
    const LineOptions *options;
    LineDevice *device;
    uint8_t *echo;
};
bool LineOfPortHeld(PortHandle port, LineHeld *held);
// The line's device was closed or opened again: the line has a new epoch (what was read before says
// nothing of it). With the line lock held.
void LineDeviceChangedHeld(PortHandle port);

// For the transport alone, with the line lock held: the record itself, and an exchange put on line
// (currentPort, and the echo and flush settings of the line that port belongs to) until it is undone.
LineState *LineStateHeld();
struct LineOnLoan {
    LineState saved;
};
void LineLend(PortHandle port, uint16_t expectedReplyLength, LineOnLoan *loan);
void LineGiveBack(const LineOnLoan *loan);
