// The stations of a line under the init file's healing keys. SILENT_STATION_LIMIT and _PAUSE: a station
// whose requests went unanswered that many times in a row is set aside for the pause, its requests refused
// at once, and the first request after the pause goes out once only. RELOOKUP_ON_ERROR: after an error
// reply to a registered object, and when a station comes back, the station is connected again and every
// object registered for it looked up by name (one round in any 10 s at most), and the failed request is
// made once more. PORT_REOPEN_INTERVAL: a station is connected again on demand once its line's device was
// reopened. With every key off nothing here goes on the line, logs or keeps a record.
#pragma once

#include <stdint.h>

#include "dsf/dsf.h"
#include "kesta.h"
#include "platform/system.h"
#include "plc/plc_common.h"
#include "plc/registry.h"
#include "serial/transport.h"

enum { RELOOKUP_ROUND_MS = 10000 }; // at most one round of look-ups per station in this time

struct StationTurn {
    bool probe; // the first request after the station's pause: one sending only
};

// Before one request to the station, with the line lock held: 0 to go ahead, DSF_ERR_SET_ASIDE while the
// station is set aside, or the code of the connect the station owed first (its line's device came back).
int32_t BeginStationTurn(DriverInstance *instance, uint32_t station, StationTurn *turn);
// After the request, with its code and the line lock still held: counts silence, sets aside, brings back.
void EndStationTurn(DriverInstance *instance, uint32_t station, int32_t rc);

// One request to the station as a turn: exchange() puts it on the line and returns its code. The line
// lock is held throughout, so that the one-sending limit of a probe serves this request alone.
template <typename Exchange> int32_t StationRequest(DriverInstance *instance, uint32_t station, Exchange exchange) {
    LineLock line;
    StationTurn turn = {};
    const int32_t refused = BeginStationTurn(instance, station, &turn);
    if (refused != 0) {
        return refused;
    }
    TransportNextExchange(turn.probe);
    const int32_t rc = exchange();
    TransportExchangeDone();
    EndStationTurn(instance, station, rc);
    return rc;
}

// Set aside, its pause not over: parses of its gates fail as those of a station that cannot be connected.
bool StationSetAside(DriverInstance *instance, uint32_t station);
// A parse connected the station on the line as it is now.
void StationConnected(DriverInstance *instance, uint32_t station);

// One item exchange (ExchangeItem) of a registered object: entry's handle (its toggleHandle with toggle)
// takes the place of ask.handle. Under RELOOKUP_ON_ERROR an object that the last look-up did not find as
// registered fails with DSF_ERR_OBJECT_CHANGED, and an error reply of the station (or the station coming
// back) brings a round of look-ups, after which a failed request is made once more. entry null: ask as
// given, plain ExchangeItem.
int32_t ExchangeObject(DriverInstance *instance, uint32_t station, ObjectEntry *entry, bool toggle,
                       uint16_t expectedReplyLength, ListItem ask, const uint8_t *data, const ExchangeRecords &records,
                       DsfReplyItem *item);

// A cold start or EndKvi: what was kept for the instance's stations goes.
void ForgetStations(const DriverInstance *instance);
