// Net2000 link frames: building a frame in place, the byte-wise receive state machine with its
// address, checksum and sequence checks, resynchronisation after a bad header and the Ack handshake.
// Link faults are only recorded in linkError; the engine decides what the caller sees.
#include <string.h>

#include "dsf/dsf_internal.h"

uint8_t dsf_header_checksum(const uint8_t *frame) {
    return static_cast<uint8_t>(frame[0] ^ frame[1] ^ frame[2] ^ frame[3] ^ frame[4]);
}

// XOR of the big-endian data words into a start word whose low byte is the header checksum.
uint16_t dsf_data_checksum(const uint8_t *frame, uint32_t words) {
    uint8_t high = 0;
    uint8_t low = frame[DSF_OFS_HEADER_CHECK];
    const uint8_t *data = frame + DSF_OFS_DATA;
    for (uint32_t i = 0; i < words; ++i) {
        high = static_cast<uint8_t>(high ^ data[2 * i]);
        low = static_cast<uint8_t>(low ^ data[2 * i + 1]);
    }
    return static_cast<uint16_t>((high << 8) | low);
}

void dsf_clear_receive(DsfInstance *dsf) {
    dsf->rxState = DSF_RX_HUNT;
    dsf->rxCount = 0;
    dsf->retries = 0;
    dsf->linkError = 0;
}

uint32_t dsf_build_frame(DsfInstance *dsf, uint8_t *frame, uint32_t n, uint32_t destination, uint32_t type,
                         uint32_t sequence) {
    if (n > DSF_MAX_FRAME_DATA || frame == nullptr) {
        dsf->linkError = DSF_ERR_FRAME_TOO_LONG;
        return 0;
    }
    const uint32_t words = (n + 1) / 2;
    frame[DSF_OFS_STX] = DSF_STX;
    frame[DSF_OFS_WORDS] = static_cast<uint8_t>(words);
    frame[DSF_OFS_DESTINATION] = static_cast<uint8_t>(destination);
    frame[DSF_OFS_SOURCE] = dsf->ownAddress;
    frame[DSF_OFS_CONTROL] = static_cast<uint8_t>(sequence * 16 + type);
    if (n & 1u) {
        frame[DSF_OFS_DATA + n] = 0x00;
    }
    frame[DSF_OFS_HEADER_CHECK] = dsf_header_checksum(frame);
    const uint16_t check = dsf_data_checksum(frame, words);
    frame[DSF_OFS_DATA + 2 * words] = static_cast<uint8_t>(check >> 8);
    frame[DSF_OFS_DATA + 2 * words + 1] = static_cast<uint8_t>(check);
    dsf_clear_receive(dsf);
    return dsf_frame_length(words);
}

void dsf_resync(DsfInstance *dsf) {
    uint32_t count = dsf->rxCount < DSF_MAX_FRAME ? dsf->rxCount : static_cast<uint32_t>(DSF_MAX_FRAME);
    while (count != 0) {
        memmove(dsf->rxFrame, dsf->rxFrame + 1, count - 1);
        --count;
        if (count != 0 && dsf->rxFrame[0] == DSF_STX &&
            (count < 3 || dsf->rxFrame[DSF_OFS_DESTINATION] == dsf->ownAddress)) {
            break;
        }
    }
    dsf->rxCount = count;
    dsf->rxState = count != 0 ? DSF_RX_HEADER : DSF_RX_HUNT;
}

