// Driver-wide line state: the one record per loaded library and the table of the instances' lines.
// Every function takes the line lock (recursive), so a caller that holds it already may call them too.
#include "serial/line_state.h"

#include "platform/system.h"

namespace {

LineState line = {0, 0, 0, 1, EXPECTED_REPLY_IDLE};

struct LineEntry {
    const void *owner; // null: a free entry
    PortHandle port;   // 0 while the owner's port is closed
    uint8_t echo;
    uint8_t flush;
    LineOptions options;
    LineDevice device;
    uint32_t epoch;
};
LineEntry lines[LINE_TABLE_SIZE];
uint32_t lastEpoch = 0;

// Every change of an entry's line gives it an epoch of its own.
void NewEpoch(LineEntry *entry) {
    entry->epoch = ++lastEpoch;
    if (entry->epoch == 0) {
        entry->epoch = ++lastEpoch; // 0 stays "no line" after four billion changes
    }
}

LineEntry *EntryOf(const void *owner) {
    for (LineEntry &entry : lines) {
        if (entry.owner == owner) {
            return &entry;
        }
    }
    return nullptr;
}

// A handle value names one open port at a time: an entry still holding it belongs to a port that was
// closed behind the table's back (a host that dropped an instance without EndKvi), so it lets go.
void ReleasePort(PortHandle port) {
    for (LineEntry &entry : lines) {
        if (entry.owner != nullptr && entry.port == port) {
            entry.port = 0;
            entry.device = LineDevice(); // a closed port has no device to reopen
            NewEpoch(&entry);
        }
    }
}

LineEntry *EntryOnPort(PortHandle port) {
    if (port == 0) {
        return nullptr;
    }
    for (LineEntry &entry : lines) {
        if (entry.owner != nullptr && entry.port == port) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

LineState ReadLineState() {
    LineLock lock;
    return line;
}

void LineColdStart() {
    LineLock lock;
    line.currentPort = 0;
    line.echoFlag = 0;
    line.ExpectedReplyLength = EXPECTED_REPLY_IDLE;
}

void LineApplyInitFile(uint8_t numSlaves, uint8_t flushBeforeSend) {
    LineLock lock;
    line.numSlaves = numSlaves;
    line.flushBeforeSend = flushBeforeSend;
}

void LineSetEcho(uint8_t echo) {
    LineLock lock;
    line.echoFlag = echo;
}

void LineSetFlush(uint8_t flush) {
    LineLock lock;
    line.flushBeforeSend = flush;
}

void LineSetNumSlaves(uint8_t numSlaves) {
    LineLock lock;
    line.numSlaves = numSlaves;
}

void LineSetCurrentPort(PortHandle port) {
    LineLock lock;
    line.currentPort = port;
}

void LinePortClosed(PortHandle port) {
    if (port == 0) {
        return;
    }
    LineLock lock;
    if (line.currentPort == port) {
        line.currentPort = 0;
    }
    ReleasePort(port);
}

void LineSetExpectedReply(uint16_t length) {
    LineLock lock;
    line.ExpectedReplyLength = length;
}

LineOptions DefaultLineOptions() {
    LineOptions options = LineOptions();
    options.silentStationPause = SILENT_STATION_PAUSE_DEFAULT;
    return options;
}

void RememberLine(const void *owner, PortHandle port, uint8_t echo, uint8_t flush, const LineOptions &options) {
    LineLock lock;
    ReleasePort(port);
    LineEntry *entry = EntryOf(owner);
    if (entry == nullptr) {
        entry = EntryOf(nullptr);
    }
    if (entry == nullptr) {
        return; // table full: this line runs with the driver-wide settings
    }
    entry->owner = owner;
    entry->port = port;
    entry->echo = echo;
    entry->flush = flush;
    entry->options = options;
    entry->device = LineDevice();
    NewEpoch(entry);
}

LineSettings LineSettingsOf(const void *owner) {
    LineLock lock;
    const LineEntry *entry = owner != nullptr ? EntryOf(owner) : nullptr;
    if (entry == nullptr) {
        return LineSettings{0, line.echoFlag, line.flushBeforeSend, DefaultLineOptions(), 0, 0};
    }
    return LineSettings{entry->port, entry->echo, entry->flush, entry->options, entry->device.reopens, entry->epoch};
}

void MoveLine(const void *owner, PortHandle port) {
    LineLock lock;
    LineEntry *entry = EntryOf(owner);
    if (entry == nullptr) {
        return;
    }
    if (port != 0) {
        ReleasePort(port);
    }
    entry->port = port;
    // A port opened anew (ReOpenCom, ChangeKviParams) has its device: no reopen is owed any more.
    entry->device.closed = 0;
    NewEpoch(entry);
}

void ForgetLine(const void *owner) {
    LineLock lock;
    LineEntry *entry = EntryOf(owner);
    if (entry != nullptr) {
        *entry = LineEntry();
    }
}

LineState *LineStateHeld() { return &line; }

bool LineOfPortHeld(PortHandle port, LineHeld *held) {
    LineEntry *entry = EntryOnPort(port);
    if (entry == nullptr) {
        return false;
    }
    *held = LineHeld{&entry->options, &entry->device, &entry->echo};
    return true;
}

void LineDeviceChangedHeld(PortHandle port) {
    LineEntry *entry = EntryOnPort(port);
    if (entry != nullptr) {
        NewEpoch(entry);
    }
}

void LineLend(PortHandle port, uint16_t expectedReplyLength, LineOnLoan *loan) {
    LineLock lock;
    loan->saved = line;
    // currentPort is whichever instance started or reopened last; the exchange goes out on the line of
    // the instance it serves, or a second instance's reads would travel on the first one's line.
    line.currentPort = port;
    const LineEntry *entry = EntryOnPort(port);
    if (entry != nullptr) {
        line.echoFlag = entry->echo;
        line.flushBeforeSend = entry->flush;
    }
    line.ExpectedReplyLength = expectedReplyLength;
}

void LineGiveBack(const LineOnLoan *loan) {
    LineLock lock;
    line.currentPort = loan->saved.currentPort;
    line.echoFlag = loan->saved.echoFlag;
    line.flushBeforeSend = loan->saved.flushBeforeSend;
    line.ExpectedReplyLength = EXPECTED_REPLY_IDLE;
}
