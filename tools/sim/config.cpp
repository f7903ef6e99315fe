// The simulator's configuration file: stations, objects, sample structures and records, text
// replies and fault scripts, one line each. Every refusal names the file, the line and the cause.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/sim/codec.h"

namespace kesta::sim {

namespace {

struct Line {
    std::string source;
    int number = 0;
    std::vector<std::string> words;
    std::string *error = nullptr;

    bool fail(const std::string &why) const {
        if (error)
            *error = source + ":" + std::to_string(number) + ": " + why;
        return false;
    }
};

// Words split at blanks; "double quoted" words may hold blanks; '#' outside quotes ends the line.
bool Split(const std::string &text, std::vector<std::string> *words, std::string *why) {
    words->clear();
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const size_t end = text.find('"', i + 1);
            if (end == std::string::npos) {
                *why = "a quoted word has no closing '\"'";
                return false;
            }
            words->push_back(text.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            const size_t end = text.find_first_of(" \t\r#", i);
            words->push_back(text.substr(i, end == std::string::npos ? std::string::npos : end - i));
            i = end == std::string::npos ? text.size() : end;
        }
    }
    return true;
}

bool Unsigned(const std::string &text, uint64_t max, uint64_t *value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > max)
        return false;
    *value = v;
    return true;
}

bool Real(const std::string &text, double *value) {
    if (text == "true" || text == "TRUE") {
        *value = 1;
        return true;
    }
    if (text == "false" || text == "FALSE") {
        *value = 0;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    if (text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0)) {
        const unsigned long long v = std::strtoull(text.c_str(), &end, 16);
        *value = static_cast<double>(v);
    } else {
        *value = std::strtod(text.c_str(), &end);
    }
    return !text.empty() && !errno && *end == 0;
}

// "key=value" options after the fixed words of a line.
bool Option(const std::string &word, std::string *key, std::string *value) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    *key = word.substr(0, eq);
    *value = word.substr(eq + 1);
    return true;
}

const char *const kTypeHelp = "a number 0..65535 or BOOL (1), INT (2), DINT (4), UINT (5), UDINT (7), REAL (8)";

bool DataTypeOf(const std::string &word, uint16_t *type) {
    static const struct {
        const char *name;
        uint16_t code;
    } names[] = {{"BOOL", 1}, {"INT", 2}, {"DINT", 4}, {"UINT", 5}, {"UDINT", 7}, {"REAL", 8}};
    for (const auto &n : names)
        if (word == n.name) {
            *type = n.code;
            return true;
        }
    uint64_t v;
    if (!Unsigned(word, 0xFFFF, &v))
        return false;
    *type = static_cast<uint16_t>(v);
    return true;
}

bool KindOf(const std::string &word, uint8_t *kind) {
    if (word == "single")
        *kind = kKindSingle;
    else if (word == "array")
        *kind = kKindArray;
    else if (word == "struct")
        *kind = kKindStructure;
    else if (word == "struct3")
        *kind = kKindStructure3;
    else {
        uint64_t v;
        if (!Unsigned(word, 255, &v))
            return false;
        *kind = static_cast<uint8_t>(v);
    }
    return true;
}

struct Loader {
    Simulator &sim;

    bool stationOf(const Line &l, size_t at, Station **station) {
        uint64_t a;
        if (l.words.size() <= at || !Unsigned(l.words[at], 255, &a))
            return l.fail("'" + l.words[0] + "' needs a station address 0..255 as its first argument");
        *station = sim.station(static_cast<uint8_t>(a));
        if (!*station)
            return l.fail("station " + l.words[at] + " is not declared (add a 'station " + l.words[at] +
                          "' line before this one)");
        return true;
    }

