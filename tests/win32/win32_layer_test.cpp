// The Win32 platform layer and the port operations on it, linked in directly (not through kesta.dll):
// COM ports by both names, the line state written to the device, read time-outs on a silent line,
// partial reads, the input queue count, purging in 512-byte chunks, the null device, named mutexes,
// sleeping and local time. Runs against the simulator's lines behind two COM ports (the second one
// echoes every byte, which gives the tests input on demand).
// Usage: win32-layer-test [--port COMn] [--echo-port COMm] [--missing-port COMk] [--only TEXT]
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "check.h"
#include "platform/serial_port.h"
#include "platform/system.h"
#include "serial/port.h"

namespace {

struct Options {
    const char *port = "COM5";
    const char *echoPort = nullptr;
    const char *missingPort = "COM9";
    const char *only = nullptr;
};

// The lines under test are pseudo-terminals, which carry no parity bit: they run without parity.
const LineParams kLine = {57600, 8, 0, 0};

// Wine's ntdll names its version; Windows' does not.
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

DWORD Since(DWORD start) { return NowMs() - start; }

// Waits until the port's input queue holds at least `want` bytes (or a few seconds have passed).
uint32_t WaitForInput(PortHandle port, uint32_t want) {
    uint32_t waiting = 0;
    const DWORD start = NowMs();
    do {
        if (PortInputQueue(port, &waiting) != 0) {
            return 0;
        }
        if (waiting >= want) {
            break;
        }
        Sleep(20);
    } while (Since(start) < 5000);
    return waiting;
}

class LayerTest {
public:
    LayerTest(const Options &options, ScenarioRunner &r) : o_(options), r_(r) {}

    void RunAll() {
        r_.Run("the null device NUL: no line state, writes taken, reads empty at once", [&] { NullDevice(); });
        r_.Run("COMn and \\\\.\\COMn open; the line state reaches the device", [&] { OpenAndLineState(); });
        r_.Run("DTR and RTS selections from the flags word", [&] { ControlLines(); });
        r_.Run("a port that does not exist fails to open", [&] { MissingPort(); });
        r_.Run("read time-outs on a silent line, and SetTimeout's answers", [&] { SilentLineTimeouts(); });
        r_.Run("reads straight after the open or with only an interval time-out do not wait for ever",
               [&] { IntervalOnlyTimeout(); });
        r_.Run("echo line: partial read, input queue count, purge in 512-byte chunks", [&] { EchoLine(); });
        r_.Run("exclusive open of a COM port", [&] { ExclusiveOpen(); });
        r_.Run("named mutex: one object per name, bounded waits, abandoned counts as taken", [&] { NamedMutex(); });
        r_.Run("sleep, monotonic clock and local time", [&] { SleepAndTime(); });
    }

private:
    void NullDevice() {
        PortHandle raw = 0;
        CHECK_EQ(r_, 0, plat_port_open("NUL", &raw));
        if (raw != 0) {
            PortLineState state;
            CHECK(r_, plat_port_get_state(raw, &state) != 0);
            PortTimeouts t;
            CHECK(r_, plat_port_get_timeouts(raw, &t) != 0);
            CHECK_EQ(r_, 0, plat_port_close(raw));
        }
        PortHandle port = 0;
        CHECK_EQ(r_, PORT_OK, OpenPort("NUL", &kLine, PORT_FLAGS_COLD_START, &port));
        if (!CHECK(r_, port != 0)) {
            return;
        }
        uint32_t written = 0;
        const unsigned char bytes[5] = {1, 2, 3, 4, 5};
        CHECK_EQ(r_, PORT_OK, WritePort(port, bytes, 5, &written));
        CHECK_EQ(r_, 5, written);
        unsigned char buffer[16];
        uint32_t got = 99;
        const DWORD start = NowMs();
        CHECK_EQ(r_, PORT_ERR_IO, ReadPort(port, buffer, sizeof buffer, &got));
        CHECK_EQ(r_, 0, got);
        CHECK_MSG(r_, Since(start) < 500, "a read on NUL took %lu ms", static_cast<unsigned long>(Since(start)));
        CHECK_EQ(r_, 0, SetTimeout(port, 30));
        PortTrace trace;
        memset(&trace, 0, sizeof trace);
        PortSetTrace(&trace);
        CHECK_EQ(r_, PORT_OK, Purge(port));
        PortSetTrace(nullptr);
        CHECK_EQ(r_, 1, trace.reads); // one empty read
        CHECK_EQ(r_, 0, trace.timeoutWrites);
        CHECK_EQ(r_, PORT_OK, ClosePort(port));
    }

