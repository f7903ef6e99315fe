// Gate tests through KviMain: the shared driver fixture (simulator on a pty, reference host runtime)
// plus what the gate tests look at: the master's messages on the line, cells, the registry.
#pragma once

#include <stdint.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plc/registry.h"
#include "plc_test_util.h"
#include "support/driver_fixture.h"

using kesta::sim::Direction;
using kesta::sim::ObjectSpec;
using kesta::sim::TrafficRecord;

class GateLine : public ::testing::Test {
protected:
    using Clock = std::chrono::steady_clock;

    void SetUp() override { ASSERT_TRUE(f.ok()) << f.error(); }
    // The driver keeps its registry for the life of the process; a test gives it back.
    void TearDown() override { GiveBackLists(&f.instance()); }

    // Cold start with the given init file; the line's traffic and messages so far are forgotten.
    void Start(const std::string &init = "NUM_OF_SLAVES = 4\n", uint32_t timeout = 20) {
        f.WriteInitFile(init);
        ASSERT_EQ(0u, f.ColdStart(timeout));
        ASSERT_EQ(1u, Field(f.instance().dsfOpen));
        f.sim().clearTraffic();
        f.ClearMessages();
    }

    kesta::sim::Station &St(uint8_t address = 2) { return f.station(address); }

    // KviMain called here directly, not through the fixture: this also links it from the test's own
    // objects, ahead of the fixture's library, which does not bring the driver along.
    uint32_t Kvi(uint32_t code, void *record) {
        DriverCall call;
        memset(&call, 0, sizeof call);
        call.instance = &f.instance();
        call.functionCode = code;
        call.driverNumber = f.driverNumber();
        call.argRecord = record;
        return KviMain(&call);
    }

    // The driver's messages without the transport's debug traces, which come and go with the timing
    // of the line.
    std::vector<LoggedMessage> GateMessages() const {
        std::vector<LoggedMessage> out;
        for (const LoggedMessage &m : f.Messages()) {
            if (m.text.rfind("KESTA> dsf_ra_", 0) != 0)
                out.push_back(m);
        }
        return out;
    }

    // Completed messages from the master, in order.
    std::vector<TrafficRecord> Requests() const {
        std::vector<TrafficRecord> out;
        for (const TrafficRecord &r : const_cast<DriverFixture &>(f).sim().traffic()) {
            if (r.direction == Direction::FromMaster && r.hasMessage)
                out.push_back(r);
        }
        return out;
    }
    // Frames the master sent (retransmissions included).
    size_t MasterFrames() const {
        size_t count = 0;
        for (const TrafficRecord &r : const_cast<DriverFixture &>(f).sim().traffic())
            count += r.direction == Direction::FromMaster ? 1 : 0;
        return count;
    }
    // Names looked up, in order.
    std::vector<std::string> Lookups() const {
        std::vector<std::string> names;
        for (const TrafficRecord &r : Requests()) {
            if (r.code == kesta::sim::kCodeLookup) {
                for (const auto &item : r.items)
                    names.push_back(item.name);
            }
        }
        return names;
    }

    static uint16_t Half(const uint8_t *cell, int index) {
        uint16_t half;
        memcpy(&half, cell + 2 * index, sizeof half);
        return half;
    }
    static uint32_t Word32(const uint8_t *cell) {
        uint32_t whole;
        memcpy(&whole, cell, sizeof whole);
        return whole;
    }

    DriverFixture f;
};
