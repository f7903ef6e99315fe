// Gate reads and writes: one ReadWrite item per call, the PLC's most-significant-byte-first data
// converted to and from the host's value cells.
#pragma once

#include <stdint.h>

#include "dsf/dsf_cursor.h"
#include "kesta.h"

// A block read carries at most this many data bytes: the reply buffer holds the item status and the
// data rounded up to an even count.
enum { GATE_MAX_READ_BYTES = 3998 };

uint32_t DoRead(DriverCall *call);
// data: the value already in PLC order, elementBits / 8 bytes of it.
uint32_t DoWrite(DriverCall *call, const uint8_t *data);

// ExpectedReplyLength of a read of dataBytes: the link frame around the reply record.
uint32_t ReadReplyFrameLength(uint32_t dataBytes);

// Value cell conversions. Single cells of 8 and 16 bits are two 16-bit halves, the value in the
// second; 32-bit cells are whole. data: the item's bytes as the reply brought them. Results 0, or 2 for
// an element size other than 8, 16, 32 (or data that ends before the element).
int ConvertSingleRead(uint32_t elementBits, DsfReader *data, void *cell);
// Stores count elements; for 16 and 32 bits the record's valueCell moves past each one stored.
int ConvertBlockRead(uint32_t elementBits, uint32_t count, DsfReader *data, GateAddressRW *record);
// The cell's value in PLC order into out (elementBits / 8 bytes used).
int ConvertSingleWrite(uint32_t elementBits, const void *cell, uint8_t out[4]);