    void OpenAndLineState() {
        for (int spelling = 0; spelling < 2; spelling++) {
            char name[16];
            snprintf(name, sizeof name, spelling == 0 ? "%s" : "\\\\.\\%s", o_.port);
            PortHandle port = 0;
            if (!CHECK_MSG(r_, OpenPort(name, &kLine, PORT_FLAGS_COLD_START, &port) == PORT_OK && port != 0,
                           "OpenPort(%s) failed, error %lu", name, static_cast<unsigned long>(plat_last_error()))) {
                continue;
            }
            PortLineState s;
            if (CHECK(r_, plat_port_get_state(port, &s) == 0)) {
                CHECK_EQ(r_, 57600, s.baudRate);
                CHECK_EQ(r_, 8, s.byteSize);
                CHECK_EQ(r_, 0, s.stopBits);
                CHECK_EQ(r_, 0, s.parity);
                CHECK_EQ(r_, 1, s.binary);
                CHECK_EQ(r_, 0, s.outxCtsFlow);
                CHECK_EQ(r_, 0, s.outX);
                CHECK_EQ(r_, 0, s.inX);
                if (!underWine_) {
                    // What a real port reports; a pseudo-terminal under wine keeps none of it.
                    CHECK_EQ(r_, PORT_DTR_ON, s.dtrControl);
                    CHECK_EQ(r_, PORT_RTS_ON, s.rtsControl);
                    CHECK_EQ(r_, 1, s.parityCheck);
                    CHECK_EQ(r_, 0, s.outxDsrFlow);
                    CHECK_EQ(r_, 0, s.dsrSensitivity);
                    CHECK_EQ(r_, 0, s.errorCharReplace);
                    CHECK_EQ(r_, 0, s.nullDiscard);
                    CHECK_EQ(r_, 0, s.abortOnError);
                    CHECK_EQ(r_, 0xFC, static_cast<unsigned char>(s.errorChar));
                }
            }
            PortTimeouts t;
            if (CHECK(r_, plat_port_get_timeouts(port, &t) == 0)) {
                CHECK_EQ(r_, 0, t.readInterval);
                CHECK_EQ(r_, 0, t.readTotalMultiplier);
                CHECK_EQ(r_, 1000, t.readTotalConstant);
                CHECK_EQ(r_, 0, t.writeTotalMultiplier);
                CHECK_EQ(r_, 0, t.writeTotalConstant);
            }
            CHECK_EQ(r_, PORT_OK, ClosePort(port));
        }
        if (underWine_) {
            r_.Note("the COM ports here are pseudo-terminals: DTR/RTS modes, parity, the parity check and the"
                    " error character are not kept by them and are checked on Linux and real ports only");
        }
        // What the device itself holds, read back on a handle of our own after the layer let go.
        const LineParams other = {19200, 8, 2, 0};
        PortHandle port = 0;
        if (CHECK(r_, OpenPort(o_.port, &other, PORT_FLAGS_COLD_START, &port) == PORT_OK)) {
            CHECK_EQ(r_, PORT_OK, ClosePort(port));
        }
        char path[32];
        snprintf(path, sizeof path, "\\\\.\\%s", o_.port);
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (CHECK_MSG(r_, h != INVALID_HANDLE_VALUE, "CreateFile(%s) failed, error %lu", path, GetLastError())) {
            DCB dcb;
            memset(&dcb, 0, sizeof dcb);
            dcb.DCBlength = sizeof dcb;
            if (CHECK(r_, GetCommState(h, &dcb))) {
                CHECK_EQ(r_, 19200, dcb.BaudRate);
                CHECK_EQ(r_, TWOSTOPBITS, dcb.StopBits);
                CHECK_EQ(r_, NOPARITY, dcb.Parity);
            }
            CloseHandle(h);
        }
        // Odd parity, as the host's default line asks: a pseudo-terminal cannot take it, a real port must.
        const LineParams odd = {57600, 8, 0, 1};
        const int rc = OpenPort(o_.port, &odd, PORT_FLAGS_COLD_START, &port);
        if (underWine_) {
            CHECK_MSG(r_, rc == PORT_OK || rc == PORT_ERR_SET_STATE, "odd parity: OpenPort answered %d", rc);
            r_.Note("odd parity on the pseudo-terminal: OpenPort answered %d (5 when wine passes on the pty's"
                    " refusal, which it does now and then)",
                    rc);
        } else {
            CHECK_EQ(r_, PORT_OK, rc);
        }
        if (rc == PORT_OK) {
            ClosePort(port);
        }
    }