    bool station(const Line &l) {
        uint64_t a;
        if (l.words.size() < 2 || !Unsigned(l.words[1], 255, &a))
            return l.fail("station ADDRESS [options]: the address must be 0..255");
        Station &s = sim.addStation(static_cast<uint8_t>(a));
        ConnectObjects c = s.connectObjects();
        for (size_t i = 2; i < l.words.size(); ++i) {
            const std::string &w = l.words[i];
            std::string key, value;
            uint64_t v;
            if (w == "refuse-segments") {
                s.setRefuseSegments(true);
                continue;
            }
            if (w == "strict") {
                s.setStrictItemMode(true);
                continue;
            }
            if (!Option(w, &key, &value))
                return l.fail("station option '" + w + "' is not KEY=VALUE, 'strict' or 'refuse-segments'");
            if (key == "obj2" || key == "obj5") {
                if (!Unsigned(value, 0xFFFF, &v))
                    return l.fail(key + " must be a 16-bit number");
                (key == "obj2" ? c.object2 : c.object5) = static_cast<uint16_t>(v);
            } else if (key == "obj4") {
                const size_t comma = value.find(',');
                uint64_t lo = 0;
                if (comma == std::string::npos) {
                    if (!Unsigned(value, 0xFFFF, &v))
                        return l.fail("obj4 must be a 16-bit number or two bytes B0,B1");
                    c.object4 = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
                } else {
                    if (!Unsigned(value.substr(0, comma), 255, &v) || !Unsigned(value.substr(comma + 1), 255, &lo))
                        return l.fail("obj4=B0,B1 takes two bytes");
                    c.object4 = {static_cast<uint8_t>(v), static_cast<uint8_t>(lo)};
                }
            } else if (key == "obj6") {
                if (!Unsigned(value, 0xFFFFFFFFull, &v) || v < 14)
                    return l.fail("obj6 (buffer size) must be a 32-bit number of at least 14");
                c.object6 = static_cast<uint32_t>(v);
            } else if (key == "unknown") {
                if (!Unsigned(value, 255, &v) || v == 0)
                    return l.fail("unknown (lookup status for unknown names) must be 1..255");
                s.setUnknownStatus(static_cast<uint8_t>(v));
            } else if (key == "errorflags") {
                if (!Unsigned(value, 255, &v))
                    return l.fail("errorflags must be a byte");
                s.setErrorFlags(static_cast<uint8_t>(v));
            } else if (key == "ack") {
                if (value == "none")
                    s.setAckMode(AckMode::None);
                else if (value == "final")
                    s.setAckMode(AckMode::AckFinal);
                else if (value == "silent")
                    s.setAckMode(AckMode::Silent);
                else
                    return l.fail("ack must be none, final or silent");
            } else if (key == "turnaround") {
                if (!Unsigned(value, 60000, &v))
                    return l.fail("turnaround must be milliseconds 0..60000");
                s.setTurnaround(std::chrono::milliseconds(v));
            } else if (key == "extra-read" || key == "extra-write") {
                std::vector<uint8_t> bytes;
                if (!ParseHex(value, &bytes))
                    return l.fail(key + " takes hex bytes, e.g. " + key + "=0102A0");
                // Each key keeps the other's bytes as an earlier line set them.
                if (key == "extra-read")
                    extraRead[s.address()] = bytes;
                else
                    extraWrite[s.address()] = bytes;
                s.setExtraData(extraRead[s.address()], extraWrite[s.address()]);
            } else {
                return l.fail("unknown station option '" + key + "'");
            }
        }
        s.setConnectObjects(c);
        return true;
    }

