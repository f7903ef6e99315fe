// Reference host runtime: the four TALRUN functions a driver imports, over an in-memory message log and
// gate table. Stands in for the host's runtime on Linux, for the tests and the host console; see
// talrun_ref.h for what each function does.
#include "tools/talrun/talrun_ref.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/talrun.h"

namespace {

struct Message {
    int level;
    std::string text;
};

struct Gate {
    std::string address;
    bool stored = false;
    unsigned char value[8] = {};
    int32_t timeStamp = 0;
    uint32_t stores = 0;
};

enum { GATE_FOUND = 0, GATE_NOT_FOUND = 1, GATE_BAD_ARGUMENT = 2, PUT_UNKNOWN_GATE = 2 };

struct Runtime {
    std::mutex lock;
    bool started = false;
    std::vector<Message> messages;
    FILE *log = stderr; // nullptr: nowhere
    bool ownLog = false;
    std::map<std::string, uint32_t> ids;
    std::map<uint32_t, Gate> gates;
    uint16_t failPut = 0;
    bool looked = false;
    uint8_t lastDriverId = 0;
    std::string lastAddress;
};

Runtime &State() {
    static Runtime *runtime = new Runtime; // never destroyed: drivers may log while the process exits
    return *runtime;
}

void SetLog(Runtime &r, const char *path) {
    if (r.ownLog && r.log != nullptr) {
        fclose(r.log);
    }
    r.ownLog = false;
    if (path == nullptr) {
        r.log = stderr;
    } else if (path[0] == '\0') {
        r.log = nullptr;
    } else {
        r.log = fopen(path, "a");
        r.ownLog = r.log != nullptr;
    }
}

void Define(Runtime &r, const std::string &address, uint32_t id) {
    r.ids[address] = id;
    r.gates[id].address = address;
}

int LoadGates(Runtime &r, const char *path) {
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        return -1;
    }
    int count = 0;
    char line[512];
    while (fgets(line, sizeof line, file) != nullptr) {
        char address[256];
        char number[32];
        if (line[0] == '#' || sscanf(line, "%255s %31s", address, number) != 2) {
            continue;
        }
        char *end = nullptr;
        const unsigned long id = strtoul(number, &end, 0); // decimal, or 0x... hexadecimal
        if (end == number || *end != '\0' || id > 0xFFFFFFFFul) {
            continue;
        }
        Define(r, address, static_cast<uint32_t>(id));
        ++count;
    }
    fclose(file);
    return count;
}

// Takes the lock and, once per process, the settings from the environment.
std::unique_lock<std::mutex> Start() {
    Runtime &r = State();
    std::unique_lock<std::mutex> guard(r.lock);
    if (!r.started) {
        r.started = true;
        const char *log = getenv("TALRUN_LOG");
        if (log != nullptr && log[0] != '\0') {
            SetLog(r, log);
            if (r.log == nullptr) {
                fprintf(stderr, "talrun: cannot open TALRUN_LOG file %s, writing to standard error\n", log);
                r.log = stderr;
            }
        }
        const char *gates = getenv("TALRUN_GATES");
        if (gates != nullptr && gates[0] != '\0' && LoadGates(r, gates) < 0) {
            fprintf(stderr, "talrun: cannot open TALRUN_GATES file %s\n", gates);
        }
    }
    return guard;
}

} // namespace

extern "C" {

int err(int level, const char *format, ...) {
    std::string text;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        const int length = vsnprintf(nullptr, 0, format, args);
        if (length > 0) {
            text.resize(static_cast<size_t>(length) + 1);
            vsnprintf(&text[0], text.size(), format, again);
            text.resize(static_cast<size_t>(length));
        }
        va_end(again);
        va_end(args);
    }
    std::unique_lock<std::mutex> guard = Start();
    Runtime &r = State();
    if (r.log != nullptr) {
        fprintf(r.log, "%d %s\n", level, text.c_str());
        fflush(r.log);
    }
    if (r.messages.size() < TALREF_MAX_MESSAGES) {
        r.messages.push_back(Message{level, std::move(text)});
    }
    return 0;
}

uint16_t TalGetGateIdByAddressStr(int, uint8_t driverId, const char *address, uint32_t *gateId) {
    if (address == nullptr || gateId == nullptr) {
        return GATE_BAD_ARGUMENT;
    }
    std::unique_lock<std::mutex> guard = Start();
    Runtime &r = State();
    r.looked = true;
    r.lastDriverId = driverId;
    r.lastAddress = address;
    auto found = r.ids.find(address);
    if (found == r.ids.end()) {
        return GATE_NOT_FOUND;
    }
    *gateId = found->second;
    return GATE_FOUND;
}