    void ControlLines() {
        struct Row {
            uint16_t flags;
            uint8_t dtr;
            uint8_t rts;
        } rows[] = {
            {0x0000, PORT_DTR_OFF, PORT_RTS_OFF},    {0x0001, PORT_DTR_ON, PORT_RTS_OFF},
            {0x0200, PORT_DTR_OFF, PORT_RTS_ON},     {0x8000 | 0x1000, PORT_DTR_HANDSHAKE, PORT_RTS_HANDSHAKE},
            {0x2000, PORT_DTR_OFF, PORT_RTS_TOGGLE},
        };
        for (const Row &row : rows) {
            PortHandle port = 0;
            const int rc = OpenPort(o_.port, &kLine, row.flags, &port);
            if (underWine_ && row.rts == PORT_RTS_TOGGLE && rc == PORT_ERR_SET_STATE) {
                r_.Note("wine refuses RTS toggle (RTS_CONTROL_TOGGLE): OpenPort answers %d there", rc);
                continue;
            }
            if (!CHECK_MSG(r_, rc == PORT_OK, "flags %#x: OpenPort answered %d", row.flags, rc)) {
                continue;
            }
            PortLineState s;
            if (CHECK(r_, plat_port_get_state(port, &s) == 0) && !underWine_) {
                CHECK_MSG(r_, s.dtrControl == row.dtr && s.rtsControl == row.rts,
                          "flags %#x: DTR %u RTS %u, expected %u %u", row.flags, s.dtrControl, s.rtsControl, row.dtr,
                          row.rts);
            }
            ClosePort(port);
        }
    }

    void MissingPort() {
        PortHandle port = 77;
        CHECK_EQ(r_, PORT_ERR_OPEN, OpenPort(o_.missingPort, &kLine, PORT_FLAGS_COLD_START, &port));
        CHECK_EQ(r_, 0, port);
        PortRecord record;
        memset(&record, 0, sizeof record);
        snprintf(record.portName, sizeof record.portName, "%s", o_.missingPort);
        record.lineParams = kLine;
        CHECK_EQ(r_, 0, OpenPortRecord(&record));
        // A name of twelve characters has no room for its terminator in the host's record.
        memcpy(record.portName, "COM123456789", 12);
        CHECK_EQ(r_, 0, OpenPortRecord(&record));
    }

    void SilentLineTimeouts() {
        PortHandle port = 0;
        if (!CHECK(r_, OpenPort(o_.port, &kLine, PORT_FLAGS_COLD_START, &port) == PORT_OK)) {
            return;
        }
        PortTrace trace;
        memset(&trace, 0, sizeof trace);
        PortSetTrace(&trace);
        CHECK_EQ(r_, 100, SetTimeout(port, 30)); // 1000 ms from the open
        CHECK_EQ(r_, 1, trace.timeoutWrites);
        CHECK_EQ(r_, 30, SetTimeout(port, 30)); // already in force: not written again
        CHECK_EQ(r_, 1, trace.timeoutWrites);
        PortSetTrace(nullptr);

        unsigned char buffer[10];
        uint32_t got = 99;
        DWORD start = NowMs();
        CHECK_EQ(r_, PORT_ERR_IO, ReadPort(port, buffer, sizeof buffer, &got));
        DWORD elapsed = Since(start);
        CHECK_EQ(r_, 0, got);
        CHECK_MSG(r_, elapsed >= 250 && elapsed < 5000, "a 300 ms read on silence took %lu ms",
                  static_cast<unsigned long>(elapsed));
        r_.Note("300 ms read time-out on a silent line: %lu ms", static_cast<unsigned long>(elapsed));

        // Zero units would leave the read without any bound; it gets the open's 1000 ms instead.
        CHECK_EQ(r_, 30, SetTimeout(port, 0));
        start = NowMs();
        CHECK_EQ(r_, PORT_ERR_IO, ReadPort(port, buffer, sizeof buffer, &got));
        elapsed = Since(start);
        CHECK_MSG(r_, elapsed >= 800 && elapsed < 8000, "a read after SetTimeout(0) took %lu ms",
                  static_cast<unsigned long>(elapsed));
        CHECK_EQ(r_, PORT_OK, ClosePort(port));
    }

