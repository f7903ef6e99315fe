#include "support/driver_fixture.h"

#include "host/instances.h"
#include "plc/registry.h"
#include "support/instance_block.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace {

std::string CurrentDir() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

// Driver numbers (and so mutex names) that no other test process uses at the same time.
uint32_t NextDriverNumber() {
    static uint32_t next = 0;
    return 200000u + (static_cast<uint32_t>(getpid()) % 10000u) * 10u + (next++ % 10u);
}

} // namespace

void GiveBackLists(DriverInstance *block) {
    if (InstanceRunning(block)) {
        ReleaseRegistry(block);
        return;
    }
    void *objects = nullptr;
    void *areas = nullptr;
    InstanceTakeLists(block, &objects, &areas);
    ReleaseRegistryLists(objects, areas);
    if (objects != nullptr && block->ObjectList == objects) {
        block->ObjectList = nullptr;
    }
    if (areas != nullptr && block->UsedAreaList == areas) {
        block->UsedAreaList = nullptr;
    }
}

DriverFixture::DriverFixture() : sim_(new kesta::sim::Simulator), instance_(new DriverInstance) {
    PrepareHostBlock(instance_.get());
    driverNumber_ = NextDriverNumber();
#ifdef TALRUN_SO_PATH
    if (hostlog::Attach(TALRUN_SO_PATH) == nullptr) {
        error_ = "cannot load the reference host runtime";
        return;
    }
#endif
    hostlog::Clear();
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kesta-it-XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) {
        error_ = "cannot make a scratch directory";
        return;
    }
    dir_ = templ;
    previousDir_ = CurrentDir();
    if (chdir(dir_.c_str()) != 0) {
        error_ = "cannot enter the scratch directory";
        return;
    }
    if (!sim_->createPty(&error_)) {
        return;
    }
    ok_ = true;
}

DriverFixture::~DriverFixture() {
    if (started_) {
        End();
    }
    sim_->stop();
    if (!previousDir_.empty() && chdir(previousDir_.c_str()) != 0) {
        fprintf(stderr, "cannot return to %s\n", previousDir_.c_str());
    }
    if (!dir_.empty()) {
        std::string command = "rm -rf '" + dir_ + "'";
        if (system(command.c_str()) != 0) {
            fprintf(stderr, "cannot remove %s\n", dir_.c_str());
        }
    }
    char name[32];
    snprintf(name, sizeof name, "/SEMKESTA%02u", driverNumber_);
    shm_unlink(name);
}

bool DriverFixture::StartLine() {
    if (sim_->running()) {
        return true;
    }
    return sim_->start(&error_);
}

std::string DriverFixture::LinkLine() {
    // At most 11 characters as a port name: "shm/k" and six digits, unique to this process and call.
    static uint32_t next = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[16];
        snprintf(name, sizeof name, "shm/k%06u", (static_cast<uint32_t>(getpid()) * 37u + next++) % 1000000u);
        const std::string path = std::string("/dev/") + name;
        if (access(path.c_str(), F_OK) == 0) {
            continue; // another process's line
        }
        if (sim_->linkPty(path, &error_)) {
            return name;
        }
    }
    return std::string();
}

void DriverFixture::WriteInitFile(const std::string &text) const {
    char name[32];
    snprintf(name, sizeof name, "KESTA%02d.INT", static_cast<int>(driverNumber_));
    std::ofstream out(dir_ + "/" + name, std::ios::binary);
    out << text;
}

uint32_t DriverFixture::Call(uint32_t functionCode, void *argRecord) {
    DriverCall call{};
    call.instance = instance_.get();
    call.functionCode = functionCode;
    call.driverNumber = driverNumber_;
    call.argRecord = argRecord;
    return KviMain(&call);
}

uint32_t DriverFixture::ColdStart(uint32_t timeout, uint32_t usePort, const char *portName) {
    if (portName == nullptr && !StartLine()) {
        return 99;
    }
    PortConfig config{};
    const std::string name = portName != nullptr ? std::string(portName) : sim_->portName();
    snprintf(config.portName, sizeof config.portName, "%s", name.c_str());
    config.usePort = usePort;
    config.timeout = timeout;
    config.lineParams = LineParams{57600, 8, 0, 1};
    const uint32_t rc = Call(KVI_COLD_START, &config);
    started_ = true;
    return rc;
}

uint32_t DriverFixture::End() {
    started_ = false;
    return Call(KVI_END);
}

uint32_t DriverFixture::Parse(Gate &gate, const std::string &address, uint32_t gateType, bool block,
                              uint32_t blockLength) {
    gate.PrepareParse(address, gateType, blockLength);
    const uint32_t rc = Call(block ? KVI_BLOCK_ADDRESS_PARSER : KVI_SINGLE_ADDRESS_PARSER, &gate.parse);
    gate.CarryParse();
    return rc;
}

void DriverFixture::Gate::PrepareParse(const std::string &text, uint32_t gateType, uint32_t blockLength) {
    address = text;
    parse = GateAddressParse{};
    parse.addressString = address.c_str();
    parse.gateType = gateType;
    parse.blockLength = blockLength;
}

void DriverFixture::Gate::CarryParse() {
    rw = GateAddressRW{};
    rw.addressString = address.c_str();
    rw.station = parse.station;
    rw.typeCode = parse.typeCode;
    rw.offset = parse.offset;
    rw.toggleHandle = parse.toggleHandle;
    rw.elementBits = parse.elementBits;
}

uint32_t DriverFixture::Read(Gate &gate, bool block, uint32_t elementCount) {
    gate.rw.elementCount = elementCount;
    gate.rw.valueCell = gate.cell;
    return Call(block ? KVI_BLOCK_READ : KVI_SINGLE_READ, &gate.rw);
}

uint32_t DriverFixture::Write(Gate &gate, const uint8_t cell[4]) {
    memcpy(gate.cell, cell, 4);
    gate.rw.elementCount = 1;
    gate.rw.valueCell = gate.cell;
    return Call(KVI_SINGLE_WRITE, &gate.rw);
}

std::vector<std::string> DriverFixture::Texts(int level) const {
    std::vector<std::string> texts;
    for (const LoggedMessage &m : hostlog::Messages()) {
        if (level < 0 || m.level == level) {
            texts.push_back(m.text);
        }
    }
    return texts;
}

bool DriverFixture::Logged(const std::string &text) const { return Count(text) > 0; }

size_t DriverFixture::Count(const std::string &text) const {
    const std::vector<std::string> texts = Texts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}
