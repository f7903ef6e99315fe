// The device of a line's port under PORT_REOPEN_INTERVAL. The port's handle never changes: the host
// block, the instance table and the line table keep holding it while its device is closed and opened
// again inside the platform's record. Every function runs under the line lock.
#include "serial/reopen.h"

#include "dsf/dsf_errors.h"
#include "platform/system.h"
#include "platform/talrun.h"
#include "serial/line_state.h"
#include "serial/port.h"

namespace {

// The line whose port this is, with the key on; false for any other port.
bool Reopening(PortHandle port, LineHeld *held) {
    return LineOfPortHeld(port, held) && held->options->portReopenInterval != 0;
}

} // namespace

int32_t LineDeviceReady(PortHandle port) {
    LineLock lock;
    LineHeld held;
    if (!Reopening(port, &held) || held.device->closed == 0) {
        return 0;
    }
    const uint64_t now = plat_monotonic_ms();
    if (now < held.device->nextReopen) {
        return DSF_ERR_PORT_LOST;
    }
    held.device->nextReopen = now + held.options->portReopenInterval;
    if (ReopenPortDevice(port) != PORT_OK) {
        return DSF_ERR_PORT_LOST;
    }
    // As at the cold start: whatever the new device kept is stale, and the converter behind it may be
    // another one.
    Purge(port);
    const uint8_t echo = EchoTest(port, TimeoutUnits(port)) ? 1 : 0;
    *held.echo = echo;
    held.device->closed = 0;
    held.device->reopens++;
    LineDeviceChangedHeld(port);
    err(LOG_ERROR, "KESTA> ReopenPort() port %s reopened%s", plat_port_name(port),
        echo != 0 ? ", its RS485 convertor echoes: the driver will handle it" : "");
    return 0;
}

void LineDeviceCheck(PortHandle port) {
    LineLock lock;
    LineHeld held;
    if (!Reopening(port, &held) || held.device->closed != 0 || !PortDeviceFailed(port)) {
        return;
    }
    err(LOG_ERROR, "KESTA> ReopenPort() port %s failed, system error %u: closed, reopened every %u ms",
        plat_port_name(port), static_cast<unsigned>(plat_port_device_error(port)),
        static_cast<unsigned>(held.options->portReopenInterval));
    // Closed once, whatever the close answers: a descriptor that POSIX gave up is never used again, and a
    // Win32 handle whose close failed is closed again by the reopen.
    ClosePortDevice(port);
    held.device->closed = 1;
    held.device->nextReopen = plat_monotonic_ms() + held.options->portReopenInterval;
    LineDeviceChangedHeld(port);
}
