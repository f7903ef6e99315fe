// Golden vectors: the worked Net2000 frames and messages that tests of several folders check against
// (the stack, the transport, the simulator, the decoder, the benchmarks), written once as they appear
// on the line. Plain hex text, read with HexBytes (support/hex.h), or with golden::Bytes where the test
// framework is not linked: header-only, so fuzz targets and benchmarks use it too.
#pragma once

#include <stdint.h>

#include <vector>

#include "tools/common/line_text.h"

namespace golden {

// The bytes of a golden text: hex pairs, blanks between them.
inline std::vector<uint8_t> Bytes(const char *hex) {
    std::vector<uint8_t> out;
    int high = -1;
    for (const char *c = hex; *c != '\0'; ++c) {
        const int digit = kesta::tools::HexDigit(*c);
        if (digit < 0) {
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return out;
}

// ---- Link frames ---------------------------------------------------------------------------------
// No data: an Ack (type 0xE) from master 1 to station 2, sequence 3. The data checksum of a frame
// without data is 00 and the header checksum.
inline constexpr char kAckFrame[] = "02 00 02 01 3E 3F 00 3F";
// Odd data AA BB CC (one pad byte 00 follows): RequestLast from master 1 to station 2, sequence 1.
inline constexpr char kOddDataFrame[] = "02 02 02 01 11 12 AA BB CC 00 66 A9";
// The data of kOddDataFrame as the frame's builder is given it.
inline constexpr char kOddData[] = "AA BB CC";

// ---- Connect exchange ----------------------------------------------------------------------------
// The connect request message with counter 1: a read in short-head form of the station objects 2, 4,
// 5 and 6, marked FF in its first byte.
inline constexpr char kConnectRequest[] = "FF 00 01 21 00 04 00 02 00 04 00 05 00 06";
// The same behind its 2-byte length prefix: the data of the frame that carries it.
inline constexpr char kConnectRequestData[] = "00 0E FF 00 01 21 00 04 00 02 00 04 00 05 00 06";
// A connect reply with counter 1: object 2 = 00 05 (below 0x80: long item heads), object 4 = 01,
// object 5 = FF FF, object 6 = 4096 (the peer's buffer size).
inline constexpr char kConnectReply[] = "00 00 01 21 00 05 01 00 FF FF 00 00 10 00";
// The objects of kConnectReply, the body behind the message header.
inline constexpr char kConnectObjectsLongHeads[] = "00 05 01 00 FF FF 00 00 10 00";
// Connect reply objects of a peer that takes short item heads (object 2 = 00 80) and 4096 bytes.
inline constexpr char kConnectObjectsShortHeads[] = "00 80 00 00 00 00 00 00 10 00";

// ---- Segment prefixes ----------------------------------------------------------------------------
// A 509-byte request message: the first segment's prefix counts all 509 bytes.
inline constexpr char kPrefix509[] = "01 FD";
// A 40000-byte message: 4-byte prefix with the top bit set.
inline constexpr char kPrefix40000[] = "80 00 9C 40";

} // namespace golden