namespace {

enum { FRAME_INCOMPLETE = 0, FRAME_GOOD = 1, FRAME_BAD = -1 };

void hunt(DsfInstance *dsf, uint8_t b) {
    dsf->rxFrame[0] = b;
    if (b == DSF_STX) {
        dsf->rxState = DSF_RX_HEADER;
        dsf->rxCount = 1;
    } else {
        dsf->rxCount = 0;
    }
}

// The frame announced by the held header is all there: check its data and report it.
int32_t complete_frame(DsfInstance *dsf) {
    const uint32_t length = dsf_frame_length(dsf->rxWords);
    dsf->rxCount = length; // bytes a resync left beyond the announced frame are not part of it
    const uint16_t check = dsf_data_checksum(dsf->rxFrame, dsf->rxWords);
    if (dsf->rxFrame[length - 2] != static_cast<uint8_t>(check >> 8) ||
        dsf->rxFrame[length - 1] != static_cast<uint8_t>(check)) {
        dsf->linkError = DSF_ERR_LINK_DATA;
        dsf->rxState = DSF_RX_HUNT;
        dsf->rxCount = 0;
        return FRAME_BAD;
    }
    const uint8_t type = dsf->rxFrame[DSF_OFS_CONTROL] & 0x0F;
    dsf->rxFrameType = type == DSF_FT_REPLY_ACK_WANTED ? static_cast<uint8_t>(DSF_FT_REPLY_LAST) : type;
    return FRAME_GOOD;
}

int32_t header_byte(DsfInstance *dsf, uint8_t b, const StationEntry *station) {
    if (dsf->rxCount >= DSF_MAX_FRAME) {
        // Only a caller's own resync of a full buffer gets here: make room the same way a bad header does.
        dsf_resync(dsf);
        if (dsf->rxState == DSF_RX_HUNT) {
            hunt(dsf, b);
            return FRAME_INCOMPLETE;
        }
    }
    dsf->rxFrame[dsf->rxCount++] = b;
    if (dsf->rxCount == 3 && dsf->rxFrame[DSF_OFS_DESTINATION] != dsf->ownAddress) {
        dsf->linkError = DSF_ERR_LINK_ADDRESS;
        dsf_resync(dsf);
        return FRAME_INCOMPLETE;
    }
    if (dsf->rxCount < DSF_FRAME_HEADER) {
        return FRAME_INCOMPLETE;
    }
    if (dsf_header_checksum(dsf->rxFrame) != dsf->rxFrame[DSF_OFS_HEADER_CHECK]) {
        dsf->linkError = DSF_ERR_LINK_HEADER;
        dsf_resync(dsf);
        return FRAME_INCOMPLETE;
    }
    // The station echoes the sequence number of the frame it answers; an answer to an earlier
    // (retransmitted) frame is not the answer to this one.
    if (station != nullptr && (dsf->rxFrame[DSF_OFS_CONTROL] >> 4) != (station->sequence & 0x0F)) {
        dsf->linkError = DSF_ERR_LINK_SEQUENCE;
        dsf_resync(dsf);
        return FRAME_INCOMPLETE;
    }
    dsf->rxState = DSF_RX_DATA;
    dsf->rxWords = dsf->rxFrame[DSF_OFS_WORDS];
    if (dsf->rxCount >= dsf_frame_length(dsf->rxWords)) {
        return complete_frame(dsf);
    }
    return FRAME_INCOMPLETE;
}

int32_t data_byte(DsfInstance *dsf, uint8_t b) {
    const uint32_t length = dsf_frame_length(dsf->rxWords);
    if (dsf->rxCount >= length) {
        // A complete frame is still held (the engine only feeds more while it waits for AckFinal):
        // it has been looked at, so the byte starts the hunt for the next frame instead of being
        // stored past it.
        dsf->rxState = DSF_RX_HUNT;
        hunt(dsf, b);
        return FRAME_INCOMPLETE;
    }
    dsf->rxFrame[dsf->rxCount++] = b;
    return dsf->rxCount == length ? complete_frame(dsf) : FRAME_INCOMPLETE;
}

} // namespace

int32_t dsf_receive_bytes(DsfInstance *dsf, const uint8_t *bytes, uint16_t count, const StationEntry *station) {
    if (bytes == nullptr) {
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        int32_t result = FRAME_INCOMPLETE;
        switch (dsf->rxState) {
        case DSF_RX_HEADER: result = header_byte(dsf, b, station); break;
        case DSF_RX_DATA: result = data_byte(dsf, b); break;
        case DSF_RX_HUNT:
        default:
            dsf->rxState = DSF_RX_HUNT;
            hunt(dsf, b);
            break;
        }
        if (result != FRAME_INCOMPLETE) {
            return result;
        }
    }
    return 0;
}

int32_t dsf_acknowledge(DsfInstance *dsf, uint8_t *frame, StationEntry *station) {
    // Only a complete, checked frame is looked at, never the remains of a partial one.
    if (dsf->rxState != DSF_RX_DATA || dsf->rxCount != dsf_frame_length(dsf->rxWords)) {
        return 0;
    }
    switch (dsf->rxFrame[DSF_OFS_CONTROL] & 0x0F) {
    case DSF_FT_REPLY_ACK_WANTED: {
        if (station == nullptr || frame == nullptr) {
            return 0;
        }
        ++station->sequence;
        // The Ack goes back to whoever sent the frame, not to the entry's address.
        const uint8_t source = dsf->rxFrame[DSF_OFS_SOURCE];
        dsf->txFrameLength = dsf_build_frame(dsf, frame, 0, source, DSF_FT_ACK, station->sequence);
        return 1;
    }
    case DSF_FT_ACK_FINAL: return -1;
    default: return 0;
    }
}

uint32_t dsf_announced_frame_length(const DsfInstance *dsf, const uint8_t *bytes, uint32_t count) {
    if (dsf == nullptr || bytes == nullptr || count < DSF_FRAME_HEADER || bytes[DSF_OFS_STX] != DSF_STX ||
        bytes[DSF_OFS_DESTINATION] != dsf->ownAddress || dsf_header_checksum(bytes) != bytes[DSF_OFS_HEADER_CHECK]) {
        return 0;
    }
    return dsf_frame_length(bytes[DSF_OFS_WORDS]);
}

// Only the receiver's codes are taken: a frame refused at building (65309) ends its request anyway.
uint32_t dsf_take_link_error(DsfInstance *dsf) {
    if (dsf == nullptr) {
        return 0;
    }
    const uint32_t code = dsf->linkError;
    if (code < DSF_ERR_LINK_ADDRESS || code > DSF_ERR_LINK_DATA) {
        return 0;
    }
    dsf->linkError = 0;
    return code;
}
