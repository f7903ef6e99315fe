// Driver lifecycle: cold start brings a line up (mutex, instance block, init file, port, echo test,
// protocol stack), the other entry points restart, reconfigure and end it. A port handle is closed
// once and then cleared wherever it is held; driver-wide line state is touched under the line lock.
#include "host/lifecycle.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/initfile.h"
#include "host/instance_mutex.h"
#include "host/instances.h"
#include "platform/system.h"
#include "platform/talrun.h"
#include "plc/registry.h"
#include "plc/station.h"
#include "plc/station_watch.h"
#include "serial/port.h"
#include "serial/trace.h"
#include "serial/line_state.h"
#include "serial/transport.h"

namespace {

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

// Takes a freshly opened port as the block's port. A port the driver still holds for the block (a
// reopen of a device that allows a second open, such as the null line) is closed rather than lost;
// whatever handle the block's own bytes show is never touched. False when the driver cannot keep the
// port for the block (its table is full): the port is closed again.
bool AdoptPort(DriverInstance *instance, PortHandle handle) {
    LineLock line;
    const PortHandle previous = LookUpInstance(instance).port;
    if (previous != 0 && previous != handle && ClosePort(previous) == PORT_OK) {
        LinePortClosed(previous);
    }
    if (!InstanceSetPort(instance, handle)) {
        ClosePort(handle);
        return false;
    }
    LineSetCurrentPort(handle);
    MoveLine(instance, handle); // a reopened line keeps the converter its cold start found
    return true;
}

// CloseCom on the instance itself, for the paths that have no DriverCall at hand. Only a port the
// driver opened for this block is closed: once, and then cleared wherever it is held. A close that
// fails keeps the port with the block, to be closed again by a later CloseCom, EndKvi or cold start.
uint32_t ClosePortOf(DriverInstance *instance) {
    LineLock line;
    const PortHandle port = LookUpInstance(instance).port;
    if (port == 0) {
        return 0;
    }
    if (ClosePort(port) != PORT_OK) {
        return 2;
    }
    LinePortClosed(port);
    InstanceSetPort(instance, 0);
    instance->portOpen = 0;
    MoveLine(instance, 0);
    return 0;
}

// Ends an instance: reads are answered at once from here on, its mutex is closed, its hold on the
// shared stack is given back (the stack itself goes only with its last holder) and its own port is
// closed, never the port of another instance that started or reopened after it. Everything it closes
// is what the driver recorded for the block, whatever the block's bytes say by now.
uint32_t EndInstance(DriverInstance *instance) {
    LineLock line; // what is looked up is what is ended, with no other call in between
    const InstanceRecord held = LookUpInstance(instance);
    InstanceEnd(instance); // ending = 1, the mutex cleared in the block
    if (held.mutex != 0) {
        plat_mutex_close(held.mutex);
    }
    bool closeFailed = false;
    if (held.holdsStack) {
        // The stack's close also closes the transport's port: make sure that is this instance's line
        // (none, when CloseCom closed it already: closing no handle is refused and touches nothing).
        const PortHandle own = held.port;
        const PortHandle previous = ReadLineState().currentPort;
        LineSetCurrentPort(own);
        const int32_t rc = dsf_ra_close();
        if (own != 0 && rc == PORT_OK) {
            InstanceSetPort(instance, 0);
            instance->portOpen = 0;
        }
        closeFailed = own != 0 && rc != PORT_OK;
        LineSetCurrentPort(previous == own ? 0 : previous);
    }
    instance->dsfOpen = 0;
    const uint32_t rc = closeFailed ? 2u : ClosePortOf(instance);
    ForgetLine(instance);
    ForgetStations(instance);
    return rc;
}

// The lists of a run that ended, as the driver took them from the block when the run ended: a block
// that was no longer intact by then (its memory reused by the host) has its old lists left alone rather
// than followed through whatever it holds now.
void ReleaseListsOfEndedRun(DriverInstance *instance) {
    void *objects = nullptr;
    void *areas = nullptr;
    InstanceTakeLists(instance, &objects, &areas);
    ReleaseRegistryLists(objects, areas);
}

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

    // Only what the driver's own table says is taken from the block: it may come uncleared, or hold an
    // ended run, or reuse the memory of a block the host dropped. A block that really runs is ended
    // first, as EndKvi would end it (a second run would overwrite its port without closing it). A block
    // whose last cold start failed (the port was in use, say) is ended without a notice: starting again
    // is the host's ordinary retry.
    const InstanceRecord held = LookUpInstance(instance);
    if (held.running) {
        if (!held.startFailed) {
            err(LOG_ERROR, "KESTA> ColdStart() instance still running: ended before it starts again");
        }
        EndInstance(instance);
    }
    // A port the driver still holds for the block from outside a run (ChangeKviParams, ReOpenCom) or
    // from a close that failed is closed now, or the new run would lose it.
    ClosePortOf(instance);
    // The cold start clears the StationTable, so the host parses its gates again and no entry of the
    // old lists is reachable any more.
    ReleaseListsOfEndedRun(instance);
    ForgetStations(instance);

