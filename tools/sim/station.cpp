// A simulated station's side of every exchange: request segments, services, reply segments, the
// final acknowledgement, repeats of a retransmitted frame, and the faults of its script.
// No I/O and no locking here: the simulator calls in with its lock held and writes the answer.
#include "tools/sim/station.h"

#include <algorithm>
#include <cstring>

namespace kesta::sim {

namespace {

size_t Even(size_t n) { return n + (n & 1); }

// Byte 0 of the connect request and the control write: the station serves them before any connection.
constexpr uint8_t kMarkerSpecial = 0xFF;
constexpr uint32_t kDefaultEventMs = 1000; // off and unplug steps without a time

std::string Fmt(const char *format, unsigned long a, unsigned long b = 0, unsigned long c = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

void AddNote(TrafficRecord &r, const std::string &note) {
    if (!r.note.empty())
        r.note += "; ";
    r.note += note;
}

uint16_t TakeHandle(StationState &s) {
    while (s.nextHandle == 0 || s.views.count(s.nextHandle))
        ++s.nextHandle;
    return s.nextHandle++;
}

void CountFault(StationState &s, FaultKind kind) { ++s.stats.faults[static_cast<size_t>(kind)]; }

// ---- Faults -------------------------------------------------------------------------------------

Fault TakeFault(StationState &s) {
    if (s.step < s.script.steps.size()) {
        const Fault f = s.script.steps[s.step];
        if (++s.stepUsed >= std::max<uint32_t>(1, f.repeat)) {
            ++s.step;
            s.stepUsed = 0;
        }
        return f;
    }
    Fault f;
    if (s.script.randomRate > 0) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (chance(s.rng) < s.script.randomRate) {
            static const FaultKind pool[] = {
                FaultKind::Silence,      FaultKind::NoReply,      FaultKind::Noise,         FaultKind::HeaderChecksum,
                FaultKind::DataChecksum, FaultKind::OtherStation, FaultKind::StaleSequence, FaultKind::Split};
            std::uniform_int_distribution<size_t> pick(0, sizeof pool / sizeof pool[0] - 1);
            f.kind = pool[pick(s.rng)];
        }
    }
    return f;
}

// Faults that only change how the answer travels: applied to its first frame.
void ApplyLineFault(StationState &s, const Fault &fault, TrafficRecord &rx, Answer &out) {
    if (out.frames.empty())
        return;
    OutFrame &o = out.frames.front();
    switch (fault.kind) {
    case FaultKind::NoReply:
        out.frames.clear();
        AddNote(rx, "fault noreply: carried out, answer not sent");
        break;
    case FaultKind::Noise: {
        const uint32_t n = fault.param ? std::min<uint32_t>(fault.param, 4096) : 6;
        std::uniform_int_distribution<int> byte(0, 255);
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t b = static_cast<uint8_t>(byte(s.rng));
            o.noise.push_back(b == kStx ? 0xFF : b);
        }
        AddNote(o.record, Fmt("fault noise: %lu bytes before STX", n));
        break;
    }
    case FaultKind::HeaderChecksum:
        o.frame[5] ^= 0xFF;
        o.record.valid = false;
        AddNote(o.record, "fault hcs: header checksum corrupted");
        break;
    case FaultKind::DataChecksum:
        o.frame.back() ^= 0xFF;
        o.record.valid = false;
        AddNote(o.record, "fault dcs: data checksum corrupted");
        break;
    case FaultKind::OtherStation: {
        OutFrame other = o;
        other.frame[2] ^= 0x01;
        ResealFrame(other.frame);
        other.completesReply = false;
        other.record = DescribeFrame(other.frame, Direction::FromStation);
        other.record.note = "fault other: frame to another station first";
        out.frames.insert(out.frames.begin(), other);
        break;
    }
    case FaultKind::StaleSequence: {
        OutFrame stale = o;
        stale.frame[4] = static_cast<uint8_t>((((stale.frame[4] >> 4) + 15) & 0x0F) << 4 | (stale.frame[4] & 0x0F));
        ResealFrame(stale.frame);
        stale.completesReply = false;
        stale.record = DescribeFrame(stale.frame, Direction::FromStation);
        stale.record.note = "fault stale: copy with the previous sequence first";
        out.frames.insert(out.frames.begin(), stale);
        break;
    }
    case FaultKind::Split:
        o.splitAt = o.frame.size() / 2;
        o.pauseMs = fault.param ? fault.param : 50;
        AddNote(o.record,
                Fmt("fault split: %lu + %lu bytes, %lu ms apart", o.splitAt, o.frame.size() - o.splitAt, o.pauseMs));
        break;
    default: return;
    }
    CountFault(s, fault.kind);
}

// ---- Replies ------------------------------------------------------------------------------------

std::vector<uint8_t> Header(uint8_t counter, uint8_t code) { return {0x00, 0x00, counter, code}; }

std::vector<uint8_t> ErrorReply(StationState &s, uint8_t counter, uint8_t flags, uint16_t number, TrafficRecord &rep) {
    std::vector<uint8_t> m = Header(counter, kCodeError);
    Writer(m).u8(0).u8(flags).be16(number);
    rep.errorFlags = flags;
    rep.errorNumber = number;
    ++s.stats.errors;
    return m;
}

void SendSegment(StationState &s, uint8_t sequence, Answer &out) {
    const size_t remaining = s.reply.size() - s.replyOffset;
    std::vector<uint8_t> data;
    PutPrefix(data, static_cast<uint32_t>(remaining));
    const size_t room = kMaxFrameData - data.size();
    OutFrame o;
    uint8_t type;
    size_t take;
    if (remaining <= kMaxSegmentMessage) {
        take = remaining;
        type = s.ackMode == AckMode::None ? kReplyLast : kReplyAckWanted;
        s.replyPending = false;
        s.awaitingAck = s.ackMode != AckMode::None;
        o.completesReply = true;
    } else {
        take = room;
        type = kReplyMore;
        s.replyPending = true;
        ++s.stats.replySegments;
    }
    Writer(data).bytes(s.reply.data() + s.replyOffset, take);
    s.replyOffset += take;
    o.frame = BuildFrame(s.replyTo, s.address, sequence, type, data.data(), data.size());
    o.record = DescribeFrame(o.frame, Direction::FromStation);
    if (o.completesReply) {
        const TrafficRecord &m = s.replyRecord;
        o.record.hasMessage = true;
        o.record.marker = m.marker;
        o.record.counter = m.counter;
        o.record.code = m.code;
        o.record.errorFlags = m.errorFlags;
        o.record.errorNumber = m.errorNumber;
        o.record.textStatus = m.textStatus;
        o.record.items = m.items;
        o.record.messageLength = static_cast<uint32_t>(s.reply.size());
    }
    out.frames.push_back(std::move(o));
}

void SendReply(StationState &s, const Frame &f, std::vector<uint8_t> reply, TrafficRecord &rep, Answer &out) {
    rep.marker = reply[0];
    rep.counter = reply[2];
    rep.code = reply[3];
    s.reply = std::move(reply);
    s.replyOffset = 0;
    s.replyTo = f.source;
    s.replyRecord = rep;
    SendSegment(s, f.sequence, out);
}

OutFrame Bare(StationState &s, const Frame &f, uint8_t type) {
    OutFrame o;
    o.frame = BuildFrame(f.source, s.address, f.sequence, type, nullptr, 0);
    o.record = DescribeFrame(o.frame, Direction::FromStation);
    return o;
}

// ---- Services -----------------------------------------------------------------------------------

std::vector<uint8_t> Lookup(StationState &s, const std::vector<uint8_t> &m, TrafficRecord &rx, TrafficRecord &rep) {
    Reader r(m.data() + 4, m.size() - 4);
    uint16_t count;
    if (!r.be16(&count))
        return ErrorReply(s, m[2], s.errorFlags, kErrMalformed, rep);
    const uint8_t *names = r.here();
    const size_t area = r.left();
    size_t pos = 0;
    std::vector<uint8_t> reply = Header(m[2], kCodeLookup);
    Writer w(reply);
    for (uint16_t i = 0; i < count; ++i) {
        const size_t start = std::min(pos, area);
        const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(names + start, 0, area - start));
        const size_t end = nul ? static_cast<size_t>(nul - names) : area;
        const std::string name(reinterpret_cast<const char *>(names + start), end - start);
        pos = end + 1;

        TrafficItem asked;
        asked.name = name;
        rx.items.push_back(asked);

        TrafficItem found;
        found.name = name;
        uint16_t handle = 0;
        View v;
        auto forced = s.forcedStatus.find(name);
        if (forced != s.forcedStatus.end())
            found.status = forced->second;
        else if (!ResolveName(s, name, &handle, &v))
            found.status = s.unknownStatus;
        if (found.status == 0) {
            found.handle = handle;
            found.kind = v.kind;
            found.length = v.length;
            found.dataType = v.dataType;
            found.aux = v.aux;
            found.elementLength = v.elementLength;
        }
        // The handle travels low byte first: the master takes its two bytes as they come.
        w.u8(found.status).u8(found.kind).le16(found.handle).be32(0);
        w.be32(found.length).be16(found.dataType).be32(found.aux).be32(found.elementLength);
        rep.items.push_back(found);
    }
    return reply;
}

