// net2000-sim: Net2000 PLC stations from a configuration file (the demo stations without one) on a
// serial device or a new pseudo-terminal, until SIGINT or SIGTERM. The traffic log goes to standard
// output or a file; the line's bytes to a hex capture and a pcapng capture when asked.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "tools/decode/pcapng.h"
#include "tools/sim/sim.h"

// tools/sim/demo.cfg, built in (demo_config.cpp is made from it at configure time).
extern const char kSimDemoConfig[];

using namespace kesta::sim;

namespace {

const char kUsage[] =
    "usage: net2000-sim [--config FILE] [--port DEVICE | --pty LINKPATH] [--baud N] [--echo]\n"
    "                   [--faults SCRIPT] [--unplug-ms MS] [--log FILE] [--hex FILE] [--pcapng FILE]\n"
    "                   [--quiet]\n"
    "  --config FILE    stations and objects (see docs/simulator.md); without it the demo\n"
    "                   stations 2 and 3 (the built-in demo.cfg)\n"
    "  --port DEVICE    answer on this serial device\n"
    "  --pty LINKPATH   make a pseudo-terminal and a symlink LINKPATH to its slave, kept\n"
    "                   pointing at the line's device when it comes back after an unplug\n"
    "                   (without --port or --pty a pseudo-terminal is made without link)\n"
    "  --baud N         pace output at N baud, 11 bits a character; 0 = unpaced (default 19200)\n"
    "  --echo           echo every byte the master sends, as an RS485 converter does\n"
    "  --faults SCRIPT    fault scripts: [STATION:]STEPS[;[STATION:]STEPS...], e.g.\n"
    "                   \"2:silence*2,hcs,ok,split=80;3:random=0.05/7\"; station and line\n"
    "                   events: off=MS, restart, drop=NAME, resize=NAME/COUNT, unplug=MS\n"
    "  --unplug-ms MS   SIGUSR1 pulls the line's device out for MS ms (default 3000);\n"
    "                   SIGUSR2 restarts every station (new handles, connections forgotten)\n"
    "  --log FILE       traffic log to FILE instead of standard output\n"
    "  --hex FILE       raw line bytes as hex text\n"
    "  --pcapng FILE    the line as a pcapng capture, one packet per frame (Wireshark with\n"
    "                   net2000.lua, net2000-decode)\n"
    "  --quiet          no traffic log\n";

int Usage(const char *why) {
    std::fprintf(stderr, "net2000-sim: %s\n%s", why, kUsage);
    return 2;
}

bool ApplyFaults(Simulator &sim, const std::string &scriptText, std::string *error) {
    size_t pos = 0;
    while (pos <= scriptText.size()) {
        size_t end = scriptText.find(';', pos);
        if (end == std::string::npos)
            end = scriptText.size();
        std::string part = scriptText.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty())
            continue;
        std::vector<uint8_t> targets;
        const size_t colon = part.find(':');
        if (colon != std::string::npos) {
            char *e = nullptr;
            const unsigned long a = std::strtoul(part.c_str(), &e, 10);
            if (e != part.c_str() + colon || a > 255) {
                *error = "--faults: '" + part.substr(0, colon) + "' is not a station address";
                return false;
            }
            if (!sim.station(static_cast<uint8_t>(a))) {
                *error = "--faults: station " + std::to_string(a) + " is not in the configuration";
                return false;
            }
            targets.push_back(static_cast<uint8_t>(a));
            part = part.substr(colon + 1);
        } else {
            targets = sim.stationAddresses();
        }
        FaultScript script;
        std::string why;
        if (!ParseFaultScript(part, &script, &why)) {
            *error = "--faults: " + why;
            return false;
        }
        for (uint8_t a : targets)
            sim.station(a)->setFaults(script);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    std::string config, port, link, faults, logPath, hexPath, pcapngPath;
    unsigned long baud = 19200;
    unsigned long unplugMs = 3000;
    bool echo = false, quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        if (a == "--config") {
            if (!value(&config))
                return Usage("--config needs a file");
        } else if (a == "--port") {
            if (!value(&port))
                return Usage("--port needs a device");
        } else if (a == "--pty") {
            if (!value(&link))
                return Usage("--pty needs a link path");
        } else if (a == "--baud") {
            std::string b;
            char *e = nullptr;
            if (!value(&b))
                return Usage("--baud needs a number");
            baud = std::strtoul(b.c_str(), &e, 10);
            if (b.empty() || *e || baud > 10000000)
                return Usage("--baud needs a number");
        } else if (a == "--echo") {
            echo = true;
        } else if (a == "--faults") {
            if (!value(&faults))
                return Usage("--faults needs fault steps");
        } else if (a == "--unplug-ms") {
            std::string v;
            char *e = nullptr;
            if (!value(&v))
                return Usage("--unplug-ms needs a number");
            unplugMs = std::strtoul(v.c_str(), &e, 10);
            if (v.empty() || *e || unplugMs > 3600000)
                return Usage("--unplug-ms needs milliseconds up to 3600000");
        } else if (a == "--log") {
            if (!value(&logPath))
                return Usage("--log needs a file");
        } else if (a == "--hex") {
            if (!value(&hexPath))
                return Usage("--hex needs a file");
        } else if (a == "--pcapng") {
            if (!value(&pcapngPath))
                return Usage("--pcapng needs a file");
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            return Usage(("unknown option " + a).c_str());
        }
    }
    if (!port.empty() && !link.empty())
        return Usage("--port and --pty exclude each other");

