// KviMain: the driver's one entry point. Checks the function code, serialises the line-using codes 2 to
// 6 through the instance mutex, and hands the host's record to the entry point of the code. Never
// touches the instance beyond the ending flag and the mutex.
#include "host/instance_mutex.h"
#include "host/instances.h"
#include "kesta.h"
#include "host/lifecycle.h"
#include "plc/gates.h"
#include "platform/talrun.h"

namespace {

typedef uint32_t (*KviEntry)(DriverCall *call);

enum { KVI_TABLE_SIZE = 16, KVI_RESULT_UNKNOWN = 2 };

// Indexed by function code minus 1; codes 8, 9 and 16 have no entry point.
const KviEntry kviTable[KVI_TABLE_SIZE] = {
    ColdStart,           // 1
    WarmStart,           // 2
    SingleAddressParser, // 3
    BlockAddressParser,  // 4
    SingleRead,          // 5
    BlockRead,           // 6
    SingleWrite,         // 7
    nullptr,             // 8
    nullptr,             // 9
    BlockWrite,          // 10
    EndKvi,              // 11
    CloseCom,            // 12
    ReOpenCom,           // 13
    GetKviInfo,          // 14
    ChangeKviParams,     // 15
    nullptr,             // 16
};

bool UsesMutex(uint32_t code) { return code >= KVI_WARM_START && code <= KVI_BLOCK_READ; }

// What the entry points outside the mutex range read from the host besides the code: a host that
// leaves one out gets a refusal, not a driver that follows a null pointer. (Codes 2 to 6 without a
// block fail in ReqSem; the gate entry points check their own records.)
enum { NEEDS_INSTANCE = 1, NEEDS_RECORD = 2 };
const uint8_t kviNeeds[KVI_TABLE_SIZE] = {
    NEEDS_INSTANCE | NEEDS_RECORD, // 1 ColdStart: PortConfig
    0,                             // 2 to 6 run under the mutex; 7 and 10 check their own records
    0,                             // 3
    0,                             // 4
    0,                             // 5
    0,                             // 6
    0,                             // 7
    0,                             // 8
    0,                             // 9
    0,                             // 10
    NEEDS_INSTANCE,                // 11 EndKvi
    NEEDS_INSTANCE,                // 12 CloseCom
    NEEDS_INSTANCE,                // 13 ReOpenCom
    NEEDS_RECORD,                  // 14 GetKviInfo: DriverInfo
    NEEDS_INSTANCE | NEEDS_RECORD, // 15 ChangeKviParams: ParamChange
    0,
};

bool ArgumentsGiven(const DriverCall *call, uint32_t code) {
    const uint8_t needs = kviNeeds[code - 1];
    if ((needs & NEEDS_INSTANCE) != 0 && call->instance == nullptr) {
        err(LOG_ERROR, "KESTA> KviMain() function %u called without an instance block", static_cast<unsigned>(code));
        return false;
    }
    if ((needs & NEEDS_RECORD) != 0 && call->argRecord == nullptr) {
        err(LOG_ERROR, "KESTA> KviMain() function %u called without its record", static_cast<unsigned>(code));
        return false;
    }
    return true;
}

} // namespace

extern "C" KVI_EXPORT uint32_t KVI_CALL KviMain(DriverCall *call) {
    if (call == nullptr) {
        return KVI_RESULT_UNKNOWN;
    }
    DriverInstance *instance = call->instance;
    const uint32_t code = call->functionCode;

    // After EndKvi reads are answered at once: the mutex is closed and the line may be gone. That the
    // block ended is the driver's own record, never the block's flag alone: an uncleared block carries
    // any bytes there, and its reads must not be answered as done.
    if ((code == KVI_SINGLE_READ || code == KVI_BLOCK_READ) && instance != nullptr && InstanceEnded(instance)) {
        return KVI_OK;
    }
    if (code < 1 || code > KVI_TABLE_SIZE || kviTable[code - 1] == nullptr) {
        return KVI_RESULT_UNKNOWN;
    }
    if (!ArgumentsGiven(call, code)) {
        return KVI_REFUSED;
    }
    if (UsesMutex(code) && ReqSem(instance) != 0) {
        return KVI_REFUSED;
    }
    // A write runs without the mutex: a block the driver does not run has nothing to write with, and
    // is answered as one whose port is closed.
    if (code == KVI_SINGLE_WRITE && !InstanceRunning(instance)) {
        return KVI_REFUSED;
    }
    const uint32_t result = kviTable[code - 1](call);
    if (UsesMutex(code)) {
        RelSem(instance); // a failed release is logged; the host still gets the operation's result
    }
    return result;
}
