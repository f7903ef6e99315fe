// Net2000 frame checksums as test code computes them, independently of the stack under test: the
// header checksum (XOR of bytes 0 to 4) and the data checksum over the words that byte 1 announces
// (even data bytes into the first checksum byte, odd ones into the second, which starts from the
// header checksum). Header-only and free of test frameworks, so fuzz targets and benchmarks use it too.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The frame must hold 2 * frame[1] + 8 bytes.
inline void SetNet2000Checksums(uint8_t *frame) {
    const size_t words = frame[1];
    frame[5] = static_cast<uint8_t>(frame[0] ^ frame[1] ^ frame[2] ^ frame[3] ^ frame[4]);
    uint8_t high = 0x00;
    uint8_t low = frame[5];
    for (size_t i = 0; i < words; ++i) {
        high ^= frame[6 + 2 * i];
        low ^= frame[7 + 2 * i];
    }
    frame[6 + 2 * words] = high;
    frame[7 + 2 * words] = low;
}
