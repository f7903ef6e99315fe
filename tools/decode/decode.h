// net2000-decode: takes bytes seen on a Net2000 line apart, frame by frame and message by message, so
// that an integrator can read what is on a real line. A tool with its own small codec: it never
// includes the driver's layers, and it reports what it sees, right or wrong, instead of refusing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kesta::decode {

// ---- Capture lines ------------------------------------------------------------------------------
//
// One chunk of line bytes a line: "[TIME] [DIR] HEX HEX ...". TIME is any word holding ':' or '.'
// (seconds "1.302770" or a local time "2024-05-01T12:00:00.123456"); DIR is M (the master wrote the
// bytes), S (bytes from the station side), E (the echo of an RS485 converter) or absent; HEX are
// byte pairs. Lines starting with '#' are comments. The driver's trace (KESTA_TRACE) and the station
// simulator's capture are both in this format.

struct Chunk {
    std::string time;     // as written; empty when the line has none
    int64_t micros = -1;  // the time in microseconds since 1970 UTC, -1 unknown
    char direction = '?'; // 'M', 'S', 'E' or '?'
    std::vector<uint8_t> bytes;
};

enum class LineKind { Empty, Comment, Bytes, Bad };
LineKind ParseCaptureLine(const std::string &line, Chunk *chunk, std::string *why);
// A capture line's time word in microseconds since 1970: a local date and time
// ("2024-05-01T12:00:00.123456"), a time of day ("12:00:00.123", taken on 1 January 1970) or seconds
// ("1.302770"); -1 for anything else.
int64_t CaptureTimeMicros(const std::string &time);

// ---- What the decoder reports -------------------------------------------------------------------

// What the decoder knows of a PLC object from a lookup reply it saw.
struct ObjectInfo {
    std::string name;
    uint8_t kind = 0;    // 1 array, 2 and 3 structure, other single
    uint32_t length = 0; // bytes of the object
    uint16_t dataType = 0;
    uint32_t elementLength = 0;
};

struct Item {
    std::string name; // lookup name, or the name learned for the handle
    bool hasHandle = false;
    uint16_t handle = 0; // token: the first wire byte is the low byte
    bool hasLength = false;
    uint32_t length = 0;       // bytes, from a long item head or from what a lookup told
    std::vector<uint8_t> data; // bytes read or written, as on the wire (pad included)
    std::string value;         // the data as typed values, when the object is known
    // Lookup replies.
    bool isLookupResult = false;
    uint8_t status = 0;
    ObjectInfo object;
};

struct Message {
    bool fromMaster = true;
    std::vector<uint8_t> bytes; // the whole application message
    uint8_t marker = 0, counter = 0, code = 0;
    std::string name; // Connect, Control, Lookup, Text, Read, Write, ReadLong, WriteLong, Error, ...
    std::vector<Item> items;
    std::string summary;     // the message in words
    bool hasRequest = false; // replies: the request it answers was seen
    bool counterMatches = true;
    // Error replies.
    uint8_t errorFlags = 0;
    uint16_t errorNumber = 0;
    uint32_t driverResult = 0; // what the driver makes of the error reply
};

struct Frame {
    std::vector<uint8_t> raw;
    uint8_t words = 0, destination = 0, source = 0, type = 0, sequence = 0;
    bool headerOk = true;
    bool dataOk = true;
    uint16_t checksum = 0;             // as received
    uint16_t expectedChecksum = 0;     // as computed
    std::vector<uint8_t> data() const; // the 2w data bytes
};

struct Event {
    enum Kind { FrameSeen, BadHeader, Noise, Incomplete, Echo, Comment, BadLine };
    Kind kind = Noise;
    std::string time;
    int64_t micros = -1;  // the time of the chunk the event's first byte came in, as in Chunk
    char direction = '?'; // of the chunk, or inferred from the frame type (then directionInferred)
    bool directionInferred = false;
    std::vector<uint8_t> bytes; // BadHeader, Noise, Incomplete, Echo
    bool echoMatches = true;    // Echo
    std::string text;           // Comment, BadLine
    Frame frame;                // FrameSeen
    bool hasPrefix = false;
    uint32_t prefix = 0;
    bool repeat = false;     // the same frame as the last one of its side of the conversation
    bool hasMessage = false; // this frame completes an application message
    Message message;
    std::vector<std::string> notes;
};

