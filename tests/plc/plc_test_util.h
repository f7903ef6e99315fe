// Helpers of the gate tests: an instance block as the host would hand it over, messages read back from
// the reference host runtime, the registry released at the end of a test (the driver keeps it for the
// life of the process, the leak checker should not see it), a fixed time zone.
#pragma once

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kesta.h"
#include "support/instance_block.h"
#include "plc/registry.h"
#include "support/hostlog.h"

#ifndef TALRUN_SO_PATH
#define TALRUN_SO_PATH "libtalrun.so"
#endif

// A field of the packed instance block by value: a comparison macro would bind a reference to it,
// which the field's alignment does not allow.
template <typename T> T Field(T value) { return value; }

inline size_t ObjectCount(const DriverInstance *instance) {
    size_t count = 0;
    for (auto *e = static_cast<const ObjectEntry *>(instance->ObjectList); e != nullptr; e = e->next)
        ++count;
    return count;
}

inline std::vector<LoggedMessage> Logged(std::initializer_list<LoggedMessage> messages) {
    return std::vector<LoggedMessage>(messages);
}

// Sets TZ for the life of the object and puts the old value back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *zone) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone &) = delete;
    ScopedTimeZone &operator=(const ScopedTimeZone &) = delete;

private:
    bool had_ = false;
    std::string old_;
};

// An instance block with the stack marked open and no station connected: everything a gate routine
// does before it would use the line. Nothing here opens a port or the stack.
class PlcUnitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(hostlog::Attach(TALRUN_SO_PATH), nullptr);
        PrepareStartedBlock(&instance);
        hostlog::Clear();
    }
    void TearDown() override { ReleaseRegistry(&instance); }

    DriverCall Call(uint32_t code, void *record) {
        DriverCall call;
        memset(&call, 0, sizeof call);
        call.instance = &instance;
        call.functionCode = code;
        call.driverNumber = 1;
        call.argRecord = record;
        return call;
    }

    DriverInstance instance;
};
