// The Windows test host: loads kesta.dll with LoadLibrary and GetProcAddress("KviMain") as the real
// host does, with the test TALRUN.dll beside it, and drives one driver instance after another through
// the scenario list against the station simulator behind a COM port (see tests/win32/line.cfg).
// Usage: kesta-test-host [--port COMn] [--echo-port COMm] [--missing-port COMk] [--plug-port COMp]
//        [--only TEXT] [--fill HEX] [--verbose]
// --plug-port: a line whose device the simulator pulls out after a few frames and plugs back under the
// same name (tests/win32/run-wine.sh), for the reopening of a vanished port.
// --fill: instance blocks are allocated without being cleared and filled with that byte (CD: as a debug
// heap leaves them); without it they are cleared.
#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "kesta.h"
#include "talrun_test.h"

namespace {

typedef uint32_t(__cdecl *KviMainFn)(DriverCall *call);

struct Options {
    const char *port = "COM5";
    const char *echoPort = nullptr;
    const char *missingPort = "COM9";
    const char *plugPort = nullptr;
    const char *only = nullptr;
    int fill = -1; // -1: cleared blocks
    bool verbose = false;
};

int blockFill = -1; // the --fill byte, or -1

const char kVersionPrefix[] = "KESTA> version compiled on ";
const char kOpened[] = "KESTA> ColdStart() dsf opened successfully!";
const char kInstalled[] = "KESTA> ColdStart() B&R Net2000 protocol 32 Bit driver Installed.";
const char kEcho[] = "KESTA> ColdStart() Your RS485 convertor is has echos which the driver will handle";

// The lines under test are pseudo-terminals behind the COM ports, which carry no parity bit.
const LineParams kLine = {57600, 8, 0, 0};

// Bytes past the instance block that the driver must never touch.
const size_t kGuardBytes = 64;
const unsigned char kGuardFill = 0xA5;

KviMainFn kviMain;
uint32_t instanceSize;

// ---- The host runtime's records ------------------------------------------------------------------

struct LogLine {
    int level;
    std::string text;
};

std::vector<LogLine> Messages() {
    std::vector<LogLine> out;
    const unsigned n = TestTal_MessageCount();
    for (unsigned i = 0; i < n; i++) {
        char text[2048];
        int level = 0;
        if (TestTal_Message(i, &level, text, sizeof text) == 0) {
            out.push_back(LogLine{level, text});
        }
    }
    return out;
}

size_t Count(const std::string &text) {
    size_t n = 0;
    for (const LogLine &m : Messages()) {
        n += m.text == text ? 1 : 0;
    }
    return n;
}

bool Logged(const std::string &text) { return Count(text) > 0; }

// Level of the first message starting with prefix, or -1.
int LevelOf(const std::string &prefix) {
    for (const LogLine &m : Messages()) {
        if (m.text.compare(0, prefix.size(), prefix) == 0) {
            return m.level;
        }
    }
    return -1;
}

bool LoggedPrefix(const std::string &prefix) { return LevelOf(prefix) >= 0; }

// ---- One driver instance as the host keeps it --------------------------------------------------------

class Instance {
public:
    explicit Instance(uint32_t driverNumber) : driverNumber_(driverNumber) {
        // The host allocates the size GetKviInfo reports, cleared or not; guard bytes behind it catch any
        // write past it.
        memory_ = static_cast<unsigned char *>(malloc(instanceSize + kGuardBytes));
        memset(memory_, blockFill < 0 ? 0 : blockFill, instanceSize);
        memset(memory_ + instanceSize, kGuardFill, kGuardBytes);
    }
    ~Instance() { free(memory_); }
    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;

    DriverInstance &block() { return *reinterpret_cast<DriverInstance *>(memory_); }
    uint32_t driverNumber() const { return driverNumber_; }

    bool GuardIntact() const {
        for (size_t i = 0; i < kGuardBytes; i++) {
            if (memory_[instanceSize + i] != kGuardFill) {
                return false;
            }
        }
        return true;
    }

    uint32_t Call(uint32_t code, void *arg = nullptr) {
        DriverCall call;
        call.instance = &block();
        call.functionCode = code;
        call.driverNumber = driverNumber_;
        call.unused = 0xDEADBEEFu; // never read by the driver
        call.argRecord = arg;
        return kviMain(&call);
    }

    uint32_t ColdStart(const char *portName, uint32_t timeout, uint32_t usePort = 1) {
        PortConfig config;
        memset(&config, 0, sizeof config);
        snprintf(config.portName, sizeof config.portName, "%s", portName);
        config.usePort = usePort;
        config.timeout = timeout;
        config.lineParams = kLine;
        return Call(KVI_COLD_START, &config);
    }

    // Writes the init file KESTA%02d.INT into the current directory, bytes as given.
    bool WriteInitFile(const std::string &bytes) const {
        char name[32];
        snprintf(name, sizeof name, "KESTA%02u.INT", static_cast<unsigned>(driverNumber_));
        FILE *f = fopen(name, "wb");
        if (f == nullptr) {
            return false;
        }
        const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return fclose(f) == 0 && ok;
    }

private:
    uint32_t driverNumber_;
    unsigned char *memory_;
};

// A gate as the host keeps it: parsed once, then read and written with the driver's five fields.
struct Gate {
    std::string address;
    GateAddressParse parse;
    GateAddressRW rw;
    unsigned char cell[4096];

    Gate() : parse(), rw() { memset(cell, 0, sizeof cell); }