struct Stats {
    uint64_t lines = 0, badLines = 0;
    uint64_t framesFromMaster = 0, framesFromStation = 0, framesOther = 0;
    uint64_t badHeaders = 0, badData = 0, noiseBytes = 0, incomplete = 0;
    uint64_t requests = 0, replies = 0, errorReplies = 0, repeats = 0;
    uint64_t echoes = 0, echoMismatches = 0;
    uint64_t staleSequences = 0, counterMismatches = 0;
};

// ---- The decoder --------------------------------------------------------------------------------

class Decoder {
public:
    Decoder();
    void feedLine(const std::string &line); // one capture line
    void feedChunk(const Chunk &chunk);     // bytes of one direction (or '?')
    // One packet of a pcapng capture: its bytes, then whatever of them made no whole frame is
    // reported at once (a packet holds one frame, or bytes that belong to none).
    void feedPacket(const Chunk &chunk);
    void finish();             // the end of the capture: partial frames are reported
    std::vector<Event> take(); // events since the last take, in line order
    const Stats &stats() const { return stats_; }

private:
    struct Pending {
        uint32_t time = 0;
        uint8_t byte = 0;
    };
    struct Scanner {
        std::vector<Pending> held;
        char direction = '?';
    };
    struct Reassembly {
        bool active = false;
        uint32_t total = 0;
        std::vector<uint8_t> bytes;
        uint32_t remaining() const { return total > bytes.size() ? total - static_cast<uint32_t>(bytes.size()) : 0; }
    };
    struct Conversation {
        Reassembly request, reply;
        std::vector<uint8_t> lastMasterFrame, lastStationFrame;
        bool masterSequenceKnown = false;
        uint8_t masterSequence = 0;
        bool hasRequest = false;
        Message request0; // the last complete request, for its reply
    };

    void scan(Scanner &scanner);
    void flushScanner(Scanner &scanner);
    void stamp(Event &event, uint32_t index) const {
        event.time = times_[index].text;
        event.micros = times_[index].micros;
    }
    void emitNoise(Scanner &scanner, size_t n);
    void emitFrame(Scanner &scanner, size_t n);
    void application(Event &event);
    void masterFrame(Event &event, Conversation &c, uint8_t station);
    void stationFrame(Event &event, Conversation &c, uint8_t station);
    void decodeRequest(Message &m, uint8_t station);
    void decodeReply(Message &m, Conversation &c, uint8_t station);
    struct Stamp {
        std::string text;
        int64_t micros;
    };
    std::vector<Stamp> times_;
    std::map<char, Scanner> scanners_;
    std::map<uint16_t, Conversation> conversations_;            // master << 8 | station
    std::map<uint8_t, uint8_t> lastMaster_;                     // station -> the master that last sent to it
    std::map<uint8_t, std::map<uint16_t, ObjectInfo>> objects_; // station -> handle -> object
    std::vector<uint8_t> lastSent_;                             // for the echo comparison
    std::vector<Event> events_;
    Stats stats_;
};

// ---- Words --------------------------------------------------------------------------------------

struct FormatOptions {
    bool bytes = false; // the frame's bytes on a line of their own under it
};
std::string FormatEvent(const Event &event, const FormatOptions &options = FormatOptions());
std::string FormatStats(const Stats &stats);

const char *FrameTypeName(uint8_t type);
// The PLC data type's name (BOOL, INT, ...) and element size; "type N" and 0 outside 1..8.
std::string DataTypeName(uint16_t dataType);
uint32_t DataTypeSize(uint16_t dataType);
// Big-endian PLC data as values of the object ("1234", "[1 2 3]", "21.5", an EWT record, hex).
std::string FormatValue(const ObjectInfo &object, const uint8_t *bytes, size_t n);

// What the low byte of a driver code (the ErrCode and rc values of the driver's messages) means.
const char *ErrCodeMeaning(unsigned lowByte);
// A lookup status as the driver logs it ("object name ... not defined in PLC rc=%u").
std::string LookupStatusMeaning(unsigned lowByte);

std::string Hex(const uint8_t *bytes, size_t n);
inline std::string Hex(const std::vector<uint8_t> &bytes) { return Hex(bytes.data(), bytes.size()); }

} // namespace kesta::decode
