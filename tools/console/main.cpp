// kesta-host: a console host for the KESTA driver. It loads libkesta.so as a host does, cold-starts a
// line, parses a gate file, and polls the gates: a live table on a terminal, or one snapshot (text or
// CSV) for scripts; writes from the command line or the console's prompt. --simulate brings its own
// PLC station on a pseudo-terminal, so it runs on a machine with nothing attached.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tools/console/demo.h"
#include "tools/console/session.h"
#include "tools/console/view.h"
#include "tools/sim/sim.h"

using namespace kesta::console;

#ifndef KESTA_SO_PATH
#define KESTA_SO_PATH nullptr
#endif
#ifndef TALRUN_SO_PATH
#define TALRUN_SO_PATH nullptr
#endif

namespace {

volatile sig_atomic_t quitRequested = 0;
volatile sig_atomic_t resized = 0;
void OnQuit(int) { quitRequested = 1; }
void OnResize(int) { resized = 1; }

const char kUsage[] =
    "usage: kesta-host --port NAME --gates FILE [options]              poll and show the gates\n"
    "       kesta-host --port NAME [--gates FILE] write ADDRESS VALUE ...  write gates, then read them back\n"
    "       kesta-host --simulate [options]                             the same against a simulated PLC\n"
    "\n"
    "Loads libkesta.so as a host does (KviMain, with the reference host runtime libtalrun.so), cold-starts\n"
    "the line, parses every gate of the gate file and reads them every interval. On a terminal the table\n"
    "is redrawn in place and a prompt takes commands; otherwise, or with --once, one snapshot is printed\n"
    "and the exit status is 1 if any gate failed (2 when the console could not run at all).\n"
    "\n"
    "line:\n"
    "  --port NAME         serial port: ttyS0, ttyUSB0, pts/3 (under /dev) or a full path; at most 11 characters\n"
    "  --baud N            baud rate (57600)\n"
    "  --parity P          none, odd, even, mark, space (odd)\n"
    "  --data-bits N       data bits (8)\n"
    "  --stop-bits S       1, 1.5 or 2 (1)\n"
    "  --timeout T         the port's read time-out, e.g. 200ms (200ms; the driver counts in 10 ms)\n"
    "  --driver N          driver number: init file KESTAnn.INT in the current directory, mutex SEMKESTAnn (1)\n"
    "gates:\n"
    "  --gates FILE        one gate a line: ADDRESS TYPE [single | block LENGTH]; '#' comments\n"
    "                      TYPE: UNSIGNED16 SIGNED16 FLOAT SIGNED32 UNSIGNED32 DIGITAL STRING, or 0..7\n"
    "  --interval T        time between polls, e.g. 500ms or 2s (1s)\n"
    "output:\n"
    "  --once              one snapshot, then exit\n"
    "  --csv               the snapshot as CSV (address,kind,type,elements,value,result,last_good,errors,note)\n"
    "  --verbose           show the driver's debug messages (level 8) too\n"
    "  --log FILE          append the driver's messages to FILE as well\n"
    "  --trace FILE        keep the driver's frame trace (KESTA_TRACE) in FILE; net2000-decode reads it\n"
    "simulation:\n"
    "  --simulate          start a simulated PLC station (address 2) on a pseudo-terminal and use it\n"
    "  --sim-config FILE   the simulated stations from FILE instead (net2000-sim's format); give --gates\n"
    "  --sim-hex FILE      the simulated line's bytes as a hex capture\n"
    "libraries:\n"
    "  --kesta-lib PATH    the driver (default: libkesta.so beside this program, else the build's)\n"
    "  --talrun-lib PATH   the reference host runtime (default: libtalrun.so, found the same way)\n"
    "\n"
    "Prompt commands: w ADDRESS VALUE (ADDRESS:TYPE for a gate not in the list), v (level 8 on/off),\n"
    "q (quit). Ctrl-C ends as well; the line is always closed with EndKvi.\n";

struct Options {
    LineSettings line;
    std::string gates;
    uint32_t intervalMs = 1000;
    uint32_t driverNumber = 1;
    bool once = false, csv = false, verbose = false, simulate = false;
    std::string logFile, traceFile, simConfig, simHex, kestaLib, talrunLib;
    std::vector<std::string> writes; // ADDRESS VALUE pairs
    bool writeMode = false;
};

bool Duration(const std::string &text, double unitMs, double *ms) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !(v >= 0) || !std::isfinite(v))
        return false;
    const std::string unit(end);
    if (unit.empty())
        *ms = v * unitMs;
    else if (unit == "ms")
        *ms = v;
    else if (unit == "s")
        *ms = v * 1000;
    else
        return false;
    return true;
}

