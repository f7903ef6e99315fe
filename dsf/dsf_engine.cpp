// The protocol engine: steps one request at a time through sending, retransmission, segmenting of
// long requests, gathering of long replies and the closing Ack handshake. Each step answers with
// the action the transport loop must carry out; the engine itself does no I/O and allocates nothing.
#include <string.h>

#include "dsf/dsf_internal.h"

namespace {

enum : uint32_t { LONG_PREFIX_FLAG = 0x80000000u, ERROR_REPLY_LENGTH = 8, ENGINE_ERROR_FLAGS = 0x04 };

// Out-parameters of one step; absent ones land in the sinks.
struct StepOut {
    uint32_t *replyLength;
    uint16_t *txLength;
    uint16_t *action;
    int32_t *timeout;
};

int32_t fail(DsfInstance *dsf, const StepOut &out, int32_t code) {
    dsf_reset(dsf, 0);
    *out.action = Failed;
    return code;
}

int32_t done(DsfInstance *dsf, const StepOut &out) {
    dsf->state = DSF_IDLE;
    *out.replyLength = dsf->replyLength;
    *out.action = Done;
    return DSF_OK;
}

int32_t send_and_wait(DsfInstance *dsf, const StepOut &out, uint32_t frameLength) {
    *out.action = SendReceive;
    *out.timeout = dsf->replyTimeout;
    *out.txLength = static_cast<uint16_t>(frameLength);
    dsf->state = DSF_AWAIT_REPLY;
    return DSF_OK;
}

// Builds the next frame for the station with its advanced sequence number and sends it.
int32_t send_frame(DsfInstance *dsf, StationEntry *station, uint8_t *tx, uint32_t n, uint32_t type,
                   const StepOut &out) {
    ++station->sequence;
    const uint32_t length = dsf_build_frame(dsf, tx, n, station->stationAddress, type, station->sequence);
    dsf->txFrameLength = length;
    if (length == 0) {
        return fail(dsf, out, DSF_ERR_FRAME_TOO_LONG);
    }
    return send_and_wait(dsf, out, length);
}

int32_t step_idle(DsfInstance *dsf, StationEntry **handleLocation, const uint8_t *request, uint32_t requestSize,
                  uint8_t *reply, uint8_t *tx, const StepOut &out) {
    uint32_t messageLength = 0;
    const int32_t rc =
        dsf_encode_request(dsf, handleLocation, request, requestSize, reply, *out.replyLength, &messageLength);
    if (rc != DSF_OK) {
        return fail(dsf, out, rc);
    }
    if (messageLength == 0) { // answered locally, nothing to send
        dsf_reset(dsf, 0);
        return done(dsf, out);
    }
    // A connect request has just stored a new handle.
    StationEntry *station = dsf_station_at(dsf, handleLocation);
    if (station == nullptr) {
        return fail(dsf, out, DSF_ERR_NOT_CONNECTED);
    }
    // Extra data of an earlier read reply lies in the receive buffers this exchange reuses: hand
    // over nothing rather than bytes of another reply.
    dsf->pendingRead = nullptr;
    const uint32_t n = dsf_segment_request(dsf, dsf->requestBuffer, messageLength, tx);
    return send_frame(dsf, station, tx, n, dsf->txSegmentType, out);
}

int32_t step_await_reply(DsfInstance *dsf, StationEntry *station, const uint8_t *received, uint16_t count,
                         const StepOut &out) {
    if (received != nullptr && count != 0) {
        if (dsf_receive_bytes(dsf, received, count, station) == 1) {
            dsf->state = DSF_DELIVER;
            *out.action = Process;
        } else {
            *out.action = Receive;
        }
        return DSF_OK;
    }
    if (count != 0) { // the loop has bytes waiting but handed none
        *out.action = Receive;
        return DSF_OK;
    }
    if (dsf->retries >= dsf->retryLimit) {
        return fail(dsf, out, DSF_ERR_NO_REPLY);
    }
    ++dsf->retries;
    // The start of a frame held from before the silence will never be completed: the station answers
    // the repeated frame with a whole new one, which appended to it would fail its checksum and cost
    // another retransmission. The receiver hunts afresh; the retry count stays.
    dsf->rxState = DSF_RX_HUNT;
    dsf->rxCount = 0;
    // The frame is still in the transmit buffer: send it again unchanged, same sequence number.
    return send_and_wait(dsf, out, dsf->txFrameLength);
}

int32_t step_deliver(DsfInstance *dsf, StationEntry *station, const uint8_t *request, uint32_t requestSize,
                     uint8_t *reply, uint8_t *tx, const StepOut &out) {
    const uint32_t words = dsf->rxFrame[DSF_OFS_WORDS];
    if (dsf->rxState != DSF_RX_DATA || dsf->rxCount != dsf_frame_length(words)) {
        return fail(dsf, out, DSF_ERR_SEGMENT); // no complete frame held to deliver
    }
    const uint8_t *message = nullptr;
    uint32_t messageLength = 0;
    const int32_t g = dsf_gather_reply(dsf, station, dsf->rxFrame + DSF_OFS_DATA, 2 * words, &message, &messageLength);
    if (g == DSF_GATHER_NEXT_REQUEST) {
        const uint32_t n = dsf_segment_request(dsf, nullptr, 0, tx);
        return send_frame(dsf, station, tx, n, dsf->txSegmentType, out);
    }
    if (g == DSF_GATHER_MORE_REPLY) {
        return send_frame(dsf, station, tx, 0, DSF_FT_NEXT_REPLY_SEGMENT, out);
    }
    const int32_t rc = dsf_decode_reply(dsf, request, requestSize, reply, message, messageLength, station);
    if (rc != DSF_OK) {
        return fail(dsf, out, rc);
    }
    if (dsf->readAfterWrite) {
        dsf_reset(dsf, 1);
        *out.action = StepAgain;
        return DSF_OK;
    }
    dsf_reset(dsf, 0);
    if (dsf_acknowledge(dsf, tx, station) == 1) {
        *out.action = SendReceive;
        *out.timeout = dsf->timeoutTQ;
        *out.txLength = static_cast<uint16_t>(dsf->txFrameLength);
        dsf->state = DSF_AWAIT_FINAL_ACK;
        return DSF_OK;
    }
    return done(dsf, out);
}

int32_t step_await_final_ack(DsfInstance *dsf, StationEntry *station, const uint8_t *received, uint16_t count,
                             uint8_t *tx, const StepOut &out) {
    if (received == nullptr || count == 0) {
        return done(dsf, out); // a station that does not answer the Ack does not fail the request
    }
    if (dsf_receive_bytes(dsf, received, count, station) == 1 && dsf_acknowledge(dsf, tx, station) == -1) {
        return done(dsf, out);
    }
    *out.action = Receive;
    return DSF_OK;
}

int32_t gather_error(DsfInstance *dsf, uint32_t code, const uint8_t **message, uint32_t *messageLength) {
    dsf_error_reply(dsf, code, message, messageLength);
    return DSF_GATHER_READY;
}

} // namespace

