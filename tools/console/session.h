// kesta-host's session with the driver: cold start, gates parsed once and read in cycles, writes, the
// EWT records that arrive in the host runtime's time-stamp gates, the driver's messages, and the link
// counters that the driver writes into its frame trace.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/console/driver_host.h"
#include "tools/console/gatefile.h"

namespace kesta::console {

struct LineSettings {
    std::string port;
    uint16_t baud = 57600;
    uint16_t dataBits = 8;
    uint16_t stopBits = 0;      // 0 one, 1 one and a half, 2 two
    uint16_t parity = 1;        // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint32_t timeoutUnits = 20; // the port's read time-out in units of 10 ms
};

enum class GateRole { Ordinary, Sample, TimeStamp };

struct Gate {
    GateEntry entry;
    GateAddressParse parse{};
    GateAddressRW rw{};
    std::vector<uint8_t> cells;
    bool parsed = false;
    uint32_t parseResult = 0;
    GateRole role = GateRole::Ordinary;
    uint32_t runtimeId = 0;
    bool hasValue = false;
    std::string value;      // the last value read, as text (every element of a block)
    std::string valueShort; // the same with at most a dozen elements
    bool hasResult = false;
    uint32_t lastResult = 0; // of the last read (of the parse when it failed)
    std::string note;        // why the last call failed, or what a time-stamp gate last received
    time_t lastGood = 0;
    uint64_t errors = 0;
    uint64_t reads = 0;
    uint32_t stores = 0; // time-stamp gates: records stored so far
    int32_t recordTime = 0;

    bool failed() const { return (parsed && parseResult != 0) || (hasResult && lastResult != 0); }
    const char *kindName() const;
};

struct EwtRecord {
    time_t arrived = 0;
    std::string address;
    std::string value;
    int32_t recordTime = 0;
    uint32_t count = 1; // records stored into the gate since the last look (the runtime keeps the last)
};

struct LogEntry {
    time_t when = 0;
    int level = 0;
    std::string text;
};

// The driver's counter lines ("# TIME counters WHY key=value ...") read from the end of its trace.
class TraceTail {
public:
    void open(const std::string &path); // starts at the file's present end
    bool poll();                        // true when a new counter line came
    bool any() const { return !values_.empty(); }
    const std::map<std::string, std::string> &values() const { return values_; }
    const std::string &stamp() const { return stamp_; }
    uint64_t value(const std::string &key) const;

private:
    std::string path_;
    long offset_ = 0;
    std::string partial_;
    std::map<std::string, std::string> values_;
    std::string stamp_;
};

class Session {
public:
    DriverHost host;
    LineSettings line;
    std::vector<std::unique_ptr<Gate>> gates;
    std::deque<EwtRecord> records; // oldest first
    std::deque<LogEntry> log;      // oldest first
    TraceTail counters;
    bool verbose = false;    // level 8 messages too
    FILE *logFile = nullptr; // the driver's messages also go here
    std::string protocol, banner;
    uint32_t coldStartResult = 0;
    uint64_t cycles = 0;

    bool start(std::string *error); // GetKviInfo and ColdStart
    Gate &add(const GateEntry &entry);
    void parse(Gate &gate);
    void read(Gate &gate);
    void lookForRecords();
    // Parses ADDRESS as a single gate if it is new (its host type from ":TYPE", the gate file or its
    // block), writes, reads back; *report says what happened.
    bool write(const std::string &address, const std::string &valueText, std::string *report);
    uint32_t end();
    // The driver's messages since the last look; those of one call come back for its gate.
    std::vector<DriverMessage> collect();

private:
    Gate *find(const std::string &address, bool block);
    bool started_ = false;
};

// What a failed call's messages say, shortened, with the meaning of the ErrCode or lookup status.
std::string Problem(const std::vector<DriverMessage> &messages);
std::string LocalTime(time_t t, bool withDate);

} // namespace kesta::console
