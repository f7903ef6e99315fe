// The request transport loop: the one dsf stack with its two frame buffers, and the loop that steps
// the engine and carries out each action on the port. Nothing here is allocated per request, no read
// stores more than a frame, and no request keeps the line longer than its bounded steps.
#include <stdlib.h>
#include <string.h>

#include "platform/system.h"
#include "platform/talrun.h"
#include "serial/link_counters.h"
#include "serial/port.h"
#include "serial/reopen.h"
#include "serial/trace.h"
#include "serial/transport.h"

namespace {

DsfInstance *stack = nullptr;
uint8_t *txBuffer = nullptr;
uint8_t *rxBuffer = nullptr;
uint16_t txSize = 0;
uint16_t rxSize = 0;
uint32_t stackOpen = 0;
uint32_t stackHolders = 0; // instances that opened the stack and have not closed it yet

uint8_t queueCheck = 0; // 1 only while a Receive action reads: take what is waiting, never wait
bool sendOnce = false;  // no retransmission: the probe of a station set aside
bool answered = false;  // the last request received a whole, valid frame

LinkCounters counters;

// The driver-wide line record; every use below is under the line lock.
LineState &Line() { return *LineStateHeld(); }

void *HeapAlloc(uint32_t size) { return malloc(size); }

void HeapRelease(void *block, uint32_t size) { free(block); }

// ExpectedReplyLength may exceed 518 for long block reads; a frame never does, so a read never asks
// for more than the receive buffer holds.
uint32_t ReadCapacity() { return rxSize < DSF_MAX_FRAME ? rxSize : static_cast<uint32_t>(DSF_MAX_FRAME); }

// How much a reply read asks for: the stack sizes it from the caller's ExpectedReplyLength and what the
// engine still expects, so that a complete reply ends the read at once instead of after the port's
// time-out. A frame longer than asked for is then read to its end (dsf_ra_receive_frame).
uint32_t ReplyReadSize() {
    const uint32_t size = dsf_reply_read_size(stack, Line().ExpectedReplyLength);
    return size < ReadCapacity() ? size : ReadCapacity();
}

void FreeStack() {
    if (stack != nullptr) {
        dsf_destroy(stack);
        stack = nullptr;
    }
    free(txBuffer);
    free(rxBuffer);
    txBuffer = nullptr;
    rxBuffer = nullptr;
    txSize = 0;
    rxSize = 0;
}

// The receiver keeps only the last link error of the bytes it was fed; taking it clears it, so that the
// next read is counted on its own.
void CountLinkError() {
    const uint32_t code = dsf_take_link_error(stack);
    if (code >= DSF_ERR_LINK_ADDRESS && code <= DSF_ERR_LINK_DATA) {
        counters.linkErrors[code - DSF_ERR_LINK_ADDRESS]++;
    }
}

int32_t CountResult(int32_t result) {
    if (result != 0) {
        counters.requestsFailed++;
        counters.failedByCode[static_cast<uint32_t>(result) & 0xFFu]++;
    }
    return result;
}

} // namespace

void ReadLinkCounters(LinkCounters *out) {
    LineLock lock;
    *out = counters;
}

void ResetLinkCounters() {
    LineLock lock;
    memset(&counters, 0, sizeof counters);
}

int32_t dsf_ra_open(const char *parameters) {
    LineLock lock;
    // One stack per library: a second cold start keeps the stack that the other instance's
    // connection handles point into, and is counted as one more holder of it.
    if (stackOpen) {
        stackHolders++;
        return 0;
    }
    DsfInstance *created = nullptr;
    int32_t rc = dsf_create(Line().numSlaves, HeapAlloc, HeapRelease, &created);
    if (rc != 0) {
        dsf_destroy(created); // a refused station count still hands out a record
        return rc;
    }
    stack = created;
    uint16_t rxFrameSize = 0;
    uint16_t txFrameSize = 0;
    rc = dsf_configure(stack, parameters, &rxFrameSize, &txFrameSize);
    if (rc != 0) {
        FreeStack(); // the stack stays closed; do not leak the record that was made
        return rc;
    }
    txBuffer = static_cast<uint8_t *>(malloc(txFrameSize == 0 ? 1 : txFrameSize));
    rxBuffer = static_cast<uint8_t *>(malloc(rxFrameSize == 0 ? 1 : rxFrameSize));
    if (txBuffer == nullptr || rxBuffer == nullptr) {
        FreeStack();
        return DSF_ERR_FRAME_BUFFER;
    }
    txSize = txFrameSize;
    rxSize = rxFrameSize;
    stackOpen = 1;
    stackHolders = 1;
    TraceOpen(parameters);
    return 0;
}