std::vector<uint8_t> Text(StationState &s, const std::vector<uint8_t> &m, TrafficRecord &rx, TrafficRecord &rep) {
    const uint8_t *body = m.data() + 4;
    const size_t n = m.size() - 4;
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(body, 0, n));
    const std::string text(reinterpret_cast<const char *>(body), nul ? size_t(nul - body) : n);
    TrafficItem item;
    item.name = text;
    rx.items.push_back(item);

    uint16_t status = 0;
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    auto it = s.textReplies.find(text);
    if (it != s.textReplies.end()) {
        status = it->second.first;
        data = it->second.second;
    }
    std::vector<uint8_t> reply = Header(m[2], kCodeText);
    Writer(reply).be16(status).bytes(data.data(), data.size());
    rep.textStatus = status;
    item.data = data;
    rep.items.push_back(item);
    return reply;
}

bool FormAnnounced(const StationState &s, bool longHeads) {
    const bool announcedLong = GetConnectObjects(s).object2 < 0x80;
    return longHeads == announcedLong;
}

// An item head: the two handle bytes (short form), or the handle in four bytes and the length in two,
// least significant first (long form). Short heads carry no length.
bool ReadItemHead(Reader &r, bool longHeads, uint32_t *handle, uint16_t *length) {
    if (longHeads)
        return r.le32(handle) && r.le16(length);
    uint16_t token = 0;
    if (!r.le16(&token))
        return false;
    *handle = token;
    return true;
}

