// Instance blocks as hosts hand them over. Some clear a block before the first cold start, others
// allocate it from a heap that leaves whatever was there (a debug heap fills it with 0xCD): the tests
// that hand the driver a block fill it with TestBlockFill(), 0 unless the environment variable
// KESTA_TEST_BLOCK_FILL names another byte in hex. ctest runs those suites once cleared and once with
// CD (the tests named "uncleared.*").
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "kesta.h"

inline uint8_t TestBlockFill() {
    const char *text = getenv("KESTA_TEST_BLOCK_FILL");
    return text != nullptr && text[0] != '\0' ? static_cast<uint8_t>(strtoul(text, nullptr, 16)) : 0;
}

// A block as the host allocates it, before the driver has written anything into it.
inline void PrepareHostBlock(DriverInstance *block) { memset(block, TestBlockFill(), sizeof *block); }

// A block as a cold start leaves it, for unit tests that call the gate routines without one: every
// field the cold start writes is written, the rest keeps the host's fill.
inline void PrepareStartedBlock(DriverInstance *block) {
    PrepareHostBlock(block);
    block->lineTimeout = 20;
    block->portOpen = 1;
    block->masterAddress = 1;
    block->portHandle = 0;
    block->ObjectList = nullptr;
    block->UsedAreaList = nullptr;
    block->dsfOpen = 1;
    block->mutex = 0;
    block->ending = 0;
    block->sampleCount = 0;
    block->ewtDelay = 0;
    for (size_t i = 0; i < sizeof block->StationTable / sizeof block->StationTable[0]; ++i) {
        block->StationTable[i] = nullptr;
    }
}
