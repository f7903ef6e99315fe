// The host runtime (TALRUN): logging and gate services the driver calls. On Windows these are imported
// from TALRUN.dll; on Linux they are bound on first use from the library named by KESTA_TALRUN, else
// libtalrun.so, and never from the process's global scope (the C library has an err() of its own).
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#define TAL_CALL __cdecl
#else
#define TAL_CALL
#endif

// Lets the compiler check every message's conversions against its arguments.
#if defined(__GNUC__)
#define TAL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TAL_PRINTF(f, a)
#endif

extern "C" {

typedef struct TalValue {
    unsigned char bytes[8];
} TalValue;

int TAL_CALL err(int level, const char *format, ...) TAL_PRINTF(2, 3);
uint16_t TAL_CALL TalGetGateIdByAddressStr(int zero, uint8_t driverId, const char *address, uint32_t *gateId);
int TAL_CALL TalCook(int zero, uint32_t gateId, uint32_t raw, void *cooked8);
uint16_t TAL_CALL TalPutGateVal(int zero, uint32_t gateId, int two, TalValue cooked, int32_t timeStamp, int zero2);
}

// Log levels.
enum { LOG_ERROR = 32, LOG_DEBUG = 8 };