// What both item lists begin with: the item form a strict station insists on, then the item count.
// Returns the station error for the reply, 0 when the items can be read from r.
uint16_t OpenItemList(const StationState &s, const std::vector<uint8_t> &m, bool longHeads, Reader &r,
                      uint16_t *count) {
    if (s.strictItemMode && m[0] != 0xFF && !FormAnnounced(s, longHeads))
        return kErrItemForm;
    return r.be16(count) ? 0 : kErrMalformed;
}

// Read list: short heads name whole objects, long heads carry the length to read.
std::vector<uint8_t> Read(StationState &s, const std::vector<uint8_t> &m, bool longHeads, TrafficRecord &rx,
                          TrafficRecord &rep) {
    const uint8_t counter = m[2];
    Reader r(m.data() + 4, m.size() - 4);
    uint16_t n = 0;
    if (const uint16_t error = OpenItemList(s, m, longHeads, r, &n))
        return ErrorReply(s, counter, s.errorFlags, error, rep);
    struct Item {
        View v;
        uint16_t handle;
        uint32_t length;
    };
    std::vector<Item> items;
    for (uint16_t i = 0; i < n; ++i) {
        uint32_t handle = 0;
        uint16_t length = 0;
        if (!ReadItemHead(r, longHeads, &handle, &length))
            return ErrorReply(s, counter, s.errorFlags, kErrMalformed, rep);
        TrafficItem asked;
        asked.handle = static_cast<uint16_t>(handle);
        asked.length = length;
        rx.items.push_back(asked);
        auto it = s.views.find(static_cast<uint16_t>(handle));
        if (handle > 0xFFFF || it == s.views.end())
            return ErrorReply(s, counter, s.errorFlags, kErrUnknownHandle, rep);
        const uint32_t len = longHeads ? length : it->second.length;
        if (len > it->second.length)
            return ErrorReply(s, counter, s.errorFlags, kErrRange, rep);
        items.push_back({it->second, static_cast<uint16_t>(handle), len});
    }
    const bool extra = !s.extraRead.empty();
    std::vector<uint8_t> reply = Header(counter, static_cast<uint8_t>(m[3] | (extra ? kCodeExtraFlag : 0)));
    Writer w(reply);
    for (const Item &it : items) {
        const uint8_t *p = s.objects[it.v.object].bytes.data() + it.v.offset;
        w.bytes(p, it.length).padEven(it.length);
        TrafficItem got;
        got.handle = it.handle;
        got.length = it.length;
        got.data.assign(p, p + it.length);
        rep.items.push_back(got);
    }
    w.bytes(s.extraRead.data(), s.extraRead.size());
    return reply;
}

