// What the line keeps of each station it serves under the healing keys: silent requests in a row, the
// pause of a station set aside, the round of look-ups it is owed, the line's device reopens it has seen.
// A fixed table, every record under the line lock; a pair beyond the table goes unwatched, as today.
#include "plc/station_watch.h"

#include <stdio.h>
#include <string.h>

#include "platform/talrun.h"
#include "plc/station.h"
#include "serial/line_state.h"
#include "serial/reopen.h"

namespace {

enum { WATCHED_STATIONS = 256, SAMPLE_NAME_AT = 5, STATION_DIGITS = 3 };

const char TOGGLE_SUFFIX[] = ".toggle";

struct StationRecord {
    const DriverInstance *owner; // null: free
    uint8_t station;
    uint8_t silentRun; // requests in a row that went unanswered
    uint8_t setAside;
    uint8_t roundOwed;   // came back from being set aside: its objects are looked up again
    uint8_t roundRan;    // lastRound holds the time of the last round
    uint8_t connectOwed; // a connect of its entry failed: the stack refuses every other request to it
    uint64_t pauseEnds;
    uint64_t lastRound;
    uint32_t connectedAt; // the line's device reopens when the station was last connected
};

StationRecord watched[WATCHED_STATIONS];

bool Watching(const LineOptions &o) {
    return o.silentStationLimit != 0 || o.relookupOnError != 0 || o.portReopenInterval != 0;
}

// The line as a request to one of its stations finds it: a reopen of its device that is due comes first,
// so that the station's connect after it goes before the request on the new device.
LineSettings LineNow(DriverInstance *instance) {
    LineDeviceReady(instance->portHandle);
    return LineSettingsOf(instance);
}

StationRecord *Find(const DriverInstance *instance, uint32_t station) {
    for (StationRecord &r : watched) {
        if (r.owner == instance && r.station == station) {
            return &r;
        }
    }
    return nullptr;
}

StationRecord *Claim(const DriverInstance *instance, uint32_t station, uint32_t reopens) {
    StationRecord *r = Find(instance, station);
    if (r != nullptr) {
        return r;
    }
    for (StationRecord &candidate : watched) {
        if (candidate.owner == nullptr) {
            r = &candidate;
            break;
        }
    }
    if (r == nullptr) {
        return nullptr;
    }
    *r = StationRecord();
    r->owner = instance;
    r->station = static_cast<uint8_t>(station);
    r->connectedAt = reopens;
    return r;
}

// What the request just made tells of the station: any answer resets the count of silent requests and
// brings a station that was set aside back; silence counts, and sets the station aside at the limit (a
// probe that meets silence starts another pause at once). Requests refused before the line, and port
// failures, tell nothing.
void Count(StationRecord *r, const LineOptions &o, int32_t rc) {
    if (TransportAnswered()) {
        r->silentRun = 0;
        if (r->setAside != 0) {
            r->setAside = 0;
            err(LOG_ERROR, "KESTA> SetAside() plcaddr %u answers again", static_cast<unsigned>(r->station));
            r->roundOwed = o.relookupOnError != 0 ? 1 : 0;
        }
        return;
    }
    if (rc != DSF_ERR_NO_REPLY) {
        return;
    }
    if (r->silentRun < UINT8_MAX) {
        r->silentRun++;
    }
    const uint64_t now = plat_monotonic_ms();
    if (r->setAside != 0) {
        r->pauseEnds = now + o.silentStationPause;
        return;
    }
    if (o.silentStationLimit != 0 && r->silentRun >= o.silentStationLimit) {
        r->setAside = 1;
        r->pauseEnds = now + o.silentStationPause;
        err(LOG_ERROR, "KESTA> SetAside() plcaddr %u silent for %u requests in a row: set aside for %u ms",
            static_cast<unsigned>(r->station), static_cast<unsigned>(r->silentRun),
            static_cast<unsigned>(o.silentStationPause));
    }
}

// A connect of the station again. One that fails leaves the stack's entry not connected, and the stack
// refuses every other request to it (65320) without going on the line: the station owes a connect then,
// which goes before its next request (and is its probe when it is set aside).
int32_t Connect(DriverInstance *instance, StationRecord *r, const LineSettings &line, bool sendOnce) {
    int32_t rc = 0;
    TransportNextExchange(sendOnce);
    StationEntry *entry = Net2000_Connect(instance->portHandle, r->station, &rc);
    TransportExchangeDone();
    Count(r, line.options, rc);
    if (entry == nullptr) {
        r->connectOwed = 1;
        return rc != 0 ? rc : DSF_ERR_NOT_CONNECTED;
    }
    StoreStationSlot(instance, r->station, entry);
    r->connectedAt = line.reopens;
    r->connectOwed = 0;
    return 0;
}

bool RoundAllowed(const StationRecord *r) {
    return r->setAside == 0 && (r->roundRan == 0 || plat_monotonic_ms() - r->lastRound >= RELOOKUP_ROUND_MS);
}

// The entry's new state, logged when it changes: found as registered again, gone, or changed.
void Mark(ObjectEntry *entry, uint8_t state, const ObjectDescriptor &d) {
    if (entry->state == state) {
        return;
    }
    entry->state = state;
    switch (state) {
    case OBJECT_FOUND: err(LOG_ERROR, "KESTA> Relookup() gate %s: object found again", entry->name); break;
    case OBJECT_GONE:
        err(LOG_ERROR, "KESTA> Relookup() gate %s: object not defined in plcaddr %u any more, rc=%u", entry->name,
            static_cast<unsigned>(entry->station), static_cast<unsigned>(d.status & 0xFFu));
        break;
    default:
        err(LOG_ERROR,
            "KESTA> Relookup() gate %s: object changed in plcaddr %u: kind %u, type %u, length %u (parsed: %u, %u, %u)",
            entry->name, static_cast<unsigned>(entry->station), static_cast<unsigned>(d.kind),
            static_cast<unsigned>(d.dataType), static_cast<unsigned>(d.length),
            static_cast<unsigned>(entry->shape.kind), static_cast<unsigned>(entry->shape.dataType),
            static_cast<unsigned>(entry->shape.length));
        break;
    }
}

// One look-up of the round: 0 with the descriptor (its status may say "unknown"), else the code that failed.
int32_t LookUp(DriverInstance *instance, StationRecord *r, const LineOptions &o, const char *name,
               ObjectDescriptor *d) {
    int32_t rc = 0;
    TransportNextExchange(false);
    const int failed = Net2000_getOV(instance->portHandle, StationSlot(instance, r->station), name, d, &rc);
    Count(r, o, rc);
    return failed != 0 ? (rc != 0 ? rc : DSF_ERR_REPLY_LENGTH) : 0;
}

// The entry's object looked up by name again (a sample entry's structure and its ".toggle" too): the
// handles taken over when it is there as registered, else marked. 0, or the code of a look-up that failed.
int32_t LookUpAgain(DriverInstance *instance, StationRecord *r, const LineOptions &o, ObjectEntry *entry) {
    const bool sample = entry->form == OBJECT_FORM_SAMPLE;
    const char *name = entry->name + (sample ? SAMPLE_NAME_AT : STATION_DIGITS);
    ObjectDescriptor d;
    int32_t rc = LookUp(instance, r, o, name, &d);
    if (rc != 0) {
        return rc;
    }
    if (d.status != 0) {
        Mark(entry, OBJECT_GONE, d);
        return 0;
    }
    if (d.kind != entry->shape.kind || d.dataType != entry->shape.dataType || d.length != entry->shape.length) {
        Mark(entry, OBJECT_CHANGED, d);
        return 0;
    }
    uint16_t toggle = entry->toggleHandle;
    if (sample) {
        char toggleName[OBJECT_NAME_SIZE + sizeof TOGGLE_SUFFIX];
        snprintf(toggleName, sizeof toggleName, "%s%s", name, TOGGLE_SUFFIX);
        ObjectDescriptor t;
        rc = LookUp(instance, r, o, toggleName, &t);
        if (rc != 0) {
            return rc;
        }
        if (t.status != 0) {
            Mark(entry, OBJECT_GONE, t);
            return 0;
        }
        toggle = static_cast<uint16_t>(t.handle);
    }
    if (entry->handle != static_cast<uint16_t>(d.handle)) {
        entry->kept.held = 0; // a value kept under the old handle is the program's that went
    }
    entry->handle = static_cast<uint16_t>(d.handle);
    entry->toggleHandle = toggle;
    Mark(entry, OBJECT_FOUND, d);
    return 0;
}

// The station connected again (unless it was just now) and every object registered for it looked up by
// name. 0, or the code of the connect or look-up that failed: the round stops there, the objects not
// reached keep what they had. connected: whether the station is connected.
int32_t Round(DriverInstance *instance, StationRecord *r, const LineSettings &line, bool *connected) {
    r->roundRan = 1;
    r->lastRound = plat_monotonic_ms();
    r->roundOwed = 0;
    int32_t rc = *connected ? 0 : Connect(instance, r, line, false);
    *connected = rc == 0;
    for (ObjectEntry *entry = ObjectListHead(instance); entry != nullptr && rc == 0; entry = entry->next) {
        if (entry->station == r->station) {
            rc = LookUpAgain(instance, r, line.options, entry);
        }
    }
    return rc;
}

// What the station owes before its next request: a connect once its line's device was reopened or a
// connect of it failed, and under RELOOKUP_ON_ERROR the round it is owed since it came back, as soon as
// one is allowed (after a reopen an error reply brings the round, as for any request). Nothing while it is
// set aside. connected: it was connected just now. 0, or the code of the connect that failed: the request
// it was owed before would meet the same.
int32_t CatchUp(DriverInstance *instance, StationRecord *r, const LineSettings &line, bool connected) {
    if (r->setAside != 0) {
        return 0;
    }
    const bool reopened = r->connectedAt != line.reopens && LoadStationSlot(instance, r->station) != nullptr;
    if (r->roundOwed != 0 && RoundAllowed(r)) {
        const int32_t rc = Round(instance, r, line, &connected);
        return connected ? 0 : rc;
    }
    return !connected && (reopened || r->connectOwed != 0) ? Connect(instance, r, line, false) : 0;
}

} // namespace