uint32_t dsf_segment_request(DsfInstance *dsf, const uint8_t *data, uint32_t length, uint8_t *frame) {
    if (dsf->segmenting) {
        data = dsf->segmentNext;
        length = dsf->segmentRemaining;
    }
    if (data == nullptr) {
        length = 0;
    }
    DsfWriter w = dsf_writer(frame, DSF_MAX_FRAME, DSF_OFS_DATA);
    uint32_t take = length;
    if (length <= DSF_MAX_SEGMENT_DATA) {
        put_be16(&w, length);
        dsf->segmenting = 0;
        dsf->txSegmentType = DSF_FT_REQUEST_LAST;
    } else {
        // Every prefix counts the message bytes from this segment's first byte to the end.
        if (length < DSF_LONG_MESSAGE) {
            put_be16(&w, length);
            take = DSF_MAX_SEGMENT_DATA;
        } else {
            put_be32(&w, length | LONG_PREFIX_FLAG);
            take = DSF_MAX_LONG_SEGMENT_DATA;
        }
        dsf->segmenting = 1;
        dsf->segmentNext = data + take;
        dsf->segmentRemaining = length - take;
        dsf->txSegmentType = DSF_FT_REQUEST_MORE;
    }
    put_bytes(&w, data, take);
    return w.ok ? w.pos - DSF_OFS_DATA : 0;
}