// Write list: every item is checked before any is stored, so a refused list changes nothing.
std::vector<uint8_t> Write(StationState &s, const std::vector<uint8_t> &m, bool longHeads, TrafficRecord &rx,
                           TrafficRecord &rep) {
    const uint8_t counter = m[2];
    Reader r(m.data() + 4, m.size() - 4);
    uint16_t n = 0;
    if (const uint16_t error = OpenItemList(s, m, longHeads, r, &n))
        return ErrorReply(s, counter, s.errorFlags, error, rep);
    struct Item {
        View v;
        const uint8_t *data;
        uint32_t length;
    };
    std::vector<Item> items;
    for (uint16_t i = 0; i < n; ++i) {
        uint32_t handle = 0;
        uint16_t length = 0;
        if (!ReadItemHead(r, longHeads, &handle, &length))
            return ErrorReply(s, counter, s.errorFlags, kErrMalformed, rep);
        auto it = s.views.find(static_cast<uint16_t>(handle));
        if (handle > 0xFFFF || it == s.views.end()) {
            TrafficItem asked;
            asked.handle = static_cast<uint16_t>(handle);
            rx.items.push_back(asked);
            return ErrorReply(s, counter, s.errorFlags, kErrUnknownHandle, rep);
        }
        const View &v = it->second;
        uint32_t take, store;
        if (longHeads) {
            if (length > v.length)
                return ErrorReply(s, counter, s.errorFlags, kErrRange, rep);
            // The data is padded to even; an odd last item may come without its pad byte.
            take = static_cast<uint32_t>(std::min<size_t>(Even(length), r.left()));
            if (take < length)
                return ErrorReply(s, counter, s.errorFlags, kErrMalformed, rep);
            store = length;
        } else {
            // Short heads carry no length: the object's own, padded; the last item may be shorter
            // (the control write sends one byte for the two bytes of object 4).
            take = static_cast<uint32_t>(std::min<size_t>(Even(v.length), r.left()));
            if (take == 0 && v.length > 0)
                return ErrorReply(s, counter, s.errorFlags, kErrMalformed, rep);
            store = std::min(take, v.length);
        }
        const uint8_t *data;
        r.take(take, &data);
        items.push_back({v, data, store});
        TrafficItem asked;
        asked.handle = static_cast<uint16_t>(handle);
        asked.length = longHeads ? length : store;
        asked.data.assign(data, data + store);
        rx.items.push_back(asked);
    }
    for (const Item &it : items) {
        std::memcpy(s.objects[it.v.object].bytes.data() + it.v.offset, it.data, it.length);
        AfterWrite(s, it.v.object);
    }
    const bool extra = !s.extraWrite.empty();
    std::vector<uint8_t> reply = Header(counter, static_cast<uint8_t>(m[3] | (extra ? kCodeExtraFlag : 0)));
    Writer(reply).bytes(s.extraWrite.data(), s.extraWrite.size());
    return reply;
}

void Execute(StationState &s, const Frame &f, const std::vector<uint8_t> &m, const Fault &fault, TrafficRecord &rx,
             Answer &out) {
    if (m.size() < 4) {
        AddNote(rx, "message shorter than its 4-byte header: ignored");
        return;
    }
    rx.hasMessage = true;
    rx.marker = m[0];
    rx.counter = m[2];
    rx.code = m[3];
    rx.messageLength = static_cast<uint32_t>(m.size());
    ++s.stats.requests;
    TrafficRecord rep;
    std::vector<uint8_t> reply;
    const bool special = m[0] == kMarkerSpecial;
    if (special && m[3] == kCodeReadShort)
        s.connected.insert(f.source); // the connect request reads the station objects
    if (fault.kind == FaultKind::Error) {
        const uint16_t number = static_cast<uint16_t>(fault.param ? fault.param : 1);
        reply = ErrorReply(s, m[2], fault.flags, number, rep);
        CountFault(s, FaultKind::Error);
        AddNote(rx, Fmt("fault error: error reply %lu flags 0x%02lX instead", number, fault.flags));
    } else if (s.mustConnect && !special && s.connected.count(f.source) == 0) {
        reply = ErrorReply(s, m[2], s.errorFlags, kErrNotConnected, rep);
        AddNote(rx, "master not connected since the station's (re)start");
    } else if (m.size() > GetConnectObjects(s).object6) {
        reply = ErrorReply(s, m[2], s.errorFlags, kErrTooLong, rep);
    } else {
        switch (m[3]) {
        case kCodeLookup: reply = Lookup(s, m, rx, rep); break;
        case kCodeText: reply = Text(s, m, rx, rep); break;
        case kCodeReadShort: reply = Read(s, m, false, rx, rep); break;
        case kCodeReadLong: reply = Read(s, m, true, rx, rep); break;
        case kCodeWriteShort: reply = Write(s, m, false, rx, rep); break;
        case kCodeWriteLong: reply = Write(s, m, true, rx, rep); break;
        default: reply = ErrorReply(s, m[2], s.errorFlags, kErrUnknownCode, rep); break;
        }
    }
    SendReply(s, f, std::move(reply), rep, out);
}

void DropExchange(StationState &s, TrafficRecord &rx) {
    if (s.replyPending)
        AddNote(rx, Fmt("%lu reply bytes never fetched: dropped", s.reply.size() - s.replyOffset));
    s.replyPending = false;
    s.awaitingAck = false;
}

