// The test TALRUN.dll (see talrun_test.h). Declares the four host functions itself, from the host's
// description of them, rather than through the driver's platform/talrun.h: a mismatch between the
// two sides must show up as wrong recorded arguments, not be agreed away by a shared header.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "talrun_test.h"

extern "C" {
typedef struct HostValue {
    unsigned char bytes[8];
} HostValue;

int __cdecl err(int level, const char *format, ...);
uint16_t __cdecl TalGetGateIdByAddressStr(int zero, uint8_t driverId, const char *address, uint32_t *gateId);
int __cdecl TalCook(int zero, uint32_t gateId, uint32_t raw, void *cooked8);
uint16_t __cdecl TalPutGateVal(int zero, uint32_t gateId, int two, HostValue cooked, int32_t timeStamp, int zero2);
}

namespace {

struct Message {
    int level;
    std::string text;
};
struct Gate {
    std::string address;
    uint32_t id;
};
struct Lookup {
    std::string address;
    uint8_t driverId;
    uint16_t result;
};

CRITICAL_SECTION lock;
std::vector<Message> *messages;
std::vector<Gate> *gates;
std::vector<Lookup> *lookups;
std::vector<TestTalStore> *stores;
unsigned badCookCalls;
int echo;

class Locked {
public:
    Locked() { EnterCriticalSection(&lock); }
    ~Locked() { LeaveCriticalSection(&lock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

const Gate *FindGate(const char *address) {
    for (const Gate &g : *gates) {
        if (g.address == address) {
            return &g;
        }
    }
    return nullptr;
}

bool GateIdDefined(uint32_t id) {
    for (const Gate &g : *gates) {
        if (g.id == id) {
            return true;
        }
    }
    return false;
}

void CopyOut(const std::string &text, char *out, unsigned size) {
    if (out == nullptr || size == 0) {
        return;
    }
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&lock);
        messages = new std::vector<Message>;
        gates = new std::vector<Gate>;
        lookups = new std::vector<Lookup>;
        stores = new std::vector<TestTalStore>;
    }
    return TRUE;
}

int __cdecl err(int level, const char *format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format != nullptr ? format : "(null format)", args);
    va_end(args);
    Locked held;
    messages->push_back(Message{level, text});
    if (echo) {
        printf("         %d %s\n", level, text);
        fflush(stdout);
    }
    return 0;
}

uint16_t __cdecl TalGetGateIdByAddressStr(int zero, uint8_t driverId, const char *address, uint32_t *gateId) {
    Locked held;
    uint16_t result = 1;
    if (zero == 0 && address != nullptr && gateId != nullptr) {
        const Gate *gate = FindGate(address);
        if (gate != nullptr) {
            *gateId = gate->id;
            result = 0;
        }
    }
    lookups->push_back(Lookup{address != nullptr ? address : "", driverId, result});
    return result;
}

int __cdecl TalCook(int zero, uint32_t gateId, uint32_t raw, void *cooked8) {
    (void)gateId;
    Locked held;
    if (zero != 0) {
        badCookCalls++;
    }
    if (cooked8 != nullptr) {
        const double value = static_cast<double>(raw >> 16);
        memcpy(cooked8, &value, sizeof value);
    }
    return 0;
}

uint16_t __cdecl TalPutGateVal(int zero, uint32_t gateId, int two, HostValue cooked, int32_t timeStamp, int zero2) {
    Locked held;
    if (!GateIdDefined(gateId)) {
        return 2;
    }
    TestTalStore store;
    store.leadingZero = zero;
    store.gateId = gateId;
    store.two = two;
    memcpy(&store.cooked, cooked.bytes, sizeof store.cooked);
    store.timeStamp = timeStamp;
    store.trailingZero = zero2;
    stores->push_back(store);
    return 0;
}

unsigned __cdecl TestTal_MessageCount(void) {
    Locked held;
    return static_cast<unsigned>(messages->size());
}

int __cdecl TestTal_Message(unsigned index, int *level, char *text, unsigned size) {
    Locked held;
    if (index >= messages->size()) {
        return -1;
    }
    if (level != nullptr) {
        *level = (*messages)[index].level;
    }
    CopyOut((*messages)[index].text, text, size);
    return 0;
}

void __cdecl TestTal_ClearMessages(void) {
    Locked held;
    messages->clear();
}

void __cdecl TestTal_Echo(int on) {
    Locked held;
    echo = on;
}

int __cdecl TestTal_DefineGate(const char *address, uint32_t id) {
    if (address == nullptr || address[0] == '\0') {
        return -1;
    }
    Locked held;
    for (Gate &g : *gates) {
        if (g.address == address) {
            g.id = id;
            return 0;
        }
    }
    gates->push_back(Gate{address, id});
    return 0;
}

unsigned __cdecl TestTal_StoreCount(uint32_t id) {
    Locked held;
    unsigned n = 0;
    for (const TestTalStore &s : *stores) {
        n += s.gateId == id ? 1 : 0;
    }
    return n;
}

int __cdecl TestTal_Store(uint32_t id, unsigned index, TestTalStore *out) {
    Locked held;
    unsigned n = 0;
    for (const TestTalStore &s : *stores) {
        if (s.gateId != id) {
            continue;
        }
        if (n++ == index) {
            if (out != nullptr) {
                *out = s;
            }
            return 0;
        }
    }
    return -1;
}

unsigned __cdecl TestTal_LookupCount(void) {
    Locked held;
    return static_cast<unsigned>(lookups->size());
}

int __cdecl TestTal_Lookup(unsigned index, char *address, unsigned size, uint8_t *driverId, uint16_t *result) {
    Locked held;
    if (index >= lookups->size()) {
        return -1;
    }
    const Lookup &l = (*lookups)[index];
    CopyOut(l.address, address, size);
    if (driverId != nullptr) {
        *driverId = l.driverId;
    }
    if (result != nullptr) {
        *result = l.result;
    }
    return 0;
}

unsigned __cdecl TestTal_BadCookCalls(void) {
    Locked held;
    return badCookCalls;
}
