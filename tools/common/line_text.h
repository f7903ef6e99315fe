// The line as text, shared by the tools and the tests: hex text of bytes ("02 00 02 01 3E 3F 00 3F")
// and the names of the Net2000 frame types. Text only, on purpose: the simulator and the decoder keep
// their Net2000 codecs (frames, checksums, messages) of their own, apart from each other and from the
// driver's stack, so that a fault in one cannot hide behind the same fault in the one that checks it.
// A hex formatter and a name table carry no such fault.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace kesta::tools {

// The value of one hex digit, either case; -1 for any other character.
inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Upper-case hex pairs, one blank between bytes, as captures and traces are written.
inline std::string HexText(const uint8_t *bytes, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i != 0) {
            s += ' ';
        }
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 0x0F];
    }
    return s;
}

// The name of a frame type (the control byte's low nibble); null for a type the protocol does not
// define, which each tool words its own way.
inline const char *FrameTypeName(uint8_t type) {
    static const char *const names[16] = {
        nullptr,          "RequestLast",        "RequestMore", "ReplyLast", "ReplyMore", "NextReplySegment",
        "SegmentRefused", "NextRequestSegment", nullptr,       nullptr,     nullptr,     nullptr,
        nullptr,          "ReplyAckWanted",     "Ack",         "AckFinal",
    };
    return type < 16 ? names[type] : nullptr;
}

} // namespace kesta::tools
