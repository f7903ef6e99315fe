// What a careless or hostile host can hand the driver, through KviMain, against the station simulator:
// one station (2) with a 16-bit value, an array of ten and a sample structure. Every call must come
// back with a clear result and message, leave the host's storage alone when it fails, and lose no
// memory; the object lists of an instance block are counted and given back when a test ends, as the
// end of the host process would.
#pragma once

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kesta.h"
#include "plc/registry.h"
#include "support/driver_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define KESTA_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTA_LEAK_CHECK 1
#endif
#endif
#ifdef KESTA_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace robustness {

// The list heads of an instance block, where a leak checker can see them. The block is packed: its
// ObjectList and UsedAreaList fields do not sit at pointer alignment, and LeakSanitizer and valgrind
// look for pointers only there, so lists that hang from a live block look lost to them. A test keeps
// aligned copies of the heads it means to keep; lists a cold start dropped without giving them back
// are then the only ones that still look lost.
inline void *g_listHeads[2];

inline void HoldListHeads(const DriverInstance &instance) {
    g_listHeads[0] = instance.ObjectList;
    g_listHeads[1] = instance.UsedAreaList;
}

// True when LeakSanitizer finds memory that nothing points to any more (it prints what and where),
// after taking the block's lists as held. Without a sanitizer build there is nothing to ask: false.
inline bool LeaksFound(const DriverInstance &instance) {
    HoldListHeads(instance);
#ifdef KESTA_LEAK_CHECK
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}

struct ListCount {
    size_t objects = 0; // ObjectList entries
    size_t areas = 0;   // UsedAreaList entries
    size_t bytes = 0;
};

inline ListCount CountLists(const DriverInstance &instance) {
    ListCount count;
    for (const ObjectEntry *e = static_cast<const ObjectEntry *>(instance.ObjectList); e != nullptr; e = e->next) {
        ++count.objects;
        count.bytes += sizeof *e;
    }
    for (const UsedArea *a = static_cast<const UsedArea *>(instance.UsedAreaList); a != nullptr; a = a->next) {
        ++count.areas;
        count.bytes += sizeof *a;
    }
    return count;
}

// Gives the lists back as the end of the host process would.
inline void ReleaseLists(DriverInstance &instance) {
    GiveBackLists(&instance);
    HoldListHeads(instance);
}

// A field of the packed instance block by value (a comparison macro would bind a reference to it).
template <typename T> T Field(T value) { return value; }

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(f.ok()) << f.error();
        kesta::sim::Station &s = f.station(2);
        s.addObject(kesta::sim::ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 1234));
        s.addObject(
            kesta::sim::ObjectSpec::Array("table", kesta::sim::kTypeUint16, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        s.addSampleStructure("data");
    }

    void TearDown() override {
        if (f.started()) {
            f.End();
        }
        ReleaseLists(f.instance());
    }

    void Start() {
        ASSERT_EQ(0u, f.ColdStart(20));
        f.ClearMessages();
    }

    // The level-32 and level-8 texts since the last ClearMessages, joined for a failure message.
    std::string Said() const {
        std::string all;
        for (const std::string &text : f.Texts()) {
            all += "\n  " + text;
        }
        return all;
    }

    bool SaidSomething(const std::string &part) const {
        for (const std::string &text : f.Texts()) {
            if (text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // KviMain with a record of any layout.
    uint32_t Call(uint32_t code, void *record) { return f.Call(code, record); }

    DriverFixture f;
};

} // namespace robustness