bool Unsigned(const std::string &text, unsigned long max, unsigned long *v) {
    char *end = nullptr;
    errno = 0;
    *v = std::strtoul(text.c_str(), &end, 10);
    return !text.empty() && text[0] != '-' && *end == '\0' && errno == 0 && *v <= max;
}

int Usage(const std::string &why) {
    std::fprintf(stderr, "kesta-host: %s\n(kesta-host --help tells more)\n", why.c_str());
    return 2;
}

// 0 to go on, else the exit status.
int ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (o->writeMode) {
            o->writes.push_back(arg);
            continue;
        }
        auto value = [&](std::string *out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        unsigned long n = 0;
        double ms = 0;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (arg == "write") {
            o->writeMode = true;
        } else if (arg == "--once") {
            o->once = true;
        } else if (arg == "--csv") {
            o->csv = true;
        } else if (arg == "--verbose") {
            o->verbose = true;
        } else if (arg == "--simulate") {
            o->simulate = true;
        } else if (arg == "--port") {
            if (!value(&o->line.port))
                return Usage("--port wants a port name");
        } else if (arg == "--baud") {
            if (!value(&v) || !Unsigned(v, 65535, &n) || n == 0)
                return Usage("--baud wants a rate from 1 to 65535 (the host's records hold 16 bits)");
            o->line.baud = static_cast<uint16_t>(n);
        } else if (arg == "--parity") {
            static const char *names[] = {"none", "odd", "even", "mark", "space"};
            bool found = false;
            if (value(&v))
                for (uint16_t p = 0; p < 5; ++p)
                    if (v == names[p]) {
                        o->line.parity = p;
                        found = true;
                    }
            if (!found)
                return Usage("--parity wants none, odd, even, mark or space");
        } else if (arg == "--data-bits") {
            if (!value(&v) || !Unsigned(v, 8, &n) || n < 5)
                return Usage("--data-bits wants 5 to 8");
            o->line.dataBits = static_cast<uint16_t>(n);
        } else if (arg == "--stop-bits") {
            if (!value(&v) || (v != "1" && v != "1.5" && v != "2"))
                return Usage("--stop-bits wants 1, 1.5 or 2");
            o->line.stopBits = v == "1" ? 0 : v == "1.5" ? 1 : 2;
        } else if (arg == "--timeout") {
            if (!value(&v) || !Duration(v, 1, &ms) || ms < 10 || ms > 600000)
                return Usage("--timeout wants a time from 10ms to 600s, e.g. 200ms");
            o->line.timeoutUnits = static_cast<uint32_t>(std::lround(ms / 10));
        } else if (arg == "--interval") {
            if (!value(&v) || !Duration(v, 1000, &ms) || ms > 86400000)
                return Usage("--interval wants a time such as 500ms or 2s");
            o->intervalMs = static_cast<uint32_t>(std::lround(ms));
        } else if (arg == "--driver") {
            if (!value(&v) || !Unsigned(v, 0xFFFFFFFFul, &n))
                return Usage("--driver wants a driver number");
            o->driverNumber = static_cast<uint32_t>(n);
        } else if (arg == "--gates") {
            if (!value(&o->gates))
                return Usage("--gates wants a file");
        } else if (arg == "--log") {
            if (!value(&o->logFile))
                return Usage("--log wants a file");
        } else if (arg == "--trace") {
            if (!value(&o->traceFile))
                return Usage("--trace wants a file");
        } else if (arg == "--sim-config") {
            if (!value(&o->simConfig))
                return Usage("--sim-config wants a file");
        } else if (arg == "--sim-hex") {
            if (!value(&o->simHex))
                return Usage("--sim-hex wants a file");
        } else if (arg == "--kesta-lib") {
            if (!value(&o->kestaLib))
                return Usage("--kesta-lib wants a path");
        } else if (arg == "--talrun-lib") {
            if (!value(&o->talrunLib))
                return Usage("--talrun-lib wants a path");
        } else {
            return Usage("unknown argument " + arg);
        }
    }
    if (o->writeMode && (o->writes.empty() || o->writes.size() % 2 != 0))
        return Usage("write wants ADDRESS VALUE pairs");
    if (!o->simulate && o->line.port.empty())
        return Usage("give the serial port with --port (or --simulate)");
    if (!o->simulate && !o->simConfig.empty())
        return Usage("--sim-config goes with --simulate");
    if (o->simulate && !o->simConfig.empty() && o->gates.empty() && !o->writeMode)
        return Usage("--sim-config needs the gates to show (--gates)");
    if (!o->simulate && o->gates.empty() && !o->writeMode)
        return Usage("give the gates with --gates FILE");
    if (o->line.port.size() > 11)
        return Usage("port names are at most 11 characters (the driver's record holds 12 with the end)");
    return 0;
}

