/* The test TALRUN.dll: the four host functions kesta.dll imports, written from the host's side of the
 * interface, plus a read-back API for the Windows test host. Everything the driver hands over is
 * recorded as it arrived (message texts and levels, gate look-ups, every argument of a store), so the
 * test host can tell a wrong calling convention or argument order from a wrong value.
 *
 * Host behaviour:
 * - err(level, format, ...): formats with the C library's printf rules and keeps level and text;
 *   with TestTal_Echo on, also prints "level text" lines to standard output.
 * - TalGetGateIdByAddressStr(0, driverId, address, &id): 0 and the id for a gate defined with
 *   TestTal_DefineGate, else 1.
 * - TalCook(0, id, raw, cooked8): the engineering value is the double of the raw value's upper 16 bits
 *   taken as unsigned (raw 0x01F40000 cooks to 500.0), stored little-endian. Returns 0.
 * - TalPutGateVal(0, id, 2, cooked, timeStamp, 0): keeps the store and returns 0, or 2 for an id that
 *   is not a defined gate. */
#ifndef KESTA_TALRUN_TEST_H
#define KESTA_TALRUN_TEST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One gate store as TalPutGateVal received it. */
typedef struct TestTalStore {
    int32_t leadingZero; /* first argument, 0 by the interface */
    uint32_t gateId;
    int32_t two;   /* third argument, 2 by the interface */
    double cooked; /* the 8 bytes passed by value, as a double */
    int32_t timeStamp;
    int32_t trailingZero; /* last argument, 0 by the interface */
} TestTalStore;

/* Messages, oldest first. TestTal_Message copies message index (cut to size) and its level; 0 when
 * there is such a message, -1 when not. */
unsigned __cdecl TestTal_MessageCount(void);
int __cdecl TestTal_Message(unsigned index, int *level, char *text, unsigned size);
void __cdecl TestTal_ClearMessages(void);
void __cdecl TestTal_Echo(int on);

/* Gates: defining one again replaces its id. */
int __cdecl TestTal_DefineGate(const char *address, uint32_t id);
/* Stores kept for a gate id, oldest first: their number, and store index copied out (0, or -1). */
unsigned __cdecl TestTal_StoreCount(uint32_t id);
int __cdecl TestTal_Store(uint32_t id, unsigned index, TestTalStore *out);
/* Every look-up: their number, and look-up index (address cut to size, driver id, result). */
unsigned __cdecl TestTal_LookupCount(void);
int __cdecl TestTal_Lookup(unsigned index, char *address, unsigned size, uint8_t *driverId, uint16_t *result);
/* Calls of TalCook with a nonzero leading argument (the interface passes 0). */
unsigned __cdecl TestTal_BadCookCalls(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTA_TALRUN_TEST_H */
