// The console's session: every operation goes through KviMain as a host would call it.
#include "tools/console/session.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/decode/decode.h"

namespace kesta::console {

namespace {

constexpr size_t kKeptLog = 1000;
constexpr size_t kKeptRecords = 200;

bool IsEwt(uint32_t typeCode, bool sample) {
    return sample ? (typeCode == EWTM || typeCode == EWTV) : (typeCode == EWTm || typeCode == EWTv);
}

// The number after the first of the markers in text; false when none is there.
bool NumberAfter(const std::string &text, const char *marker, unsigned *value) {
    const size_t at = text.find(marker);
    if (at == std::string::npos)
        return false;
    const char *p = text.c_str() + at + std::strlen(marker);
    while (*p == ' ')
        ++p;
    char *end = nullptr;
    const unsigned long v = std::strtoul(p, &end, 10);
    if (end == p)
        return false;
    *value = static_cast<unsigned>(v);
    return true;
}

std::string WithoutPrefix(const std::string &text) {
    static const char prefix[] = "KESTA>";
    if (text.compare(0, sizeof prefix - 1, prefix) != 0)
        return text;
    size_t at = sizeof prefix - 1;
    while (at < text.size() && text[at] == ' ')
        ++at;
    return text.substr(at);
}

} // namespace

const char *Gate::kindName() const {
    switch (role) {
    case GateRole::Sample: return "sample";
    case GateRole::TimeStamp: return "timestamp";
    default: return entry.block ? "block" : "single";
    }
}

std::string LocalTime(time_t t, bool withDate) {
    struct tm local;
    localtime_r(&t, &local);
    char buf[64];
    if (withDate)
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    else
        std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return buf;
}

std::string Problem(const std::vector<DriverMessage> &messages) {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        unsigned code = 0;
        const std::string text = WithoutPrefix(it->text);
        if (NumberAfter(it->text, "ErrCode:", &code) || NumberAfter(it->text, "ErrorCode:", &code))
            return text + " (" + decode::ErrCodeMeaning(code) + ")";
        if (NumberAfter(it->text, "rc=", &code) && it->text.find("not defined in PLC") != std::string::npos)
            return text + " (" + decode::LookupStatusMeaning(code) + ")";
    }
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
        if (it->level == 32)
            return WithoutPrefix(it->text);
    return std::string();
}

// ---- TraceTail ----------------------------------------------------------------------------------

void TraceTail::open(const std::string &path) {
    path_ = path;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    offset_ = in ? static_cast<long>(in.tellg()) : 0;
}

bool TraceTail::poll() {
    if (path_.empty())
        return false;
    std::ifstream in(path_, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    const long size = static_cast<long>(in.tellg());
    if (size < offset_)
        offset_ = 0; // the file was replaced
    if (size == offset_)
        return false;
    in.seekg(offset_);
    std::string text(static_cast<size_t>(size - offset_), '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    offset_ = size;
    text = partial_ + text;
    const size_t lastEnd = text.rfind('\n');
    if (lastEnd == std::string::npos) {
        partial_ = text;
        return false;
    }
    partial_ = text.substr(lastEnd + 1);
    text.erase(lastEnd + 1);
    bool fresh = false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 2, "# ") != 0 || line.find(" counters ") == std::string::npos)
            continue;
        std::istringstream words(line.substr(2));
        std::string word;
        words >> stamp_;
        std::map<std::string, std::string> values;
        while (words >> word) {
            const size_t eq = word.find('=');
            if (eq != std::string::npos)
                values[word.substr(0, eq)] = word.substr(eq + 1);
        }
        values_ = values;
        fresh = true;
    }
    return fresh;
}

