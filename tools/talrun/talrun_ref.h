/* The project's reference host runtime (libtalrun.so): the four TALRUN functions a driver imports, plus
 * a small C API for in-process tests and the host console.
 *
 * Behaviour of the four host functions:
 * - err(level, format, ...): formats the message, keeps it in memory with its level (talref_message),
 *   and writes it as one "level text" line to standard error, or appended to the file named by the
 *   environment variable TALRUN_LOG (talref_log_to changes that at run time).
 * - TalGetGateIdByAddressStr(0, driverId, address, &id): 0 and the gate's id when the address is a
 *   defined gate, else 1 (2 for a null pointer). Gates come from the text file named by TALRUN_GATES,
 *   read on first use (one gate a line: address string, blank, id; '#' starts a comment line), and
 *   from talref_define_gate. The driver id does not select anything; the last one asked is kept.
 * - TalCook(0, id, raw, cooked8): the cooked value is the little-endian IEEE-754 double of the raw
 *   value's upper 16 bits taken as unsigned (raw 0x00070000 cooks to 7.0). Returns 0.
 * - TalPutGateVal(0, id, 2, cooked, timeStamp, 0): stores the 8 bytes and the time stamp under the
 *   gate id and returns 0; 2 for an id that is not a defined gate; the code set by talref_fail_put
 *   while it is nonzero (nothing is stored then).
 * All functions are thread-safe. */
#ifndef TALRUN_REF_H
#define TALRUN_REF_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define TALREF_API __attribute__((visibility("default")))
#else
#define TALREF_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum { TALREF_MAX_MESSAGES = 200000 }; /* older messages are kept, later ones only written out */

/* Captured messages, oldest first. talref_message copies message `index` (NUL-terminated, cut to fit)
 * and its level; it returns the message's full length, or -1 when there is no such message. */
TALREF_API size_t talref_message_count(void);
TALREF_API int talref_message(size_t index, int *level, char *text, size_t size);
TALREF_API void talref_clear_messages(void);

/* Where err writes: NULL standard error, "" nowhere, else the named file (appended). */
TALREF_API int talref_log_to(const char *path);

/* Gates. talref_load_gates adds the gates of a file and returns how many it read (-1: cannot open). */
TALREF_API int talref_load_gates(const char *path);
TALREF_API int talref_define_gate(const char *address, uint32_t id); /* 0, or -1 for a bad address */
TALREF_API void talref_clear_gates(void);

/* What TalPutGateVal stored for a gate: 0 and the value, time stamp and number of stores, or -1 when
 * nothing was stored for it yet. */
TALREF_API int talref_gate_value(uint32_t id, unsigned char value[8], int32_t *timeStamp, uint32_t *stores);
TALREF_API double talref_cooked_double(const unsigned char value[8]);
/* The last gate lookup: its driver id and address (cut to fit); -1 before the first. */
TALREF_API int talref_last_lookup(uint8_t *driverId, char *address, size_t size);
/* One line per gate: "address id", then "value time stamp stores" when something was stored. */
TALREF_API void talref_print_gates(FILE *out);

/* Makes TalPutGateVal answer `code` without storing while it is nonzero; 0 ends that. */
TALREF_API void talref_fail_put(uint16_t code);

#ifdef __cplusplus
}
#endif

#endif /* TALRUN_REF_H */
