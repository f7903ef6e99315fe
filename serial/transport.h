// The one way onto the line: opens the driver's single Net2000 stack with its two frame buffers,
// closes it, and carries one request at a time over the port by stepping the engine and doing what
// each step asks. Every exchange holds the process-wide line lock.
#pragma once

#include <stdint.h>

#include "dsf/dsf.h"
#include "platform/serial_port.h"

// Driver-wide line state, one set per loaded library.
extern PortHandle currentPort;
extern uint8_t echoFlag;
extern uint8_t flushBeforeSend;
extern uint8_t numSlaves;
extern uint16_t ExpectedReplyLength;

enum { EXPECTED_REPLY_IDLE = 518 };

int32_t dsf_ra_open(const char *parameters);
int32_t dsf_ra_close();
int32_t RunDsfRequest(StationEntry **handleLocation, const uint8_t *request, uint32_t requestSize, uint8_t *reply,
                      uint32_t *replyLength);
int32_t dsf_ra_send_frame(uint16_t length);
uint16_t dsf_ra_receive_frame();

// One whole exchange as every caller needs it: take the line lock, set ExpectedReplyLength, run the
// request, set ExpectedReplyLength back to 518, release the lock. The handle slot may be unaligned
// (a StationTable slot of the packed instance block): it is read and written back by value.
int32_t RunExchange(uint16_t expectedReplyLength, void *handleSlot, const uint8_t *request, uint32_t requestSize,
                    uint8_t *reply, uint32_t *replyLength);
