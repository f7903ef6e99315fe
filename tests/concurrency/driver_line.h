// One driver instance on a line of its own, driven as the host drives it: the shared fixture's
// simulator, scratch directory and host runtime, with KviMain called here under a driver number that
// may be another process's, so that two processes can share one named mutex. 32-bit gates carry
// values distinct enough that a reply of another request or another line shows as a wrong value.
#pragma once

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kesta.h"
#include "plc/registry.h"
#include "support/driver_fixture.h"
#include "tools/sim/sim.h"

namespace concurrency {

using Clock = std::chrono::steady_clock;

inline long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class DriverLine {
public:
    // number 0: the fixture's own driver number.
    explicit DriverLine(uint32_t number = 0) : number_(number != 0 ? number : f_.driverNumber()) {}
    ~DriverLine() {
        if (started_)
            End();
        ReleaseRegistry();
    }
    DriverLine(const DriverLine &) = delete;
    DriverLine &operator=(const DriverLine &) = delete;

    bool ok() const { return f_.ok(); }
    const std::string &error() const { return f_.error(); }
    uint32_t number() const { return number_; }
    kesta::sim::Simulator &sim() { return f_.sim(); }
    kesta::sim::Station &station(uint8_t address) { return f_.station(address); }
    DriverInstance &instance() { return f_.instance(); }
    DriverFixture &fixture() { return f_; }

    uint32_t Kvi(uint32_t code, void *record = nullptr) {
        DriverCall call;
        memset(&call, 0, sizeof call);
        call.instance = &f_.instance();
        call.functionCode = code;
        call.driverNumber = number_;
        call.argRecord = record;
        return KviMain(&call);
    }

    // The init file is read from the current directory, which is the scratch directory of the
    // fixture made last: it is written there, under this instance's driver number.
    void WriteInitFile(const std::string &text) const {
        char name[32];
        snprintf(name, sizeof name, "KESTA%02u.INT", number_);
        std::ofstream out(name, std::ios::binary);
        out << text;
    }

    // portName: the line under another name than its device's (a link, DriverFixture::LinkLine).
    uint32_t ColdStart(uint32_t timeout, const std::string &portName = std::string()) {
        if (!f_.StartLine())
            return 99;
        PortConfig config;
        memset(&config, 0, sizeof config);
        snprintf(config.portName, sizeof config.portName, "%s",
                 portName.empty() ? f_.sim().portName().c_str() : portName.c_str());
        config.usePort = 1;
        config.timeout = timeout;
        config.lineParams = LineParams{57600, 8, 0, 1};
        started_ = true;
        return Kvi(KVI_COLD_START, &config);
    }

    uint32_t End() {
        started_ = false;
        return Kvi(KVI_END);
    }

    // blockLength 0: a single gate (code 3); else a block gate of that many elements (code 4).
    uint32_t Parse(DriverFixture::Gate &gate, const std::string &address, uint32_t gateType = GATE_SIGNED32,
                   uint32_t blockLength = 0) {
        gate.PrepareParse(address, gateType, blockLength);
        const uint32_t rc = Kvi(blockLength != 0 ? KVI_BLOCK_ADDRESS_PARSER : KVI_SINGLE_ADDRESS_PARSER, &gate.parse);
        gate.CarryParse();
        return rc;
    }

    // A 32-bit gate's value is the whole cell in host order.
    uint32_t Read(DriverFixture::Gate &gate, int32_t *value) {
        memset(gate.cell, 0, 4);
        gate.rw.elementCount = 1;
        gate.rw.valueCell = gate.cell;
        const uint32_t rc = Kvi(KVI_SINGLE_READ, &gate.rw);
        memcpy(value, gate.cell, 4);
        return rc;
    }

    // count 32-bit elements of a block gate, in host order.
    uint32_t ReadBlock(DriverFixture::Gate &gate, uint32_t count, int32_t *values) {
        memset(gate.cell, 0, 4u * count);
        gate.rw.elementCount = count;
        gate.rw.valueCell = gate.cell;
        const uint32_t rc = Kvi(KVI_BLOCK_READ, &gate.rw);
        memcpy(values, gate.cell, 4u * count);
        return rc;
    }

    uint32_t Write(DriverFixture::Gate &gate, int32_t value) {
        memcpy(gate.cell, &value, 4);
        gate.rw.elementCount = 1;
        gate.rw.valueCell = gate.cell;
        return Kvi(KVI_SINGLE_WRITE, &gate.rw);
    }

    // The registry lives until the process ends in the driver; a test gives it back.
    void ReleaseRegistry() { GiveBackLists(&f_.instance()); }

private:
    DriverFixture f_;
    uint32_t number_;
    bool started_ = false;
};

// Frames the master sent on a line: how many, how many to another address than station, how many
// with a bad checksum. Two exchanges mixed on one line would show as bad frames at the station.
struct MasterFrames {
    size_t total = 0;
    size_t elsewhere = 0;
    size_t invalid = 0;
};

inline MasterFrames CountMasterFrames(const kesta::sim::Simulator &sim, uint8_t station) {
    MasterFrames out;
    for (const kesta::sim::TrafficRecord &r : sim.traffic()) {
        if (r.direction != kesta::sim::Direction::FromMaster)
            continue;
        out.total++;
        if (r.destination != station)
            out.elsewhere++;
        if (!r.valid)
            out.invalid++;
    }
    return out;
}

// Every master frame answered before the next one goes out: the traffic alternates master, station.
// Returns the number of places where two master frames follow each other.
inline size_t UnansweredFrames(const kesta::sim::Simulator &sim) {
    size_t count = 0;
    bool awaiting = false;
    for (const kesta::sim::TrafficRecord &r : sim.traffic()) {
        if (r.direction == kesta::sim::Direction::FromMaster) {
            if (awaiting)
                count++;
            awaiting = true;
        } else {
            awaiting = false;
        }
    }
    return count;
}

// A helper process: this test binary again, running one disabled helper test with the given
// environment. Waits are bounded; a helper that outlives its bound is killed and reported as 124.
class HelperProcess {
public:
    HelperProcess(const std::string &test, const std::vector<std::string> &environment) {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return;
        self[n] = '\0';
        // Everything the child needs is made before the fork: other threads (a simulator's line) may
        // hold the allocator's lock at that moment, so the child only calls execve.
        std::string filter = "--gtest_filter=" + test;
        std::vector<std::string> settings(environment);
        for (char **e = environ; *e != nullptr; ++e)
            settings.push_back(*e);
        std::vector<char *> envp;
        for (std::string &setting : settings)
            envp.push_back(&setting[0]);
        envp.push_back(nullptr);
        std::string also = "--gtest_also_run_disabled_tests";
        char *argv[] = {self, &filter[0], &also[0], nullptr};
        pid_ = fork();
        if (pid_ == 0) {
            execve(self, argv, envp.data());
            _exit(127);
        }
    }
    ~HelperProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    HelperProcess(const HelperProcess &) = delete;
    HelperProcess &operator=(const HelperProcess &) = delete;

    bool started() const { return pid_ > 0; }

    // The helper's exit status, 124 when it did not end within the bound, -1 when it died of a signal.
    int Wait(std::chrono::milliseconds bound) {
        const Clock::time_point start = Clock::now();
        for (;;) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (done < 0 || MillisecondsSince(start) > bound.count()) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                reaped_ = true;
                return 124;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

} // namespace concurrency
