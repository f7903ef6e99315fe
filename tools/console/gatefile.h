// kesta-host's gate file and host value cells: what the console knows of the host's side of a gate.
// One gate a line, "ADDRESS TYPE [single | block LENGTH]", '#' or ';' comments. Bad lines are
// reported as "FILE:LINE: what is wrong", all of them, so a file can be mended in one go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kesta::console {

// The host's gate type codes as KviMain takes them.
enum HostType : uint32_t {
    kUnsigned16 = 0,
    kSigned16 = 1,
    kFloat = 3,
    kSigned32 = 4,
    kUnsigned32 = 5,
    kDigital = 6,
    kString = 7,
};

struct GateEntry {
    std::string address;
    uint32_t hostType = kUnsigned16;
    bool block = false;
    uint32_t length = 1; // elements of a block gate
    std::string file;
    int line = 0;
};

bool ParseGateText(const std::string &text, const std::string &fileName, std::vector<GateEntry> *gates,
                   std::vector<std::string> *errors);
bool LoadGateFile(const std::string &path, std::vector<GateEntry> *gates, std::vector<std::string> *errors);

// UNSIGNED16, SIGNED16, FLOAT, SIGNED32, UNSIGNED32, DIGITAL, STRING; "type N" for other codes.
std::string HostTypeName(uint32_t hostType);
// Those names, in any case, the PLC-style names (UINT, INT, REAL, DINT, UDINT, BOOL), U16, S16, U32,
// S32, or a code 0..7.
bool ParseHostType(const std::string &text, uint32_t *hostType);

// Value cells as the driver fills them: a single gate of 8 or 16 bits uses the second 16-bit half of
// its 4-byte cell, one of 32 bits the whole cell; a block packs elementCount elements in host order.
std::string FormatSingle(uint32_t hostType, uint32_t elementBits, const uint8_t cell[4]);
std::string FormatBlock(uint32_t hostType, uint32_t elementBits, const uint8_t *cells, uint32_t count, size_t maxValues,
                        const char *separator = " ");
// Text to a single gate's cell; false with a reason when the text does not fit the host type.
bool ParseValue(uint32_t hostType, uint32_t elementBits, const std::string &text, uint8_t cell[4], std::string *why);

} // namespace kesta::console