int TalCook(int, uint32_t, uint32_t raw, void *cooked8) {
    if (cooked8 == nullptr) {
        return 0;
    }
    const double value = static_cast<double>(raw >> 16);
    uint64_t bits = 0;
    memcpy(&bits, &value, sizeof bits);
    unsigned char *out = static_cast<unsigned char *>(cooked8);
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    return 0;
}

uint16_t TalPutGateVal(int, uint32_t gateId, int, TalValue cooked, int32_t timeStamp, int) {
    std::unique_lock<std::mutex> guard = Start();
    Runtime &r = State();
    if (r.failPut != 0) {
        return r.failPut;
    }
    auto found = r.gates.find(gateId);
    if (found == r.gates.end()) {
        return PUT_UNKNOWN_GATE;
    }
    Gate &gate = found->second;
    memcpy(gate.value, cooked.bytes, sizeof gate.value);
    gate.timeStamp = timeStamp;
    gate.stored = true;
    ++gate.stores;
    return 0;
}

size_t talref_message_count(void) {
    std::unique_lock<std::mutex> guard = Start();
    return State().messages.size();
}

int talref_message(size_t index, int *level, char *text, size_t size) {
    std::unique_lock<std::mutex> guard = Start();
    Runtime &r = State();
    if (index >= r.messages.size()) {
        return -1;
    }
    const Message &m = r.messages[index];
    if (level != nullptr) {
        *level = m.level;
    }
    if (text != nullptr && size > 0) {
        snprintf(text, size, "%s", m.text.c_str());
    }
    return static_cast<int>(m.text.size());
}

void talref_clear_messages(void) {
    std::unique_lock<std::mutex> guard = Start();
    State().messages.clear();
}

int talref_log_to(const char *path) {
    std::unique_lock<std::mutex> guard = Start();
    Runtime &r = State();
    SetLog(r, path);
    if (path != nullptr && path[0] != '\0' && r.log == nullptr) {
        r.log = stderr;
        return -1;
    }
    return 0;
}

int talref_load_gates(const char *path) {
    std::unique_lock<std::mutex> guard = Start();
    return path != nullptr ? LoadGates(State(), path) : -1;
}

int talref_define_gate(const char *address, uint32_t id) {
    if (address == nullptr || address[0] == '\0') {
        return -1;
    }
    std::unique_lock<std::mutex> guard = Start();
    Define(State(), address, id);
    return 0;
}

void talref_clear_gates(void) {
    std::unique_lock<std::mutex> guard = Start();
    State().ids.clear();
    State().gates.clear();
}

int talref_gate_value(uint32_t id, unsigned char value[8], int32_t *timeStamp, uint32_t *stores) {
    std::unique_lock<std::mutex> guard = Start();
    auto found = State().gates.find(id);
    if (found == State().gates.end() || !found->second.stored) {
        return -1;
    }
    const Gate &gate = found->second;
    if (value != nullptr) {
        memcpy(value, gate.value, sizeof gate.value);
    }
    if (timeStamp != nullptr) {
        *timeStamp = gate.timeStamp;
    }
    if (stores != nullptr) {
        *stores = gate.stores;
    }
    return 0;
}

double talref_cooked_double(const unsigned char value[8]) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits |= static_cast<uint64_t>(value[i]) << (8 * i);
    }
    double result = 0;
    memcpy(&result, &bits, sizeof result);
    return result;
}

int talref_last_lookup(uint8_t *driverId, char *address, size_t size) {
    std::unique_lock<std::mutex> guard = Start();
    Runtime &r = State();
    if (!r.looked) {
        return -1;
    }
    if (driverId != nullptr) {
        *driverId = r.lastDriverId;
    }
    if (address != nullptr && size > 0) {
        snprintf(address, size, "%s", r.lastAddress.c_str());
    }
    return 0;
}

void talref_print_gates(FILE *out) {
    std::unique_lock<std::mutex> guard = Start();
    for (const auto &entry : State().gates) {
        const Gate &gate = entry.second;
        fprintf(out, "%s %u", gate.address.c_str(), static_cast<unsigned>(entry.first));
        if (gate.stored) {
            fprintf(out, " %g %d %u", talref_cooked_double(gate.value), static_cast<int>(gate.timeStamp),
                    static_cast<unsigned>(gate.stores));
        }
        fputc('\n', out);
    }
}

void talref_fail_put(uint16_t code) {
    std::unique_lock<std::mutex> guard = Start();
    State().failPut = code;
}

} // extern "C"
