// The driver as the host drives it, against the project's station simulator on a pseudo-terminal:
// a scratch current directory (the init file is read from there), the reference host runtime
// capturing every message, and an instance block cold-started through KviMain.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "kesta.h"
#include "support/hostlog.h"
#include "tools/sim/sim.h"

// The object lists of a block given back as the end of the host process would: those of a running block
// from its heads, those of an ended run from the driver's own record of them (the block may show
// anything by then). A block the driver does not run or remember has none to give back.
void GiveBackLists(DriverInstance *block);

class DriverFixture {
public:
    DriverFixture();
    ~DriverFixture(); // ends the instance if it was started, stops the simulator, leaves the directory
    DriverFixture(const DriverFixture &) = delete;
    DriverFixture &operator=(const DriverFixture &) = delete;

    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }

    kesta::sim::Simulator &sim() { return *sim_; }
    kesta::sim::Station &station(uint8_t address = 1) { return sim_->addStation(address); }
    bool StartLine(); // starts the simulator's line thread (ColdStart does it when needed)
    // Links the simulator's line under /dev/shm by a name of its own and returns the port name that
    // opens it ("shm/k1234567"): a line whose device can be pulled and come back under that name. Empty
    // when no link could be made.
    std::string LinkLine();

    // The init file "KESTA%02d.INT" of this driver number in the scratch directory.
    void WriteInitFile(const std::string &text) const;
    std::string dir() const { return dir_; }
    uint32_t driverNumber() const { return driverNumber_; }

    // KviMain with any function code and argument record.
    uint32_t Call(uint32_t functionCode, void *argRecord = nullptr);
    // Cold start on the simulator's line (or on portName when given); timeout in units of 10 ms.
    uint32_t ColdStart(uint32_t timeout = 20, uint32_t usePort = 1, const char *portName = nullptr);
    uint32_t End();
    bool started() const { return started_; }

    // Parse a gate; the record keeps the driver's fields for later reads and writes.
    struct Gate {
        std::string address;
        GateAddressParse parse{};
        GateAddressRW rw{};
        uint8_t cell[4096] = {};
        // The parse record as the host fills it for an address (blockLength 0: a single gate).
        void PrepareParse(const std::string &text, uint32_t gateType, uint32_t blockLength);
        // After the parse: the host carries the driver's five fields into the read/write layout.
        void CarryParse();
    };
    uint32_t Parse(Gate &gate, const std::string &address, uint32_t gateType, bool block = false,
                   uint32_t blockLength = 0);
    uint32_t Read(Gate &gate, bool block = false, uint32_t elementCount = 1);
    uint32_t Write(Gate &gate, const uint8_t cell[4]);

    DriverInstance &instance() { return *instance_; }
    std::vector<LoggedMessage> Messages() const { return hostlog::Messages(); }
    std::vector<std::string> Texts(int level = -1) const; // message texts, of one level or all
    bool Logged(const std::string &text) const;
    size_t Count(const std::string &text) const;
    void ClearMessages() const { hostlog::Clear(); }

private:
    bool ok_ = false;
    std::string error_;
    std::string dir_;
    std::string previousDir_;
    uint32_t driverNumber_ = 0;
    bool started_ = false;
    std::unique_ptr<kesta::sim::Simulator> sim_;
    std::unique_ptr<DriverInstance> instance_;
};
