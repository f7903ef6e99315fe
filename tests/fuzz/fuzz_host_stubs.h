// Fuzz-local host runtime: messages are formatted (so a conversion that does not fit its argument
// shows under the sanitizers) and checked for the driver's prefix, then dropped; gates are unknown.
// A target includes this once, instead of linking the runtime binding that would dlopen a library.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "fuzz_input.h"
#include "platform/talrun.h"

namespace fuzzhost {

// Messages since the last Clear(), and the text of the last one.
inline unsigned g_messages = 0;
inline char g_last[2048];

inline void Clear() {
    g_messages = 0;
    g_last[0] = '\0';
}

} // namespace fuzzhost

extern "C" int err(int level, const char *format, ...) {
    FuzzCheck(level == LOG_ERROR || level == LOG_DEBUG);
    FuzzCheck(format != nullptr && strncmp(format, "KESTA>", 6) == 0);
    va_list args;
    va_start(args, format);
    vsnprintf(fuzzhost::g_last, sizeof fuzzhost::g_last, format, args);
    va_end(args);
    ++fuzzhost::g_messages;
    return 0;
}

extern "C" uint16_t TalGetGateIdByAddressStr(int, uint8_t, const char *address, uint32_t *gateId) {
    FuzzCheck(address != nullptr && strlen(address) < 32);
    *gateId = 0;
    return 1;
}

extern "C" int TalCook(int, uint32_t, uint32_t, void *) { return 0; }

extern "C" uint16_t TalPutGateVal(int, uint32_t, int, TalValue, int32_t, int) { return 1; }