    bool values(const Line &l, size_t from, ObjectSpec &objectSpec) {
        const uint32_t elem = objectSpec.elementLength ? objectSpec.elementLength : TypeSize(objectSpec.dataType);
        const uint64_t length = uint64_t(elem) * objectSpec.count;
        for (size_t i = from; i < l.words.size(); ++i) {
            const std::string &w = l.words[i];
            if (w.compare(0, 4, "hex:") == 0) {
                std::vector<uint8_t> bytes;
                if (!ParseHex(w.substr(4), &bytes))
                    return l.fail("'" + w + "' is not hex:BYTES");
                objectSpec.init.insert(objectSpec.init.end(), bytes.begin(), bytes.end());
            } else if (TypeSize(objectSpec.dataType) == elem && elem) {
                double v;
                uint8_t buf[8];
                if (!Real(w, &v) || !EncodeValue(objectSpec.dataType, elem, v, buf))
                    return l.fail("value '" + w + "' does not fit data type " + std::to_string(objectSpec.dataType));
                objectSpec.init.insert(objectSpec.init.end(), buf, buf + elem);
            } else {
                uint64_t b;
                if (!Unsigned(w, 255, &b))
                    return l.fail("value '" + w + "': objects of this type take bytes 0..255 or hex:BYTES");
                objectSpec.init.push_back(static_cast<uint8_t>(b));
            }
            if (objectSpec.init.size() > length)
                return l.fail("more initial values than the object's " + std::to_string(length) + " bytes hold");
        }
        return true;
    }

    bool object(const Line &l) {
        if (l.words.size() < 7)
            return l.fail("object STATION NAME KIND TYPE ELEMLEN COUNT [aux=N] [handle=N] [VALUES...]");
        Station *s;
        if (!stationOf(l, 1, &s))
            return false;
        ObjectSpec objectSpec;
        objectSpec.name = l.words[2];
        uint64_t v;
        if (!KindOf(l.words[3], &objectSpec.kind))
            return l.fail("kind '" + l.words[3] + "' must be single, array, struct, struct3 or 0..255");
        if (!DataTypeOf(l.words[4], &objectSpec.dataType))
            return l.fail(std::string("data type '") + l.words[4] + "' must be " + kTypeHelp);
        if (l.words[5] == "-") {
            if (!TypeSize(objectSpec.dataType))
                return l.fail("element length '-' only for data types 1..8; give the bytes of one element");
        } else if (!Unsigned(l.words[5], 0x100000, &v) || v == 0) {
            return l.fail("element length '" + l.words[5] + "' must be a number of bytes, or '-' for the type's size");
        } else {
            objectSpec.elementLength = static_cast<uint32_t>(v);
        }
        if (!Unsigned(l.words[6], 0x100000, &v) || v == 0)
            return l.fail("count '" + l.words[6] + "' must be a number from 1");
        objectSpec.count = static_cast<uint32_t>(v);
        size_t i = 7;
        for (; i < l.words.size(); ++i) {
            std::string key, value;
            if (!Option(l.words[i], &key, &value))
                break;
            if (key == "aux") {
                if (!Unsigned(value, 0xFFFFFFFFull, &v))
                    return l.fail("aux must be a 32-bit number");
                objectSpec.aux = static_cast<uint32_t>(v);
            } else if (key == "handle") {
                if (!Unsigned(value, 0xFFFF, &v) || v == 0)
                    return l.fail("handle must be 1..0xFFFF");
                objectSpec.handle = static_cast<uint16_t>(v);
            } else {
                return l.fail("unknown object option '" + key + "' (aux=, handle=)");
            }
        }
        if (!values(l, i, objectSpec))
            return false;
        std::string why;
        if (!s->addObject(objectSpec, &why))
            return l.fail(why);
        return true;
    }

    bool sample(const Line &l) {
        if (l.words.size() < 3)
            return l.fail("sample STATION NAME [kind=2|3] [type=N]");
        Station *s;
        if (!stationOf(l, 1, &s))
            return false;
        uint8_t kind = kKindStructure;
        uint16_t type = 0;
        for (size_t i = 3; i < l.words.size(); ++i) {
            std::string key, value;
            uint64_t v;
            if (!Option(l.words[i], &key, &value))
                return l.fail("sample option '" + l.words[i] + "' is not KEY=VALUE");
            if (key == "kind" && Unsigned(value, 255, &v))
                kind = static_cast<uint8_t>(v);
            else if (key == "type" && DataTypeOf(value, &type))
                ;
            else
                return l.fail("sample options are kind=N and type=N");
        }
        std::string why;
        if (!s->addSampleStructure(l.words[2], kind, type, &why))
            return l.fail(why);
        return true;
    }