// ---- The terminal -------------------------------------------------------------------------------

class Terminal {
public:
    bool open() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0)
            return false;
        struct termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        active_ = true;
        put("\x1b[?1049h\x1b[H\x1b[2J");
        return true;
    }
    void close() {
        if (!active_)
            return;
        put("\x1b[?25h\x1b[?1049l");
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        active_ = false;
    }
    ~Terminal() { close(); }
    void size(size_t *rows, size_t *cols) const {
        struct winsize ws;
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
            *rows = ws.ws_row;
            *cols = ws.ws_col;
        } else {
            *rows = 24;
            *cols = 80;
        }
    }
    static void put(const std::string &text) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                return;
            }
            done += static_cast<size_t>(n);
        }
    }

private:
    struct termios saved_;
    bool active_ = false;
};

// ---- The live console ---------------------------------------------------------------------------

class Live {
public:
    Live(Session &session, const Options &options, const std::string &lineText)
        : s_(session), o_(options), lineText_(lineText) {}

    void run() {
        if (!term_.open())
            return;
        status_ = "h for help";
        auto next = std::chrono::steady_clock::now();
        while (!quitRequested && !quit_) {
            if (std::chrono::steady_clock::now() >= next) {
                cycle();
                next += std::chrono::milliseconds(o_.intervalMs);
                if (next < std::chrono::steady_clock::now())
                    next = std::chrono::steady_clock::now() + std::chrono::milliseconds(o_.intervalMs);
            }
            render();
            const auto wait =
                std::chrono::duration_cast<std::chrono::microseconds>(next - std::chrono::steady_clock::now());
            waitForInput(wait.count() > 0 ? wait.count() : 0);
        }
        term_.close();
    }

private:
    void cycle() {
        for (auto &g : s_.gates) {
            if (quitRequested || quit_)
                return;
            s_.read(*g);
            s_.counters.poll();
            keys(); // a long cycle on a silent line must not keep the prompt deaf
            render();
        }
        s_.cycles++;
    }

    void waitForInput(long long us) {
        fd_set in;
        FD_ZERO(&in);
        FD_SET(STDIN_FILENO, &in);
        struct timeval tv;
        tv.tv_sec = static_cast<time_t>(us / 1000000);
        tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
        if (select(STDIN_FILENO + 1, &in, nullptr, nullptr, &tv) > 0)
            keys();
        if (s_.counters.poll())
            render();
    }

    void keys() {
        char buf[64];
        ssize_t n;
        while ((n = ::read(STDIN_FILENO, buf, sizeof buf)) > 0) {
            for (ssize_t i = 0; i < n; ++i)
                key(static_cast<unsigned char>(buf[i]));
        }
    }

