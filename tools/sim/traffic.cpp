// One log line per frame: header fields, length prefix, and the message it completes.
#include <cstdio>

#include "tools/sim/codec.h"

namespace kesta::sim {

namespace {

std::string CodeName(const TrafficRecord &r) {
    const uint8_t base = r.code == kCodeError ? r.code : (r.code & 0x7F);
    const char *name;
    switch (base) {
    case kCodeLookup: name = "Lookup"; break;
    case kCodeText: name = "Text"; break;
    case kCodeReadShort: name = r.marker == 0xFF ? "Connect" : "Read"; break;
    case kCodeWriteShort: name = r.marker == 0xFF ? "Control" : "Write"; break;
    case kCodeReadLong: name = "ReadLong"; break;
    case kCodeWriteLong: name = "WriteLong"; break;
    case kCodeError: name = "Error"; break;
    default: name = "Code"; break;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s(%u%s)", name, r.code, (r.code != kCodeError && (r.code & 0x80)) ? "+extra" : "");
    return buf;
}

std::string Data(const std::vector<uint8_t> &d) {
    if (d.size() <= 24)
        return Hex(d);
    return Hex(d.data(), 24) + " ..(" + std::to_string(d.size()) + ")";
}

} // namespace

std::string FormatRecord(const TrafficRecord &r) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%11.6f %3u>%-3u %-18s seq %2u", r.time, r.source, r.destination,
                  FrameTypeName(r.type), r.sequence);
    std::string s = buf;
    if (!r.valid)
        s += " BAD-CHECKSUM";
    if (r.hasPrefix)
        s += " len " + std::to_string(r.prefix);
    if (r.hasMessage) {
        std::snprintf(buf, sizeof buf, " | #%u %s", r.counter, CodeName(r).c_str());
        s += buf;
        if (r.code == kCodeError) {
            std::snprintf(buf, sizeof buf, " number %u flags 0x%02X", r.errorNumber, r.errorFlags);
            s += buf;
        }
        if (r.direction == Direction::FromStation && r.code == kCodeText) {
            s += " status " + std::to_string(r.textStatus);
        }
        for (const TrafficItem &it : r.items) {
            s += " [";
            std::string f;
            auto add = [&f](const std::string &part) {
                if (!f.empty())
                    f += ' ';
                f += part;
            };
            if (!it.name.empty() || (r.code & 0x7F) == kCodeLookup || (r.code & 0x7F) == kCodeText)
                add("\"" + it.name + "\"");
            if ((r.code & 0x7F) == kCodeLookup && r.direction == Direction::FromStation) {
                std::snprintf(buf, sizeof buf, "status %u", it.status);
                add(buf);
                if (it.status == 0) {
                    std::snprintf(buf, sizeof buf, "h=%04X kind %u len %u type %u elem %u", it.handle, it.kind,
                                  it.length, it.dataType, it.elementLength);
                    add(buf);
                }
            } else if (it.handle || it.length) {
                std::snprintf(buf, sizeof buf, "h=%04X", it.handle);
                add(buf);
                if (it.length)
                    add("len " + std::to_string(it.length));
            }
            if (!it.data.empty())
                f += (f.empty() ? "" : ": ") + Data(it.data);
            s += f + "]";
        }
    }
    if (!r.note.empty())
        s += "  (" + r.note + ")";
    return s;
}

} // namespace kesta::sim
