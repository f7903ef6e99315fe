// Reading a fuzz input as a stream of small fields; past its end every field reads as zero, so a
// harness never has to test for the end before taking a field.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

struct FuzzInput {
    const uint8_t *data;
    size_t size;
    size_t pos;

    bool more() const { return pos < size; }
    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() {
        const uint16_t high = u8();
        return static_cast<uint16_t>(high << 8 | u8());
    }
    uint32_t u32() {
        const uint32_t high = u16();
        return high << 16 | u16();
    }
    // Takes n bytes into out; what the input lacks is zero.
    void bytes(uint8_t *out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            out[i] = u8();
        }
    }
};

// An invariant broke: say which, and stop here so the fuzzer keeps the input.
inline void FuzzCheckAt(bool ok, const char *file, int line, const char *what) {
    if (!ok) {
        fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
        abort();
    }
}
#define FuzzCheck(ok) FuzzCheckAt((ok), __FILE__, __LINE__, #ok)