    bool date(const Line &l, const std::string &w, int *d, int *m, int *y) {
        char tail;
        if (std::sscanf(w.c_str(), "%d.%d.%d%c", d, m, y, &tail) != 3 || *y < 0 || *y > 65535 || *d < 0 || *d > 255 ||
            *m < 0 || *m > 255)
            return l.fail("date '" + w + "' must be DD.MM.YYYY");
        return true;
    }

    bool record(const Line &l) {
        if (l.words.size() < 4)
            return l.fail("record STATION NAME message|measurement|raw ...");
        Station *s;
        if (!stationOf(l, 1, &s))
            return false;
        const std::string &name = l.words[2];
        const std::string &form = l.words[3];
        SampleRecord r{};
        uint64_t a, b, v;
        int d, mo, y, h, mi, se = 0;
        char tail;
        if (form == "message" || form == "measurement") {
            const bool message = form == "message";
            if (l.words.size() != 9)
                return l.fail(message ? "record STATION NAME message DD.MM.YYYY HH:MM:SS N1 N2 STATE"
                                      : "record STATION NAME measurement DD.MM.YYYY HH:MM N1 N2 VALUE");
            if (!date(l, l.words[4], &d, &mo, &y))
                return false;
            const int got = message ? std::sscanf(l.words[5].c_str(), "%d:%d:%d%c", &h, &mi, &se, &tail)
                                    : std::sscanf(l.words[5].c_str(), "%d:%d%c", &h, &mi, &tail);
            if (got != (message ? 3 : 2) || h < 0 || h > 255 || mi < 0 || mi > 255 || se < 0 || se > 255)
                return l.fail("time '" + l.words[5] + (message ? "' must be HH:MM:SS" : "' must be HH:MM"));
            if (!Unsigned(l.words[6], 255, &a) || !Unsigned(l.words[7], 255, &b))
                return l.fail("N1 and N2 (the numbers of the time-stamp gate) must be 0..255");
            if (!Unsigned(l.words[8], message ? 255 : 0xFFFF, &v))
                return l.fail(message ? "STATE must be 0 or 1" : "VALUE must be 0..65535");
            r = message ? MessageRecord(d, mo, y, h, mi, se, static_cast<uint8_t>(a), static_cast<uint8_t>(b), v != 0)
                        : MeasurementRecord(d, mo, y, h, mi, static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                                            static_cast<uint16_t>(v));
        } else if (form == "raw") {
            std::string text;
            for (size_t i = 4; i < l.words.size(); ++i)
                text += l.words[i] + " ";
            std::vector<uint8_t> bytes;
            if (!ParseHex(text, &bytes) || bytes.size() != 12)
                return l.fail("record ... raw takes 12 hex bytes");
            std::copy(bytes.begin(), bytes.end(), r.begin());
        } else {
            return l.fail("record form '" + form + "' must be message, measurement or raw");
        }
        std::vector<uint8_t> current;
        if (!s->read(name, &current))
            return l.fail("no sample structure '" + name + "' at station " + std::to_string(s->address()) +
                          " (declare it with a 'sample' line first)");
        if (!s->queueRecord(name, r))
            return l.fail("'" + name + "' is not a sample structure, or the record's byte 0 is 0");
        return true;
    }