void AbandonRequest(StationState &s, TrafficRecord &rx) {
    if (s.collecting)
        AddNote(rx, Fmt("partial request of %lu/%lu bytes abandoned", s.request.size(), s.requestTotal));
    s.collecting = false;
    s.request.clear();
}

void OnRequestLast(StationState &s, const Frame &f, const Fault &fault, TrafficRecord &rx, Answer &out) {
    uint32_t total;
    size_t prefix;
    if (!GetPrefix(f.data.data(), f.data.size(), &total, &prefix)) {
        AddNote(rx, "request frame without length prefix: ignored");
        return;
    }
    DropExchange(s, rx);
    const uint8_t *p = f.data.data() + prefix;
    const size_t n = f.data.size() - prefix; // a pad byte may follow the message
    std::vector<uint8_t> message;
    if (s.collecting && total == s.requestTotal - s.request.size()) {
        if (n != total && n != total + 1) {
            AddNote(rx, Fmt("last segment: prefix %lu but %lu bytes: refused", total, n));
            AbandonRequest(s, rx);
            out.frames.push_back(Bare(s, f, kSegmentRefused));
            return;
        }
        s.request.insert(s.request.end(), p, p + total);
        message.swap(s.request);
        s.collecting = false;
    } else {
        AbandonRequest(s, rx);
        if (n != total && n != total + 1) {
            AddNote(rx, Fmt("length prefix %lu disagrees with %lu data bytes: ignored", total, n));
            return;
        }
        message.assign(p, p + total);
    }
    Execute(s, f, message, fault, rx, out);
}

void OnRequestMore(StationState &s, const Frame &f, const Fault &fault, TrafficRecord &rx, Answer &out) {
    uint32_t total;
    size_t prefix;
    if (!GetPrefix(f.data.data(), f.data.size(), &total, &prefix)) {
        AddNote(rx, "request segment without length prefix: ignored");
        return;
    }
    DropExchange(s, rx);
    const size_t n = f.data.size() - prefix;
    if (s.collecting && total != s.requestTotal - s.request.size())
        AbandonRequest(s, rx); // a new request: the master gave up the old one
    std::string why;
    if (fault.kind == FaultKind::Refuse) {
        why = "fault refuse";
        CountFault(s, FaultKind::Refuse);
    } else if (s.refuseSegments) {
        why = "station refuses segmented requests";
    } else if (!s.collecting && total > GetConnectObjects(s).object6) {
        why = Fmt("message of %lu bytes exceeds the buffer of %lu", total, GetConnectObjects(s).object6);
    } else if (n >= total) {
        why = Fmt("RequestMore carries all %lu remaining bytes", total);
    }
    if (!why.empty()) {
        AddNote(rx, why + ": SegmentRefused");
        AbandonRequest(s, rx);
        out.frames.push_back(Bare(s, f, kSegmentRefused));
        return;
    }
    if (!s.collecting) {
        s.collecting = true;
        s.requestTotal = total;
        s.request.clear();
    }
    s.request.insert(s.request.end(), f.data.begin() + static_cast<long>(prefix), f.data.end());
    ++s.stats.requestSegments;
    AddNote(rx, Fmt("request segment: %lu of %lu bytes", s.request.size(), s.requestTotal));
    out.frames.push_back(Bare(s, f, kNextRequestSegment));
}

void OnNextReplySegment(StationState &s, const Frame &f, TrafficRecord &rx, Answer &out) {
    if (!s.replyPending) {
        AddNote(rx, "no reply segments pending: ignored");
        return;
    }
    if (f.source != s.replyTo)
        AddNote(rx, "asked by another master than the request's");
    SendSegment(s, f.sequence, out);
}

void OnAck(StationState &s, const Frame &f, TrafficRecord &rx, Answer &out) {
    ++s.stats.acks;
    if (!s.awaitingAck) {
        AddNote(rx, "no reply awaits an Ack: ignored");
        return;
    }
    s.awaitingAck = false;
    if (s.ackMode == AckMode::Silent) {
        AddNote(rx, "Ack left unanswered (ack mode silent)");
        return;
    }
    out.frames.push_back(Bare(s, f, kAckFinal));
}

