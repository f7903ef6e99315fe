// The one way onto the line: opens the driver's single Net2000 stack with its two frame buffers,
// closes it, and carries one request at a time over the port by stepping the engine and doing what
// each step asks. Every exchange holds the process-wide line lock.
#pragma once

#include <stdint.h>

#include "dsf/dsf.h"
#include "platform/serial_port.h"
#include "serial/line_state.h"

// A line that keeps delivering bytes but never a valid frame would keep the loop receiving for ever.
// After this many steps without a frame sent, the request ends with DSF_ERR_NO_REPLY: a frame is at
// most 518 bytes and every Receive that does not end in silence has taken at least one byte, so twice
// that is already two frames' worth of garbage.
enum { TRANSPORT_MAX_STEPS_WITHOUT_SEND = 2 * DSF_MAX_FRAME };

// The stack is one per library and shared by every instance that opened it: dsf_ra_open opens it for
// the first holder and only counts the others in (0 for each), dsf_ra_close counts one holder out and
// destroys the stack with its frame buffers only when the last one leaves, for the other instances'
// StationTable entries point into its station entries. The stack keeps the configuration of its first
// open (master address, numSlaves station entries): later opens cannot change it. dsf_ra_close always
// closes currentPort, which the caller sets to its own port first.
int32_t dsf_ra_open(const char *parameters);
int32_t dsf_ra_close();
uint32_t dsf_ra_holders(); // instances holding the stack open

int32_t RunDsfRequest(StationEntry **handleLocation, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                      uint32_t *replyLength);
int32_t dsf_ra_send_frame(uint16_t length);
uint16_t dsf_ra_receive_frame();

// RunDsfRequest over a given step function (the engine's dsf_step in the driver; tests script it).
typedef int32_t (*DsfStepFunction)(DsfInstance *dsf, StationEntry **handleLocation, const uint8_t *request,
                                   uint32_t requestSize, uint8_t *reply, uint32_t *replyLength, uint8_t *txBuffer,
                                   uint16_t *txLength, const uint8_t *received, uint16_t receivedCount,
                                   uint16_t *action, int32_t *timeout);
int32_t RunDsfRequestWith(DsfStepFunction step, StationEntry **handleLocation, const uint8_t *request,
                          uint32_t requestSize, uint8_t *reply, uint32_t *replyLength);

// For the line lock's holder, before the exchanges of one request: with sendOnce, each frame goes out one
// time only and silence fails the request at once with DSF_ERR_NO_REPLY (the probe of a station that was
// set aside). Also forgets what TransportAnswered told. TransportExchangeDone ends sendOnce again, before
// the lock is given back.
void TransportNextExchange(bool sendOnce);
void TransportExchangeDone();
// For the line lock's holder, after the request: whether the station answered it with a whole, valid
// frame (a reply, an error reply); false for silence, garbage, and requests refused before the line.
bool TransportAnswered();

// One whole exchange as every caller needs it: take the line lock, put the exchange on line (the port
// of the instance it serves: with two instances on two lines, currentPort belongs to whichever instance
// started or reopened last), set ExpectedReplyLength, run the request, set ExpectedReplyLength back to
// 518 and currentPort back to what it was, release the lock. The handle slot may be unaligned (a
// StationTable slot of the packed instance block): it is read and written back by value. A line whose
// port device has failed (PORT_REOPEN_INTERVAL) answers DSF_ERR_PORT_LOST at once until it is reopened.
int32_t RunExchange(PortHandle line, uint16_t expectedReplyLength, void *handleSlot, const uint8_t *request,
                    uint32_t requestSize, uint8_t *reply, uint32_t *replyLength);

// What one request to a station may carry, for callers that fill a request with several items: the
// bytes of one read item's head in the stack's messages (2 short, 6 long; the last connect reply
// decides) and the largest request message the station takes. False when the stack is not open or the
// slot (unaligned, read by value) holds no connected station of it.
bool ExchangeRoom(const void *handleSlot, uint32_t *itemHead, uint32_t *stationMessage);
