// The host runtime on Linux: binds TALRUN's four functions on first use from the library named by
// KESTA_TALRUN (else libtalrun.so by the loader's search) and forwards to them. Symbols are looked up in
// that library only, never in the global scope: the C library exports an err() that ends the process.
// Without a runtime the driver keeps working: messages go to standard error, gates are "not found".
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/talrun.h"

namespace {

typedef int (*ErrFunction)(int level, const char *format, ...);
typedef uint16_t (*GateIdFunction)(int zero, uint8_t driverId, const char *address, uint32_t *gateId);
typedef int (*CookFunction)(int zero, uint32_t gateId, uint32_t raw, void *cooked8);
typedef uint16_t (*PutFunction)(int zero, uint32_t gateId, int two, TalValue cooked, int32_t timeStamp, int zero2);

struct Runtime {
    ErrFunction err;
    GateIdFunction gateId;
    CookFunction cook;
    PutFunction put;
};

Runtime runtime;
pthread_once_t bindOnce = PTHREAD_ONCE_INIT;

enum { GATE_NOT_FOUND = 1, PUT_FAILED = 1 };

// dlsym on a handle also searches the library's dependencies; a runtime that lacks a function would
// hand us libc's err(). Accept a symbol only if it lives in the runtime's own image.
void *Resolve(void *library, const struct link_map *map, const char *name) {
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        return nullptr;
    }
    Dl_info info;
    struct link_map *owner = nullptr;
    if (dladdr1(symbol, &info, reinterpret_cast<void **>(&owner), RTLD_DL_LINKMAP) == 0 || owner != map) {
        return nullptr;
    }
    return symbol;
}

void Bind() {
    const char *name = getenv("KESTA_TALRUN");
    if (name == nullptr || name[0] == '\0') {
        name = "libtalrun.so";
    }
    void *library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *why = dlerror();
        fprintf(stderr, "kesta: host runtime %s not loaded (%s); messages go to standard error\n", name,
                why != nullptr ? why : "unknown");
        return;
    }
    struct link_map *map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        fprintf(stderr, "kesta: host runtime %s not usable; messages go to standard error\n", name);
        dlclose(library);
        return;
    }
    runtime.err = reinterpret_cast<ErrFunction>(Resolve(library, map, "err"));
    runtime.gateId = reinterpret_cast<GateIdFunction>(Resolve(library, map, "TalGetGateIdByAddressStr"));
    runtime.cook = reinterpret_cast<CookFunction>(Resolve(library, map, "TalCook"));
    runtime.put = reinterpret_cast<PutFunction>(Resolve(library, map, "TalPutGateVal"));
    if (runtime.err == nullptr) {
        fprintf(stderr, "kesta: host runtime %s has no err(); messages go to standard error\n", name);
    }
    // The library stays loaded for the life of the process: its functions may be bound.
}

// Binding may run dlopen, which is free to change errno; callers read the system error after logging.
void EnsureBound() {
    int saved = errno;
    pthread_once(&bindOnce, Bind);
    errno = saved;
}

} // namespace

extern "C" {

int err(int level, const char *format, ...) {
    int saved = errno;
    EnsureBound();
    // A variadic call cannot be passed on as such: the text is formatted here and handed over whole.
    char text[2048];
    text[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
    }
    if (runtime.err != nullptr) {
        runtime.err(level, "%s", text);
    } else {
        fprintf(stderr, "%d %s\n", level, text);
    }
    errno = saved;
    return 0;
}

uint16_t TalGetGateIdByAddressStr(int zero, uint8_t driverId, const char *address, uint32_t *gateId) {
    EnsureBound();
    if (runtime.gateId == nullptr) {
        return GATE_NOT_FOUND;
    }
    return runtime.gateId(zero, driverId, address, gateId);
}

int TalCook(int zero, uint32_t gateId, uint32_t raw, void *cooked8) {
    EnsureBound();
    if (runtime.cook == nullptr) {
        if (cooked8 != nullptr) {
            memset(cooked8, 0, sizeof(TalValue));
        }
        return 0;
    }
    return runtime.cook(zero, gateId, raw, cooked8);
}

uint16_t TalPutGateVal(int zero, uint32_t gateId, int two, TalValue cooked, int32_t timeStamp, int zero2) {
    EnsureBound();
    if (runtime.put == nullptr) {
        return PUT_FAILED;
    }
    return runtime.put(zero, gateId, two, cooked, timeStamp, zero2);
}

} // extern "C"
