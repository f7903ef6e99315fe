// The line the trace tests drive: a driver instance against the simulated station 2 with the INT
// variable "speed" (1234), cold-started on demand, the gate 002speed read and written.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/driver_fixture.h"

class SpeedLine : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(f.ok()) << f.error();
        f.station(2).addObject(kesta::sim::ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 1234));
    }

    // Cold start, the gate 002speed parsed, read `reads` times and written once.
    void Requests(int reads) {
        ASSERT_EQ(0u, f.ColdStart(20));
        ASSERT_EQ(0u, f.Parse(speed_, "002speed", GATE_SIGNED16));
        for (int i = 0; i < reads; ++i)
            EXPECT_EQ(0u, f.Read(speed_));
        const uint8_t cell[4] = {0, 0, 0x07, 0x00};
        EXPECT_EQ(0u, f.Write(speed_, cell));
    }

    // The station's fault script from now on (the simulator's fault steps).
    void Fault(const char *steps) {
        kesta::sim::FaultScript script;
        std::string error;
        ASSERT_TRUE(kesta::sim::ParseFaultScript(steps, &script, &error)) << error;
        f.station(2).setFaults(script);
    }

    DriverFixture f;
    DriverFixture::Gate speed_;
};