    bool generate(const Line &l) {
        if (l.words.size() != 7)
            return l.fail("generate STATION NAME message|measurement SECONDS N1 N2");
        Station *s;
        if (!stationOf(l, 1, &s))
            return false;
        RecordKind kind;
        if (l.words[3] == "message")
            kind = RecordKind::Message;
        else if (l.words[3] == "measurement")
            kind = RecordKind::Measurement;
        else
            return l.fail("generate: the record form must be message or measurement");
        double seconds;
        uint64_t a, b;
        if (!Real(l.words[4], &seconds) || !(seconds >= 0.05 && seconds <= 86400))
            return l.fail("generate: SECONDS must be from 0.05 to 86400");
        if (!Unsigned(l.words[5], 255, &a) || !Unsigned(l.words[6], 255, &b))
            return l.fail("generate: N1 and N2 must be 0..255");
        if (!s->generateRecords(l.words[2], kind, std::chrono::milliseconds(std::lround(seconds * 1000)),
                                static_cast<uint8_t>(a), static_cast<uint8_t>(b)))
            return l.fail("no sample structure '" + l.words[2] + "' at station " + l.words[1]);
        return true;
    }

    bool text(const Line &l) {
        if (l.words.size() < 4 || l.words.size() > 5)
            return l.fail("text STATION REQUEST STATUS [REPLY] (quote words with blanks)");
        Station *s;
        if (!stationOf(l, 1, &s))
            return false;
        uint64_t status;
        if (!Unsigned(l.words[3], 0xFFFF, &status))
            return l.fail("text: STATUS must be 0..65535");
        std::vector<uint8_t> data;
        if (l.words.size() == 5) {
            data.assign(l.words[4].begin(), l.words[4].end());
            data.push_back(0);
        }
        s->setTextReply(l.words[2], static_cast<uint16_t>(status), data);
        return true;
    }

    bool status(const Line &l) {
        uint64_t v;
        if (l.words.size() != 4)
            return l.fail("status STATION NAME STATUS");
        Station *s;
        if (!stationOf(l, 1, &s))
            return false;
        if (!Unsigned(l.words[3], 255, &v))
            return l.fail("status: STATUS must be a byte");
        s->setLookupStatus(l.words[2], static_cast<uint8_t>(v));
        return true;
    }

    bool faults(const Line &l) {
        if (l.words.size() < 3)
            return l.fail("faults STATION SCRIPT");
        Station *s;
        if (!stationOf(l, 1, &s))
            return false;
        std::string scriptText, why;
        for (size_t i = 2; i < l.words.size(); ++i)
            scriptText += l.words[i] + ",";
        FaultScript script;
        if (!ParseFaultScript(scriptText, &script, &why))
            return l.fail(why);
        s->setFaults(script);
        return true;
    }

    std::map<uint8_t, std::vector<uint8_t>> extraRead, extraWrite;
};

} // namespace

bool LoadConfigText(const std::string &text, const std::string &source, Simulator &sim, std::string *error) {
    Loader loader{sim, {}, {}};
    std::istringstream in(text);
    std::string raw;
    Line l;
    l.source = source;
    l.error = error;
    while (std::getline(in, raw)) {
        ++l.number;
        std::string why;
        if (!Split(raw, &l.words, &why))
            return l.fail(why);
        if (l.words.empty())
            continue;
        const std::string &w = l.words[0];
        bool ok;
        if (w == "station")
            ok = loader.station(l);
        else if (w == "object")
            ok = loader.object(l);
        else if (w == "sample")
            ok = loader.sample(l);
        else if (w == "record")
            ok = loader.record(l);
        else if (w == "generate")
            ok = loader.generate(l);
        else if (w == "text")
            ok = loader.text(l);
        else if (w == "status")
            ok = loader.status(l);
        else if (w == "faults")
            ok = loader.faults(l);
        else
            return l.fail("unknown directive '" + w +
                          "' (station, object, sample, record, generate, text, status, faults)");
        if (!ok)
            return false;
    }
    if (sim.stationAddresses().empty()) {
        if (error)
            *error = source + ": no station declared";
        return false;
    }
    return true;
}

bool LoadConfig(const std::string &path, Simulator &sim, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        if (error)
            *error = path + ": cannot be opened: " + std::strerror(errno);
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return LoadConfigText(text.str(), path, sim, error);
}

} // namespace kesta::sim