// Steps that are events of the station or its line: the frame that takes one is not heard.
bool TakeEvent(StationState &s, const Fault &fault, std::chrono::steady_clock::time_point now, TrafficRecord &rx,
               Answer &out) {
    const uint32_t ms = fault.param ? fault.param : kDefaultEventMs;
    switch (fault.kind) {
    case FaultKind::SwitchOff:
        SwitchOff(s, now + std::chrono::milliseconds(ms));
        AddNote(rx, Fmt("fault off: station switched off for %lu ms, not heard", ms));
        break;
    case FaultKind::Restart:
        Restart(s);
        AddNote(rx, "fault restart: station restarts with new handles, not heard");
        break;
    case FaultKind::Drop:
        if (!DropObject(s, fault.name))
            Restart(s);
        AddNote(rx, "fault drop: new program without '" + fault.name + "', restart, not heard");
        break;
    case FaultKind::Resize:
        if (!ResizeObject(s, fault.name, fault.param))
            Restart(s);
        AddNote(rx, "fault resize: new program with '" + fault.name + "' of " + std::to_string(fault.param) +
                        " elements, restart, not heard");
        break;
    case FaultKind::Unplug:
        out.unplugMs = ms;
        AddNote(rx, Fmt("fault unplug: the line's device disappears for %lu ms", ms));
        break;
    default: return false;
    }
    CountFault(s, fault.kind);
    return true;
}

// Switched on after being off: the station keeps its program and values, not its connections.
void PowerUp(StationState &s) {
    s.lastFrame.clear();
    s.lastAnswer.clear();
    s.collecting = false;
    s.request.clear();
    s.replyPending = false;
    s.awaitingAck = false;
    s.mustConnect = true;
    s.connected.clear();
}

View WholeView(const ObjectState &o, size_t index) {
    View v;
    v.object = index;
    v.length = static_cast<uint32_t>(o.bytes.size());
    v.kind = o.kind;
    v.dataType = o.dataType;
    v.elementLength = o.elementLength;
    v.aux = o.aux;
    return v;
}

// ".toggle" is a sample structure's first byte: nonzero while a record is shown, and the master writes 0
// into it to acknowledge the record.
void AddToggle(StationState &s, size_t index) {
    View toggle;
    toggle.object = index;
    toggle.length = 1;
    toggle.dataType = kTypeBool;
    toggle.elementLength = 1;
    const uint16_t th = TakeHandle(s);
    s.views[th] = toggle;
    s.derived[s.objects[index].name + ".toggle"] = th;
}

} // namespace

// ---- Power and program --------------------------------------------------------------------------

void SwitchOff(StationState &s, std::chrono::steady_clock::time_point until) {
    s.off = true;
    s.offUntil = until;
}

void SwitchOn(StationState &s) {
    if (!s.off)
        return;
    s.off = false;
    PowerUp(s);
}

void Restart(StationState &s) {
    std::map<uint16_t, View> kept; // the station objects of the connect keep their fixed handles
    for (const auto &v : s.views)
        if (s.objects[v.second.object].hidden)
            kept.insert(v);
    s.views.swap(kept);
    s.derived.clear(); // element handles are handed out again on their next lookup
    for (size_t i = 0; i < s.objects.size(); ++i) {
        ObjectState &o = s.objects[i];
        if (o.hidden || o.dropped)
            continue;
        o.handle = TakeHandle(s);
        s.views[o.handle] = WholeView(o, i);
        if (o.sample)
            AddToggle(s, i);
    }
    s.off = false;
    PowerUp(s);
}

bool DropObject(StationState &s, const std::string &name) {
    auto it = s.byName.find(name);
    if (it == s.byName.end())
        return false;
    s.objects[it->second].dropped = true;
    s.byName.erase(it);
    Restart(s);
    return true;
}

bool ResizeObject(StationState &s, const std::string &name, uint32_t count) {
    auto it = s.byName.find(name);
    if (it == s.byName.end() || count == 0 || uint64_t(count) * s.objects[it->second].elementLength > 0x100000)
        return false;
    ObjectState &o = s.objects[it->second];
    o.count = count;
    o.bytes.resize(size_t(count) * o.elementLength, 0);
    Restart(s);
    return true;
}

// ---- Objects ------------------------------------------------------------------------------------

void InitStation(StationState &s, uint8_t address) {
    s.address = address;
    s.rng.seed(address);
    const struct {
        const char *name;
        uint16_t handle;
        uint32_t length;
    } station[] = {{"object 2", kHandleObject2, 2},
                   {"object 4", kHandleObject4, 2},
                   {"object 5", kHandleObject5, 2},
                   {"object 6", kHandleObject6, 4}};
    for (const auto &o : station) {
        ObjectState obj;
        obj.name = o.name;
        obj.handle = o.handle;
        obj.hidden = true;
        obj.elementLength = o.length;
        obj.bytes.assign(o.length, 0);
        View v;
        v.object = s.objects.size();
        v.length = o.length;
        v.elementLength = o.length;
        s.views[o.handle] = v;
        s.objects.push_back(std::move(obj));
    }
    SetConnectObjects(s, ConnectObjects{});
}

const ObjectState *FindObject(const StationState &s, const std::string &name) {
    auto it = s.byName.find(name);
    return it == s.byName.end() ? nullptr : &s.objects[it->second];
}