int32_t BeginStationTurn(DriverInstance *instance, uint32_t station, StationTurn *turn) {
    LineLock lock;
    *turn = StationTurn();
    if (!Watching(LineOptionsOf(instance))) {
        return 0;
    }
    const LineSettings line = LineNow(instance);
    StationRecord *r = Claim(instance, station, line.reopens);
    if (r == nullptr) {
        return 0;
    }
    bool connected = false;
    if (r->setAside != 0) {
        if (plat_monotonic_ms() < r->pauseEnds) {
            return DSF_ERR_SET_ASIDE;
        }
        // The first request after the pause goes out once: the request itself, or the connect it owes.
        turn->probe = true;
        if (r->connectOwed == 0) {
            return 0;
        }
        const int32_t rc = Connect(instance, r, line, true);
        if (rc != 0) {
            return rc;
        }
        turn->probe = false; // back: the request goes out as any other
        connected = true;
    }
    return CatchUp(instance, r, line, connected);
}

void EndStationTurn(DriverInstance *instance, uint32_t station, int32_t rc) {
    LineLock lock;
    StationRecord *r = Find(instance, station);
    if (r != nullptr) {
        Count(r, LineOptionsOf(instance), rc);
    }
}

bool StationSetAside(DriverInstance *instance, uint32_t station) {
    LineLock lock;
    const StationRecord *r = Find(instance, station);
    return r != nullptr && r->setAside != 0 && plat_monotonic_ms() < r->pauseEnds;
}