    uint32_t Parse(Instance &in, const char *text, uint32_t gateType, bool block = false, uint32_t length = 0) {
        address = text;
        memset(&parse, 0, sizeof parse);
        parse.addressString = address.c_str();
        parse.hostField1 = 0x11111111u;
        parse.gateType = gateType;
        parse.blockLength = length;
        parse.offset = 0x7777; // a time-stamp gate keeps the host's value
        const uint32_t rc = in.Call(block ? KVI_BLOCK_ADDRESS_PARSER : KVI_SINGLE_ADDRESS_PARSER, &parse);
        memset(&rw, 0, sizeof rw);
        rw.addressString = address.c_str();
        rw.station = parse.station;
        rw.typeCode = parse.typeCode;
        rw.offset = parse.offset;
        rw.toggleHandle = parse.toggleHandle;
        rw.elementBits = parse.elementBits;
        return rc;
    }
    uint32_t Read(Instance &in, uint32_t count = 1, bool block = false) {
        rw.elementCount = count;
        rw.valueCell = cell;
        return in.Call(block ? KVI_BLOCK_READ : KVI_SINGLE_READ, &rw);
    }
    uint32_t Write(Instance &in, const void *value4) {
        memcpy(cell, value4, 4);
        rw.elementCount = 1;
        rw.valueCell = cell;
        return in.Call(KVI_SINGLE_WRITE, &rw);
    }
    // The cell of a single 8- or 16-bit gate: first half 0, value in the second.
    uint16_t FirstHalf() const { return Half(0); }
    uint16_t SecondHalf() const { return Half(1); }
    uint16_t Half(int i) const {
        uint16_t h;
        memcpy(&h, cell + 2 * i, 2);
        return h;
    }
    uint32_t Word() const {
        uint32_t w;
        memcpy(&w, cell, 4);
        return w;
    }
    float Float() const {
        float v;
        memcpy(&v, cell, 4);
        return v;
    }
};

// A 16-bit value in the second half of a write cell.
void Cell16(unsigned char out[4], uint16_t value) {
    memset(out, 0, 4);
    memcpy(out + 2, &value, 2);
}

// Seconds since 1970 of a local date and time, through the system's own time zone conversion (an
// independent road to the value the driver computes with the C library).
bool LocalToEpoch(int year, int month, int day, int hour, int minute, int second, int32_t *out) {
    SYSTEMTIME local;
    memset(&local, 0, sizeof local);
    local.wYear = static_cast<WORD>(year);
    local.wMonth = static_cast<WORD>(month);
    local.wDay = static_cast<WORD>(day);
    local.wHour = static_cast<WORD>(hour);
    local.wMinute = static_cast<WORD>(minute);
    local.wSecond = static_cast<WORD>(second);
    SYSTEMTIME utc;
    FILETIME ft;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &ft)) {
        return false;
    }
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    *out = static_cast<int32_t>((t.QuadPart - 116444736000000000ULL) / 10000000ULL);
    return true;
}

// True when a second open of the port, made without sharing, is refused while one is held.
bool SystemRefusesSecondOpen(const char *port) {
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", port);
    HANDLE first = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (first == INVALID_HANDLE_VALUE) {
        return false;
    }
    HANDLE second = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool refused = second == INVALID_HANDLE_VALUE;
    if (!refused) {
        CloseHandle(second);
    }
    CloseHandle(first);
    return refused;
}

// The element values of the simulator's "big" array.
int16_t BigValue(int i) { return static_cast<int16_t>((i * 37) % 2000 - 1000); }

// A thread that takes the named mutex, holds it until told, then ends without giving it back.
struct MutexHolder {
    char name[32];
    HANDLE taken;
    HANDLE leave;
    DWORD waitResult;
};

DWORD WINAPI HoldMutex(void *arg) {
    MutexHolder *h = static_cast<MutexHolder *>(arg);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, h->name);
    h->waitResult = mutex != nullptr ? WaitForSingleObject(mutex, 5000) : WAIT_FAILED;
    SetEvent(h->taken);
    WaitForSingleObject(h->leave, 30000);
    if (mutex != nullptr) {
        CloseHandle(mutex); // still owned: the thread's end abandons it
    }
    return 0;
}

// ---- Scenarios --------------------------------------------------------------------------------------

class HostTest {
public:
    HostTest(const Options &options, ScenarioRunner &r) : o_(options), r_(r) {}

    void RunAll() {
        r_.Run("GetKviInfo before any cold start: the record and the banner", [&] { DriverInfoChecks(); });
        r_.Run("unknown function codes answer 2 and log nothing", [&] { UnknownCodes(); });
        r_.Run("cold start without a port: no line, reads refused", [&] { ColdStartWithoutPort(); });
        r_.Run("cold start on NUL: installed, silent line, connects fail", [&] { ColdStartOnNul(); });
        r_.Run("cold start on a port that does not exist", [&] { ColdStartMissingPort(); });

        Instance line(3);
        line_ = &line;
        r_.Run("cold start on the COM port: init file, port, echo test, stack", [&] { ColdStartOnLine(); });
        r_.Run("address parsing: single, element, block, sample and time-stamp gates", [&] { Parsing(); });
        r_.Run("address parsing refusals", [&] { ParseRefusals(); });
        r_.Run("single reads of every data type", [&] { SingleReads(); });
        r_.Run("block reads, also in reply segments", [&] { BlockReads(); });
        r_.Run("single writes read back", [&] { Writes(); });
        r_.Run("refused writes and reads", [&] { Refusals(); });
        r_.Run("EWT message records into time-stamp gates, one per read", [&] { MessageRecords(); });
        r_.Run("instance mutex: a held SEMKESTA03 times the read out, an abandoned one is taken",
               [&] { MutexTimeoutAndAbandon(); });
        r_.Run("a silent station: the connect gives up within bounds", [&] { SilentStation(); });
        r_.Run("warm start, CloseCom and ReOpenCom", [&] { CloseAndReopen(); });
        r_.Run("ChangeKviParams: time-out kept for 0 and -1, \\\\.\\COMn spelling", [&] { ChangeParams(); });
        r_.Run("exclusive open: the port in use cannot be opened again", [&] { ExclusiveOpen(); });
        r_.Run("EndKvi: port and mutex closed, reads answered at once", [&] { EndLine(); });
        line_ = nullptr;

        r_.Run("EWT measurement records with a delay: all in one read", [&] { MeasurementRecords(); });
        r_.Run("READ_GROUP_MS: grouped reads, kept values, a write read back", [&] { GroupedReads(); });
        r_.Run("an echoing RS485 converter is detected and handled", [&] { EchoingConverter(); });
        r_.Run("a pulled adapter: the port reopens itself by its name (PORT_REOPEN_INTERVAL)",
               [&] { PulledAdapter(); });
    }

private:
    bool LineRunning() { return line_ != nullptr && line_->block().dsfOpen == 1 && lineStarted_; }

    // Scenarios that need the running line say so instead of piling up follow-on failures.
    bool NeedLine() { return CHECK_MSG(r_, LineRunning(), "needs the running line of the cold start scenario"); }

    void DriverInfoChecks() {
        DriverInfo info;
        memset(&info, 0xAB, sizeof info);
        DriverCall call;
        memset(&call, 0, sizeof call);
        call.functionCode = KVI_GET_INFO;
        call.argRecord = &info; // no instance block: GetKviInfo needs none
        CHECK_EQ(r_, 0, kviMain(&call));
        CHECK_EQ(r_, 70, info.info0);
        CHECK(r_, info.protocolName != nullptr && strcmp(info.protocolName, "B&R Net2000") == 0);
        CHECK_EQ(r_, 1087, info.instanceSize);
        CHECK_EQ(r_, 4, info.info4);
        CHECK_EQ(r_, 57600, info.defaultLine.baudRate);
        CHECK_EQ(r_, 8, info.defaultLine.dataBits);
        CHECK_EQ(r_, 0, info.defaultLine.stopBits);
        CHECK_EQ(r_, 1, info.defaultLine.parity);
        CHECK_EQ(r_, 1, info.info6);
        std::string top = "\xC9" + std::string(59, '\xCD') + "\xBB";
        std::string middle = "\xBA  KESTA :  B & R Net2000 protocol          (32 bit driver) \xBA";
        std::string bottom = "\xC8" + std::string(59, '\xCD') + "\xBC";
        std::string expected = "\r\n" + top + "\r\n" + middle + "\r\n" + bottom + "\r\n";
        CHECK(r_, info.banner != nullptr);
        if (info.banner != nullptr) {
            CHECK_EQ(r_, 191, strlen(info.banner));
            CHECK_MSG(r_, expected == info.banner, "banner differs from the code page 437 box");
        }
        CHECK_EQ(r_, 0, TestTal_MessageCount());
    }

