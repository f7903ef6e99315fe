// Driver-wide line state: one set per loaded library, shared by every driver instance.
#include "serial/transport.h"

PortHandle currentPort = 0;
uint8_t echoFlag = 0;
uint8_t flushBeforeSend = 0;
uint8_t numSlaves = 1;
uint16_t ExpectedReplyLength = EXPECTED_REPLY_IDLE;