    void IntervalOnlyTimeout() {
        PortHandle port = 0;
        if (!CHECK(r_, plat_port_open(o_.port, &port) == 0)) {
            return;
        }
        unsigned char buffer[10];
        uint32_t got = 99;
        // Straight after the open, with the time-outs the device had (often none at all, and always none
        // under wine), a read still ends.
        DWORD start = NowMs();
        plat_port_read(port, buffer, sizeof buffer, &got);
        CHECK_EQ(r_, 0, got);
        CHECK_MSG(r_, Since(start) < 8000, "a read straight after the open took %lu ms",
                  static_cast<unsigned long>(Since(start)));
        // An interval alone starts counting only with the first byte: on a silent line that read would
        // never end. The layer bounds it.
        const PortTimeouts intervalOnly = {50, 0, 0, 0, 0};
        CHECK_EQ(r_, 0, plat_port_set_timeouts(port, &intervalOnly));
        PortTimeouts back;
        CHECK(r_, plat_port_get_timeouts(port, &back) == 0 && back.readInterval == 50 && back.readTotalConstant == 0);
        got = 99;
        start = NowMs();
        plat_port_read(port, buffer, sizeof buffer, &got);
        const DWORD elapsed = Since(start);
        CHECK_EQ(r_, 0, got);
        CHECK_MSG(r_, elapsed < 8000, "an interval-only read on silence took %lu ms",
                  static_cast<unsigned long>(elapsed));
        // MAXDWORD as interval with no totals means "return at once with what is there".
        const PortTimeouts immediate = {MAXDWORD, 0, 0, 0, 0};
        CHECK_EQ(r_, 0, plat_port_set_timeouts(port, &immediate));
        const DWORD start2 = NowMs();
        plat_port_read(port, buffer, sizeof buffer, &got);
        CHECK_MSG(r_, Since(start2) < 500, "an immediate read took %lu ms", static_cast<unsigned long>(Since(start2)));
        CHECK_EQ(r_, 0, plat_port_close(port));
    }

    void EchoLine() {
        if (o_.echoPort == nullptr) {
            r_.Skip("no --echo-port given");
            return;
        }
        PortHandle port = 0;
        if (!CHECK(r_, OpenPort(o_.echoPort, &kLine, PORT_FLAGS_COLD_START, &port) == PORT_OK)) {
            return;
        }
        CHECK_EQ(r_, PORT_OK, Purge(port));
        SetTimeout(port, 30);

        // Four bytes come back; a read asking ten returns them after the time-out, as a success.
        const unsigned char four[4] = {0x55, 0x56, 0x57, 0x58};
        uint32_t written = 0;
        CHECK_EQ(r_, PORT_OK, WritePort(port, four, 4, &written));
        CHECK_EQ(r_, 4, written);
        unsigned char buffer[16];
        uint32_t got = 0;
        DWORD start = NowMs();
        CHECK_EQ(r_, PORT_OK, ReadPort(port, buffer, 10, &got));
        DWORD elapsed = Since(start);
        CHECK_EQ(r_, 4, got);
        CHECK(r_, got == 4 && memcmp(buffer, four, 4) == 0);
        CHECK_MSG(r_, elapsed < 5000, "partial read took %lu ms", static_cast<unsigned long>(elapsed));

        // 1300 bytes pending: the queue count shows them and the purge reads 512, 512, 276.
        unsigned char many[1300];
        memset(many, 0x55, sizeof many); // never a frame start: the station ignores them
        CHECK_EQ(r_, PORT_OK, WritePort(port, many, sizeof many, &written));
        CHECK_EQ(r_, 1300, WaitForInput(port, 1300));
        PortTrace trace;
        memset(&trace, 0, sizeof trace);
        PortSetTrace(&trace);
        CHECK_EQ(r_, PORT_OK, Purge(port));
        PortSetTrace(nullptr);
        CHECK_EQ(r_, 3, trace.reads);
        CHECK_MSG(r_, trace.counts[0] == 512 && trace.counts[1] == 512 && trace.counts[2] == 276,
                  "purge reads delivered %u, %u, %u", static_cast<unsigned>(trace.counts[0]),
                  static_cast<unsigned>(trace.counts[1]), static_cast<unsigned>(trace.counts[2]));
        CHECK_EQ(r_, 2, trace.timeoutWrites); // 50 ms for the drain, then the 300 ms back
        uint32_t waiting = 99;
        CHECK_EQ(r_, 0, PortInputQueue(port, &waiting));
        CHECK_EQ(r_, 0, waiting);
        PortTimeouts t;
        CHECK(r_, plat_port_get_timeouts(port, &t) == 0 && t.readTotalConstant == 300);

        // Nothing pending: the purge reads nothing.
        memset(&trace, 0, sizeof trace);
        PortSetTrace(&trace);
        CHECK_EQ(r_, PORT_OK, Purge(port));
        PortSetTrace(nullptr);
        CHECK_EQ(r_, 0, trace.reads);
        CHECK_EQ(r_, PORT_OK, ClosePort(port));
    }

