// The decoder: a frame scanner per direction (hunt for STX, header checksum, data checksum), then per
// conversation of a master and a station the gathering of segmented messages and the application
// messages with what earlier lookups told about each handle. Bad input is reported, never refused.
#include <cstdio>

#include "tools/decode/decode.h"

namespace kesta::decode {

namespace {

constexpr uint8_t kStx = 0x02;
constexpr size_t kHeader = 6;
constexpr size_t kOverhead = 8;

enum : uint8_t {
    kRequestLast = 0x1,
    kRequestMore = 0x2,
    kReplyLast = 0x3,
    kReplyMore = 0x4,
    kNextReplySegment = 0x5,
    kSegmentRefused = 0x6,
    kNextRequestSegment = 0x7,
    kReplyAckWanted = 0xD,
    kAck = 0xE,
    kAckFinal = 0xF,
};

enum : uint8_t {
    kLookup = 17,
    kText = 18,
    kRead = 33,
    kWrite = 34,
    kReadLong = 49,
    kWriteLong = 50,
    kExtra = 0x80,
    kError = 153,
};

constexpr uint32_t kSegmentRefusedResult = 65380; // what the driver makes of an error flagged 0x10
constexpr uint32_t kReplyCodeResult = 65324;      // an error reply that names error 0

bool MasterType(uint8_t t) { return t == kRequestLast || t == kRequestMore || t == kNextReplySegment || t == kAck; }
bool StationType(uint8_t t) {
    return t == kReplyLast || t == kReplyMore || t == kSegmentRefused || t == kNextRequestSegment ||
           t == kReplyAckWanted || t == kAckFinal;
}

uint32_t Even(uint32_t n) { return n + (n & 1u); }

// Reading cursor: a read past the end fails and the cursor stays failed.
class Reader {
public:
    Reader(const std::vector<uint8_t> &bytes, size_t from) : b_(bytes), pos_(from) {}
    bool u8(uint8_t *v) {
        if (!room(1))
            return false;
        *v = b_[pos_++];
        return true;
    }
    bool be16(uint16_t *v) {
        if (!room(2))
            return false;
        *v = static_cast<uint16_t>(b_[pos_] << 8 | b_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool be32(uint32_t *v) {
        if (!room(4))
            return false;
        *v = static_cast<uint32_t>(b_[pos_]) << 24 | static_cast<uint32_t>(b_[pos_ + 1]) << 16 |
             static_cast<uint32_t>(b_[pos_ + 2]) << 8 | b_[pos_ + 3];
        pos_ += 4;
        return true;
    }
    bool token(uint16_t *v) { // handle token: first wire byte is the low byte
        if (!room(2))
            return false;
        *v = static_cast<uint16_t>(b_[pos_] | b_[pos_ + 1] << 8);
        pos_ += 2;
        return true;
    }
    bool le16(uint16_t *v) { return token(v); }
    bool take(size_t n, std::vector<uint8_t> *out) {
        if (!room(n))
            return false;
        out->assign(b_.begin() + static_cast<long>(pos_), b_.begin() + static_cast<long>(pos_ + n));
        pos_ += n;
        return true;
    }
    bool skip(size_t n) {
        if (!room(n))
            return false;
        pos_ += n;
        return true;
    }
    size_t left() const { return ok_ && pos_ <= b_.size() ? b_.size() - pos_ : 0; }
    size_t pos() const { return pos_; }
    bool ok() const { return ok_; }

private:
    bool room(size_t n) {
        if (!ok_ || pos_ + n > b_.size())
            ok_ = false;
        return ok_;
    }
    const std::vector<uint8_t> &b_;
    size_t pos_;
    bool ok_ = true;
};

// Length prefix of a request or reply frame: 2 bytes, or 4 with the top bit set.
bool GetPrefix(const std::vector<uint8_t> &data, uint32_t *length, size_t *size) {
    if (data.size() >= 4 && (data[0] & 0x80) != 0) {
        *length = (static_cast<uint32_t>(data[0] & 0x7F) << 24) | static_cast<uint32_t>(data[1]) << 16 |
                  static_cast<uint32_t>(data[2]) << 8 | data[3];
        *size = 4;
        return true;
    }
    if (data.size() >= 2) {
        *length = static_cast<uint32_t>(data[0] << 8 | data[1]);
        *size = 2;
        return true;
    }
    return false;
}

std::string Format(const char *format, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

std::string Handle(uint16_t token) { return Format("h=%04X", token); }

std::string Quote(const std::string &name) {
    std::string s = "\"";
    for (char ch : name) {
        const unsigned char u = static_cast<unsigned char>(ch);
        s += (u >= 0x20 && u < 0x7F) ? std::string(1, ch) : Format("\\x%02X", u);
    }
    return s + "\"";
}

std::string Join(const std::vector<std::string> &parts, const char *glue) {
    std::string s;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i != 0)
            s += glue;
        s += parts[i];
    }
    return s;
}

std::string ItemName(const Item &item) {
    if (!item.name.empty())
        return item.name;
    return item.hasHandle ? Handle(item.handle) : std::string("?");
}

// An item head: the two handle bytes (short form), or four handle bytes and a length, least
// significant first (long form).
bool ReadItemHead(Reader &r, bool longForm, Item *item) {
    if (!longForm) {
        item->hasHandle = r.token(&item->handle);
        return item->hasHandle;
    }
    uint16_t high = 0, length = 0;
    item->hasHandle = r.token(&item->handle) && r.token(&high) && r.le16(&length);
    item->hasLength = item->hasHandle;
    item->length = length;
    return item->hasHandle;
}

} // namespace

std::vector<uint8_t> Frame::data() const {
    const size_t n = static_cast<size_t>(words) * 2;
    if (raw.size() < kOverhead + n)
        return {};
    return std::vector<uint8_t>(raw.begin() + kHeader, raw.begin() + static_cast<long>(kHeader + n));
}

Decoder::Decoder() = default;

void Decoder::feedLine(const std::string &line) {
    stats_.lines++;
    Chunk chunk;
    std::string why;
    switch (ParseCaptureLine(line, &chunk, &why)) {
    case LineKind::Empty: return;
    case LineKind::Comment: {
        Event e;
        e.kind = Event::Comment;
        size_t start = line.find('#');
        e.text = line.substr(start);
        while (!e.text.empty() && (e.text.back() == '\r' || e.text.back() == '\n'))
            e.text.pop_back();
        events_.push_back(e);
        return;
    }
    case LineKind::Bad: {
        stats_.badLines++;
        Event e;
        e.kind = Event::BadLine;
        e.text = "line " + std::to_string(stats_.lines) + ": " + why;
        events_.push_back(e);
        return;
    }
    case LineKind::Bytes: feedChunk(chunk); return;
    }
}

void Decoder::feedChunk(const Chunk &chunk) {
    if (chunk.bytes.empty())
        return;
    if (chunk.direction == 'E') {
        Event e;
        e.kind = Event::Echo;
        e.time = chunk.time;
        e.micros = chunk.micros;
        e.direction = 'E';
        e.bytes = chunk.bytes;
        e.echoMatches = chunk.bytes == lastSent_;
        stats_.echoes++;
        if (!e.echoMatches)
            stats_.echoMismatches++;
        events_.push_back(e);
        return;
    }
    if (chunk.direction == 'M')
        lastSent_ = chunk.bytes;
    if (chunk.direction == 'M') {
        // A frame sent makes the station's receiver start afresh, and the master's too: a station frame
        // still unfinished was cut short.
        auto station = scanners_.find('S');
        if (station != scanners_.end())
            flushScanner(station->second);
    }
    times_.push_back(Stamp{chunk.time, chunk.micros});
    const uint32_t index = static_cast<uint32_t>(times_.size() - 1);
    Scanner &scanner = scanners_[chunk.direction];
    scanner.direction = chunk.direction;
    for (uint8_t b : chunk.bytes)
        scanner.held.push_back(Pending{index, b});
    scan(scanner);
}

void Decoder::scan(Scanner &scanner) {
    std::vector<Pending> &held = scanner.held;
    for (;;) {
        size_t i = 0;
        while (i < held.size() && held[i].byte != kStx)
            ++i;
        if (i > 0)
            emitNoise(scanner, i);
        if (held.size() < kHeader)
            return;
        const uint8_t check = held[0].byte ^ held[1].byte ^ held[2].byte ^ held[3].byte ^ held[4].byte;
        if (check != held[5].byte) {
            Event e;
            e.kind = Event::BadHeader;
            stamp(e, held[0].time);
            e.direction = scanner.direction;
            for (size_t k = 0; k < kHeader; ++k)
                e.bytes.push_back(held[k].byte);
            e.notes.push_back(Format("checksum %02X, computed %02X", held[5].byte, check));
            stats_.badHeaders++;
            events_.push_back(e);
            // As the driver's receiver does: drop the STX and hunt again from the next byte.
            held.erase(held.begin());
            continue;
        }
        const size_t total = static_cast<size_t>(held[1].byte) * 2 + kOverhead;
        if (held.size() < total)
            return;
        emitFrame(scanner, total);
    }
}

void Decoder::emitNoise(Scanner &scanner, size_t n) {
    Event e;
    e.kind = Event::Noise;
    stamp(e, scanner.held[0].time);
    e.direction = scanner.direction;
    for (size_t k = 0; k < n; ++k)
        e.bytes.push_back(scanner.held[k].byte);
    scanner.held.erase(scanner.held.begin(), scanner.held.begin() + static_cast<long>(n));
    stats_.noiseBytes += n;
    events_.push_back(e);
}

void Decoder::emitFrame(Scanner &scanner, size_t n) {
    Event e;
    e.kind = Event::FrameSeen;
    stamp(e, scanner.held[0].time);
    Frame &f = e.frame;
    for (size_t k = 0; k < n; ++k)
        f.raw.push_back(scanner.held[k].byte);
    scanner.held.erase(scanner.held.begin(), scanner.held.begin() + static_cast<long>(n));
    f.words = f.raw[1];
    f.destination = f.raw[2];
    f.source = f.raw[3];
    f.type = f.raw[4] & 0x0F;
    f.sequence = f.raw[4] >> 4;
    f.headerOk = true;
    uint16_t sum = f.raw[5];
    for (size_t w = 0; w < f.words; ++w)
        sum ^= static_cast<uint16_t>(f.raw[kHeader + 2 * w] << 8 | f.raw[kHeader + 2 * w + 1]);
    f.expectedChecksum = sum;
    f.checksum = static_cast<uint16_t>(f.raw[n - 2] << 8 | f.raw[n - 1]);
    f.dataOk = f.checksum == f.expectedChecksum;

    e.direction = scanner.direction;
    if (e.direction == '?') {
        if (MasterType(f.type)) {
            e.direction = 'M';
            e.directionInferred = true;
        } else if (StationType(f.type)) {
            e.direction = 'S';
            e.directionInferred = true;
        }
    }
    if (MasterType(f.type))
        stats_.framesFromMaster++;
    else if (StationType(f.type))
        stats_.framesFromStation++;
    else
        stats_.framesOther++;

    if (!f.dataOk) {
        stats_.badData++;
        e.notes.push_back("the driver drops a frame with a wrong data checksum");
    } else {
        application(e);
    }
    events_.push_back(e);
}

void Decoder::flushScanner(Scanner &scanner) {
    if (scanner.held.empty())
        return;
    Event e;
    e.kind = scanner.held[0].byte == kStx ? Event::Incomplete : Event::Noise;
    stamp(e, scanner.held[0].time);
    e.direction = scanner.direction;
    for (const Pending &p : scanner.held)
        e.bytes.push_back(p.byte);
    if (e.kind == Event::Incomplete)
        stats_.incomplete++;
    else
        stats_.noiseBytes += e.bytes.size();
    scanner.held.clear();
    events_.push_back(e);
}

void Decoder::feedPacket(const Chunk &chunk) {
    feedChunk(chunk);
    auto it = scanners_.find(chunk.direction);
    if (it != scanners_.end())
        flushScanner(it->second);
}

void Decoder::finish() {
    for (auto &entry : scanners_)
        flushScanner(entry.second);
}

std::vector<Event> Decoder::take() {
    std::vector<Event> out;
    out.swap(events_);
    return out;
}

void Decoder::application(Event &event) {
    const Frame &f = event.frame;
    if (MasterType(f.type)) {
        if (event.direction == 'S' && !event.directionInferred)
            event.notes.push_back("a master's frame type read from the line");
        Conversation &c = conversations_[static_cast<uint16_t>(f.source << 8 | f.destination)];
        lastMaster_[f.destination] = f.source;
        masterFrame(event, c, f.destination);
    } else if (StationType(f.type)) {
        if (event.direction == 'M' && !event.directionInferred)
            event.notes.push_back("a station's frame type written by the master");
        auto known = lastMaster_.find(f.source);
        if (known != lastMaster_.end() && known->second != f.destination) {
            event.notes.push_back(Format("addressed to %u, not to the master %u that talks to station %u; "
                                         "the driver drops it",
                                         f.destination, known->second, f.source));
            return;
        }
        Conversation &c = conversations_[static_cast<uint16_t>(f.destination << 8 | f.source)];
        stationFrame(event, c, f.source);
    } else {
        event.notes.push_back("unknown frame type");
    }
}

void Decoder::masterFrame(Event &event, Conversation &c, uint8_t station) {
    const Frame &f = event.frame;
    c.masterSequenceKnown = true;
    c.masterSequence = f.sequence;
    if (!c.lastMasterFrame.empty() && f.raw == c.lastMasterFrame) {
        event.repeat = true;
        stats_.repeats++;
        event.notes.push_back("sent again: no answer came in time");
        return;
    }
    c.lastMasterFrame = f.raw;
    c.lastStationFrame.clear();

    if (f.type == kNextReplySegment) {
        event.notes.push_back("asks for the next reply segment");
        return;
    }
    if (f.type == kAck) {
        event.notes.push_back("acknowledges the reply");
        return;
    }
    const std::vector<uint8_t> data = f.data();
    uint32_t length = 0;
    size_t prefixSize = 0;
    if (!GetPrefix(data, &length, &prefixSize)) {
        event.notes.push_back("no length prefix");
        return;
    }
    event.hasPrefix = true;
    event.prefix = length;
    const uint32_t carried = static_cast<uint32_t>(data.size() - prefixSize);
    std::vector<uint8_t> message;
    bool complete = false;
    if (f.type == kRequestMore) {
        if (!(c.request.active && length == c.request.remaining())) {
            if (c.request.active)
                event.notes.push_back(
                    Format("starts over: %u bytes of the last request were still due", c.request.remaining()));
            c.request = Reassembly();
            c.request.active = true;
            c.request.total = length;
        }
        const uint32_t take = carried < length ? carried : length;
        c.request.bytes.insert(c.request.bytes.end(), data.begin() + static_cast<long>(prefixSize),
                               data.begin() + static_cast<long>(prefixSize + take));
        event.notes.push_back(
            Format("request segment, %u of %u bytes", static_cast<unsigned>(c.request.bytes.size()), c.request.total));
        return;
    }
    if (c.request.active && length == c.request.remaining()) {
        const uint32_t take = carried < length ? carried : length;
        c.request.bytes.insert(c.request.bytes.end(), data.begin() + static_cast<long>(prefixSize),
                               data.begin() + static_cast<long>(prefixSize + take));
        message = c.request.bytes;
        complete = true;
        c.request = Reassembly();
        event.notes.push_back(Format("last request segment, %u bytes in all", static_cast<unsigned>(message.size())));
    } else {
        if (c.request.active) {
            event.notes.push_back(
                Format("does not continue the segmented request (%u bytes were still due)", c.request.remaining()));
            c.request = Reassembly();
        }
        if (carried != length && carried != length + 1)
            event.notes.push_back(Format("length prefix %u, the frame carries %u bytes", length, carried));
        const uint32_t take = carried < length ? carried : length;
        message.assign(data.begin() + static_cast<long>(prefixSize),
                       data.begin() + static_cast<long>(prefixSize + take));
        complete = true;
    }
    if (complete) {
        Message m;
        m.fromMaster = true;
        m.bytes = message;
        decodeRequest(m, station);
        c.request0 = m;
        c.hasRequest = true;
        event.hasMessage = true;
        event.message = m;
        stats_.requests++;
    }
}

void Decoder::stationFrame(Event &event, Conversation &c, uint8_t station) {
    const Frame &f = event.frame;
    if (c.masterSequenceKnown && f.sequence != (c.masterSequence & 0x0F)) {
        stats_.staleSequences++;
        event.notes.push_back(Format("sequence %u, the master's last frame had %u: a stale answer, the driver "
                                     "drops it",
                                     f.sequence, c.masterSequence & 0x0F));
        return;
    }
    if (!c.lastStationFrame.empty() && f.raw == c.lastStationFrame) {
        event.repeat = true;
        stats_.repeats++;
        event.notes.push_back("the same answer again");
        return;
    }
    c.lastStationFrame = f.raw;

    switch (f.type) {
    case kNextRequestSegment: event.notes.push_back("asks for the next request segment"); return;
    case kSegmentRefused:
        event.notes.push_back("refuses the segmented request (the driver fails it with 65380, ErrCode 100)");
        return;
    case kAckFinal: event.notes.push_back("closes the acknowledge handshake"); return;
    default: break;
    }
    const std::vector<uint8_t> data = f.data();
    uint32_t length = 0;
    size_t prefixSize = 0;
    if (!GetPrefix(data, &length, &prefixSize)) {
        event.notes.push_back("no data");
        return;
    }
    event.hasPrefix = true;
    event.prefix = length;
    if (f.type == kReplyAckWanted)
        event.notes.push_back("wants an acknowledge");
    const uint32_t carried = static_cast<uint32_t>(data.size() - prefixSize);
    std::vector<uint8_t> message;
    if (f.type == kReplyMore) {
        if (!(c.reply.active && length == c.reply.remaining())) {
            if (c.reply.active)
                event.notes.push_back(
                    Format("starts over: %u bytes of the last reply were still due", c.reply.remaining()));
            c.reply = Reassembly();
            c.reply.active = true;
            c.reply.total = length;
        }
        const uint32_t take = carried < c.reply.remaining() ? carried : c.reply.remaining();
        c.reply.bytes.insert(c.reply.bytes.end(), data.begin() + static_cast<long>(prefixSize),
                             data.begin() + static_cast<long>(prefixSize + take));
        event.notes.push_back(
            Format("reply segment, %u of %u bytes", static_cast<unsigned>(c.reply.bytes.size()), c.reply.total));
        return;
    }
    if (c.reply.active && length == c.reply.remaining()) {
        const uint32_t take = carried < length ? carried : length;
        c.reply.bytes.insert(c.reply.bytes.end(), data.begin() + static_cast<long>(prefixSize),
                             data.begin() + static_cast<long>(prefixSize + take));
        message = c.reply.bytes;
        c.reply = Reassembly();
        event.notes.push_back(Format("last reply segment, %u bytes in all", static_cast<unsigned>(message.size())));
    } else {
        if (c.reply.active) {
            event.notes.push_back(
                Format("does not continue the segmented reply (%u bytes were still due)", c.reply.remaining()));
            c.reply = Reassembly();
        }
        if (carried != length && carried != length + 1)
            event.notes.push_back(Format("length prefix %u, the frame carries %u bytes", length, carried));
        const uint32_t take = carried < length ? carried : length;
        message.assign(data.begin() + static_cast<long>(prefixSize),
                       data.begin() + static_cast<long>(prefixSize + take));
    }
    Message m;
    m.fromMaster = false;
    m.bytes = message;
    decodeReply(m, c, station);
    event.hasMessage = true;
    event.message = m;
    stats_.replies++;
    if (m.code == kError)
        stats_.errorReplies++;
    if (!m.counterMatches)
        stats_.counterMismatches++;
}

void Decoder::decodeRequest(Message &m, uint8_t station) {
    if (m.bytes.size() < 4) {
        m.name = "?";
        m.summary = "message too short: " + Hex(m.bytes);
        return;
    }
    m.marker = m.bytes[0];
    m.counter = m.bytes[2];
    m.code = m.bytes[3];
    Reader r(m.bytes, 4);
    std::map<uint16_t, ObjectInfo> &known = objects_[station];
    auto describe = [&known](Item &item) {
        auto it = known.find(item.handle);
        if (it != known.end()) {
            item.name = it->second.name;
            if (!item.hasLength) {
                item.hasLength = true;
                item.length = it->second.length;
            }
        }
    };
    std::vector<std::string> parts;
    uint16_t count = 0;
    switch (m.code) {
    case kRead:
    case kReadLong:
        if (m.code == kRead && m.marker == 0xFF) {
            m.name = "Connect";
            r.be16(&count);
            for (uint16_t i = 0; i < count; ++i) {
                uint16_t object = 0;
                if (!r.be16(&object))
                    break;
                parts.push_back(std::to_string(object));
            }
            m.summary = "Connect: reads the station objects " + Join(parts, ", ");
            return;
        }
        m.name = m.code == kRead ? "Read" : "ReadLong";
        r.be16(&count);
        for (uint16_t i = 0; i < count && r.ok(); ++i) {
            Item item;
            if (!ReadItemHead(r, m.code != kRead, &item))
                break;
            describe(item);
            m.items.push_back(item);
            std::vector<std::string> details;
            if (!item.name.empty())
                details.push_back(Handle(item.handle));
            if (item.hasLength)
                details.push_back(std::to_string(item.length) + " bytes");
            parts.push_back(ItemName(item) + (details.empty() ? "" : " (" + Join(details, ", ") + ")"));
        }
        m.summary = m.name + " " + Join(parts, ", ");
        if (!r.ok())
            m.summary += " (message ends inside an item head)";
        return;
    case kWrite:
    case kWriteLong:
        if (m.code == kWrite && m.marker == 0xFF) {
            m.name = "Control";
            m.summary =
                "Control write: " + Hex(m.bytes.data() + 4, m.bytes.size() - 4) + " (stores 2 into station object 4)";
            return;
        }
        m.name = m.code == kWrite ? "Write" : "WriteLong";
        r.be16(&count);
        for (uint16_t i = 0; i < count && r.ok(); ++i) {
            Item item;
            if (!ReadItemHead(r, m.code != kWrite, &item))
                break;
            describe(item);
            uint32_t take = item.hasLength ? Even(item.length) : 0;
            if (!item.hasLength || take > r.left()) {
                // Short heads carry no length: the last item's data is the rest of the message.
                take = i + 1 == count ? static_cast<uint32_t>(r.left()) : 0;
            }
            r.take(take, &item.data);
            auto it = known.find(item.handle);
            if (it != known.end())
                item.value = FormatValue(it->second, item.data.data(), item.data.size());
            m.items.push_back(item);
            std::string part = ItemName(item) + " := ";
            part += !item.value.empty() ? item.value : Hex(item.data);
            parts.push_back(part);
            if (take == 0 && !item.hasLength)
                break;
        }
        m.summary = m.name + " " + Join(parts, ", ");
        return;
    case kLookup: {
        m.name = "Lookup";
        r.be16(&count);
        std::vector<uint8_t> area;
        r.take(r.left(), &area);
        std::string name;
        for (uint8_t b : area) {
            if (b == 0) {
                Item item;
                item.name = name;
                m.items.push_back(item);
                parts.push_back(Quote(name));
                name.clear();
                if (m.items.size() == count)
                    break;
            } else {
                name += static_cast<char>(b);
            }
        }
        if (!name.empty() && m.items.size() < count) {
            Item item;
            item.name = name;
            m.items.push_back(item);
            parts.push_back(Quote(name));
        }
        m.summary = "Lookup " + Join(parts, ", ");
        return;
    }
    case kText: {
        m.name = "Text";
        std::string text;
        for (size_t i = 4; i < m.bytes.size() && m.bytes[i] != 0; ++i)
            text += static_cast<char>(m.bytes[i]);
        m.summary = "Text request " + Quote(text);
        return;
    }
    default:
        m.name = "Code " + std::to_string(m.code);
        m.summary = "message code " + std::to_string(m.code) + ": " + Hex(m.bytes.data() + 4, m.bytes.size() - 4);
        return;
    }
}

void Decoder::decodeReply(Message &m, Conversation &c, uint8_t station) {
    if (m.bytes.size() < 4) {
        m.name = "?";
        m.summary = "reply too short: " + Hex(m.bytes);
        return;
    }
    m.marker = m.bytes[0];
    m.counter = m.bytes[2];
    m.code = m.bytes[3];
    const Message *request = c.hasRequest ? &c.request0 : nullptr;
    m.hasRequest = request != nullptr;
    std::string head;
    if (request != nullptr && m.counter != request->counter) {
        m.counterMatches = false;
        head = Format("counter %u does not match the request's %u (the driver fails with 65323, ErrCode 43); ",
                      m.counter, request->counter);
    }
    Reader r(m.bytes, 4);
    std::vector<std::string> parts;

    if (m.code == kError) {
        m.name = "Error";
        uint8_t zero = 0;
        r.u8(&zero);
        r.u8(&m.errorFlags);
        r.be16(&m.errorNumber);
        if (!r.ok()) {
            m.summary = head + "Error reply shorter than 8 bytes (the driver fails with 65325, ErrCode 45)";
            return;
        }
        if ((m.errorFlags & 0x10) != 0)
            m.driverResult = kSegmentRefusedResult + m.errorNumber;
        else
            m.driverResult = m.errorNumber == 0 ? kReplyCodeResult : m.errorNumber;
        const unsigned low = m.driverResult & 0xFFu;
        m.summary = head +
                    Format("Error reply: station error %u, flags 0x%02X; the driver fails the request with ",
                           m.errorNumber, m.errorFlags) +
                    std::to_string(m.driverResult) + Format(" (ErrCode %u: ", low) + ErrCodeMeaning(low) + ")";
        return;
    }

    const uint8_t base = m.code & 0x7F;
    const bool extraFlag = (m.code & kExtra) != 0 && (base == kRead || base == kWrite);
    if (request == nullptr) {
        m.name = "Reply";
        m.summary = head + "reply code " + std::to_string(m.code) +
                    " (its request was not seen): " + Hex(m.bytes.data() + 4, m.bytes.size() - 4);
        return;
    }
    if (base != request->code && !(base == kRead && request->code == kReadLong) &&
        !(base == kWrite && request->code == kWriteLong)) {
        m.name = "Reply";
        m.summary = head + Format("reply code %u to a request of code %u (the driver fails with 65324, ErrCode 44)",
                                  m.code, request->code);
        return;
    }
    if (base != m.code && !extraFlag) {
        m.name = request->name + " reply";
        m.summary = head + request->name + " reply with code " + std::to_string(m.code) +
                    ": the driver takes it as done and writes nothing";
        return;
    }

    std::map<uint16_t, ObjectInfo> &known = objects_[station];
    if (base == kLookup) {
        m.name = "Lookup reply";
        size_t index = 0;
        while (r.left() >= 22) {
            Item item;
            item.isLookupResult = true;
            uint16_t token = 0;
            uint32_t length = 0, aux = 0, element = 0;
            uint16_t type = 0;
            r.u8(&item.status);
            r.u8(&item.object.kind);
            r.token(&token);
            r.skip(4);
            r.be32(&length);
            r.be16(&type);
            r.be32(&aux);
            r.be32(&element);
            item.name = index < request->items.size() ? request->items[index].name : std::string();
            std::string part = Quote(item.name);
            if (item.status == 0) {
                item.hasHandle = true;
                item.handle = token;
                item.hasLength = true;
                item.length = length;
                item.object.name = item.name;
                item.object.length = length;
                item.object.dataType = type;
                item.object.elementLength = element;
                known[token] = item.object;
                const char *kind = item.object.kind == 1                              ? "array"
                                   : (item.object.kind == 2 || item.object.kind == 3) ? "structure"
                                                                                      : "single";
                part += " " + Handle(token) + " " + kind + " " + DataTypeName(type) + ", " + std::to_string(length) +
                        " bytes";
                if (item.object.kind == 1)
                    part += Format(", elements of %u bytes", element);
                if (aux != 0)
                    part += Format(", aux %u", aux);
            } else {
                const unsigned low = (item.status + 256u - 86u) & 0xFFu;
                part += Format(" not known (status %u; the driver logs rc=%u)", item.status, low);
            }
            parts.push_back(part);
            m.items.push_back(item);
            ++index;
        }
        m.summary = head + "Lookup reply " + Join(parts, ", ");
        if (r.left() != 0)
            m.summary += Format(" (+%u bytes that are no lookup result)", static_cast<unsigned>(r.left()));
        if (request->items.size() != index)
            m.summary += Format(" (%u names asked, %u results)", static_cast<unsigned>(request->items.size()),
                                static_cast<unsigned>(index));
        return;
    }
    if (base == kText) {
        m.name = "Text reply";
        uint16_t status = 0;
        r.be16(&status);
        std::string text;
        for (size_t i = 6; i < m.bytes.size() && m.bytes[i] != 0; ++i)
            text += static_cast<char>(m.bytes[i]);
        m.summary = head + Format("Text reply: status %u, ", status) + Quote(text);
        return;
    }
    if (request->name == "Connect") {
        m.name = "Connect reply";
        uint16_t object2 = 0, object5 = 0;
        std::vector<uint8_t> object4;
        uint32_t object6 = 0;
        if (!(r.be16(&object2) && r.take(2, &object4) && r.be16(&object5) && r.be32(&object6))) {
            m.summary = head + "Connect reply shorter than 14 bytes: " + Hex(m.bytes);
            return;
        }
        m.summary = head + "Connect reply: object 2 = " + std::to_string(object2) +
                    (object2 < 128 ? " (long item heads, codes 49/50)" : " (short item heads, codes 33/34)") +
                    ", object 4 = " + Hex(object4) + Format(", object 5 = %04X, buffer %u bytes", object5, object6);
        if (r.left() != 0)
            m.summary += " +extra " + Hex(m.bytes.data() + r.pos(), r.left());
        return;
    }
    if (request->name == "Control") {
        m.name = "Control reply";
        m.summary = head + "Control write done";
        return;
    }
    if (base == kRead || base == kReadLong) {
        m.name = "Read reply";
        bool lost = false;
        for (size_t i = 0; i < request->items.size(); ++i) {
            Item item = request->items[i];
            const bool last = i + 1 == request->items.size();
            uint32_t take = item.hasLength ? Even(item.length) : 0;
            if (!item.hasLength || take > r.left()) {
                if (!last) {
                    lost = true;
                    break;
                }
                take = static_cast<uint32_t>(r.left());
            }
            r.take(take, &item.data);
            auto it = known.find(item.handle);
            if (it != known.end())
                item.value = FormatValue(it->second, item.data.data(), item.data.size());
            parts.push_back(ItemName(item) + " = " + (!item.value.empty() ? item.value : Hex(item.data)));
            m.items.push_back(item);
        }
        m.summary = head + "Read reply " + Join(parts, ", ");
        if (lost)
            m.summary += (parts.empty() ? "" : ", ") + std::string("then ") + Hex(m.bytes.data() + r.pos(), r.left()) +
                         " (item lengths unknown: their lookups were not seen)";
        else if (r.left() != 0)
            m.summary +=
                std::string(extraFlag ? " +extra " : " +unexpected ") + Hex(m.bytes.data() + r.pos(), r.left());
        return;
    }
    if (base == kWrite || base == kWriteLong) {
        m.name = "Write reply";
        m.items = request->items; // the items written, as the request named them
        m.summary = head + "Write done";
        if (r.left() != 0)
            m.summary +=
                std::string(extraFlag ? " +extra " : " +unexpected ") + Hex(m.bytes.data() + r.pos(), r.left());
        return;
    }
    m.name = "Reply";
    m.summary = head + "reply code " + std::to_string(m.code) + ": " + Hex(m.bytes.data() + 4, m.bytes.size() - 4);
}

} // namespace kesta::decode
