// The driver's own record of the instance blocks it runs. The host allocates each block and may hand
// over one that was never cleared (a debug heap fills it with 0xCD), one that still holds an ended run,
// or one that reuses the memory of a block it dropped: a handle, list head or flag in a block is taken
// for the driver's own only where this table says the driver wrote it there in this process. A fixed
// table; every function takes the line lock.
#pragma once

#include <stdint.h>

#include "kesta.h"
#include "platform/serial_port.h"
#include "platform/system.h"

enum { INSTANCE_TABLE_SIZE = 64 };

// What the driver holds for one block. A block the table does not know holds nothing of the driver's.
struct InstanceRecord {
    bool running;       // cold-started (its mutex created) and neither ended nor started again since
    bool intact;        // running, and the block still holds the mutex and port handle the driver wrote
    bool ended;         // EndKvi ended it (reads are answered at once from then on)
    bool startFailed;   // its last cold start returned 2: a new cold start is the host's retry
    bool holdsStack;    // its cold start opened or joined the shared stack, not yet given back
    MutexHandle mutex;  // the mutex its cold start created, while running
    PortHandle port;    // the port the driver opened for it and has not closed, in any state
    void *objectList;   // an ended run's lists, taken from the block when it ended intact: the next
    void *usedAreaList; // cold start gives them back, whatever the block holds by then
};

InstanceRecord LookUpInstance(const DriverInstance *block);

// The mutex of a running, intact block; 0 for any other block (its wait then fails as on a closed one).
MutexHandle InstanceMutex(const DriverInstance *block);
// Ended by EndKvi, not started again since, and still showing the ending flag EndKvi wrote.
bool InstanceEnded(const DriverInstance *block);
// Running and intact: its flags, list heads and station slots are the driver's own.
bool InstanceRunning(const DriverInstance *block);

// A cold start created this mutex for the block: it runs from now on. The port, the stack and the
// failure mark of any earlier run must have been given back first. False when the table is full.
bool InstanceStart(DriverInstance *block, MutexHandle mutex);
// The block's port: the handle is written into the block and kept here (0: it has none any more).
// False when the table is full (a port opened outside a run, for a block the table does not know).
bool InstanceSetPort(DriverInstance *block, PortHandle port);
// The running block's mutex, cleared in the block and here, for the caller to close; 0 when none.
MutexHandle InstanceTakeMutex(DriverInstance *block);
void InstanceSetStack(const DriverInstance *block, bool holds);
void InstanceStartFailed(const DriverInstance *block);
// EndKvi: no longer running, reads answered at once; a port whose close failed stays recorded, and so do
// the run's lists when the block still held what the driver wrote.
void InstanceEnd(DriverInstance *block);
// The lists an ended run left: handed to the caller to give back, and forgotten here.
void InstanceTakeLists(const DriverInstance *block, void **objectList, void **usedAreaList);
