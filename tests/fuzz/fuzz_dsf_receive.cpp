// Fuzz target: byte chunks into the link receiver, raw or as frames built from the input with
// their checksums computed here (for a destination and sequence number that may or may not be
// ours). The receiver must never hold more than one frame buffer, and may report a frame only
// when its address, sequence number and both checksums hold.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "dsf/dsf_internal.h"
#include "fuzz_input.h"
#include "tests/support/frame_checksum.h"

namespace {

void *Alloc(uint32_t size) { return malloc(size); }
void Release(void *block, uint32_t) { free(block); }

bool HeldFrameVerifies(const DsfInstance *dsf, const StationEntry *station) {
    const uint8_t *f = dsf->rxFrame;
    const uint32_t words = f[1];
    if (dsf->rxCount != 2 * words + 8 || f[0] != 0x02 || f[2] != dsf->ownAddress) {
        return false;
    }
    if (static_cast<uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]) != f[5] || (f[4] >> 4) != (station->sequence & 0x0F)) {
        return false;
    }
    uint8_t high = 0;
    uint8_t low = f[5];
    for (uint32_t i = 0; i < words; ++i) {
        high ^= f[6 + 2 * i];
        low ^= f[7 + 2 * i];
    }
    return f[6 + 2 * words] == high && f[7 + 2 * words] == low;
}

// A frame from the input: type, destination, sequence and data chosen by the input, checksums right.
size_t BuildFrame(FuzzInput &in, uint8_t op, const DsfInstance *dsf, const StationEntry *station, uint8_t *frame) {
    const uint32_t n = static_cast<uint32_t>(in.u8()) * 2 + (op & 1u); // 0 to 511 data bytes
    const uint32_t words = n > 510 ? 255 : (n + 1) / 2;
    frame[0] = 0x02;
    frame[1] = static_cast<uint8_t>(words);
    frame[2] = (op & 0x10) ? in.u8() : dsf->ownAddress;
    frame[3] = in.u8();
    const uint8_t sequence = (op & 0x20) ? in.u8() : station->sequence;
    frame[4] = static_cast<uint8_t>(sequence << 4 | (in.u8() & 0x0F));
    in.bytes(frame + 6, 2 * words);
    SetNet2000Checksums(frame);
    return 2 * words + 8;
}

void Feed(DsfInstance *dsf, const StationEntry *station, const uint8_t *bytes, size_t count) {
    const int32_t result = dsf_receive_bytes(dsf, bytes, static_cast<uint16_t>(count), station);
    FuzzCheck(dsf->rxCount <= DSF_MAX_FRAME);
    FuzzCheck(dsf->rxState >= DSF_RX_HUNT && dsf->rxState <= DSF_RX_DATA);
    FuzzCheck(result >= -1 && result <= 1);
    if (result == 1) {
        FuzzCheck(HeldFrameVerifies(dsf, station));
        FuzzCheck(dsf->rxFrameType == ((dsf->rxFrame[4] & 0x0F) == 0xD ? 3 : (dsf->rxFrame[4] & 0x0F)));
    }
    if (result == -1) {
        FuzzCheck(dsf->rxState == DSF_RX_HUNT && dsf->linkError == DSF_ERR_LINK_DATA);
    }
}

} // namespace

// Input: own address, station sequence, then operations:
//   0x00-0x7F  a raw chunk of (op & 0x7F) + 1 bytes
//   0x80-0xBF  a frame built from the input (op bits pick odd length, foreign address, stale
//              sequence), fed in two pieces split where the last byte says
//   0xC0-0xFF  resync, clear, advance the sequence (clearing, as a frame built does), or
//              acknowledge the held frame
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in = {data, size, 0};
    DsfInstance *dsf = nullptr;
    if (dsf_create(1, Alloc, Release, &dsf) != 0 || dsf_configure(dsf, nullptr, nullptr, nullptr) != 0) {
        dsf_destroy(dsf);
        return 0;
    }
    StationEntry *station = &dsf->stations[0];
    dsf->ownAddress = in.u8();
    station->sequence = in.u8();
    uint8_t *frame = static_cast<uint8_t *>(malloc(DSF_MAX_FRAME)); // exact size: ASan sees any overrun
    uint8_t *tx = static_cast<uint8_t *>(malloc(DSF_MAX_FRAME));
    while (in.more()) {
        const uint8_t op = in.u8();
        if (op < 0x80) {
            const size_t n = (op & 0x7Fu) + 1;
            const size_t take = n < in.size - in.pos ? n : in.size - in.pos;
            Feed(dsf, station, in.data + in.pos, take);
            in.pos += take;
        } else if (op < 0xC0) {
            const size_t length = BuildFrame(in, op, dsf, station, frame);
            const size_t split = in.u8() % (length + 1);
            Feed(dsf, station, frame, split);
            Feed(dsf, station, frame + split, length - split);
        } else {
            switch (op & 3) {
            case 0:
                dsf_resync(dsf);
                FuzzCheck(dsf->rxCount < DSF_MAX_FRAME);
                break;
            case 1: dsf_clear_receive(dsf); break;
            case 2:
                // As the engine does it: the counter only advances for a frame built, which
                // starts the receiver afresh.
                ++station->sequence;
                dsf_clear_receive(dsf);
                break;
            default: {
                const int32_t ack = dsf_acknowledge(dsf, tx, station);
                FuzzCheck(ack != 1 || dsf->txFrameLength == 8);
                break;
            }
            }
        }
    }
    free(tx);
    free(frame);
    dsf_destroy(dsf);
    return 0;
}