namespace {

// One received frame's data as the gatherer sees it: the length prefix L (the message bytes from this
// frame's first one to the end of the message) and the m bytes behind it, which may count a pad byte.
struct Segment {
    uint32_t total;       // L; 0 for a frame without data
    uint32_t carried;     // m
    const uint8_t *bytes; // the m bytes
    uint8_t type;         // the frame's type
    bool empty;           // no data at all, so no prefix either
};

// false when the data is too short for the prefix its first byte announces.
bool read_segment(const DsfInstance *dsf, const uint8_t *data, uint32_t length, Segment *s) {
    DsfReader r = dsf_reader(data, length);
    s->total = 0;
    s->empty = length == 0;
    if (!s->empty) {
        s->total = (data[0] & 0x80) ? (get_be32(&r) & ~LONG_PREFIX_FLAG) : get_be16(&r);
        if (!r.ok) {
            return false;
        }
    }
    s->carried = dsf_left(&r);
    s->bytes = data + r.pos;
    s->type = dsf->rxFrameType;
    return true;
}

// A single-frame reply carries its whole message, or one pad byte more.
bool holds_whole(const Segment &s) { return s.carried == s.total || s.carried == s.total + 1; }

// While a segmented request goes out, the station answers each segment without data: it asks for the
// next one, or gives up.
int32_t gather_request_answer(DsfInstance *dsf, const Segment &s, const uint8_t **message, uint32_t *messageLength) {
    if (s.total != 0) {
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    if (s.type == DSF_FT_NEXT_REQUEST_SEGMENT) {
        return DSF_GATHER_NEXT_REQUEST;
    }
    return gather_error(dsf, s.type == DSF_FT_SEGMENT_REFUSED ? DSF_ERR_SEGMENT_REFUSED : DSF_ERR_SEGMENT, message,
                        messageLength);
}

// A further segment of a long reply: its prefix must count exactly the bytes still missing.
int32_t gather_next_segment(DsfInstance *dsf, const Segment &s, const uint8_t **message, uint32_t *messageLength) {
    const uint32_t expected = dsf->reassemblyTotal - dsf->reassemblyCount;
    DsfWriter w = dsf_writer(dsf->reassemblyBuffer, dsf->bufferSize + 4, dsf->reassemblyCount);
    if (s.total != expected) {
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    if (s.type == DSF_FT_REPLY_LAST) {
        if (!holds_whole(s)) {
            return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
        }
        put_bytes(&w, s.bytes, s.total);
        if (!w.ok) {
            return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
        }
        *message = dsf->reassemblyBuffer;
        *messageLength = dsf->reassemblyTotal;
        return DSF_GATHER_READY;
    }
    // A segment carrying more than the reply still lacks would run past the announced total. A
    // station that keeps sending segments which bring nothing new would hold the line for ever: no
    // reply takes more segments than it has bytes, one byte a segment being the least that still
    // makes progress.
    if (s.type != DSF_FT_REPLY_MORE || s.carried > s.total || dsf->reassemblyRounds >= dsf->reassemblyTotal) {
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    dsf->reassemblyRounds++;
    put_bytes(&w, s.bytes, s.carried);
    if (!w.ok) {
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    dsf->reassemblyCount += s.carried;
    return DSF_GATHER_MORE_REPLY;
}

// ReplyMore opens a long reply: its prefix announces the whole length.
int32_t gather_first_segment(DsfInstance *dsf, const StationEntry *station, const Segment &s, const uint8_t **message,
                             uint32_t *messageLength) {
    const uint32_t capacity = dsf->bufferSize + 4;
    dsf->reassembling = 1;
    dsf->reassemblyTotal = s.total;
    dsf->reassemblyCount = 0;
    dsf->reassemblyRounds = 1;
    if (s.total > station->maxReassembly || s.total > capacity) {
        return gather_error(dsf, DSF_ERR_REPLY_TOO_LONG, message, messageLength);
    }
    if (s.carried > s.total) {
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    DsfWriter w = dsf_writer(dsf->reassemblyBuffer, capacity);
    put_bytes(&w, s.bytes, s.carried);
    if (!w.ok) {
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    dsf->reassemblyCount = s.carried;
    return DSF_GATHER_MORE_REPLY;
}

} // namespace

int32_t dsf_gather_reply(DsfInstance *dsf, const StationEntry *station, const uint8_t *data, uint32_t length,
                         const uint8_t **message, uint32_t *messageLength) {
    Segment s;
    if (!read_segment(dsf, data, length, &s)) {
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    if (dsf->segmenting) {
        return gather_request_answer(dsf, s, message, messageLength);
    }
    if (s.empty) { // a reply without a length prefix carries no message
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    if (dsf->reassembling) {
        return gather_next_segment(dsf, s, message, messageLength);
    }
    if (s.type == DSF_FT_REPLY_MORE) {
        return gather_first_segment(dsf, station, s, message, messageLength);
    }
    if (!holds_whole(s)) {
        return gather_error(dsf, DSF_ERR_SEGMENT, message, messageLength);
    }
    *message = s.bytes;
    *messageLength = s.total;
    return DSF_GATHER_READY;
}

// The engine's own failures reach the decoder as an error reply of the request just sent.
void dsf_error_reply(DsfInstance *dsf, uint32_t code, const uint8_t **message, uint32_t *messageLength) {
    uint8_t *m = dsf->rxFrame + DSF_OFS_DATA + 2;
    DsfWriter w = dsf_writer(m, ERROR_REPLY_LENGTH);
    put_u8(&w, 0x00);
    put_u8(&w, 0x00);
    put_u8(&w, dsf->messageCounter);
    put_u8(&w, DSF_MSG_ERROR);
    put_u8(&w, 0x00);
    put_u8(&w, ENGINE_ERROR_FLAGS);
    put_be16(&w, code);
    *message = m;
    *messageLength = ERROR_REPLY_LENGTH;
}

int32_t dsf_step(DsfInstance *dsf, StationEntry **handleLocation, const uint8_t *request, uint32_t requestSize,
                 uint8_t *reply, uint32_t *replyLength, uint8_t *txBuffer, uint16_t *txLength, const uint8_t *received,
                 uint16_t receivedCount, uint16_t *action, int32_t *timeout) {
    if (dsf == nullptr || dsf->self != dsf) {
        return DSF_ERR_INSTANCE;
    }
    uint32_t replySink = 0;
    uint16_t txSink = 0;
    uint16_t actionSink = 0;
    int32_t timeoutSink = 0;
    const StepOut out = {replyLength != nullptr ? replyLength : &replySink, txLength != nullptr ? txLength : &txSink,
                         action != nullptr ? action : &actionSink, timeout != nullptr ? timeout : &timeoutSink};
    // Every frame is built in the transport's buffer, up to 518 bytes of it.
    if (txBuffer == nullptr || *out.txLength < DSF_MAX_FRAME) {
        return fail(dsf, out, DSF_ERR_FRAME_BUFFER);
    }
    if (dsf->state == DSF_IDLE) {
        return step_idle(dsf, handleLocation, request, requestSize, reply, txBuffer, out);
    }
    StationEntry *station = dsf_station_at(dsf, handleLocation);
    if (station == nullptr) {
        return fail(dsf, out, DSF_ERR_NOT_CONNECTED);
    }
    switch (dsf->state) {
    case DSF_AWAIT_REPLY: return step_await_reply(dsf, station, received, receivedCount, out);
    case DSF_DELIVER: return step_deliver(dsf, station, request, requestSize, reply, txBuffer, out);
    case DSF_AWAIT_FINAL_ACK: return step_await_final_ack(dsf, station, received, receivedCount, txBuffer, out);
    default: return fail(dsf, out, DSF_ERR_INSTANCE);
    }
}

// A read that waits (the one after each frame sent) ends when it has all it asked for or when the
// port's time-out passes, so asking for more than the frame that comes costs a whole time-out on a
// complete reply.
uint32_t dsf_reply_read_size(const DsfInstance *dsf, uint32_t expectedReplyLength) {
    uint32_t size = expectedReplyLength;
    if (dsf == nullptr) {
        return size < DSF_MAX_FRAME ? size : static_cast<uint32_t>(DSF_MAX_FRAME);
    }
    const bool awaitingReply = dsf->state == DSF_AWAIT_REPLY;
    if (dsf->state == DSF_AWAIT_FINAL_ACK || (awaitingReply && dsf->segmenting)) {
        size = DSF_FRAME_OVERHEAD; // AckFinal and NextRequestSegment carry no data
    } else if (awaitingReply && dsf->reassembling && dsf->reassemblyCount < dsf->reassemblyTotal) {
        // A further segment is full while more than one frame's worth is missing; the last one carries
        // exactly the missing bytes behind its length prefix (4 bytes from 32768 on).
        const uint32_t missing = dsf->reassemblyTotal - dsf->reassemblyCount;
        const uint32_t data = (missing >= DSF_LONG_MESSAGE ? 4u : 2u) + missing;
        size = data >= DSF_MAX_FRAME_DATA ? static_cast<uint32_t>(DSF_MAX_FRAME) : DSF_FRAME_OVERHEAD + dsf_even(data);
    }
    return size < DSF_MAX_FRAME ? size : static_cast<uint32_t>(DSF_MAX_FRAME);
}

int dsf_idle(const DsfInstance *dsf) { return dsf != nullptr && dsf->state == DSF_IDLE ? 1 : 0; }
