// The decoder's words: one line per event, typed values of PLC objects, and what the driver's result
// codes mean to an integrator.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/common/line_text.h"
#include "tools/decode/decode.h"

namespace kesta::decode {

namespace {

std::string Printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char *format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

std::string Bytes(const std::vector<uint8_t> &bytes, size_t limit = 48) {
    if (bytes.size() <= limit)
        return Hex(bytes);
    return Hex(bytes.data(), limit) + Printf(" .. (%zu bytes)", bytes.size());
}

uint32_t Be(const uint8_t *p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

std::string Element(uint16_t dataType, const uint8_t *p) {
    switch (dataType) {
    case 1: return std::to_string(p[0]);
    case 2:
    case 3: return std::to_string(static_cast<int16_t>(Be(p, 2)));
    case 4: return std::to_string(static_cast<int32_t>(Be(p, 4)));
    case 5:
    case 6: return std::to_string(Be(p, 2));
    case 7: return std::to_string(Be(p, 4));
    case 8: {
        const uint32_t bits = Be(p, 4);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return Printf("%.7g", static_cast<double>(f));
    }
    default: return Hex(p, 1);
    }
}

std::string Record(const uint8_t *r) {
    if (r[0] == 0)
        return "EWT structure empty (no record)";
    const unsigned year = r[4] << 8 | r[5];
    return Printf("EWT record of %02u.%02u.%04u %02u:%02u [%02X %02X %02X %02X]: as a message record :%02u "
                  "to gate _M%03u_%03u state %u; as a measurement record to gate _V%03u_%03u value %u",
                  r[1], r[2], year, r[6], r[7], r[8], r[9], r[10], r[11], r[8], r[9], r[10], r[11] != 0 ? 1u : 0u, r[8],
                  r[9], static_cast<unsigned>(r[10] << 8 | r[11]));
}

} // namespace

const char *FrameTypeName(uint8_t type) {
    const char *name = tools::FrameTypeName(type);
    return name != nullptr ? name : "Type?";
}

std::string DataTypeName(uint16_t dataType) {
    switch (dataType) {
    case 1: return "BOOL";
    case 2: return "INT";
    case 3: return "INT(3)";
    case 4: return "DINT";
    case 5: return "UINT";
    case 6: return "UINT(6)";
    case 7: return "UDINT";
    case 8: return "REAL";
    default: return "type " + std::to_string(dataType);
    }
}

uint32_t DataTypeSize(uint16_t dataType) {
    static const uint32_t sizes[] = {0, 1, 2, 2, 4, 2, 2, 4, 4};
    return dataType < 9 ? sizes[dataType] : 0;
}

std::string FormatValue(const ObjectInfo &object, const uint8_t *bytes, size_t n) {
    size_t length = object.length != 0 && object.length <= n ? object.length : n;
    if ((object.kind == 2 || object.kind == 3) && length == 12)
        return Record(bytes);
    const uint32_t size = DataTypeSize(object.dataType);
    if (size == 0 || length == 0 || length % size != 0)
        return Hex(bytes, length);
    const size_t count = length / size;
    if (count == 1)
        return Element(object.dataType, bytes);
    std::string s = "[";
    const size_t shown = count < 16 ? count : 16;
    for (size_t i = 0; i < shown; ++i) {
        if (i != 0)
            s += ' ';
        s += Element(object.dataType, bytes + i * size);
    }
    if (shown < count)
        s += Printf(" .. (%zu values)", count);
    return s + "]";
}

const char *ErrCodeMeaning(unsigned lowByte) {
    switch (lowByte & 0xFFu) {
    case 0: return "done";
    case 1: return "frame not written completely (port), or station error 1";
    case 10: return "no reply after 3 retransmissions";
    case 11: return "frame addressed to another station";
    case 12: return "header checksum wrong";
    case 13: return "sequence number wrong";
    case 14: return "data checksum wrong";
    case 20: return "reply buffers could not grow";
    case 21: return "segmented reply longer than the station's limit";
    case 22: return "segments out of order";
    case 29: return "frame too long";
    case 40: return "station not connected";
    case 41: return "request buffer could not grow";
    case 42: return "request longer than the station takes";
    case 43: return "reply counter wrong";
    case 44: return "reply code wrong";
    case 45: return "reply length wrong";
    case 46: return "no free station entry (NUM_OF_SLAVES)";
    case 60: return "reply larger than the driver's buffer";
    case 61: return "unknown service";
    case 80: return "out of memory";
    case 81: return "message buffer missing";
    case 82: return "station count 0";
    case 83: return "stack record damaged";
    case 100: return "station refused a segmented request";
    case 170: return "object length differs";
    case 200: return "stack not open";
    case 201: return "frame buffer missing";
    case 202: return "engine action unknown";
    case 203: return "station set aside after silent requests (SILENT_STATION_LIMIT)";
    case 204: return "port device failed, waiting to reopen it (PORT_REOPEN_INTERVAL)";
    case 205: return "object gone or changed in the PLC (RELOOKUP_ON_ERROR)";
    default: break;
    }
    const unsigned code = lowByte & 0xFFu;
    if (code > 100 && code < 170)
        return "station error reply, number = ErrCode - 100";
    return "station error reply, number = ErrCode";
}

std::string LookupStatusMeaning(unsigned lowByte) {
    const unsigned code = lowByte & 0xFFu;
    if (code == 170)
        return "object length differs";
    if (code > 170)
        return "PLC lookup status " + std::to_string(code - 170) + ": object not known";
    return "PLC lookup status " + std::to_string(code) + ": object not known";
}

std::string FormatEvent(const Event &e, const FormatOptions &options) {
    std::string s = e.time.empty() ? std::string() : e.time + " ";
    const char dir = e.directionInferred ? static_cast<char>(e.direction + ('a' - 'A')) : e.direction;
    switch (e.kind) {
    case Event::FrameSeen: {
        const Frame &f = e.frame;
        s += Printf("%c %3u>%-3u %-18s seq %2u", dir, f.source, f.destination, FrameTypeName(f.type), f.sequence);
        if (f.dataOk)
            s += " ok";
        else
            s += Printf(" BAD data checksum %04X, computed %04X", f.checksum, f.expectedChecksum);
        if (e.hasPrefix)
            s += Printf(" len %u", e.prefix);
        if (e.repeat)
            s += " REPEAT";
        if (e.hasMessage)
            s += Printf(" | #%u ", e.message.counter) + e.message.summary;
        break;
    }
    case Event::BadHeader: s += Printf("%c BAD header ", dir) + Hex(e.bytes); break;
    case Event::Noise: s += Printf("%c %zu bytes outside any frame: ", dir, e.bytes.size()) + Bytes(e.bytes); break;
    case Event::Incomplete: s += Printf("%c incomplete frame, cut short: ", dir) + Bytes(e.bytes); break;
    case Event::Echo:
        s += Printf("E echo of %zu bytes", e.bytes.size()) +
             (e.echoMatches ? std::string(", as sent") : ", differs from the frame sent: " + Bytes(e.bytes));
        break;
    case Event::Comment:
    case Event::BadLine: return e.text;
    }
    if (!e.notes.empty()) {
        s += "  (";
        for (size_t i = 0; i < e.notes.size(); ++i)
            s += (i == 0 ? "" : "; ") + e.notes[i];
        s += ")";
    }
    if (options.bytes && e.kind == Event::FrameSeen)
        s += "\n        " + Hex(e.frame.raw);
    return s;
}

std::string FormatStats(const Stats &st) {
    std::string s =
        Printf("frames: %llu from the master, %llu from stations", static_cast<unsigned long long>(st.framesFromMaster),
               static_cast<unsigned long long>(st.framesFromStation));
    if (st.framesOther != 0)
        s += Printf(", %llu of unknown type", static_cast<unsigned long long>(st.framesOther));
    s += Printf("\nmessages: %llu requests, %llu replies (%llu error replies)",
                static_cast<unsigned long long>(st.requests), static_cast<unsigned long long>(st.replies),
                static_cast<unsigned long long>(st.errorReplies));
    s += Printf("\nline: %llu repeats, %llu bad headers, %llu bad data checksums, %llu stale sequences, %llu counter "
                "mismatches, %llu bytes outside frames, %llu incomplete frames",
                static_cast<unsigned long long>(st.repeats), static_cast<unsigned long long>(st.badHeaders),
                static_cast<unsigned long long>(st.badData), static_cast<unsigned long long>(st.staleSequences),
                static_cast<unsigned long long>(st.counterMismatches), static_cast<unsigned long long>(st.noiseBytes),
                static_cast<unsigned long long>(st.incomplete));
    if (st.echoes != 0)
        s += Printf("\nechoes: %llu, %llu not as sent", static_cast<unsigned long long>(st.echoes),
                    static_cast<unsigned long long>(st.echoMismatches));
    if (st.badLines != 0)
        s += Printf("\ncapture: %llu lines that are not hex bytes", static_cast<unsigned long long>(st.badLines));
    return s;
}

} // namespace kesta::decode
