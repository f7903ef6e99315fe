// What the fault soaks share: a station's three gates (a 32-bit setpoint that is written and read back, a
// 32-bit value the station changes, an 8-element array), one request of a kind on them with a value never
// used before, checked against what the station holds, and the code the driver logged for a failure.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "concurrency/driver_line.h"

namespace soak {

enum { TABLE_ELEMENTS = 8 };

enum class Op { Write, ReadBack, ReadChanged, ReadBlock };

inline uint32_t Setting(const char *name, uint32_t fallback) {
    const char *text = getenv(name);
    if (text == nullptr || text[0] == '\0')
        return fallback;
    const unsigned long value = strtoul(text, nullptr, 10);
    return value != 0 ? static_cast<uint32_t>(value) : fallback;
}

// The code the driver logged for the failed call ("... ErrCode: N"), or -1 when it logged none.
inline int LoggedCode(const std::vector<LoggedMessage> &messages) {
    static const std::string key = "ErrCode: ";
    for (auto m = messages.rbegin(); m != messages.rend(); ++m) {
        const size_t at = m->text.find(key);
        if (at != std::string::npos)
            return atoi(m->text.c_str() + at + key.size());
    }
    return -1;
}

struct StationGates {
    DriverFixture::Gate setpoint, measured, table;
};

inline void AddObjects(kesta::sim::Station &station) {
    station.addObject(kesta::sim::ObjectSpec::Scalar("setpoint", kesta::sim::kTypeInt32, 0));
    station.addObject(kesta::sim::ObjectSpec::Scalar("measured", kesta::sim::kTypeInt32, 0));
    station.addObject(kesta::sim::ObjectSpec::Array("table", kesta::sim::kTypeInt32, TABLE_ELEMENTS));
}

// station: the three digits of the gates' addresses.
inline bool ParseGates(concurrency::DriverLine &line, const std::string &station, StationGates &g) {
    return line.Parse(g.setpoint, station + "setpoint") == 0 && line.Parse(g.measured, station + "measured") == 0 &&
           line.Parse(g.table, station + "table", GATE_SIGNED32, TABLE_ELEMENTS) == 0;
}

struct Outcome {
    uint32_t rc;      // the host's result
    int wrongElement; // with rc 0: the first element that differs from what the station had, else -1
    int32_t got, expected;
};

// One request of the kind with value, never used before on this station: a write of the setpoint, a
// read of it back, a read of the value the station changes to value, a block read of the array the
// station fills from value on.
inline Outcome Request(concurrency::DriverLine &line, kesta::sim::Station &station, StationGates &g, Op op,
                       int32_t value) {
    int32_t expected[TABLE_ELEMENTS] = {};
    int32_t got[TABLE_ELEMENTS] = {};
    uint32_t count = 1;
    Outcome out = {0, -1, 0, 0};
    switch (op) {
    case Op::Write:
        out.rc = line.Write(g.setpoint, value);
        expected[0] = value;
        break;
    case Op::ReadBack:
        // What the station holds: the last write, or an older value when that write failed before the
        // station carried it out.
        expected[0] = static_cast<int32_t>(station.value("setpoint"));
        out.rc = line.Read(g.setpoint, &got[0]);
        break;
    case Op::ReadChanged:
        expected[0] = value;
        station.setValue("measured", value);
        out.rc = line.Read(g.measured, &got[0]);
        break;
    case Op::ReadBlock:
        count = TABLE_ELEMENTS;
        for (uint32_t k = 0; k < count; ++k) {
            expected[k] = value * TABLE_ELEMENTS + static_cast<int32_t>(k);
            station.setValue("table", expected[k], k);
        }
        out.rc = line.ReadBlock(g.table, count, got);
        break;
    }
    if (out.rc != 0)
        return out;
    if (op == Op::Write)
        got[0] = static_cast<int32_t>(station.value("setpoint")); // done means done: the station holds it
    for (uint32_t k = 0; k < count; ++k) {
        if (got[k] != expected[k]) {
            out = {0, static_cast<int>(k), got[k], expected[k]};
            break;
        }
    }
    return out;
}

} // namespace soak