void StationConnected(DriverInstance *instance, uint32_t station) {
    LineLock lock;
    StationRecord *r = Find(instance, station);
    if (r != nullptr) {
        r->connectedAt = LineSettingsOf(instance).reopens;
        r->connectOwed = 0;
    }
}

int32_t ExchangeObject(DriverInstance *instance, uint32_t station, ObjectEntry *entry, bool toggle,
                       uint16_t expectedReplyLength, ListItem ask, const uint8_t *data, const ExchangeRecords &records,
                       DsfReplyItem *item) {
    LineLock lock; // the entry's handles change only under it, in a round
    if (entry != nullptr) {
        ask.handle = toggle ? entry->toggleHandle : entry->handle;
    }
    if (entry == nullptr || LineOptionsOf(instance).relookupOnError == 0) {
        return ExchangeItem(instance, station, expectedReplyLength, ask, data, records, item);
    }
    const LineSettings line = LineNow(instance);
    StationRecord *r = LoadStationSlot(instance, station) != nullptr ? Claim(instance, station, line.reopens) : nullptr;
    if (r != nullptr) {
        const int32_t rc = CatchUp(instance, r, line, false);
        if (rc != 0) {
            return rc;
        }
        bool connected = false;
        if (entry->state != OBJECT_FOUND && RoundAllowed(r)) {
            Round(instance, r, line, &connected);
        }
    }
    if (entry->state != OBJECT_FOUND) {
        return DSF_ERR_OBJECT_CHANGED;
    }
    ask.handle = toggle ? entry->toggleHandle : entry->handle;
    TransportNextExchange(false); // a request refused before the line must not show an older answer
    int32_t rc = ExchangeItem(instance, station, expectedReplyLength, ask, data, records, item);
    const bool errorReply = (rc != 0 && TransportAnswered()) || (rc == 0 && item->status != 0);
    r = Find(instance, station);
    if (r == nullptr || (!errorReply && r->roundOwed == 0) || !RoundAllowed(r)) {
        return rc;
    }
    bool connected = false;
    if (Round(instance, r, line, &connected) != 0 || !errorReply) {
        return rc;
    }
    if (entry->state != OBJECT_FOUND) {
        return DSF_ERR_OBJECT_CHANGED;
    }
    ask.handle = toggle ? entry->toggleHandle : entry->handle;
    return ExchangeItem(instance, station, expectedReplyLength, ask, data, records, item);
}

void ForgetStations(const DriverInstance *instance) {
    LineLock lock;
    for (StationRecord &r : watched) {
        if (r.owner == instance) {
            r = StationRecord();
        }
    }
}