    void key(unsigned char c) {
        if (escape_ == 1) {
            escape_ = c == '[' || c == 'O' ? 2 : 0;
            return;
        }
        if (escape_ == 2) {
            if (c >= 0x40 && c <= 0x7E)
                escape_ = 0;
            return;
        }
        if (c == 0x1B) {
            escape_ = 1;
        } else if (c == '\r' || c == '\n') {
            const std::string command = input_;
            input_.clear();
            execute(command);
            render();
            return;
        } else if (c == 0x7F || c == 0x08) {
            if (!input_.empty())
                input_.pop_back();
        } else if (c == 0x15) {
            input_.clear();
        } else if (c >= 0x20 && c < 0x7F && input_.size() < 300) {
            input_ += static_cast<char>(c);
        }
        prompt();
    }

    // Typing redraws the prompt line only.
    void prompt() {
        size_t rows = 24, cols = 80;
        term_.size(&rows, &cols);
        std::string line = "> " + input_;
        if (line.size() > cols)
            line.resize(cols);
        const size_t cursor = std::min(cols, input_.size() + 3);
        Terminal::put("\x1b[" + std::to_string(rows) + ";1H" + line + "\x1b[K\x1b[" + std::to_string(rows) + ";" +
                      std::to_string(cursor) + "H");
    }

    void execute(const std::string &command) {
        std::istringstream words(command);
        std::vector<std::string> w;
        std::string word;
        while (words >> word)
            w.push_back(word);
        if (w.empty())
            return;
        if (w[0] == "q" || w[0] == "quit" || w[0] == "exit") {
            quit_ = true;
        } else if (w[0] == "v" || w[0] == "verbose") {
            s_.verbose = !s_.verbose;
            status_ = s_.verbose ? "showing level 8 messages" : "showing level 32 messages only";
        } else if ((w[0] == "w" || w[0] == "write") && w.size() == 3) {
            status_ = "writing " + w[1] + " ...";
            render();
            std::string report;
            s_.write(w[1], w[2], &report);
            status_ = report;
        } else if (w[0] == "h" || w[0] == "help" || w[0] == "?") {
            status_ = "w ADDRESS VALUE (ADDRESS:TYPE for a gate not listed) | v level 8 on/off | q quit";
        } else {
            status_ = "not a command: " + command + " (h for help)";
        }
    }

    void render() {
        size_t rows = 24, cols = 80;
        term_.size(&rows, &cols);
        resized = 0;
        std::vector<std::string> screen;
        char head[256];
        std::snprintf(head, sizeof head, "kesta-host  %s | %s | driver %u | every %u ms | cycle %llu | %s",
                      s_.protocol.c_str(), lineText_.c_str(), o_.driverNumber, o_.intervalMs,
                      static_cast<unsigned long long>(s_.cycles), LocalTime(std::time(nullptr), false).c_str());
        screen.push_back(head);
        const size_t body = rows > 3 ? rows - 3 : 0; // header, status, prompt
        std::vector<std::string> table = TableLines(s_, cols);
        std::vector<std::string> records = RecordLines(s_, 4);
        const size_t tableRoom = body > 8 ? body - 8 : body;
        if (table.size() > tableRoom && tableRoom > 1) {
            const size_t hidden = table.size() - (tableRoom - 1);
            table.resize(tableRoom - 1);
            table.push_back("  .. " + std::to_string(hidden) + " more gates (a larger window shows them)");
        }
        for (const std::string &l : table)
            screen.push_back(l);
        screen.push_back("");
        screen.push_back(CountersLine(s_.counters));
        if (!records.empty() && screen.size() + 2 < body + 1) {
            screen.push_back("EWT records, newest first:");
            for (const std::string &l : records)
                if (screen.size() < body)
                    screen.push_back("  " + l);
        }
        if (screen.size() + 2 <= body + 1) {
            screen.push_back(std::string("driver log") +
                             (s_.verbose ? " (levels 32 and 8):" : " (level 32; v shows level 8):"));
            const size_t room = body + 1 > screen.size() ? body + 1 - screen.size() : 0;
            for (const std::string &l : LogLines(s_, room))
                screen.push_back("  " + l);
        }
        screen.resize(rows > 2 ? rows - 2 : 0);
        screen.push_back(status_);
        screen.push_back("> " + input_);
        std::string out = "\x1b[?25l\x1b[H";
        for (size_t i = 0; i < screen.size(); ++i) {
            std::string l = screen[i];
            if (l.size() > cols)
                l.resize(cols);
            out += l + "\x1b[K";
            if (i + 1 < screen.size())
                out += "\r\n";
        }
        const size_t cursor = std::min(cols, input_.size() + 3);
        out += "\x1b[" + std::to_string(screen.size()) + ";" + std::to_string(cursor) + "H\x1b[?25h";
        Terminal::put(out);
    }

