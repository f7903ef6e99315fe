// Net2000 frames for the line tests, written from the wire format: a frame reader for the far end of a
// pseudo-terminal, and a far end that answers connect and single-item read requests (frames are built
// and hex is read by the shared helpers of support/hex.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "support/hex.h"
#include "support/pty.h"

using Bytes = std::vector<uint8_t>;

// Reads one whole frame at the far end; empty when none came within timeoutMs.
Bytes ReadFrame(PtyPair &pty, uint32_t timeoutMs);

// The request record of a read of one 2-byte item (handle bytes 12 34), 2000 bytes as the driver
// passes them.
Bytes ReadRequest();

// The far end's answer to one request frame (connect reply, or read reply with AB CD).
Bytes ReplyTo(const Bytes &request);

struct PeerOptions {
    bool echo = false;       // an RS485 converter: every frame comes back first
    bool garbleEcho = false; // ... with one byte changed
    size_t firstPiece = 0;   // first answer: only this many bytes of the reply
    Bytes *rest = nullptr;   // ... and the rest is left here instead of being sent
    size_t noiseFirst = 0;   // first answer: this many noise bytes instead of the reply
};

// Answers `count` requests: a connect request with a connect reply (buffer size 4096, long item
// heads), a read request with the data AB CD. Returns the number of requests answered.
int ServeRequests(PtyPair &pty, int count, const PeerOptions &options);