    void ExclusiveOpen() {
        PortHandle first = 0, second = 0;
        if (!CHECK(r_, plat_port_open(o_.port, &first) == 0)) {
            return;
        }
        const int rc = plat_port_open(o_.port, &second);
        if (rc == 0) {
            plat_port_close(second);
            plat_port_close(first);
            r_.Note("this system (wine) does not refuse a second open of a COM port opened without sharing;"
                    " the exclusive-open cases are checked on Linux only (tests/platform, tests/integration)");
            r_.Skip("second open of a COM port not refused here");
            return;
        }
        CHECK_EQ(r_, 0, second);
        CHECK_MSG(r_, plat_last_error() == ERROR_ACCESS_DENIED, "second open failed with error %lu",
                  static_cast<unsigned long>(plat_last_error()));
        PortHandle port = 0;
        CHECK_EQ(r_, PORT_ERR_OPEN, OpenPort(o_.port, &kLine, PORT_FLAGS_COLD_START, &port));
        CHECK_EQ(r_, 0, plat_port_close(first));
        CHECK_EQ(r_, PORT_OK, OpenPort(o_.port, &kLine, PORT_FLAGS_COLD_START, &port));
        ClosePort(port);
    }

    struct Holder {
        MutexHandle mutex;
        HANDLE taken;
        HANDLE leave;
        int waitResult;
    };

    static DWORD WINAPI Hold(void *arg) {
        Holder *h = static_cast<Holder *>(arg);
        h->waitResult = plat_mutex_wait(h->mutex, 5000);
        SetEvent(h->taken);
        WaitForSingleObject(h->leave, 30000);
        return 0; // ends still owning it
    }