    Session &s_;
    const Options &o_;
    std::string lineText_;
    Terminal term_;
    std::string input_, status_;
    int escape_ = 0;
    bool quit_ = false;
};

// ---- Snapshots and writes -----------------------------------------------------------------------

int Snapshot(Session &s, const Options &o, const std::string &lineText) {
    for (auto &g : s.gates) {
        if (quitRequested)
            break;
        s.read(*g);
    }
    s.end();
    s.counters.poll();
    bool failed = false;
    for (const auto &g : s.gates)
        failed = failed || g->failed();
    if (o.csv) {
        std::fputs(Csv(s).c_str(), stdout);
        for (const std::string &l : LogLines(s, s.log.size()))
            std::fprintf(stderr, "%s\n", l.c_str());
        return failed ? 1 : 0;
    }
    std::printf("kesta-host  %s | %s | driver %u\n", s.protocol.c_str(), lineText.c_str(), o.driverNumber);
    for (const std::string &l : TableLines(s, 0))
        std::printf("%s\n", l.c_str());
    const std::vector<std::string> records = RecordLines(s, s.records.size());
    if (!records.empty()) {
        std::printf("\nEWT records, newest first:\n");
        for (const std::string &l : records)
            std::printf("  %s\n", l.c_str());
    }
    std::printf("\n%s\n", CountersLine(s.counters).c_str());
    std::printf("\ndriver log%s:\n", s.verbose ? " (levels 32 and 8)" : " (level 32)");
    for (const std::string &l : LogLines(s, s.log.size()))
        std::printf("  %s\n", l.c_str());
    return failed ? 1 : 0;
}

int Writes(Session &s, const Options &o) {
    int status = 0;
    for (size_t i = 0; i + 1 < o.writes.size(); i += 2) {
        std::string report;
        const bool ok = s.write(o.writes[i], o.writes[i + 1], &report);
        std::printf("%s\n", report.c_str());
        if (!ok)
            status = 1;
    }
    s.end();
    if (status != 0 || o.verbose)
        for (const std::string &l : LogLines(s, s.log.size()))
            std::fprintf(stderr, "%s\n", l.c_str());
    return status;
}

std::string LineText(const LineSettings &line, bool simulated) {
    static const char parity[] = "NOEMS";
    static const char *stops[] = {"1", "1.5", "2"};
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s %u %u%c%s%s", line.port.c_str(), line.baud, line.dataBits,
                  line.parity < 5 ? parity[line.parity] : '?', line.stopBits < 3 ? stops[line.stopBits] : "?",
                  simulated ? " (simulated station)" : "");
    return buf;
}

