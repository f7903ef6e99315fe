// Driver lifecycle: cold start brings a line up (mutex, instance block, init file, port, echo test,
// protocol stack), the other entry points restart, reconfigure and end it. A port handle is closed
// once and then cleared wherever it is held; driver-wide line state is touched under the line lock.
#include "host/lifecycle.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/initfile.h"
#include "host/instance_mutex.h"
#include "platform/system.h"
#include "platform/talrun.h"
#include "plc/registry.h"
#include "plc/station.h"
#include "serial/port.h"
#include "serial/trace.h"
#include "serial/transport.h"

namespace {

// Echo test: one byte out, and a converter that echoes hands it straight back within 500 ms.
enum { ECHO_TEST_TIMEOUT = 50, ECHO_TEST_BYTE = 0x01 };

DriverInstance *Instance(DriverCall *call) { return static_cast<DriverInstance *>(call->instance); }

// Copies a host port name of up to 12 bytes and always terminates it: the host's record need not
// carry a NUL within its 12 bytes, and the name is used as a C string from here on.
void CopyPortName(char (&to)[12], const char *from) {
    size_t n = 0;
    while (n < sizeof to - 1 && from[n] != '\0') {
        to[n] = from[n];
        ++n;
    }
    memset(to + n, 0, sizeof to - n);
}

PortRecord KeptRecord(const DriverInstance *instance) {
    PortRecord record;
    memcpy(record.portName, instance->portName, sizeof record.portName);
    record.portName[sizeof record.portName - 1] = '\0';
    // The packed block's line parameters sit off their alignment: copied as bytes, never through a
    // reference (which is what an assignment of the record binds).
    memcpy(&record.lineParams, &instance->lineParams, sizeof record.lineParams);
    record.portFlags = instance->portFlags;
    return record;
}

// Takes a freshly opened port as the instance's port. A handle still held from before (a reopen of a
// device that allows a second open, such as the null line) is closed rather than lost.
void AdoptPort(DriverInstance *instance, PortHandle handle) {
    LineLock line;
    const PortHandle previous = instance->portHandle;
    if (previous != 0 && previous != handle) {
        ClosePort(previous);
        if (currentPort == previous) {
            currentPort = 0;
        }
    }
    instance->portHandle = handle;
    currentPort = handle;
    MoveLine(instance, handle); // a reopened line keeps the converter its cold start found
}

bool EchoTest(PortHandle port, uint32_t lineTimeout) {
    SetTimeout(port, ECHO_TEST_TIMEOUT);
    const uint8_t probe = ECHO_TEST_BYTE;
    uint8_t answer = 0;
    uint32_t written = 0;
    uint32_t got = 0;
    const bool wrote = WritePort(port, &probe, 1, &written) == PORT_OK;
    const bool read = wrote && ReadPort(port, &answer, 1, &got) == PORT_OK;
    SetTimeout(port, lineTimeout);
    return read && got == 1 && answer == ECHO_TEST_BYTE;
}

// CloseCom on the instance itself, for the paths that have no DriverCall at hand. The handle is the
// platform's record of the open port: it is closed once and cleared wherever it is held.
uint32_t ClosePortOf(DriverInstance *instance) {
    LineLock line;
    const PortHandle port = instance->portHandle;
    if (port == 0) {
        return 0;
    }
    if (ClosePort(port) != PORT_OK) {
        return 2;
    }
    instance->portHandle = 0;
    instance->portOpen = 0;
    if (currentPort == port) {
        currentPort = 0;
    }
    MoveLine(instance, 0);
    return 0;
}

// Ends an instance: reads are answered at once from here on, its mutex is closed, its hold on the
// shared stack is given back (the stack itself goes only with its last holder) and its own port is
// closed, never the port of another instance that started or reopened after it.
uint32_t EndInstance(DriverInstance *instance) {
    instance->ending = 1;
    CloseInstanceMutex(instance);
    if (instance->dsfOpen == 1) {
        LineLock line;
        const PortHandle own = instance->portHandle;
        const PortHandle previous = currentPort;
        // The stack's close also closes the transport's port: make sure that is this instance's line
        // (none, when CloseCom closed it already: closing no handle is refused and touches nothing).
        currentPort = own;
        dsf_ra_close();
        instance->portHandle = 0;
        instance->portOpen = 0;
        currentPort = previous == own ? 0 : previous;
    }
    instance->dsfOpen = 0;
    const uint32_t rc = ClosePortOf(instance);
    ForgetLine(instance);
    return rc;
}

// Started and not ended: the host zero-fills the block before its first cold start, and EndKvi sets
// ending and clears the mutex.
bool Running(const DriverInstance *instance) { return instance->ending == 0 && instance->mutex != 0; }

constexpr char kBanner[] =
    "\r\n"
    "\xC9\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xCD\xCD\xCD\xCD\xBB"
    "\r\n"
    "\xBA  KESTA :  B & R Net2000 protocol          (32 bit driver) \xBA"
    "\r\n"
    "\xC8\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
    "\xCD\xCD\xCD\xCD\xBC"
    "\r\n";
static_assert(sizeof kBanner - 1 == 191, "three 61-character lines behind CR LF, and a last CR LF");

constexpr char kProtocolName[] = "B&R Net2000";

} // namespace