uint16_t AddObject(StationState &s, const ObjectSpec &objectSpec, std::string *error) {
    auto fail = [&](const std::string &why) -> uint16_t {
        if (error)
            *error = "object '" + objectSpec.name + "': " + why;
        return 0;
    };
    if (objectSpec.name.empty())
        return fail("empty name");
    if (objectSpec.name.find_first_of(std::string(" \0", 2)) != std::string::npos)
        return fail("a name cannot hold a blank or NUL (the master sends them as name ends)");
    if (s.byName.count(objectSpec.name) || s.derived.count(objectSpec.name))
        return fail(Fmt("already defined at station %lu", s.address));
    const uint32_t elem = objectSpec.elementLength ? objectSpec.elementLength : TypeSize(objectSpec.dataType);
    if (elem == 0)
        return fail(Fmt("element length needed for data type %lu", objectSpec.dataType));
    if (objectSpec.count == 0)
        return fail("count must be at least 1");
    const uint64_t length = uint64_t(elem) * objectSpec.count;
    if (length > 0x100000)
        return fail(Fmt("%lu bytes is more than a station object may hold (1 MiB)", length));
    if (objectSpec.init.size() > length)
        return fail(Fmt("%lu initial bytes for an object of %lu bytes", objectSpec.init.size(), length));
    if (objectSpec.handle && s.views.count(objectSpec.handle))
        return fail(Fmt("handle 0x%04lX is taken", objectSpec.handle));

    ObjectState o;
    o.name = objectSpec.name;
    o.kind = objectSpec.kind;
    o.dataType = objectSpec.dataType;
    o.elementLength = elem;
    o.count = objectSpec.count;
    o.aux = objectSpec.aux;
    o.bytes.assign(length, 0);
    std::copy(objectSpec.init.begin(), objectSpec.init.end(), o.bytes.begin());
    o.handle = objectSpec.handle ? objectSpec.handle : TakeHandle(s);
    s.views[o.handle] = WholeView(o, s.objects.size());
    s.byName[o.name] = s.objects.size();
    s.objects.push_back(std::move(o));
    return s.objects.back().handle;
}

uint16_t AddSample(StationState &s, const std::string &name, uint8_t kind, uint16_t dataType, std::string *error) {
    ObjectSpec objectSpec;
    objectSpec.name = name;
    objectSpec.kind = kind;
    objectSpec.dataType = dataType;
    objectSpec.elementLength = 12;
    objectSpec.count = 1;
    const uint16_t handle = AddObject(s, objectSpec, error);
    if (!handle)
        return 0;
    const size_t index = s.byName[name];
    s.objects[index].sample = true;
    AddToggle(s, index);
    return handle;
}

bool ResolveName(StationState &s, const std::string &name, uint16_t *handle, View *view) {
    auto d = s.derived.find(name);
    if (d != s.derived.end()) {
        *handle = d->second;
        *view = s.views[d->second];
        return true;
    }
    auto it = s.byName.find(name);
    if (it != s.byName.end()) {
        *handle = s.objects[it->second].handle;
        *view = s.views[*handle];
        return true;
    }
    // "arr[3]": one element of an array, described as a single variable of the array's type.
    const size_t open = name.find('[');
    if (open == std::string::npos || open == 0 || name.back() != ']' || open + 2 >= name.size())
        return false;
    auto base = s.byName.find(name.substr(0, open));
    if (base == s.byName.end() || s.objects[base->second].kind != kKindArray)
        return false;
    uint64_t index = 0;
    for (size_t i = open + 1; i + 1 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || index > 0xFFFFFFFFull)
            return false;
        index = index * 10 + uint64_t(name[i] - '0');
    }
    const ObjectState &a = s.objects[base->second];
    if (index >= a.count)
        return false;
    View v;
    v.object = base->second;
    v.offset = static_cast<uint32_t>(index * a.elementLength);
    v.length = a.elementLength;
    v.kind = kKindSingle;
    v.dataType = a.dataType;
    v.elementLength = a.elementLength;
    v.aux = a.aux;
    const uint16_t h = TakeHandle(s);
    s.views[h] = v;
    s.derived[name] = h;
    *handle = h;
    *view = v;
    return true;
}

void SetConnectObjects(StationState &s, const ConnectObjects &c) {
    uint8_t *o2 = s.objects[0].bytes.data();
    o2[0] = static_cast<uint8_t>(c.object2 >> 8);
    o2[1] = static_cast<uint8_t>(c.object2);
    s.objects[1].bytes.assign(c.object4.begin(), c.object4.end());
    uint8_t *o5 = s.objects[2].bytes.data();
    o5[0] = static_cast<uint8_t>(c.object5 >> 8);
    o5[1] = static_cast<uint8_t>(c.object5);
    uint8_t *o6 = s.objects[3].bytes.data();
    for (int i = 0; i < 4; ++i)
        o6[i] = static_cast<uint8_t>(c.object6 >> (24 - 8 * i));
}