int32_t dsf_ra_close() {
    LineLock lock;
    // Destroying the stack under another instance would leave its StationTable pointing into freed
    // station entries: only the last holder takes it down.
    if (stackHolders > 1) {
        stackHolders--;
    } else {
        FreeStack();
        stackHolders = 0;
        stackOpen = 0;
        TraceClose();
    }
    const PortHandle port = Line().currentPort;
    int32_t rc = ClosePort(port);
    if (rc == PORT_OK) {
        LinePortClosed(port); // closed once, cleared wherever it was held
    }
    Line().currentPort = 0; // a port whose close failed stays with its owner, which may close it again
    return rc;
}

uint32_t dsf_ra_holders() {
    LineLock lock;
    return stackHolders;
}

int32_t dsf_ra_send_frame(uint16_t length) {
    LineLock lock;
    if (!stackOpen || length > txSize) {
        return DSF_ERR_WRITE;
    }
    if (Line().flushBeforeSend == 1) {
        Purge(Line().currentPort);
    }
    uint32_t written = 0;
    int w = WritePort(Line().currentPort, txBuffer, length, &written);
    int32_t result = (w == PORT_OK && written == length) ? 0 : DSF_ERR_WRITE;
    counters.framesOut++;
    counters.bytesOut += written;
    TraceBytes(TRACE_SENT, txBuffer, written);
    if (Line().echoFlag == 1) {
        // The converter hands back what we sent; it is read and dropped before any reply.
        uint32_t want = length < ReadCapacity() ? length : ReadCapacity();
        uint32_t got = 0;
        ReadPort(Line().currentPort, rxBuffer, want, &got);
        TraceBytes(TRACE_ECHO, rxBuffer, got);
        if (result == 0 && (got != length || memcmp(rxBuffer, txBuffer, got) != 0)) {
            counters.echoMismatches++;
        }
    }
    return result;
}

uint16_t dsf_ra_receive_frame() {
    LineLock lock;
    if (!stackOpen) {
        return 0;
    }
    uint32_t toRead = 0;
    uint32_t waiting = 0;
    if (queueCheck == 1) { // takes what is waiting and never waits
        toRead = Line().ExpectedReplyLength < ReadCapacity() ? Line().ExpectedReplyLength : ReadCapacity();
        if (PortInputQueue(Line().currentPort, &waiting) == 0) {
            toRead = waiting < toRead ? waiting : toRead;
        }
    } else {
        toRead = ReplyReadSize();
    }
    uint32_t iRead = 0;
    int rc = ReadPort(Line().currentPort, rxBuffer, toRead, &iRead);
    if (queueCheck == 0 && rc == PORT_OK && iRead == toRead) {
        // A frame longer than expected (the station's error reply to a read of one or two bytes, a
        // data prefix on a control frame) is read to the end its header announces: left half read, its
        // rest would go to a read that never waits, and a line still carrying it would cost a
        // retransmission and the station's answer.
        const uint32_t whole = dsf_announced_frame_length(stack, rxBuffer, iRead);
        if (whole > iRead && whole <= ReadCapacity()) {
            uint32_t more = 0;
            ReadPort(Line().currentPort, rxBuffer + iRead, whole - iRead, &more); // a failure shows as a short frame
            iRead += more;
            toRead = whole;
        }
    }
    if (iRead != toRead && iRead != 0) {
        err(LOG_DEBUG, "KESTA> dsf_ra_receive_frame() DEBUG toRead %u , iRead %u", static_cast<unsigned>(toRead),
            static_cast<unsigned>(iRead));
    }
    if (rc != PORT_OK || iRead == 0) {
        return 0;
    }
    counters.bytesIn += iRead;
    TraceBytes(TRACE_RECEIVED, rxBuffer, iRead);
    return static_cast<uint16_t>(iRead);
}

namespace {

// What the loop carries from one step to the next.
struct LoopState {
    const uint8_t *received; // the bytes the next step gets, null for none
    uint16_t receivedCount;
    uint16_t lastAction;
    uint32_t stepsWithoutSend;
};

void HandOver(LoopState *loop, uint16_t n) {
    loop->received = n != 0 ? rxBuffer : nullptr;
    loop->receivedCount = n;
}

// Receive: only what is already waiting, never waiting for it.
void ReceiveWaiting(LoopState *loop) {
    queueCheck = 1;
    const uint16_t n = dsf_ra_receive_frame();
    queueCheck = 0;
    HandOver(loop, n);
}

// SendReceive: the frame the step built, then the reply read. Nonzero when the frame could not be
// written; the engine then waits for a reply that will not come, so the next request must find it idle.
int32_t SendAndReceive(LoopState *loop, uint16_t txLength, bool silence) {
    if (silence && (loop->lastAction == SendReceive || loop->lastAction == Receive)) {
        counters.retransmissions++;
    }
    loop->stepsWithoutSend = 0;
    const int32_t sent = dsf_ra_send_frame(txLength);
    if (sent != 0) {
        dsf_reset(stack, 0);
        return sent;
    }
    HandOver(loop, dsf_ra_receive_frame());
    return 0;
}

} // namespace