    void NamedMutex() {
        char name[32];
        snprintf(name, sizeof name, "SEMKESTA%02lu", static_cast<unsigned long>(GetCurrentProcessId() % 90 + 10));
        MutexHandle a = 0, b = 0;
        CHECK_EQ(r_, 0, plat_mutex_create(name, &a));
        CHECK_EQ(r_, 0, plat_mutex_create(name, &b)); // the same object under a second handle
        if (a == 0 || b == 0) {
            return;
        }
        Holder h;
        h.mutex = a;
        h.taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        h.leave = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        h.waitResult = -1;
        HANDLE thread = CreateThread(nullptr, 0, Hold, &h, 0, nullptr);
        if (!CHECK(r_, thread != nullptr && WaitForSingleObject(h.taken, 10000) == WAIT_OBJECT_0)) {
            return;
        }
        CHECK_EQ(r_, PLAT_WAIT_OK, h.waitResult);
        DWORD start = NowMs();
        CHECK_EQ(r_, PLAT_WAIT_TIMEOUT, plat_mutex_wait(b, 0));
        CHECK_MSG(r_, Since(start) < 200, "a 0 ms wait took %lu ms", static_cast<unsigned long>(Since(start)));
        start = NowMs();
        CHECK_EQ(r_, PLAT_WAIT_TIMEOUT, plat_mutex_wait(b, 300));
        const DWORD waited = Since(start);
        CHECK_MSG(r_, waited >= 250 && waited < 5000, "a 300 ms wait took %lu ms", static_cast<unsigned long>(waited));
        SetEvent(h.leave);
        CHECK(r_, WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0);
        CloseHandle(thread);
        CloseHandle(h.taken);
        CloseHandle(h.leave);
        CHECK_EQ(r_, PLAT_WAIT_ABANDONED, plat_mutex_wait(b, 1000));
        // Owned now, recursively: two more waits, three releases, and a fourth fails.
        CHECK_EQ(r_, PLAT_WAIT_OK, plat_mutex_wait(b, 0));
        CHECK_EQ(r_, PLAT_WAIT_OK, plat_mutex_wait(a, 0));
        CHECK_EQ(r_, 0, plat_mutex_release(b));
        CHECK_EQ(r_, 0, plat_mutex_release(a));
        CHECK_EQ(r_, 0, plat_mutex_release(b));
        CHECK(r_, plat_mutex_release(b) != 0);
        CHECK_EQ(r_, ERROR_NOT_OWNER, plat_last_error());
        CHECK_EQ(r_, 0, plat_mutex_close(a));
        CHECK_EQ(r_, 0, plat_mutex_close(b));
        // No handle: the wait fails at once with the system's invalid-handle code.
        CHECK_EQ(r_, PLAT_WAIT_FAILED, plat_mutex_wait(0, 1000));
        CHECK_EQ(r_, ERROR_INVALID_HANDLE, plat_last_error());
    }

    void SleepAndTime() {
        const uint64_t before = plat_monotonic_ms();
        plat_sleep_ms(200);
        const uint64_t slept = plat_monotonic_ms() - before;
        CHECK_MSG(r_, slept >= 190 && slept < 3000, "Sleep(200) took %lu ms", static_cast<unsigned long>(slept));
        const uint64_t us0 = plat_monotonic_us();
        plat_sleep_ms(50);
        const uint64_t sleptUs = plat_monotonic_us() - us0;
        CHECK_MSG(r_, sleptUs >= 45000 && sleptUs < 3000000, "Sleep(50) took %lu us",
                  static_cast<unsigned long>(sleptUs));

        SYSTEMTIME st;
        GetLocalTime(&st);
        struct tm lt;
        memset(&lt, 0, sizeof lt);
        CHECK_EQ(r_, 0, plat_localtime(time(nullptr), &lt));
        CHECK_EQ(r_, st.wYear, lt.tm_year + 1900);
        CHECK_EQ(r_, st.wMonth, lt.tm_mon + 1);
        // Within a minute of each other (the two clocks were read a moment apart).
        const int systemMinutes = st.wDay * 1440 + st.wHour * 60 + st.wMinute;
        const int libraryMinutes = lt.tm_mday * 1440 + lt.tm_hour * 60 + lt.tm_min;
        CHECK_MSG(r_, systemMinutes - libraryMinutes <= 1 && libraryMinutes - systemMinutes <= 1,
                  "GetLocalTime %02u %02u:%02u, plat_localtime %02d %02d:%02d", st.wDay, st.wHour, st.wMinute,
                  lt.tm_mday, lt.tm_hour, lt.tm_min);
    }

    const Options &o_;
    ScenarioRunner &r_;
    const bool underWine_ = UnderWine();
};

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const char *a = argv[i];
        const char *v = argv[i + 1];
        if (strcmp(a, "--port") == 0) {
            o->port = v;
        } else if (strcmp(a, "--echo-port") == 0) {
            o->echoPort = v;
        } else if (strcmp(a, "--missing-port") == 0) {
            o->missingPort = v;
        } else if (strcmp(a, "--only") == 0) {
            o->only = v;
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: win32-layer-test [--port COMn] [--echo-port COMm] [--missing-port COMk]"
                        " [--only TEXT]\n");
        return 2;
    }
    ScenarioRunner runner(options.only);
    LayerTest test(options, runner);
    test.RunAll();
    return runner.Finish();
}