ConnectObjects GetConnectObjects(const StationState &s) {
    ConnectObjects c;
    const uint8_t *o2 = s.objects[0].bytes.data();
    c.object2 = static_cast<uint16_t>(o2[0] << 8 | o2[1]);
    c.object4 = {s.objects[1].bytes[0], s.objects[1].bytes[1]};
    const uint8_t *o5 = s.objects[2].bytes.data();
    c.object5 = static_cast<uint16_t>(o5[0] << 8 | o5[1]);
    const uint8_t *o6 = s.objects[3].bytes.data();
    c.object6 = uint32_t(o6[0]) << 24 | uint32_t(o6[1]) << 16 | uint32_t(o6[2]) << 8 | o6[3];
    return c;
}

bool QueueRecord(StationState &s, size_t object, const SampleRecord &record, std::string *error) {
    ObjectState &o = s.objects[object];
    if (!o.sample) {
        if (error)
            *error = "'" + o.name + "' is not a sample structure";
        return false;
    }
    if (record[0] == 0) {
        if (error)
            *error = "record byte 0 must be nonzero: it marks a record as present";
        return false;
    }
    if (o.showing) {
        o.queue.push_back(record);
    } else {
        std::copy(record.begin(), record.end(), o.bytes.begin());
        o.showing = true;
    }
    return true;
}

void AfterWrite(StationState &s, size_t object) {
    ObjectState &o = s.objects[object];
    if (!o.sample || o.bytes[0] != 0)
        return;
    if (o.showing) {
        ++o.acknowledged;
        o.showing = false;
    }
    if (!o.queue.empty()) {
        std::copy(o.queue.front().begin(), o.queue.front().end(), o.bytes.begin());
        o.queue.pop_front();
        o.showing = true;
    } else {
        std::fill(o.bytes.begin(), o.bytes.end(), 0);
    }
}

void SetFaults(StationState &s, const FaultScript &script) {
    s.script = script;
    s.step = 0;
    s.stepUsed = 0;
    s.rng.seed(script.seed);
}

// ---- Frames -------------------------------------------------------------------------------------

TrafficRecord DescribeFrame(const std::vector<uint8_t> &raw, Direction direction) {
    TrafficRecord r;
    r.direction = direction;
    r.raw = raw;
    r.valid = FrameChecksumsOk(raw);
    if (raw.size() >= 6) {
        r.destination = raw[2];
        r.source = raw[3];
        r.sequence = raw[4] >> 4;
        r.type = raw[4] & 0x0F;
    }
    if (raw.size() >= kFrameOverhead + 2) {
        size_t size;
        r.hasPrefix = GetPrefix(raw.data() + 6, raw.size() - kFrameOverhead, &r.prefix, &size);
    }
    return r;
}

void HandleFrame(StationState &s, const Frame &f, TrafficRecord &rx, Answer &out) {
    const auto now = std::chrono::steady_clock::now();
    if (s.off) {
        if (now < s.offUntil) {
            AddNote(rx, "station switched off: not heard");
            return;
        }
        SwitchOn(s);
    }
    ++s.stats.frames;
    out.turnaround = s.turnaround;
    if (f.type != kRequestLast && f.type != kRequestMore && f.type != kNextReplySegment && f.type != kAck) {
        AddNote(rx, "not a master's frame type: ignored");
        return;
    }
    const Fault fault = TakeFault(s);
    if (TakeEvent(s, fault, now, rx, out))
        return;
    if (fault.kind == FaultKind::Silence) {
        CountFault(s, FaultKind::Silence);
        AddNote(rx, "fault silence: not heard");
        return;
    }
    if (!s.lastAnswer.empty() && f.raw == s.lastFrame) {
        // The master lost the answer and sent the same frame again: repeat, do not carry out twice.
        ++s.stats.retransmissions;
        AddNote(rx, "repeated frame: last answer sent again");
        out.frames = s.lastAnswer;
        for (OutFrame &o : out.frames) {
            o.completesReply = false;
            AddNote(o.record, "repeat");
        }
        ApplyLineFault(s, fault, rx, out);
        return;
    }
    switch (f.type) {
    case kRequestLast: OnRequestLast(s, f, fault, rx, out); break;
    case kRequestMore: OnRequestMore(s, f, fault, rx, out); break;
    case kNextReplySegment: OnNextReplySegment(s, f, rx, out); break;
    case kAck: OnAck(s, f, rx, out); break;
    }
    s.lastFrame = f.raw;
    s.lastAnswer = out.frames;
    ApplyLineFault(s, fault, rx, out);
}

} // namespace kesta::sim
