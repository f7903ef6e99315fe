// Taking, giving back and closing the instance mutex. Speaks only through err; never blocks longer than
// the instance's time-out allows.
#include "host/instance_mutex.h"

#include "host/instances.h"

#include "platform/system.h"
#include "platform/talrun.h"

namespace {

// lineTimeout x 30 can pass 32 bits; the longest finite wait is one below the "forever" value.
uint32_t WaitMilliseconds(uint32_t lineTimeout) {
    const uint64_t ms = static_cast<uint64_t>(lineTimeout) * MUTEX_MS_PER_UNIT;
    return ms >= 0xFFFFFFFFu ? 0xFFFFFFFEu : static_cast<uint32_t>(ms);
}

} // namespace

uint32_t ReqSem(DriverInstance *instance) {
    // The mutex is the one the driver created for a block it runs: any other block (none, one never
    // started, an ended one, one whose bytes are not what the driver wrote) has none, and its wait fails
    // as a wait on a closed handle does, with the system's invalid-handle code.
    const MutexHandle mutex = instance != nullptr ? InstanceMutex(instance) : 0;
    const uint32_t lineTimeout = instance != nullptr ? instance->lineTimeout : 0;
    switch (plat_mutex_wait(mutex, WaitMilliseconds(lineTimeout))) {
    case PLAT_WAIT_OK:
    case PLAT_WAIT_ABANDONED: return 0;
    case PLAT_WAIT_TIMEOUT: err(LOG_ERROR, "KESTA> ReqSem() TIMEOUT requesting MUTEX semaphore"); return 1;
    default:
        err(LOG_ERROR, "KESTA> ReqSem() ERROR requesting MUTEX semaphore %d", static_cast<int>(plat_last_error()));
        return 1;
    }
}

uint32_t RelSem(DriverInstance *instance) {
    const MutexHandle mutex = instance != nullptr ? InstanceMutex(instance) : 0;
    if (plat_mutex_release(mutex) != 0) {
        err(LOG_ERROR, "KESTA> RelSem() ERROR releasing MUTEX semaphore %d", static_cast<int>(plat_last_error()));
        return 1;
    }
    return 0;
}

int CloseInstanceMutex(DriverInstance *instance) {
    const MutexHandle mutex = InstanceTakeMutex(instance);
    return mutex != 0 ? plat_mutex_close(mutex) : 0;
}