int32_t RunDsfRequestWith(DsfStepFunction step, StationEntry **handleLocation, const uint8_t *request,
                          uint32_t requestSize, uint8_t *reply, uint32_t *replyLength) {
    LineLock lock;
    counters.requests++;
    answered = false;
    if (!stackOpen) {
        return CountResult(DSF_ERR_NOT_OPEN);
    }
    LoopState loop = {nullptr, 0, 0, 0};
    for (;;) {
        if (loop.stepsWithoutSend >= TRANSPORT_MAX_STEPS_WITHOUT_SEND) {
            counters.stepLimits++;
            dsf_reset(stack, 0);
            return CountResult(DSF_ERR_NO_REPLY);
        }
        loop.stepsWithoutSend++;
        uint32_t stepReplyLength = *replyLength;
        uint16_t txLength = txSize;
        uint16_t action = 0;
        int32_t timeout = 0;
        const int32_t rc = step(stack, handleLocation, request, requestSize, reply, &stepReplyLength, txBuffer,
                                &txLength, loop.received, loop.receivedCount, &action, &timeout);
        const bool silence = loop.received == nullptr && loop.receivedCount == 0;
        if (loop.received != nullptr) {
            CountLinkError();
        }
        switch (action) {
        case StepAgain: HandOver(&loop, 0); break;
        case Receive: ReceiveWaiting(&loop); break;
        case Done: *replyLength = stepReplyLength; return 0;
        case Failed: return CountResult(rc);
        case SendReceive: {
            if (sendOnce && silence && (loop.lastAction == SendReceive || loop.lastAction == Receive)) {
                dsf_reset(stack, 0); // the one sending went unanswered
                return CountResult(DSF_ERR_NO_REPLY);
            }
            const int32_t sent = SendAndReceive(&loop, txLength, silence);
            if (sent != 0) {
                return CountResult(sent);
            }
            break;
        }
        case Process:
            counters.framesIn++;
            answered = true;
            break;
        default: dsf_reset(stack, 0); return CountResult(DSF_ERR_ACTION);
        }
        loop.lastAction = action;
    }
}

int32_t RunDsfRequest(StationEntry **handleLocation, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                      uint32_t *replyLength) {
    int32_t rc = RunDsfRequestWith(dsf_step, handleLocation, request, requestSize, reply, replyLength);
    TraceRequestEnd(rc);
    return rc;
}

void TransportNextExchange(bool once) {
    LineLock lock;
    sendOnce = once;
    answered = false;
}

void TransportExchangeDone() {
    LineLock lock;
    sendOnce = false;
}

bool TransportAnswered() {
    LineLock lock;
    return answered;
}

int32_t RunExchange(PortHandle line, uint16_t expectedReplyLength, void *handleSlot, const uint8_t *request,
                    uint32_t requestSize, uint8_t *reply, uint32_t *replyLength) {
    LineLock lock;
    const int32_t ready = LineDeviceReady(line);
    if (ready != 0) {
        counters.requests++;
        answered = false;
        return CountResult(ready);
    }
    LineOnLoan loan;
    LineLend(line, expectedReplyLength, &loan);
    StationEntry *handle = nullptr;
    if (handleSlot != nullptr) {
        memcpy(&handle, handleSlot, sizeof handle);
    }
    StationEntry *const before = handle;
    int32_t rc = RunDsfRequest(&handle, request, requestSize, reply, replyLength);
    if (handleSlot != nullptr && handle != before) { // only a connect hands out an entry
        memcpy(handleSlot, &handle, sizeof handle);
    }
    LineGiveBack(&loan);
    if (rc != 0) {
        LineDeviceCheck(line);
    }
    return rc;
}

bool ExchangeRoom(const void *handleSlot, uint32_t *itemHead, uint32_t *stationMessage) {
    LineLock lock;
    if (!stackOpen || handleSlot == nullptr) {
        return false;
    }
    StationEntry *handle = nullptr;
    memcpy(&handle, handleSlot, sizeof handle);
    *itemHead = dsf_read_item_head(stack);
    *stationMessage = dsf_station_message_limit(stack, &handle);
    return *stationMessage != 0;
}