uint64_t TraceTail::value(const std::string &key) const {
    auto it = values_.find(key);
    return it == values_.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

// ---- Session ------------------------------------------------------------------------------------

std::vector<DriverMessage> Session::collect() {
    std::vector<DriverMessage> messages = host.newMessages();
    const time_t now = std::time(nullptr);
    for (const DriverMessage &m : messages) {
        if (m.level != 32 && !verbose)
            continue;
        log.push_back(LogEntry{now, m.level, m.text});
        if (log.size() > kKeptLog)
            log.pop_front();
        if (logFile != nullptr) {
            std::fprintf(logFile, "%s %2d %s\n", LocalTime(now, true).c_str(), m.level, m.text.c_str());
            std::fflush(logFile);
        }
    }
    return messages;
}

bool Session::start(std::string *error) {
    if (!host.info(&protocol, &banner)) {
        *error = "the driver does not answer GetKviInfo";
        return false;
    }
    PortConfig config;
    std::memset(&config, 0, sizeof config);
    std::snprintf(config.portName, sizeof config.portName, "%s", line.port.c_str());
    config.usePort = 1;
    config.timeout = line.timeoutUnits;
    config.lineParams = LineParams{line.baud, line.dataBits, line.stopBits, line.parity};
    coldStartResult = host.call(KVI_COLD_START, &config);
    started_ = true;
    const std::vector<DriverMessage> messages = collect();
    if (coldStartResult != 0) {
        *error = "cold start failed with result " + std::to_string(coldStartResult);
        const std::string why = Problem(messages);
        if (!why.empty())
            *error += ": " + why;
        return false;
    }
    return true;
}

Gate &Session::add(const GateEntry &entry) {
    gates.push_back(std::make_unique<Gate>());
    Gate &gate = *gates.back();
    gate.entry = entry;
    gate.runtimeId = static_cast<uint32_t>(gates.size());
    // The host knows every gate; time-stamp gates are found there by their address.
    host.runtime().defineGate(entry.address.c_str(), gate.runtimeId);
    return gate;
}

void Session::parse(Gate &gate) {
    gate.parse = GateAddressParse{};
    gate.parse.addressString = gate.entry.address.c_str();
    gate.parse.gateType = gate.entry.hostType;
    gate.parse.blockLength = gate.entry.block ? gate.entry.length : 0;
    gate.parseResult = host.call(gate.entry.block ? KVI_BLOCK_ADDRESS_PARSER : KVI_SINGLE_ADDRESS_PARSER, &gate.parse);
    gate.parsed = true;
    const std::vector<DriverMessage> messages = collect();
    // The host carries the driver's five fields into the read/write record unchanged.
    gate.rw = GateAddressRW{};
    gate.rw.addressString = gate.entry.address.c_str();
    gate.rw.station = gate.parse.station;
    gate.rw.typeCode = gate.parse.typeCode;
    gate.rw.offset = gate.parse.offset;
    gate.rw.toggleHandle = gate.parse.toggleHandle;
    gate.rw.elementBits = gate.parse.elementBits;
    if (gate.parseResult != 0) {
        gate.note = Problem(messages);
        gate.hasResult = true;
        gate.lastResult = gate.parseResult;
        return;
    }
    if (IsEwt(gate.parse.typeCode, true))
        gate.role = GateRole::Sample;
    else if (IsEwt(gate.parse.typeCode, false))
        gate.role = GateRole::TimeStamp;
    const uint32_t bytes = (gate.parse.elementBits + 7) / 8;
    gate.cells.assign(static_cast<size_t>(gate.entry.block ? gate.entry.length : 1) * (bytes < 4 ? 4 : bytes) + 4, 0);
    if (gate.role == GateRole::TimeStamp)
        gate.note = "no record yet";
}

void Session::read(Gate &gate) {
    if (!gate.parsed || gate.parseResult != 0 || gate.role == GateRole::TimeStamp)
        return;
    std::fill(gate.cells.begin(), gate.cells.end(), 0);
    gate.rw.elementCount = gate.entry.block ? gate.entry.length : 1;
    gate.rw.valueCell = gate.cells.data(); // a block read moves the record's pointer along; set it each time
    const uint32_t rc = host.call(gate.entry.block ? KVI_BLOCK_READ : KVI_SINGLE_READ, &gate.rw);
    const std::vector<DriverMessage> messages = collect();
    gate.reads++;
    gate.hasResult = true;
    gate.lastResult = rc;
    if (rc != 0) {
        gate.errors++;
        gate.note = Problem(messages);
        return;
    }
    gate.note.clear();
    gate.lastGood = std::time(nullptr);
    gate.hasValue = true;
    if (gate.role == GateRole::Sample) {
        uint32_t count;
        std::memcpy(&count, gate.cells.data(), 4);
        gate.value = std::to_string(count);
        gate.note = "EWT records the driver read since cold start (all sample gates)";
        lookForRecords();
    } else if (gate.entry.block) {
        gate.value = FormatBlock(gate.entry.hostType, gate.parse.elementBits, gate.cells.data(), gate.entry.length,
                                 gate.entry.length);
        gate.valueShort =
            FormatBlock(gate.entry.hostType, gate.parse.elementBits, gate.cells.data(), gate.entry.length, 12);
        return;
    } else {
        gate.value = FormatSingle(gate.entry.hostType, gate.parse.elementBits, gate.cells.data());
    }
    gate.valueShort = gate.value;
}

void Session::lookForRecords() {
    for (auto &g : gates) {
        Gate &gate = *g;
        if (gate.role != GateRole::TimeStamp)
            continue;
        unsigned char value[8];
        int32_t stamp = 0;
        uint32_t stores = 0;
        if (host.runtime().gateValue(gate.runtimeId, value, &stamp, &stores) != 0 || stores == gate.stores)
            continue;
        EwtRecord record;
        record.arrived = std::time(nullptr);
        record.address = gate.entry.address;
        char text[48];
        std::snprintf(text, sizeof text, "%.10g", host.runtime().cookedDouble(value));
        record.value = text;
        record.recordTime = stamp;
        record.count = stores - gate.stores;
        gate.stores = stores;
        gate.hasValue = true;
        gate.value = record.value;
        gate.valueShort = record.value;
        gate.recordTime = stamp;
        gate.lastGood = record.arrived;
        gate.note = "record of " + LocalTime(static_cast<time_t>(stamp), true) + " (" + std::to_string(stores) +
                    (stores == 1 ? " record)" : " records)");
        records.push_back(record);
        if (records.size() > kKeptRecords)
            records.pop_front();
    }
}

Gate *Session::find(const std::string &address, bool block) {
    for (auto &g : gates)
        if (g->entry.address == address && g->entry.block == block)
            return g.get();
    return nullptr;
}

bool Session::write(const std::string &addressText, const std::string &valueText, std::string *report) {
    std::string address = addressText;
    uint32_t hostType = 0;
    bool typeGiven = false;
    const size_t colon = address.rfind(':');
    if (colon != std::string::npos && colon + 1 < address.size()) {
        if (!ParseHostType(address.substr(colon + 1), &hostType)) {
            *report = "unknown host type '" + address.substr(colon + 1) + "'";
            return false;
        }
        address.erase(colon);
        typeGiven = true;
    }
    Gate *gate = find(address, false);
    if (gate == nullptr) {
        if (find(address, true) != nullptr) {
            *report = address + " is a block gate: the driver writes single gates, e.g. " + address + "[0]";
            return false;
        }
        if (!typeGiven) {
            // An element of a block gate takes the block's host type.
            const size_t bracket = address.find('[');
            const Gate *block = bracket == std::string::npos ? nullptr : find(address.substr(0, bracket), true);
            if (block == nullptr) {
                *report = address + " is not in the gate list: give its host type, " + address + ":UNSIGNED16";
                return false;
            }
            hostType = block->entry.hostType;
        }
        GateEntry entry;
        entry.address = address;
        entry.hostType = hostType;
        entry.file = "command";
        gate = &add(entry);
        parse(*gate);
        if (gate->parseResult != 0) {
            // A mistyped address must not stay in the table.
            *report = address + " was refused by the parser (result " + std::to_string(gate->parseResult) + ")" +
                      (gate->note.empty() ? "" : ": " + gate->note);
            gates.pop_back();
            return false;
        }
    }
    if (gate->parseResult != 0) {
        *report = address + " was refused by the parser (result " + std::to_string(gate->parseResult) + ")" +
                  (gate->note.empty() ? "" : ": " + gate->note);
        return false;
    }
    uint8_t cell[4];
    std::string why;
    if (!ParseValue(gate->entry.hostType, gate->parse.elementBits, valueText, cell, &why)) {
        *report = address + ": " + why;
        return false;
    }
    gate->rw.elementCount = 1;
    gate->rw.valueCell = cell;
    const uint32_t rc = host.call(KVI_SINGLE_WRITE, &gate->rw);
    const std::vector<DriverMessage> messages = collect();
    if (rc != 0) {
        const std::string problem = Problem(messages);
        *report = address + " := " + valueText + ": write failed with result " + std::to_string(rc) +
                  (problem.empty() ? "" : ": " + problem);
        return false;
    }
    read(*gate);
    *report = address + " := " + valueText + ": written";
    if (gate->hasResult && gate->lastResult == 0 && gate->role == GateRole::Ordinary)
        *report += ", reads back " + gate->value;
    return true;
}

uint32_t Session::end() {
    if (!started_)
        return 0;
    started_ = false;
    const uint32_t rc = host.call(KVI_END, nullptr);
    collect();
    return rc;
}

} // namespace kesta::console