    char mutexName[32];
    snprintf(mutexName, sizeof mutexName, "SEMKESTA%02u", static_cast<unsigned>(call->driverNumber));
    MutexHandle mutex = 0;
    if (plat_mutex_create(mutexName, &mutex) != 0) {
        err(LOG_ERROR, "KESTA> ColdStart() ERROR, CreateMutex() error %u", static_cast<unsigned>(plat_last_error()));
        return 1;
    }
    if (!InstanceStart(instance, mutex)) {
        plat_mutex_close(mutex);
        err(LOG_ERROR, "KESTA> ColdStart() ERROR, more than %u instances running", INSTANCE_TABLE_SIZE);
        return 1;
    }

    {
        // Under the line lock: a read of the block's old run may still be pausing between two EWT
        // records, and looks there whether its run has ended.
        LineLock line;
        instance->ending = 0;
        instance->portOpen = config->usePort;
        instance->lineTimeout = config->timeout;
        instance->ObjectList = nullptr;
        instance->UsedAreaList = nullptr;
        instance->dsfOpen = 0;
        instance->sampleCount = 0;
        instance->ewtDelay = 0;
        for (size_t i = 0; i < sizeof instance->StationTable / sizeof instance->StationTable[0]; ++i) {
            instance->StationTable[i] = nullptr;
        }
    }
    LineColdStart();

    InitSettings settings = InitSettings();
    settings.options = DefaultLineOptions();
    InitFile(call->driverNumber, &settings);
    instance->masterAddress = settings.masterAddress;
    instance->ewtDelay = settings.ewtDelay;
    LineApplyInitFile(settings.numSlaves, settings.flushBeforeSend);

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
    if (port == 0 || !AdoptPort(instance, port)) {
        err(LOG_ERROR, "KESTA>Failed to open com port %s", record.portName);
        InstanceStartFailed(instance);
        return 2;
    }

    uint32_t rc = 0;
    {
        // This cold start's own settings go with its line, read from the file just now, never from
        // the driver-wide copies another instance's cold start may have changed meanwhile.
        LineLock line;
        Purge(port);
        uint8_t echo = 0;
        if (EchoTest(port, instance->lineTimeout)) {
            err(LOG_ERROR, "KESTA> ColdStart() Your RS485 convertor is has echos which the driver will handle");
            echo = 1;
        }
        LineSetEcho(echo);
        RememberLine(instance, port, echo, settings.flushBeforeSend, settings.options);
        // One stack per library: a later instance joins the stack that is open, whose master address and
        // station entries (NUM_OF_SLAVES) are those of the first cold start, and its own are not used.
        LineSetNumSlaves(settings.numSlaves);
        rc = Net2000_Open(instance->masterAddress);
    }
    if (rc != 0) {
        err(LOG_ERROR, "KESTA> ColdStart() Failure opening dsf!, rc %u", static_cast<unsigned>(rc));
        InstanceStartFailed(instance);
        return 2;
    }
    err(LOG_ERROR, "KESTA> ColdStart() dsf opened successfully!");
    instance->dsfOpen = 1;
    InstanceSetStack(instance, true);
    err(LOG_ERROR, "KESTA> ColdStart() B&R Net2000 protocol 32 Bit driver Installed.");
    return 0;
}

uint32_t WarmStart(DriverCall *call) {
    DriverInstance *instance = Instance(call);
    const PortHandle port = LookUpInstance(instance).port;
    if (instance->portOpen != 0 && port != 0) {
        LineLock line; // never drain the line under another thread's exchange
        Purge(port);
    }
    return 0;
}

uint32_t CloseCom(DriverCall *call) { return ClosePortOf(Instance(call)); }

uint32_t EndKvi(DriverCall *call) {
    DriverInstance *instance = Instance(call);
    TraceCounters("EndKvi");
    return EndInstance(instance);
}

uint32_t ReOpenCom(DriverCall *call) {
    DriverInstance *instance = Instance(call);
    const PortRecord record = KeptRecord(instance);
    const PortHandle port = OpenPortRecord(&record);
    if (port == 0 || !AdoptPort(instance, port)) {
        return 2;
    }
    instance->portOpen = 1;
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
    if (strncmp(newName, instance->portName, sizeof newName) != 0 && LookUpInstance(instance).port != 0) {
        CloseCom(call);
    }
    memcpy(instance->portName, newName, sizeof newName);
    memcpy(&instance->lineParams, &change->lineParams, sizeof change->lineParams);

    const PortRecord record = KeptRecord(instance);
    const PortHandle port = OpenPortRecord(&record);
    if (port == 0 || !AdoptPort(instance, port)) {
        return 2;
    }
    {
        LineLock line;
        SetTimeout(port, instance->lineTimeout);
    }
    // The new port is open and in use: let reads and writes use it.
    instance->portOpen = 1;
    return 0;
}