    Simulator sim;
    std::string error;
    if (config.empty() ? !LoadConfigText(kSimDemoConfig, "demo.cfg", sim, &error) : !LoadConfig(config, sim, &error)) {
        std::fprintf(stderr, "net2000-sim: %s\n", error.c_str());
        return 1;
    }
    if (!faults.empty() && !ApplyFaults(sim, faults, &error)) {
        std::fprintf(stderr, "net2000-sim: %s\n", error.c_str());
        return 1;
    }

    FILE *log = quiet ? nullptr : stdout;
    if (!logPath.empty() && !quiet) {
        log = std::fopen(logPath.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "net2000-sim: %s: %s\n", logPath.c_str(), std::strerror(errno));
            return 1;
        }
    }
    FILE *hex = nullptr;
    if (!hexPath.empty()) {
        hex = std::fopen(hexPath.c_str(), "w");
        if (!hex) {
            std::fprintf(stderr, "net2000-sim: %s: %s\n", hexPath.c_str(), std::strerror(errno));
            return 1;
        }
    }

    sim.setBaud(static_cast<uint32_t>(baud));
    sim.setEcho(echo);
    sim.setTrafficLimit(0); // the log is the record here
    const bool ok = port.empty() ? sim.createPty(&error) : sim.attach(port, &error);
    if (!ok) {
        std::fprintf(stderr, "net2000-sim: %s\n", error.c_str());
        return 1;
    }
    if (!link.empty() && !sim.linkPty(link, &error)) {
        std::fprintf(stderr, "net2000-sim: %s\n", error.c_str());
        return 1;
    }

    // Signals are taken by sigtimedwait below, so they must not interrupt the line thread.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    std::ofstream pcapngFile;
    std::unique_ptr<kesta::decode::CaptureToPcapng> pcapng;
    if (!pcapngPath.empty()) {
        pcapngFile.open(pcapngPath, std::ios::binary | std::ios::trunc);
        if (!pcapngFile) {
            std::fprintf(stderr, "net2000-sim: %s: %s\n", pcapngPath.c_str(), std::strerror(errno));
            return 1;
        }
        // Directions as the master sees them, like the driver's own capture: outbound is what the
        // master wrote, inbound what the stations answered.
        pcapng = std::make_unique<kesta::decode::CaptureToPcapng>(
            pcapngFile, sim.portName(), "Net2000 line on " + sim.devicePath() + " (net2000-sim, station side)",
            "net2000-sim");
        sim.setCaptureObserver([&pcapng, &pcapngFile](char direction, const uint8_t *bytes, size_t n) {
            kesta::decode::Chunk chunk;
            chunk.micros = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
            chunk.direction = direction;
            chunk.bytes.assign(bytes, bytes + n);
            pcapng->feedChunk(chunk);
            pcapngFile.flush(); // a simulator ended by a signal it cannot take still leaves its capture
        });
    }

    sim.setLog(log);
    sim.setHexCapture(hex);
    if (!sim.start(&error)) {
        std::fprintf(stderr, "net2000-sim: %s\n", error.c_str());
        return 1;
    }

    std::string stations;
    for (uint8_t a : sim.stationAddresses())
        stations += (stations.empty() ? "" : ", ") + std::to_string(a);
    const std::string pace = baud ? std::to_string(baud) + " baud" : std::string("unpaced");
    std::printf("net2000-sim: station%s %s on %s (port name %s)%s%s, %s%s\n",
                sim.stationAddresses().size() > 1 ? "s" : "", stations.c_str(), sim.devicePath().c_str(),
                sim.portName().c_str(), link.empty() ? "" : ", linked from ", link.c_str(), pace.c_str(),
                echo ? ", echoing" : "");
    std::fflush(stdout);

    int sig = 0;
    while (sig != SIGINT && sig != SIGTERM) {
        timespec slice{1, 0};
        sig = sigtimedwait(&set, nullptr, &slice);
        if (sig == SIGUSR1) {
            std::printf("net2000-sim: device unplugged for %lu ms\n", unplugMs);
            std::fflush(stdout);
            sim.unplug(std::chrono::milliseconds(unplugMs));
        } else if (sig == SIGUSR2) {
            std::printf("net2000-sim: stations restarted\n");
            std::fflush(stdout);
            for (uint8_t a : sim.stationAddresses())
                sim.station(a)->restart();
        }
    }
    sim.stop();

    const LineStats ls = sim.lineStats();
    std::printf("net2000-sim: stopped; %llu frames in, %llu bad headers, %llu bad data, %llu bytes out\n",
                static_cast<unsigned long long>(ls.framesIn), static_cast<unsigned long long>(ls.badHeaders),
                static_cast<unsigned long long>(ls.badData), static_cast<unsigned long long>(ls.bytesOut));
    for (uint8_t a : sim.stationAddresses()) {
        const StationStats st = sim.station(a)->stats();
        std::printf("  station %u: %llu requests, %llu replies, %llu repeats", a,
                    static_cast<unsigned long long>(st.requests), static_cast<unsigned long long>(st.replies),
                    static_cast<unsigned long long>(st.retransmissions));
        for (size_t k = 1; k < st.faults.size(); ++k)
            if (st.faults[k])
                std::printf(", %s %llu", FaultName(static_cast<FaultKind>(k)),
                            static_cast<unsigned long long>(st.faults[k]));
        std::printf("\n");
    }
    if (log && log != stdout)
        std::fclose(log);
    if (hex)
        std::fclose(hex);
    if (pcapng) {
        sim.setCaptureObserver(nullptr);
        pcapng->finish();
        pcapngFile.close();
    }
    return 0;
}