uint32_t ColdStart(DriverCall *call) {
    DriverInstance *instance = Instance(call);
    const PortConfig *config = static_cast<const PortConfig *>(call->argRecord);

    err(LOG_DEBUG, "KESTA> version compiled on %s at time %s", __DATE__, __TIME__);

    // A second cold start of a running instance would overwrite its port handle without closing it
    // and open the stack once more: end the running one first, as EndKvi would.
    if (Running(instance)) {
        err(LOG_ERROR, "KESTA> ColdStart() instance still running: ended before it starts again");
        EndInstance(instance);
    }
    // Whatever the block still holds from before would be lost when it is filled below: the lists of
    // an ended run, a port that ChangeKviParams or ReOpenCom opened outside a run. (The host zero-fills
    // the block before its first cold start.)
    // The registry of such a run is given back too: the cold start clears the StationTable, so the
    // host parses its gates again and no entry is reachable any more.
    ClosePortOf(instance);
    {
        LineLock line; // a write looks its gate up under the line lock
        ReleaseRegistry(instance);
    }

    char mutexName[32];
    snprintf(mutexName, sizeof mutexName, "SEMKESTA%02u", static_cast<unsigned>(call->driverNumber));
    MutexHandle mutex = 0;
    if (plat_mutex_create(mutexName, &mutex) != 0) {
        err(LOG_ERROR, "KESTA> ColdStart() ERROR, CreateMutex() error %u", static_cast<unsigned>(plat_last_error()));
        return 1;
    }
    instance->mutex = mutex;

    instance->ending = 0;
    instance->portOpen = config->usePort;
    instance->lineTimeout = config->timeout;
    instance->portHandle = 0;
    instance->ObjectList = nullptr;
    instance->UsedAreaList = nullptr;
    instance->dsfOpen = 0;
    instance->sampleCount = 0;
    instance->ewtDelay = 0;
    for (size_t i = 0; i < sizeof instance->StationTable / sizeof instance->StationTable[0]; ++i) {
        instance->StationTable[i] = nullptr;
    }
    {
        LineLock line;
        currentPort = 0;
        echoFlag = 0;
        ExpectedReplyLength = EXPECTED_REPLY_IDLE;
    }

    InitFile(instance, call->driverNumber);

    if (instance->portOpen == 0) {
        return 0;
    }

    // The cold start's port record becomes the kept one, so that a later ReOpenCom opens the same line.
    PortRecord record;
    CopyPortName(record.portName, config->portName);
    memcpy(&record.lineParams, &config->lineParams, sizeof record.lineParams);
    record.portFlags = PORT_FLAGS_COLD_START;
    memcpy(instance->portName, record.portName, sizeof record.portName);
    memcpy(&instance->lineParams, &record.lineParams, sizeof record.lineParams);
    instance->portFlags = record.portFlags;

    const PortHandle port = OpenPortRecord(&record);
    if (port == 0) {
        err(LOG_ERROR, "KESTA>Failed to open com port %s", record.portName);
        return 2;
    }
    AdoptPort(instance, port);

    {
        LineLock line;
        Purge(port);
        if (EchoTest(port, instance->lineTimeout)) {
            err(LOG_ERROR, "KESTA> ColdStart() Your RS485 convertor is has echos which the driver will handle");
            echoFlag = 1;
        }
        RememberLine(instance, port, echoFlag, flushBeforeSend);
    }

    // One stack per library: a later instance joins the stack that is open, whose master address and
    // station entries (NUM_OF_SLAVES) are those of the first cold start, and its own are not used.
    const uint32_t rc = Net2000_Open(instance->masterAddress);
    if (rc != 0) {
        err(LOG_ERROR, "KESTA> ColdStart() Failure opening dsf!, rc %u", static_cast<unsigned>(rc));
        return 2;
    }
    err(LOG_ERROR, "KESTA> ColdStart() dsf opened successfully!");
    instance->dsfOpen = 1;
    err(LOG_ERROR, "KESTA> ColdStart() B&R Net2000 protocol 32 Bit driver Installed.");
    return 0;
}

