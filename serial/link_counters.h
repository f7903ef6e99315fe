// Link counters of the one line the driver drives: frames and bytes each way, retransmissions, echo
// mismatches, link errors, requests failed by code. Kept by the transport, read by whoever shows them.
#pragma once

#include <stdint.h>

struct LinkCounters {
    uint32_t requests;          // requests carried (RunDsfRequest calls)
    uint32_t requestsFailed;    // requests that ended with anything but 0
    uint32_t failedByCode[256]; // failed requests by the low 8 bits of their code, as callers log it
    uint32_t framesOut;         // frames written (retransmissions included)
    uint32_t bytesOut;          // bytes the port reported written
    uint32_t framesIn;          // complete, valid frames the engine took
    uint32_t bytesIn;           // reply bytes read (echoes not included)
    uint32_t retransmissions;   // frames sent again after silence
    uint32_t echoMismatches;    // echoes that did not come back as sent
    uint32_t stepLimits;        // requests ended because the line never fell silent nor framed
    uint32_t linkErrors[4];     // reads in which the receiver refused bytes, by link code 65291 (other
                                // address), 65292 (header checksum), 65293 (sequence), 65294 (data checksum)
};

void ReadLinkCounters(LinkCounters *out);
void ResetLinkCounters();