    void UnknownCodes() {
        Instance in(7);
        for (uint32_t code : {0u, 8u, 9u, 16u, 17u, 1000u}) {
            CHECK_MSG(r_, in.Call(code) == 2, "code %u must answer 2", static_cast<unsigned>(code));
        }
        CHECK_EQ(r_, 0, TestTal_MessageCount());
        CHECK(r_, in.GuardIntact());
    }

    void ColdStartWithoutPort() {
        TestTal_ClearMessages();
        Instance in(6);
        CHECK_EQ(r_, 0, in.ColdStart(o_.port, 20, 0));
        CHECK(r_, Logged("KESTA> Initialisation file KESTA06.INT not found-using default:"));
        CHECK(r_, Logged("KESTA> MASTER_ADDRESS    set to 1"));
        CHECK(r_, Logged("KESTA> FLUSH_BUFFER      set to 0"));
        CHECK(r_, Logged("KESTA> NUM_OF_SLAVES     set to 1"));
        CHECK(r_, !Logged(kOpened));
        CHECK_EQ(r_, 0, in.block().portHandle);
        CHECK_EQ(r_, 0, in.block().dsfOpen);
        CHECK_EQ(r_, 0, in.block().portOpen);
        TestTal_ClearMessages();
        Gate g;
        g.address = "002speed";
        g.rw.addressString = g.address.c_str();
        g.rw.station = 2;
        g.rw.elementBits = 16;
        CHECK_EQ(r_, 1, g.Read(in));
        CHECK_EQ(r_, 1, g.Read(in, 1, true));
        CHECK_EQ(r_, 0, TestTal_MessageCount());
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        CHECK(r_, in.GuardIntact());
    }

    void ColdStartOnNul() {
        TestTal_ClearMessages();
        Instance in(1);
        CHECK_EQ(r_, 0, in.ColdStart("NUL", 5));
        CHECK(r_, Logged(kInstalled));
        CHECK(r_, !Logged(kEcho));
        CHECK_EQ(r_, 1, in.block().dsfOpen);
        CHECK(r_, in.block().portHandle != 0);
        Gate g;
        const DWORD start = NowMs();
        CHECK_EQ(r_, 1, g.Parse(in, "002speed", GATE_SIGNED16));
        const DWORD elapsed = NowMs() - start;
        CHECK_EQ(r_, 4, Count("KESTA> Net2000_Connect failed ErrorCode: 10"));
        CHECK(r_, Logged("KESTA> Parse() plcaddr 2 not connected!"));
        // Four attempts with a 100 ms pause after each: reads on the null line return at once.
        CHECK_MSG(r_, elapsed >= 350 && elapsed < 20000, "four failed connects took %lu ms",
                  static_cast<unsigned long>(elapsed));
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        CHECK_EQ(r_, 0, in.block().portHandle);
        CHECK(r_, in.GuardIntact());
    }

    void ColdStartMissingPort() {
        TestTal_ClearMessages();
        Instance in(2);
        CHECK_EQ(r_, 2, in.ColdStart(o_.missingPort, 20));
        CHECK(r_, Logged(std::string("KESTA>Failed to open com port ") + o_.missingPort));
        CHECK_EQ(r_, 0, in.block().dsfOpen);
        CHECK_EQ(r_, 0, in.block().portHandle);
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        CHECK(r_, in.GuardIntact());
    }

    void ColdStartOnLine() {
        Instance &in = *line_;
        // Windows text: CR LF line ends, a comment, blanks around '=' or none, and Ctrl-Z ending the
        // file before a line that would otherwise be reported.
        CHECK(r_, in.WriteInitFile("; KESTA line 3\r\n"
                                   "MASTER_ADDRESS = 1\r\n"
                                   "NUM_OF_SLAVES=4\r\n"
                                   "FLUSH_BUFFER   =   1\r\n"
                                   "\r\n"
                                   "\x1a"
                                   "NOT A KEY AFTER THE END\r\n"));
        TestTal_ClearMessages();
        const uint32_t rc = in.ColdStart(o_.port, 20);
        CHECK_EQ(r_, 0, rc);
        std::vector<LogLine> m = Messages();
        CHECK(r_, !m.empty() && m.front().level == 8 &&
                      m.front().text.compare(0, strlen(kVersionPrefix), kVersionPrefix) == 0);
        CHECK(r_, Logged("KESTA> Init file KESTA03.INT opened"));
        CHECK(r_, Logged("KESTA> InitFile() Master Address set to 1"));
        CHECK(r_, Logged("KESTA> InitFile() Number of slaves to be connected:4"));
        CHECK(r_, Logged("KESTA> InitFile() Buffer set to flush before each send."));
        CHECK_MSG(r_, !LoggedPrefix("KESTA> InitFile() Skipping unrecognized line"), "a line after Ctrl-Z was read");
        CHECK(r_, !LoggedPrefix("KESTA> InitFile() Could not find parameter"));
        CHECK(r_, m.size() >= 2 && m[m.size() - 2].text == kOpened && m.back().text == kInstalled);
        CHECK(r_, !Logged(kEcho));
        DriverInstance &b = in.block();
        CHECK_EQ(r_, 1, b.dsfOpen);
        CHECK_EQ(r_, 1, b.portOpen);
        CHECK(r_, b.portHandle != 0);
        CHECK_EQ(r_, 20, b.lineTimeout);
        CHECK_EQ(r_, 1, b.masterAddress);
        CHECK_EQ(r_, 0x0303, b.portFlags);
        CHECK(r_, strcmp(b.portName, o_.port) == 0);
        CHECK(r_, b.mutex != 0);
        // The instance mutex is a system object under its documented name.
        HANDLE named = OpenMutexA(SYNCHRONIZE, FALSE, "SEMKESTA03");
        CHECK_MSG(r_, named != nullptr, "OpenMutex(SEMKESTA03) failed, error %lu", GetLastError());
        if (named != nullptr) {
            CloseHandle(named);
        }
        CHECK(r_, in.GuardIntact());
        lineStarted_ = rc == 0;
    }

