// A line whose port device fails (a USB adapter pulled out, a line hung up) heals itself under
// PORT_REOPEN_INTERVAL: the device is closed once, exchanges fail at once, and the device is opened
// again by its name at most once per interval, purged and echo-tested, all inside the same port. With the
// key off (0) nothing here acts. Callers hold the line lock.
#pragma once

#include <stdint.h>

#include "platform/serial_port.h"

// Before an exchange on the port: 0 when it can go out; DSF_ERR_PORT_LOST while the port's device is
// closed and no reopen is due, or the one due now failed.
int32_t LineDeviceReady(PortHandle port);
// After an exchange that failed: a device that failed is closed, once, and its reopening scheduled.
void LineDeviceCheck(PortHandle port);
