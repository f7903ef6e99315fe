// Gate file lines and host value cells.
#include "tools/console/gatefile.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace kesta::console {

namespace {

constexpr size_t kMaxAddress = 255; // the driver's limit for an address string
constexpr uint32_t kMaxBlock = 65535;

std::string Upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Number(const std::string &text, long long low, long long high, long long *out) {
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < low || v > high)
        return false;
    *out = v;
    return true;
}

uint16_t Half(const uint8_t cell[4]) {
    uint16_t v;
    std::memcpy(&v, cell + 2, 2);
    return v;
}

uint32_t Whole(const uint8_t cell[4]) {
    uint32_t v;
    std::memcpy(&v, cell, 4);
    return v;
}

std::string Float(float f) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(f));
    return buf;
}

std::string Element32(uint32_t hostType, uint32_t v) {
    if (hostType == kFloat) {
        float f;
        std::memcpy(&f, &v, 4);
        return Float(f);
    }
    if (hostType == kSigned32)
        return std::to_string(static_cast<int32_t>(v));
    return std::to_string(v);
}

std::string Element16(uint32_t hostType, uint16_t v) {
    if (hostType == kSigned16)
        return std::to_string(static_cast<int16_t>(v));
    return std::to_string(v);
}

} // namespace

std::string HostTypeName(uint32_t hostType) {
    switch (hostType) {
    case kUnsigned16: return "UNSIGNED16";
    case kSigned16: return "SIGNED16";
    case kFloat: return "FLOAT";
    case kSigned32: return "SIGNED32";
    case kUnsigned32: return "UNSIGNED32";
    case kDigital: return "DIGITAL";
    case kString: return "STRING";
    default: return "type " + std::to_string(hostType);
    }
}

bool ParseHostType(const std::string &text, uint32_t *hostType) {
    static const std::map<std::string, uint32_t> names = {
        {"UNSIGNED16", kUnsigned16}, {"U16", kUnsigned16},   {"UINT16", kUnsigned16},     {"UINT", kUnsigned16},
        {"SIGNED16", kSigned16},     {"S16", kSigned16},     {"INT16", kSigned16},        {"INT", kSigned16},
        {"FLOAT", kFloat},           {"REAL", kFloat},       {"SIGNED32", kSigned32},     {"S32", kSigned32},
        {"INT32", kSigned32},        {"DINT", kSigned32},    {"UNSIGNED32", kUnsigned32}, {"U32", kUnsigned32},
        {"UINT32", kUnsigned32},     {"UDINT", kUnsigned32}, {"DIGITAL", kDigital},       {"BOOL", kDigital},
        {"STRING", kString},
    };
    auto it = names.find(Upper(text));
    if (it != names.end()) {
        *hostType = it->second;
        return true;
    }
    long long code = 0;
    if (text.size() == 1 && Number(text, 0, 7, &code)) {
        *hostType = static_cast<uint32_t>(code);
        return true;
    }
    return false;
}

bool ParseGateText(const std::string &text, const std::string &fileName, std::vector<GateEntry> *gates,
                   std::vector<std::string> *errors) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    std::map<std::string, int> seen; // address and kind -> line
    const size_t errorsBefore = errors->size();
    auto bad = [&](const std::string &what) {
        errors->push_back(fileName + ":" + std::to_string(number) + ": " + what);
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        std::vector<std::string> w;
        std::string word;
        while (words >> word) {
            if (word[0] == '#' || word[0] == ';')
                break;
            w.push_back(word);
        }
        if (w.empty())
            continue;
        GateEntry gate;
        gate.address = w[0];
        gate.file = fileName;
        gate.line = number;
        if (w.size() < 2) {
            bad("a gate line is ADDRESS TYPE [single | block LENGTH]");
            continue;
        }
        if (gate.address.size() > kMaxAddress) {
            bad("address longer than 255 characters");
            continue;
        }
        if (!ParseHostType(w[1], &gate.hostType)) {
            bad("unknown host type '" + w[1] +
                "' (UNSIGNED16, SIGNED16, FLOAT, SIGNED32, UNSIGNED32, DIGITAL, STRING or a code 0..7)");
            continue;
        }
        size_t next = 2;
        if (w.size() > 2) {
            const std::string kind = Lower(w[2]);
            if (kind == "single") {
                next = 3;
            } else if (kind == "block") {
                long long length = 0;
                if (w.size() < 4 || !Number(w[3], 1, kMaxBlock, &length)) {
                    bad("block needs its length: 1 to 65535 elements");
                    continue;
                }
                gate.block = true;
                gate.length = static_cast<uint32_t>(length);
                next = 4;
            } else {
                bad("'" + w[2] + "' is neither single nor block");
                continue;
            }
        }
        if (w.size() > next) {
            bad("unexpected '" + w[next] + "' after the gate");
            continue;
        }
        const std::string key = gate.address + (gate.block ? " block" : " single");
        auto first = seen.find(key);
        if (first != seen.end()) {
            bad(gate.address + " is listed twice (first at line " + std::to_string(first->second) + ")");
            continue;
        }
        seen[key] = number;
        gates->push_back(gate);
    }
    return errors->size() == errorsBefore;
}