uint32_t WarmStart(DriverCall *call) {
    DriverInstance *instance = Instance(call);
    if (instance->portOpen != 0 && instance->portHandle != 0) {
        LineLock line; // never drain the line under another thread's exchange
        Purge(instance->portHandle);
    }
    return 0;
}

uint32_t CloseCom(DriverCall *call) { return ClosePortOf(Instance(call)); }

uint32_t EndKvi(DriverCall *call) {
    DriverInstance *instance = Instance(call);
    instance->ending = 1; // reads are answered at once from here on
    TraceCounters("EndKvi");
    return EndInstance(instance);
}

uint32_t ReOpenCom(DriverCall *call) {
    DriverInstance *instance = Instance(call);
    const PortRecord record = KeptRecord(instance);
    const PortHandle port = OpenPortRecord(&record);
    if (port == 0) {
        return 2;
    }
    instance->portOpen = 1;
    AdoptPort(instance, port);
    return 0;
}

uint32_t GetKviInfo(DriverCall *call) {
    DriverInfo *info = static_cast<DriverInfo *>(call->argRecord);
    info->info0 = 70;
    info->protocolName = kProtocolName;
    info->banner = kBanner;
    info->instanceSize = sizeof(DriverInstance);
    info->info4 = 4;
    info->defaultLine.baudRate = 57600;
    info->defaultLine.dataBits = 8;
    info->defaultLine.stopBits = 0;
    info->defaultLine.parity = 1;
    info->info6 = 1;
    return 0;
}

uint32_t ChangeKviParams(DriverCall *call) {
    DriverInstance *instance = Instance(call);
    const ParamChange *change = static_cast<const ParamChange *>(call->argRecord);

    if (change->timeout != 0 && change->timeout != -1) {
        instance->lineTimeout = static_cast<uint32_t>(change->timeout);
    }
    char newName[12];
    CopyPortName(newName, change->portName);
    if (strncmp(newName, instance->portName, sizeof newName) != 0 && instance->portHandle != 0) {
        CloseCom(call);
    }
    memcpy(instance->portName, newName, sizeof newName);
    memcpy(&instance->lineParams, &change->lineParams, sizeof change->lineParams);

    const PortRecord record = KeptRecord(instance);
    const PortHandle port = OpenPortRecord(&record);
    if (port == 0) {
        return 2;
    }
    AdoptPort(instance, port);
    {
        LineLock line;
        SetTimeout(port, instance->lineTimeout);
    }
    // The new port is open and in use: let reads and writes use it.
    instance->portOpen = 1;
    return 0;
}
