// Gate address parsing: syntax, station connection on demand, object lookup, type checks against
// the host's gate type, offsets. Never touches the line for a refused syntax or a time-stamp gate.
#pragma once

#include <stdint.h>

#include "kesta.h"

enum { PARSE_SINGLE = 3, PARSE_BLOCK = 4 };

// Attempts of the station services while parsing: a station that does not answer costs
// PARSE_CONNECT_ATTEMPTS connects with PARSE_CONNECT_PAUSE_MS after each failure.
enum { PARSE_CONNECT_ATTEMPTS = 4, PARSE_CONNECT_PAUSE_MS = 100, PARSE_LOOKUP_ATTEMPTS = 4 };

// The work both parsers share; mode PARSE_SINGLE or PARSE_BLOCK. 0 accepted, 1 refused.
int Parse(DriverInstance *instance, GateAddressParse *record, int mode);
// The host gate type against the parsed typeCode, with its message on a mismatch. 0 or 1.
int CheckGateType(const GateAddressParse *record);
// The element offset of a parsed ordinary single gate. 0 or 1.
int AssignSingleOffset(DriverInstance *instance, GateAddressParse *record);

bool IsSampleGate(uint32_t typeCode);    // EWTM, EWTV
bool IsTimeStampGate(uint32_t typeCode); // EWTm, EWTv