std::string TempTrace() {
    const char *dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/kesta-host-trace-XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd < 0)
        return std::string();
    ::close(fd);
    return path;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    const int bad = ParseOptions(argc, argv, &o);
    if (bad != 0)
        return bad < 0 ? 0 : bad;

    // The gates.
    std::vector<GateEntry> entries;
    std::vector<std::string> errors;
    if (!o.gates.empty())
        LoadGateFile(o.gates, &entries, &errors);
    else if (o.simulate && o.simConfig.empty())
        ParseGateText(kDemoGates, "demo gates", &entries, &errors);
    if (!errors.empty()) {
        for (const std::string &e : errors)
            std::fprintf(stderr, "%s\n", e.c_str());
        return 2;
    }

    // The simulated station.
    std::unique_ptr<kesta::sim::Simulator> sim;
    FILE *simHex = nullptr;
    if (o.simulate) {
        sim = std::make_unique<kesta::sim::Simulator>();
        std::string error;
        const bool loaded = o.simConfig.empty()
                                ? kesta::sim::LoadConfigText(kDemoStationConfig, "demo station", *sim, &error)
                                : kesta::sim::LoadConfig(o.simConfig, *sim, &error);
        if (!loaded || !sim->createPty(&error)) {
            std::fprintf(stderr, "kesta-host: simulated station: %s\n", error.c_str());
            return 2;
        }
        if (!o.simHex.empty()) {
            simHex = std::fopen(o.simHex.c_str(), "w");
            if (simHex == nullptr) {
                std::fprintf(stderr, "kesta-host: %s: %s\n", o.simHex.c_str(), std::strerror(errno));
                return 2;
            }
            sim->setHexCapture(simHex);
        }
        if (!sim->start(&error)) {
            std::fprintf(stderr, "kesta-host: simulated station: %s\n", error.c_str());
            return 2;
        }
        o.line.port = sim->portName();
    }

    // The driver's frame trace carries the link counters; the console reads them from it.
    std::string trace = o.traceFile;
    bool ownTrace = false;
    const char *envTrace = std::getenv("KESTA_TRACE");
    if (trace.empty() && envTrace != nullptr && envTrace[0] != '\0')
        trace = envTrace;
    if (trace.empty()) {
        trace = TempTrace();
        ownTrace = !trace.empty();
    }
    if (!trace.empty()) {
        setenv("KESTA_TRACE", trace.c_str(), 1);
        setenv("KESTA_TRACE_PERIOD", "1", 0);
    }

    Session s;
    s.verbose = o.verbose;
    s.line = o.line;
    s.host.driverNumber = o.driverNumber;
    std::string error;
    const std::string driverPath = FindLibrary(o.kestaLib, "libkesta.so", KESTA_SO_PATH);
    const std::string runtimePath = FindLibrary(o.talrunLib, "libtalrun.so", TALRUN_SO_PATH);
    if (!s.host.load(driverPath, runtimePath, &error)) {
        std::fprintf(stderr, "kesta-host: %s\n", error.c_str());
        return 2;
    }
    if (!o.logFile.empty()) {
        s.logFile = std::fopen(o.logFile.c_str(), "a");
        if (s.logFile == nullptr) {
            std::fprintf(stderr, "kesta-host: %s: %s\n", o.logFile.c_str(), std::strerror(errno));
            return 2;
        }
    }
    if (!trace.empty())
        s.counters.open(trace);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnQuit;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = OnResize;
    sigaction(SIGWINCH, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const std::string lineText = LineText(o.line, o.simulate);
    int status = 0;
    if (!s.start(&error)) {
        std::fprintf(stderr, "kesta-host: %s\n", error.c_str());
        s.end();
        for (const std::string &l : LogLines(s, s.log.size()))
            std::fprintf(stderr, "  %s\n", l.c_str());
        status = 2;
    } else {
        for (const GateEntry &entry : entries)
            s.add(entry);
        for (auto &g : s.gates) {
            if (quitRequested)
                break;
            s.parse(*g);
        }
        if (o.writeMode) {
            status = Writes(s, o);
        } else if (o.once || o.csv || !isatty(STDOUT_FILENO) || !isatty(STDIN_FILENO)) {
            status = Snapshot(s, o, lineText);
        } else {
            Live live(s, o, lineText);
            live.run();
            s.end();
            s.counters.poll();
            std::printf("%s\n", CountersLine(s.counters).c_str());
        }
    }

    if (sim)
        sim->stop();
    if (simHex != nullptr)
        std::fclose(simHex);
    if (s.logFile != nullptr)
        std::fclose(s.logFile);
    if (ownTrace)
        unlink(trace.c_str());
    return status;
}