    void Parsing() {
        if (!NeedLine()) {
            return;
        }
        Instance &in = *line_;
        struct Row {
            Gate *gate;
            const char *address;
            uint32_t gateType;
            uint32_t typeCode;
            uint32_t bits;
        } rows[] = {
            {&speed_, "002speed", GATE_SIGNED16, 2, 16},      {&counter_, "002counter", GATE_SIGNED32, 4, 32},
            {&total_, "002total", GATE_UNSIGNED32, 7, 32},    {&temperature_, "002temperature", GATE_FLOAT, 8, 32},
            {&pump_, "002pump_on", GATE_DIGITAL, 1, 8},       {&setpoint_, "002setpoint", GATE_UNSIGNED16, 5, 16},
            {&element_, "002arr[3]", GATE_UNSIGNED16, 5, 16},
        };
        for (const Row &row : rows) {
            const uint32_t rc = row.gate->Parse(in, row.address, row.gateType);
            CHECK_MSG(r_, rc == 0, "parse %s: %u", row.address, static_cast<unsigned>(rc));
            CHECK_MSG(r_, row.gate->parse.station == 2, "%s: station %u", row.address,
                      static_cast<unsigned>(row.gate->parse.station));
            CHECK_MSG(r_, row.gate->parse.typeCode == row.typeCode, "%s: type %u", row.address,
                      static_cast<unsigned>(row.gate->parse.typeCode));
            CHECK_MSG(r_, row.gate->parse.elementBits == row.bits, "%s: %u bits", row.address,
                      static_cast<unsigned>(row.gate->parse.elementBits));
            CHECK_MSG(r_, row.gate->parse.toggleHandle == -1, "%s: toggle handle %d", row.address,
                      static_cast<int>(row.gate->parse.toggleHandle));
        }
        CHECK_EQ(r_, 0, arr_.Parse(in, "002arr", GATE_UNSIGNED16, true, 10));
        CHECK_EQ(r_, 5, arr_.parse.typeCode);
        CHECK_EQ(r_, 16, arr_.parse.elementBits);
        CHECK_EQ(r_, 0, big_.Parse(in, "002big", GATE_SIGNED16, true, 400));
        CHECK_EQ(r_, 16, big_.parse.elementBits);

        CHECK_EQ(r_, 0, events_.Parse(in, "002_Mevents", GATE_UNSIGNED32));
        CHECK_EQ(r_, EWTM, events_.parse.typeCode);
        CHECK_EQ(r_, 16, events_.parse.elementBits);
        CHECK(r_, events_.parse.toggleHandle != -1 && events_.parse.offset != events_.parse.toggleHandle);

        CHECK_EQ(r_, 0, stampM_.Parse(in, "002_M005_007", GATE_DIGITAL));
        CHECK_EQ(r_, EWTm, stampM_.parse.typeCode);
        CHECK_EQ(r_, 1, stampM_.parse.elementBits);
        CHECK_EQ(r_, 0x7777, stampM_.parse.offset);
        CHECK_EQ(r_, 0, stampV_.Parse(in, "002_V005_007", GATE_UNSIGNED16));
        CHECK_EQ(r_, EWTv, stampV_.parse.typeCode);
        CHECK_EQ(r_, 16, stampV_.parse.elementBits);
        CHECK(r_, in.GuardIntact());
        parsed_ = true;
    }

    void ParseRefusals() {
        if (!NeedLine()) {
            return;
        }
        Instance &in = *line_;
        struct Row {
            const char *address;
            uint32_t gateType;
            bool block;
            const char *message; // exact, or a prefix when it ends in '*'
        } rows[] = {
            {"001speed", GATE_SIGNED16, false, "KESTA> Parse() err: plcaddr is same as master, 1"},
            {"002nosuch", GATE_SIGNED16, false, "KESTA> Parse() object name nosuch not defined in PLC rc=*"},
            {"002speed", GATE_UNSIGNED16, false, "KESTA> SingleParse() gate 002speed, mem type 2 must be SIGNED 16"},
            {"002speed", GATE_SIGNED16, true, "KESTA> Parse() object speed not an array, should not be block"},
            {"002arr", GATE_UNSIGNED16, false, "KESTA> Parse() object arr is array, should be block"},
            {"002_Xevents", GATE_UNSIGNED32, false, "KESTA> SingleParse() illegal EWT sample gate"},
            {"002_Mevents", GATE_UNSIGNED16, false,
             "KESTA> SingleParse() '002_Mevents', sample gate must be UNSIGNED32"},
        };
        for (const Row &row : rows) {
            TestTal_ClearMessages();
            Gate g;
            const uint32_t rc = g.Parse(in, row.address, row.gateType, row.block, 10);
            CHECK_MSG(r_, rc == 1, "%s: parse answered %u", row.address, static_cast<unsigned>(rc));
            std::string text = row.message;
            const bool prefix = text.back() == '*';
            if (prefix) {
                text.pop_back();
            }
            CHECK_MSG(r_, prefix ? LoggedPrefix(text) : Logged(text), "%s: no message '%s'", row.address, row.message);
        }
    }