bool LoadGateFile(const std::string &path, std::vector<GateEntry> *gates, std::vector<std::string> *errors) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        errors->push_back(path + ": cannot be read: " + std::strerror(errno));
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseGateText(text.str(), path, gates, errors);
}

std::string FormatSingle(uint32_t hostType, uint32_t elementBits, const uint8_t cell[4]) {
    switch (elementBits) {
    case 8:
    case 16: return Element16(hostType, Half(cell));
    case 32: return Element32(hostType, Whole(cell));
    default: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02X %02X %02X %02X", cell[0], cell[1], cell[2], cell[3]);
        return buf;
    }
    }
}

std::string FormatBlock(uint32_t hostType, uint32_t elementBits, const uint8_t *cells, uint32_t count, size_t maxValues,
                        const char *separator) {
    std::string s;
    const size_t shown = count < maxValues ? count : maxValues;
    for (size_t i = 0; i < shown; ++i) {
        if (i != 0)
            s += separator;
        if (elementBits == 8) {
            s += std::to_string(cells[i]);
        } else if (elementBits == 16) {
            uint16_t v;
            std::memcpy(&v, cells + 2 * i, 2);
            s += Element16(hostType, v);
        } else if (elementBits == 32) {
            uint32_t v;
            std::memcpy(&v, cells + 4 * i, 4);
            s += Element32(hostType, v);
        } else {
            return "(elements of " + std::to_string(elementBits) + " bits)";
        }
    }
    if (shown < count)
        s += std::string(separator) + ".. (" + std::to_string(count) + " values)";
    return s;
}

bool ParseValue(uint32_t hostType, uint32_t elementBits, const std::string &text, uint8_t cell[4], std::string *why) {
    std::memset(cell, 0, 4);
    long long v = 0;
    if (elementBits == 32) {
        uint32_t bits = 0;
        if (hostType == kFloat) {
            char *end = nullptr;
            errno = 0;
            const double d = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(d)) {
                *why = "'" + text + "' is not a number";
                return false;
            }
            const float f = static_cast<float>(d);
            std::memcpy(&bits, &f, 4);
        } else if (hostType == kSigned32) {
            if (!Number(text, INT32_MIN, INT32_MAX, &v)) {
                *why = "'" + text + "' is not a SIGNED32 number";
                return false;
            }
            bits = static_cast<uint32_t>(static_cast<int32_t>(v));
        } else {
            if (!Number(text, 0, UINT32_MAX, &v)) {
                *why = "'" + text + "' is not an UNSIGNED32 number";
                return false;
            }
            bits = static_cast<uint32_t>(v);
        }
        std::memcpy(cell, &bits, 4);
        return true;
    }
    if (elementBits != 8 && elementBits != 16) {
        *why = "the driver writes only elements of 8, 16 or 32 bits";
        return false;
    }
    uint16_t half = 0;
    const std::string lower = Lower(text);
    if (hostType == kDigital && (lower == "true" || lower == "on")) {
        half = 1;
    } else if (hostType == kDigital && (lower == "false" || lower == "off")) {
        half = 0;
    } else if (hostType == kSigned16) {
        if (!Number(text, INT16_MIN, INT16_MAX, &v)) {
            *why = "'" + text + "' is not a SIGNED16 number";
            return false;
        }
        half = static_cast<uint16_t>(static_cast<int16_t>(v));
    } else {
        const long long high = elementBits == 8 ? 255 : 65535;
        if (!Number(text, 0, high, &v)) {
            *why = "'" + text + "' is not a number from 0 to " + std::to_string(high);
            return false;
        }
        half = static_cast<uint16_t>(v);
    }
    std::memcpy(cell + 2, &half, 2);
    return true;
}

} // namespace kesta::console