    void SingleReads() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_EQ(r_, 0, speed_.FirstHalf());
        CHECK_EQ(r_, 1234, static_cast<int16_t>(speed_.SecondHalf()));
        CHECK_EQ(r_, 0, counter_.Read(in));
        CHECK_EQ(r_, -100000, static_cast<int32_t>(counter_.Word()));
        CHECK_EQ(r_, 0, total_.Read(in));
        CHECK_EQ(r_, 4000000000u, total_.Word());
        CHECK_EQ(r_, 0, temperature_.Read(in));
        CHECK_MSG(r_, temperature_.Float() == 21.5f, "temperature %g", static_cast<double>(temperature_.Float()));
        CHECK_EQ(r_, 0, pump_.Read(in));
        CHECK_EQ(r_, 0, pump_.FirstHalf());
        CHECK_EQ(r_, 1, pump_.SecondHalf());
        CHECK_EQ(r_, 0, setpoint_.Read(in));
        CHECK_EQ(r_, 50000, setpoint_.SecondHalf());
        CHECK_EQ(r_, 0, element_.Read(in));
        CHECK_EQ(r_, 4, element_.SecondHalf()); // arr[3] of 1..10
        CHECK(r_, in.GuardIntact());
    }

    void BlockReads() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        CHECK_EQ(r_, 0, arr_.Read(in, 10, true));
        for (int i = 0; i < 10; i++) {
            uint16_t v;
            memcpy(&v, arr_.cell + 2 * i, 2);
            CHECK_MSG(r_, v == i + 1, "arr[%d] = %u", i, v);
        }
        // The host's cell pointer moves past each 16-bit element stored.
        CHECK(r_, arr_.rw.valueCell == arr_.cell + 20);

        const DWORD start = NowMs();
        CHECK_EQ(r_, 0, big_.Read(in, 400, true));
        const DWORD elapsed = NowMs() - start;
        int wrong = 0;
        for (int i = 0; i < 400; i++) {
            int16_t v;
            memcpy(&v, big_.cell + 2 * i, 2);
            if (v != BigValue(i) && wrong++ < 3) {
                CHECK_MSG(r_, false, "big[%d] = %d, expected %d", i, v, BigValue(i));
            }
        }
        CHECK_EQ(r_, 0, wrong);
        CHECK(r_, big_.rw.valueCell == big_.cell + 800);
        r_.Note("800-byte block read in reply segments took %lu ms", static_cast<unsigned long>(elapsed));
    }

    void Writes() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        unsigned char cell[4];
        Cell16(cell, static_cast<uint16_t>(-321));
        CHECK_EQ(r_, 0, speed_.Write(in, cell));
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_EQ(r_, -321, static_cast<int16_t>(speed_.SecondHalf()));

        const int32_t count = 123456789;
        CHECK_EQ(r_, 0, counter_.Write(in, &count));
        CHECK_EQ(r_, 0, counter_.Read(in));
        CHECK_EQ(r_, count, static_cast<int32_t>(counter_.Word()));

        const float t = -2.25f;
        CHECK_EQ(r_, 0, temperature_.Write(in, &t));
        CHECK_EQ(r_, 0, temperature_.Read(in));
        CHECK_MSG(r_, temperature_.Float() == t, "temperature %g", static_cast<double>(temperature_.Float()));

        Cell16(cell, 0);
        CHECK_EQ(r_, 0, pump_.Write(in, cell));
        CHECK_EQ(r_, 0, pump_.Read(in));
        CHECK_EQ(r_, 0, pump_.SecondHalf());

        Cell16(cell, 65535);
        CHECK_EQ(r_, 0, setpoint_.Write(in, cell));
        CHECK_EQ(r_, 0, setpoint_.Read(in));
        CHECK_EQ(r_, 65535, setpoint_.SecondHalf());

        Cell16(cell, 1234); // as it was, for the scenarios after this one
        CHECK_EQ(r_, 0, speed_.Write(in, cell));
        CHECK(r_, in.GuardIntact());
    }

    void Refusals() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        TestTal_ClearMessages();
        CHECK_EQ(r_, 1, in.Call(KVI_BLOCK_WRITE, &arr_.rw));
        CHECK_EQ(r_, 8, LevelOf("KESTA> BlockWrite() NOT supported"));
        unsigned char cell[4] = {0, 0, 1, 0};
        CHECK_EQ(r_, 1, events_.Write(in, cell));
        CHECK(r_, Logged("KESTA> DoRead() sample gate can not be written!"));
        CHECK_EQ(r_, 1, stampM_.Read(in));
        CHECK(r_, Logged("KESTA> DoRead() time-stamp gate can not be read!"));
        CHECK_EQ(r_, 1, stampV_.Write(in, cell));
        CHECK(r_, Logged("KESTA> DoRead() time-stamp gate can not be written!"));
    }

    // Checks the one store a record made into a time-stamp gate.
    void CheckStore(uint32_t id, unsigned index, double value, int32_t stamp) {
        TestTalStore s;
        if (!CHECK_MSG(r_, TestTal_Store(id, index, &s) == 0, "no store %u for gate %u", index,
                       static_cast<unsigned>(id))) {
            return;
        }
        CHECK_MSG(r_, s.leadingZero == 0 && s.two == 2 && s.trailingZero == 0,
                  "gate %u store %u arguments 0/2/0 arrived as %d/%d/%d", static_cast<unsigned>(id), index,
                  static_cast<int>(s.leadingZero), static_cast<int>(s.two), static_cast<int>(s.trailingZero));
        CHECK_MSG(r_, s.cooked == value, "gate %u store %u value %g, expected %g", static_cast<unsigned>(id), index,
                  s.cooked, value);
        CHECK_MSG(r_, s.timeStamp == stamp, "gate %u store %u time stamp %ld, expected %ld", static_cast<unsigned>(id),
                  index, static_cast<long>(s.timeStamp), static_cast<long>(stamp));
    }

    void MessageRecords() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        const uint32_t gate57 = 101, gate58 = 102;
        TestTal_DefineGate("002_M005_007", gate57);
        TestTal_DefineGate("002_M005_008", gate58);
        int32_t stamp1 = 0, stamp2 = 0;
        CHECK(r_, LocalToEpoch(2001, 12, 26, 14, 30, 45, &stamp1));
        CHECK(r_, LocalToEpoch(2001, 12, 26, 14, 31, 2, &stamp2));
        const unsigned lookupsBefore = TestTal_LookupCount();

        // One record per read: the first two are stored with their own time stamps.
        TestTal_ClearMessages();
        CHECK_EQ(r_, 0, events_.Read(in));
        CHECK_EQ(r_, 1, events_.Word());
        CHECK_EQ(r_, 1, TestTal_StoreCount(gate57));
        CheckStore(gate57, 0, 1.0, stamp1);
        char address[64] = "";
        uint8_t driverId = 0;
        uint16_t result = 9;
        CHECK(r_, TestTal_Lookup(lookupsBefore, address, sizeof address, &driverId, &result) == 0);
        CHECK_MSG(r_, strcmp(address, "002_M005_007") == 0 && driverId == 3 && result == 0,
                  "look-up '%s' driver %u result %u", address, driverId, result);

        CHECK_EQ(r_, 0, events_.Read(in));
        CHECK_EQ(r_, 2, events_.Word());
        CHECK_EQ(r_, 1, TestTal_StoreCount(gate58));
        CheckStore(gate58, 0, 0.0, stamp2);

        // Hour 24: refused by the time check, counted and acknowledged, not stored.
        CHECK_EQ(r_, 0, events_.Read(in));
        CHECK_EQ(r_, 3, events_.Word());
        CHECK(r_, Logged("KESTA> TimeStamp() ill. time 26/12/101 24:00:00 received (1)"));
        CHECK_EQ(r_, 1, TestTal_StoreCount(gate57));

        // A time-stamp gate the host does not know: logged, counted, acknowledged.
        CHECK_EQ(r_, 0, events_.Read(in));
        CHECK_EQ(r_, 4, events_.Word());
        CHECK(r_, Logged("KESTA> ReadSampleGate() gate KVI3 GAS '002_M005_009' not defined, rc 1"));

        // Empty now: the count stays, nothing more is logged or stored.
        const unsigned messages = TestTal_MessageCount();
        CHECK_EQ(r_, 0, events_.Read(in));
        CHECK_EQ(r_, 4, events_.Word());
        CHECK_EQ(r_, messages, TestTal_MessageCount());
        CHECK_EQ(r_, 0, TestTal_BadCookCalls());
        CHECK(r_, !LoggedPrefix("KESTA> ReadSampleGate() Tal5PutGateVal failed"));
        CHECK(r_, in.GuardIntact());
        r_.Note("record time stamps: %ld and %ld (26.12.2001 14:30:45 and 14:31:02 local time)",
                static_cast<long>(stamp1), static_cast<long>(stamp2));
    }

    void MutexTimeoutAndAbandon() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        MutexHolder holder;
        snprintf(holder.name, sizeof holder.name, "SEMKESTA03");
        holder.taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        holder.leave = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        holder.waitResult = WAIT_FAILED;
        HANDLE thread = CreateThread(nullptr, 0, HoldMutex, &holder, 0, nullptr);
        if (!CHECK(r_, thread != nullptr && WaitForSingleObject(holder.taken, 10000) == WAIT_OBJECT_0)) {
            return;
        }
        CHECK_EQ(r_, WAIT_OBJECT_0, holder.waitResult);

        // The wait is bounded by lineTimeout x 30 ms: 10 units are 300 ms.
        const uint32_t kept = in.block().lineTimeout;
        in.block().lineTimeout = 10;
        TestTal_ClearMessages();
        DWORD start = NowMs();
        CHECK_EQ(r_, 1, speed_.Read(in));
        const DWORD waited = NowMs() - start;
        CHECK(r_, Logged("KESTA> ReqSem() TIMEOUT requesting MUTEX semaphore"));
        CHECK_MSG(r_, waited >= 250 && waited < 10000, "the held mutex made the read wait %lu ms",
                  static_cast<unsigned long>(waited));

        // The holder ends without giving it back: the next wait finds it abandoned and takes it.
        SetEvent(holder.leave);
        CHECK(r_, WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0);
        CloseHandle(thread);
        CloseHandle(holder.taken);
        CloseHandle(holder.leave);
        TestTal_ClearMessages();
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_EQ(r_, 1234, static_cast<int16_t>(speed_.SecondHalf()));
        CHECK_EQ(r_, 0, TestTal_MessageCount());
        // And it was given back after that read.
        start = NowMs();
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_MSG(r_, NowMs() - start < 3000, "read after the abandoned mutex took %lu ms",
                  static_cast<unsigned long>(NowMs() - start));
        in.block().lineTimeout = kept;
        r_.Note("held mutex: the read gave up after %lu ms (bound 300 ms)", static_cast<unsigned long>(waited));
    }

    void SilentStation() {
        if (!NeedLine()) {
            return;
        }
        Instance &in = *line_;
        TestTal_ClearMessages();
        Gate g;
        const DWORD start = NowMs();
        CHECK_EQ(r_, 1, g.Parse(in, "009speed", GATE_SIGNED16));
        const DWORD elapsed = NowMs() - start;
        CHECK(r_, Logged("KESTA> Parse() plcaddr 9 not connected!"));
        CHECK_EQ(r_, 4, Count("KESTA> Net2000_Connect failed ErrorCode: 10"));
        // Each attempt is a frame and its repeats, each waiting the 200 ms read time-out; never for ever.
        CHECK_MSG(r_, elapsed >= 1000 && elapsed < 60000, "four connects to a silent station took %lu ms",
                  static_cast<unsigned long>(elapsed));
        // The line still works for the station that answers.
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_EQ(r_, 1234, static_cast<int16_t>(speed_.SecondHalf()));
        r_.Note("four connects to a silent station gave up after %lu ms", static_cast<unsigned long>(elapsed));
    }

    void CloseAndReopen() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        CHECK_EQ(r_, 0, in.Call(KVI_WARM_START));
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_EQ(r_, 0, in.Call(KVI_CLOSE_COM));
        CHECK_EQ(r_, 0, in.block().portHandle);
        CHECK_EQ(r_, 0, in.block().portOpen);
        TestTal_ClearMessages();
        CHECK_EQ(r_, 1, speed_.Read(in));
        unsigned char cell[4] = {0, 0, 1, 0};
        CHECK_EQ(r_, 1, speed_.Write(in, cell));
        CHECK_EQ(r_, 0, TestTal_MessageCount());
        CHECK_EQ(r_, 0, in.Call(KVI_CLOSE_COM));
        CHECK_EQ(r_, 0, in.Call(KVI_REOPEN_COM));
        CHECK_EQ(r_, 1, in.block().portOpen);
        CHECK(r_, in.block().portHandle != 0);
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_EQ(r_, 1234, static_cast<int16_t>(speed_.SecondHalf()));
    }

    void ChangeParams() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        ParamChange change;
        memset(&change, 0, sizeof change);
        snprintf(change.portName, sizeof change.portName, "\\\\.\\%s", o_.port);
        change.lineParams = kLine;
        // Another name for the same port: the driver closes its port, then opens the new name.
        for (int32_t keep : {0, -1}) {
            change.timeout = keep;
            CHECK_EQ(r_, 0, in.Call(KVI_CHANGE_PARAMS, &change));
            CHECK_EQ(r_, 20, in.block().lineTimeout);
            CHECK(r_, strcmp(in.block().portName, change.portName) == 0);
            CHECK(r_, in.block().portHandle != 0);
            CHECK_EQ(r_, 0, speed_.Read(in));
            CHECK_EQ(r_, 1234, static_cast<int16_t>(speed_.SecondHalf()));
            snprintf(change.portName, sizeof change.portName, "%s", o_.port);
        }
        change.timeout = 25;
        snprintf(change.portName, sizeof change.portName, "\\\\.\\%s", o_.port);
        CHECK_EQ(r_, 0, in.Call(KVI_CHANGE_PARAMS, &change));
        CHECK_EQ(r_, 25, in.block().lineTimeout);
        CHECK_EQ(r_, 0, speed_.Read(in));
        // A port that does not exist: refused, the time-out taken all the same.
        snprintf(change.portName, sizeof change.portName, "%s", o_.missingPort);
        change.timeout = 20;
        CHECK_EQ(r_, 2, in.Call(KVI_CHANGE_PARAMS, &change));
        CHECK_EQ(r_, 20, in.block().lineTimeout);
        // Back on the line under its plain name.
        snprintf(change.portName, sizeof change.portName, "%s", o_.port);
        CHECK_EQ(r_, 0, in.Call(KVI_CHANGE_PARAMS, &change));
        CHECK_EQ(r_, 0, in.Call(KVI_CLOSE_COM));
        CHECK_EQ(r_, 0, in.Call(KVI_REOPEN_COM));
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_EQ(r_, 1234, static_cast<int16_t>(speed_.SecondHalf()));
    }

    void ExclusiveOpen() {
        if (!NeedLine() || !CHECK(r_, parsed_)) {
            return;
        }
        Instance &in = *line_;
        // Probed on the free port: held here, then opened again without sharing.
        CHECK_EQ(r_, 0, in.Call(KVI_CLOSE_COM));
        const bool exclusive = SystemRefusesSecondOpen(o_.port);
        CHECK_EQ(r_, 0, in.Call(KVI_REOPEN_COM));
        if (!exclusive) {
            r_.Note("this system (wine) does not refuse a second open of a COM port opened without sharing;"
                    " the exclusive-open cases are checked on Linux only (tests/integration, tests/platform)");
            r_.Skip("second open of a COM port not refused here");
            return;
        }
        ParamChange change;
        memset(&change, 0, sizeof change);
        snprintf(change.portName, sizeof change.portName, "%s", o_.port);
        change.timeout = -1;
        change.lineParams = LineParams{19200, 8, 0, 2};
        CHECK_EQ(r_, 2, in.Call(KVI_CHANGE_PARAMS, &change));
        CHECK_EQ(r_, 0, speed_.Read(in));
        Instance other(8);
        TestTal_ClearMessages();
        CHECK_EQ(r_, 2, other.ColdStart(o_.port, 20));
        CHECK(r_, Logged(std::string("KESTA>Failed to open com port ") + o_.port));
        CHECK_EQ(r_, 0, other.Call(KVI_END));
        CHECK_EQ(r_, 0, speed_.Read(in));
    }

    void EndLine() {
        if (!CHECK(r_, line_ != nullptr && lineStarted_)) {
            return;
        }
        Instance &in = *line_;
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        DriverInstance &b = in.block();
        CHECK_EQ(r_, 1, b.ending);
        CHECK_EQ(r_, 0, b.dsfOpen);
        CHECK_EQ(r_, 0, b.portHandle);
        CHECK_EQ(r_, 0, b.portOpen);
        CHECK_EQ(r_, 0, b.mutex);
        // Reads are answered at once; the other mutex-guarded codes fail on the closed mutex.
        TestTal_ClearMessages();
        const DWORD start = NowMs();
        CHECK_EQ(r_, 0, speed_.Read(in));
        CHECK_EQ(r_, 0, arr_.Read(in, 10, true));
        CHECK_MSG(r_, NowMs() - start < 1000, "reads after EndKvi took %lu ms",
                  static_cast<unsigned long>(NowMs() - start));
        CHECK_EQ(r_, 0, TestTal_MessageCount());
        CHECK_EQ(r_, 1, in.Call(KVI_WARM_START));
        CHECK(r_, LoggedPrefix("KESTA> ReqSem() ERROR requesting MUTEX semaphore "));
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        // The port is free for another owner.
        char path[32];
        snprintf(path, sizeof path, "\\\\.\\%s", o_.port);
        HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        CHECK_MSG(r_, port != INVALID_HANDLE_VALUE, "the port cannot be opened after EndKvi, error %lu",
                  GetLastError());
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
        // GetKviInfo still answers.
        DriverInfo info;
        memset(&info, 0, sizeof info);
        CHECK_EQ(r_, 0, in.Call(KVI_GET_INFO, &info));
        CHECK_EQ(r_, 1087, info.instanceSize);
        CHECK(r_, in.GuardIntact());
    }

    void MeasurementRecords() {
        Instance in(4);
        CHECK(r_, in.WriteInitFile("NUM_OF_SLAVES = 2\r\nEWT_DELAY_BETWEEN_RECORDS = 20\r\n"));
        TestTal_ClearMessages();
        if (!CHECK_EQ(r_, 0, in.ColdStart(o_.port, 20))) {
            in.Call(KVI_END);
            return;
        }
        CHECK(r_, Logged("KESTA> InitFile() EWT_DELAY_BETWEEN_RECORDS= 20"));
        const uint32_t gate = 201;
        TestTal_DefineGate("002_V005_007", gate);
        Gate meas;
        CHECK_EQ(r_, 0, meas.Parse(in, "002_Vmeas", GATE_UNSIGNED32));
        CHECK_EQ(r_, EWTV, meas.parse.typeCode);
        const DWORD start = NowMs();
        CHECK_EQ(r_, 0, meas.Read(in));
        const DWORD elapsed = NowMs() - start;
        CHECK_EQ(r_, 3, meas.Word());
        CHECK_EQ(r_, 3, TestTal_StoreCount(gate));
        int32_t stamps[3] = {0, 0, 0};
        for (int i = 0; i < 3; i++) {
            CHECK(r_, LocalToEpoch(2001, 12, 26, 14, 30 + i, 0, &stamps[i]));
        }
        CheckStore(gate, 0, 500.0, stamps[0]);
        CheckStore(gate, 1, 512.0, stamps[1]);
        CheckStore(gate, 2, 523.0, stamps[2]);
        CHECK_EQ(r_, 8, LevelOf("KESTA> ReadSampleGate()  3 measurement records read"));
        CHECK_MSG(r_, elapsed >= 60 && elapsed < 30000, "three records with 20 ms pauses took %lu ms",
                  static_cast<unsigned long>(elapsed));
        // Empty now.
        CHECK_EQ(r_, 0, meas.Read(in));
        CHECK_EQ(r_, 3, meas.Word());
        CHECK_EQ(r_, 3, TestTal_StoreCount(gate));
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        CHECK(r_, in.GuardIntact());
    }

    // The key through the DLL: the first read takes the station's other single gates along, the next
    // ones are answered from what it brought, a write sends its gate's next read to the line.
    void GroupedReads() {
        Instance in(7);
        CHECK(r_, in.WriteInitFile("NUM_OF_SLAVES = 2\r\nREAD_GROUP_MS = 60000\r\n"));
        TestTal_ClearMessages();
        if (!CHECK_EQ(r_, 0, in.ColdStart(o_.port, 20))) {
            in.Call(KVI_END);
            return;
        }
        CHECK(r_, Logged("KESTA> InitFile() READ_GROUP_MS set to 60000"));
        Gate speed, counter, total, setpoint;
        CHECK_EQ(r_, 0, speed.Parse(in, "002speed", GATE_SIGNED16));
        CHECK_EQ(r_, 0, counter.Parse(in, "002counter", GATE_SIGNED32));
        CHECK_EQ(r_, 0, total.Parse(in, "002total", GATE_UNSIGNED32));
        CHECK_EQ(r_, 0, setpoint.Parse(in, "002setpoint", GATE_UNSIGNED16));
        CHECK_EQ(r_, 0, speed.Read(in));
        CHECK_EQ(r_, 1234, static_cast<int16_t>(speed.SecondHalf()));
        CHECK_EQ(r_, 0, speed.FirstHalf());
        CHECK_EQ(r_, 0, counter.Read(in));
        const uint32_t first = counter.Word();
        CHECK_EQ(r_, 0, counter.Read(in));
        CHECK_EQ(r_, first, counter.Word());
        CHECK_EQ(r_, 0, total.Read(in));
        unsigned char cell[4];
        Cell16(cell, 4321);
        CHECK_EQ(r_, 0, setpoint.Write(in, cell));
        memset(setpoint.cell, 0, 4);
        CHECK_EQ(r_, 0, setpoint.Read(in));
        CHECK_EQ(r_, 4321, setpoint.SecondHalf());
        CHECK_MSG(r_, !LoggedPrefix("KESTA> DoRead()"), "a read failed");
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        CHECK(r_, in.GuardIntact());
    }

    void EchoingConverter() {
        if (o_.echoPort == nullptr) {
            r_.Skip("no --echo-port given");
            return;
        }
        Instance in(5);
        TestTal_ClearMessages();
        if (!CHECK_EQ(r_, 0, in.ColdStart(o_.echoPort, 20))) {
            in.Call(KVI_END);
            return;
        }
        CHECK_EQ(r_, 1, Count(kEcho));
        CHECK_EQ(r_, 32, LevelOf(kEcho));
        Gate speed;
        CHECK_EQ(r_, 0, speed.Parse(in, "002speed", GATE_SIGNED16));
        CHECK_EQ(r_, 0, speed.Read(in));
        CHECK_EQ(r_, 1234, static_cast<int16_t>(speed.SecondHalf()));
        unsigned char cell[4];
        Cell16(cell, 777);
        CHECK_EQ(r_, 0, speed.Write(in, cell));
        CHECK_EQ(r_, 0, speed.Read(in));
        CHECK_EQ(r_, 777, static_cast<int16_t>(speed.SecondHalf()));
        Gate arr;
        CHECK_EQ(r_, 0, arr.Parse(in, "002arr", GATE_UNSIGNED16, true, 10));
        CHECK_EQ(r_, 0, arr.Read(in, 10, true));
        uint16_t last;
        memcpy(&last, arr.cell + 18, 2);
        CHECK_EQ(r_, 10, last);
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        CHECK(r_, in.GuardIntact());
    }

    // The simulator behind --plug-port pulls its device out after a few frames and brings it back 1.5 s
    // later; the host only keeps reading, as it polls, and the line is back without ReOpenCom.
    void PulledAdapter() {
        if (o_.plugPort == nullptr) {
            r_.Skip("no --plug-port given");
            return;
        }
        Instance in(8);
        CHECK(r_, in.WriteInitFile("PORT_REOPEN_INTERVAL = 300\r\n"));
        TestTal_ClearMessages();
        if (!CHECK_EQ(r_, 0, in.ColdStart(o_.plugPort, 20))) {
            in.Call(KVI_END);
            return;
        }
        CHECK(r_, Logged("KESTA> InitFile() PORT_REOPEN_INTERVAL set to 300"));
        const KestaHandle handle = in.block().portHandle;
        Gate speed;
        CHECK_EQ(r_, 0, speed.Parse(in, "002speed", GATE_SIGNED16));
        int failed = 0;
        int goodAfter = 0;
        const DWORD start = NowMs();
        while (NowMs() - start < 30000 && goodAfter < 20) {
            if (speed.Read(in) == 0) {
                CHECK_EQ(r_, 1234, static_cast<int16_t>(speed.SecondHalf()));
                goodAfter += failed != 0 ? 1 : 0;
            } else {
                failed++;
            }
            Sleep(20);
        }
        CHECK_MSG(r_, failed > 0, "the device was never pulled (%d reads failed)", failed);
        CHECK_MSG(r_, goodAfter == 20, "%d good reads after the device came back, %d failed", goodAfter, failed);
        CHECK(r_, LoggedPrefix(std::string("KESTA> ReopenPort() port ") + o_.plugPort + " failed, system error "));
        CHECK_EQ(r_, 32, LevelOf(std::string("KESTA> ReopenPort() port ") + o_.plugPort + " reopened"));
        CHECK_EQ(r_, handle, in.block().portHandle);
        CHECK_EQ(r_, 0, in.Call(KVI_END));
        CHECK(r_, in.GuardIntact());
    }

    const Options &o_;
    ScenarioRunner &r_;
    Instance *line_ = nullptr;
    bool lineStarted_ = false;
    bool parsed_ = false;
    Gate speed_, counter_, total_, temperature_, pump_, setpoint_, element_, arr_, big_, events_, stampM_, stampV_;
};

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(a, "--verbose") == 0) {
            o->verbose = true;
            continue;
        }
        if (next == nullptr) {
            return false;
        }
        if (strcmp(a, "--port") == 0) {
            o->port = next;
        } else if (strcmp(a, "--echo-port") == 0) {
            o->echoPort = next;
        } else if (strcmp(a, "--missing-port") == 0) {
            o->missingPort = next;
        } else if (strcmp(a, "--plug-port") == 0) {
            o->plugPort = next;
        } else if (strcmp(a, "--only") == 0) {
            o->only = next;
        } else if (strcmp(a, "--fill") == 0) {
            o->fill = static_cast<int>(strtoul(next, nullptr, 16) & 0xFFu);
        } else {
            return false;
        }
        i++;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: kesta-test-host [--port COMn] [--echo-port COMm] [--missing-port COMk]"
                        " [--plug-port COMp] [--only TEXT] [--fill HEX] [--verbose]\n");
        return 2;
    }
    blockFill = options.fill;
    ScenarioRunner runner(options.only);
    TestTal_Echo(options.verbose ? 1 : 0);

    // As the host loads a driver: by name from its own folder, then the one entry point by name.
    HMODULE dll = nullptr;
    runner.Run("kesta.dll loads and exports KviMain, undecorated", [&] {
        dll = LoadLibraryA("kesta.dll");
        if (!CHECK_MSG(runner, dll != nullptr, "LoadLibrary(kesta.dll) failed, error %lu", GetLastError())) {
            return;
        }
        kviMain = reinterpret_cast<KviMainFn>(reinterpret_cast<void *>(GetProcAddress(dll, "KviMain")));
        CHECK_MSG(runner, kviMain != nullptr, "GetProcAddress(KviMain) failed, error %lu", GetLastError());
        CHECK(runner, GetProcAddress(dll, "_KviMain") == nullptr);
        CHECK(runner, GetProcAddress(dll, "KviMain@4") == nullptr);
        // Loading does nothing of the driver's own: nothing logged.
        CHECK_EQ(runner, 0, TestTal_MessageCount());
    });
    if (kviMain == nullptr) {
        return runner.Finish();
    }
    // The size the host allocates comes from the driver itself.
    DriverInfo info;
    memset(&info, 0, sizeof info);
    DriverCall call;
    memset(&call, 0, sizeof call);
    call.functionCode = KVI_GET_INFO;
    call.argRecord = &info;
    instanceSize =
        kviMain(&call) == 0 && info.instanceSize >= sizeof(DriverInstance) ? info.instanceSize : sizeof(DriverInstance);

    HostTest test(options, runner);
    test.RunAll();
    const int rc = runner.Finish();
    FreeLibrary(dll);
    return rc;
}
