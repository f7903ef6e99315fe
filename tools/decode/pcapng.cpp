// pcapng for the decoder: the reader takes section, interface and packet blocks (either byte order,
// any time resolution), the writer the three blocks a Net2000 capture needs, and the converter turns a
// hex capture into packets, one per frame.
#include "tools/decode/pcapng.h"

#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>

namespace kesta::decode {

const char kCommentEcho[] = "echo: the converter's copy of the frame sent";
const char kCommentOutside[] = "outside frames: bytes of no frame";
const char kCommentCut[] = "cut frame: the rest of it never came";

namespace {

enum : uint32_t {
    kSectionHeader = 0x0A0D0D0A,
    kInterface = 1,
    kSimplePacket = 3,
    kEnhancedPacket = 6,
    kByteOrderMagic = 0x1A2B3C4D,
};
enum : uint16_t { kOptEnd = 0, kOptComment = 1, kOptName = 2, kOptDescription = 3, kOptTsResol = 9 };
enum : uint16_t { kOptFlags = 2 };
constexpr uint32_t kInbound = 1, kOutbound = 2;
constexpr uint32_t kMaxBlock = 16u << 20; // far above any Net2000 packet: a length beyond is damage

uint32_t Swap32(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24); }
uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>(v >> 8 | v << 8); }

// A block body read field by field in the section's byte order; reading past the end fails.
class Fields {
public:
    Fields(const std::vector<uint8_t> &body, bool swapped) : b_(body), swapped_(swapped) {}
    bool u16(uint16_t *v) {
        if (pos_ + 2 > b_.size())
            return false;
        std::memcpy(v, b_.data() + pos_, 2);
        if (swapped_)
            *v = Swap16(*v);
        pos_ += 2;
        return true;
    }
    bool u32(uint32_t *v) {
        if (pos_ + 4 > b_.size())
            return false;
        std::memcpy(v, b_.data() + pos_, 4);
        if (swapped_)
            *v = Swap32(*v);
        pos_ += 4;
        return true;
    }
    bool bytes(size_t n, std::vector<uint8_t> *out) {
        if (pos_ > b_.size() || n > b_.size() - pos_)
            return false;
        out->assign(b_.begin() + static_cast<long>(pos_), b_.begin() + static_cast<long>(pos_ + n));
        pos_ += n;
        const size_t padded = (pos_ + 3) / 4 * 4; // values are padded to 32 bits; a block may end unpadded
        pos_ = padded < b_.size() ? padded : b_.size();
        return true;
    }
    // The next option: false at opt_endofopt or where the options run out.
    bool option(uint16_t *code, std::vector<uint8_t> *value) {
        uint16_t length = 0;
        if (!u16(code) || !u16(&length) || *code == kOptEnd)
            return false;
        return bytes(length, value);
    }
    size_t left() const { return pos_ <= b_.size() ? b_.size() - pos_ : 0; }
    bool skip(size_t n) {
        if (n > left())
            return false;
        pos_ += n;
        return true;
    }

private:
    const std::vector<uint8_t> &b_;
    bool swapped_;
    size_t pos_ = 0;
};

std::string Text(const std::vector<uint8_t> &value) {
    std::string s(value.begin(), value.end());
    const size_t nul = s.find('\0');
    return nul == std::string::npos ? s : s.substr(0, nul);
}

// Units per second of if_tsresol: 10^n, or 2^n with the top bit set; absurd values fall back to
// microseconds.
uint64_t Resolution(uint8_t code) {
    const unsigned n = code & 0x7Fu;
    if ((code & 0x80) != 0)
        return n < 64 ? uint64_t{1} << n : 1000000;
    if (n > 19)
        return 1000000;
    uint64_t units = 1;
    for (unsigned i = 0; i < n; ++i)
        units *= 10;
    return units;
}

uint64_t ToMicros(uint64_t ticks, uint64_t unitsPerSecond) {
    if (unitsPerSecond == 1000000 || unitsPerSecond == 0)
        return ticks;
    const uint64_t seconds = ticks / unitsPerSecond;
    const uint64_t rest = ticks % unitsPerSecond;
    return seconds * 1000000 +
           static_cast<uint64_t>(static_cast<double>(rest) * 1e6 / static_cast<double>(unitsPerSecond));
}

void Put16(std::string &s, uint16_t v) { s.append(reinterpret_cast<const char *>(&v), 2); }
void Put32(std::string &s, uint32_t v) { s.append(reinterpret_cast<const char *>(&v), 4); }
void Pad(std::string &s) { s.append((4 - s.size() % 4) % 4, '\0'); }
void Option(std::string &s, uint16_t code, const void *value, size_t n) {
    n = n > 0xFFF0 ? 0xFFF0 : n;
    Put16(s, code);
    Put16(s, static_cast<uint16_t>(n));
    s.append(static_cast<const char *>(value), n);
    Pad(s);
}
void Block(std::ostream &out, uint32_t type, std::string body) {
    Put16(body, kOptEnd);
    Put16(body, 0);
    const uint32_t total = static_cast<uint32_t>(body.size() + 12);
    std::string whole;
    Put32(whole, type);
    Put32(whole, total);
    whole += body;
    Put32(whole, total);
    out.write(whole.data(), static_cast<std::streamsize>(whole.size()));
}

} // namespace

bool LooksLikePcapng(const uint8_t *bytes, size_t n) {
    return n >= 4 && bytes[0] == 0x0A && bytes[1] == 0x0D && bytes[2] == 0x0D && bytes[3] == 0x0A;
}

// ---- Reader -------------------------------------------------------------------------------------

bool PcapngReader::fail(const std::string &why) {
    char where[64];
    std::snprintf(where, sizeof where, " (block at byte %llu)", static_cast<unsigned long long>(offset_));
    error_ = why + where;
    return false;
}

bool PcapngReader::block(uint32_t *type, std::vector<uint8_t> *body) {
    uint8_t head[8];
    in_.read(reinterpret_cast<char *>(head), 8);
    if (in_.gcount() == 0)
        return false; // the end
    if (in_.gcount() != 8)
        return fail("file ends inside a block header");
    uint32_t length = 0;
    std::memcpy(type, head, 4);
    std::memcpy(&length, head + 4, 4);
    if (*type == kSectionHeader) {
        uint8_t magic[4];
        in_.read(reinterpret_cast<char *>(magic), 4);
        if (in_.gcount() != 4)
            return fail("file ends inside a section header");
        uint32_t m = 0;
        std::memcpy(&m, magic, 4);
        if (m == kByteOrderMagic)
            swapped_ = false;
        else if (m == Swap32(kByteOrderMagic))
            swapped_ = true;
        else
            return fail("section header without the byte-order magic");
        if (swapped_)
            length = Swap32(length);
        if (length < 28 || length > kMaxBlock || length % 4 != 0)
            return fail("section header of length " + std::to_string(length));
        body->assign(magic, magic + 4);
        body->resize(length - 12);
        in_.read(reinterpret_cast<char *>(body->data() + 4), static_cast<std::streamsize>(length - 16));
        if (static_cast<uint32_t>(in_.gcount()) != length - 16)
            return fail("file ends inside a section header");
        interfaces_.clear();
        inSection_ = true;
    } else {
        if (!inSection_)
            return fail("not a pcapng file: no section header first");
        if (swapped_) {
            *type = Swap32(*type);
            length = Swap32(length);
        }
        if (length < 12 || length > kMaxBlock || length % 4 != 0)
            return fail("block of length " + std::to_string(length));
        body->resize(length - 12);
        in_.read(reinterpret_cast<char *>(body->data()), static_cast<std::streamsize>(body->size()));
        if (static_cast<size_t>(in_.gcount()) != body->size())
            return fail("file ends inside a block");
    }
    uint8_t tail[4];
    in_.read(reinterpret_cast<char *>(tail), 4);
    uint32_t again = 0;
    std::memcpy(&again, tail, 4);
    if (swapped_)
        again = Swap32(again);
    if (in_.gcount() != 4 || again != length)
        return fail("block length not repeated at its end");
    offset_ += length;
    return true;
}

bool PcapngReader::next(PcapngPacket *packet) {
    uint32_t type = 0;
    std::vector<uint8_t> body;
    while (error_.empty() && block(&type, &body)) {
        Fields f(body, swapped_);
        if (type == kSectionHeader)
            continue;
        if (type == kInterface) {
            PcapngInterface i;
            uint16_t reserved = 0;
            uint32_t snap = 0;
            if (!f.u16(&i.linkType) || !f.u16(&reserved) || !f.u32(&snap))
                return fail("interface block too short");
            uint16_t code = 0;
            std::vector<uint8_t> value;
            while (f.option(&code, &value)) {
                if (code == kOptName)
                    i.name = Text(value);
                else if (code == kOptDescription)
                    i.description = Text(value);
                else if (code == kOptTsResol && value.size() == 1)
                    i.unitsPerSecond = Resolution(value[0]);
            }
            interfaces_.push_back(i);
            continue;
        }
        if (type != kEnhancedPacket && type != kSimplePacket)
            continue; // name resolution, statistics, custom blocks: nothing for the decoder
        PcapngPacket p;
        p.number = ++packets_;
        uint32_t high = 0, low = 0, captured = 0, original = 0;
        if (type == kSimplePacket) {
            if (!f.u32(&original))
                return fail("simple packet block too short");
            captured = static_cast<uint32_t>(f.left()) < original ? static_cast<uint32_t>(f.left()) : original;
        } else if (!f.u32(&p.interfaceId) || !f.u32(&high) || !f.u32(&low) || !f.u32(&captured) || !f.u32(&original)) {
            return fail("packet block too short");
        }
        if (p.interfaceId >= interfaces_.size())
            return fail("packet of interface " + std::to_string(p.interfaceId) + ", which was not described");
        if (!f.bytes(captured, &p.bytes))
            return fail("packet longer than its block");
        const PcapngInterface &i = interfaces_[p.interfaceId];
        p.micros = ToMicros(static_cast<uint64_t>(high) << 32 | low, i.unitsPerSecond);
        uint16_t code = 0;
        std::vector<uint8_t> value;
        uint32_t flags = 0;
        while (type == kEnhancedPacket && f.option(&code, &value)) {
            if (code == kOptFlags && value.size() == 4) {
                std::memcpy(&flags, value.data(), 4);
                if (swapped_)
                    flags = Swap32(flags);
            } else if (code == kOptComment && p.comment.empty()) {
                p.comment = Text(value);
            }
        }
        const uint32_t direction = flags & 3u;
        p.direction = direction == kOutbound ? 'M' : direction == kInbound ? 'S' : '?';
        if (p.comment.compare(0, 5, "echo:") == 0)
            p.direction = 'E';
        if (i.linkType != kPcapngLinkType) {
            other_++;
            continue;
        }
        *packet = std::move(p);
        return true;
    }
    return false;
}

// ---- Writer -------------------------------------------------------------------------------------

PcapngWriter::PcapngWriter(std::ostream &out, const std::string &application) : out_(out) {
    std::string body;
    Put32(body, kByteOrderMagic);
    Put16(body, 1);
    Put16(body, 0);
    Put32(body, 0xFFFFFFFFu); // section length not given
    Put32(body, 0xFFFFFFFFu);
    Option(body, 4, application.data(), application.size()); // shb_userappl
    Block(out_, kSectionHeader, body);
}

uint32_t PcapngWriter::addInterface(const std::string &name, const std::string &description) {
    std::string body;
    Put16(body, kPcapngLinkType);
    Put16(body, 0);
    Put32(body, 0);
    Option(body, kOptName, name.data(), name.size());
    Option(body, kOptDescription, description.data(), description.size());
    const uint8_t microseconds = 6;
    Option(body, kOptTsResol, &microseconds, 1);
    Block(out_, kInterface, body);
    return interfaces_++;
}

void PcapngWriter::packet(uint32_t interfaceId, uint64_t micros, char direction, const std::vector<uint8_t> &bytes,
                          const std::string &comment) {
    std::string body;
    Put32(body, interfaceId);
    Put32(body, static_cast<uint32_t>(micros >> 32));
    Put32(body, static_cast<uint32_t>(micros));
    Put32(body, static_cast<uint32_t>(bytes.size()));
    Put32(body, static_cast<uint32_t>(bytes.size()));
    body.append(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    Pad(body);
    const uint32_t flags = direction == 'M' ? kOutbound : (direction == 'S' || direction == 'E') ? kInbound : 0;
    if (flags != 0)
        Option(body, kOptFlags, &flags, 4);
    if (!comment.empty())
        Option(body, kOptComment, comment.data(), comment.size());
    Block(out_, kEnhancedPacket, body);
}

bool PcapngWriter::ok() const { return out_.good(); }

// ---- Hex capture to pcapng ----------------------------------------------------------------------

CaptureToPcapng::CaptureToPcapng(std::ostream &out, const std::string &interfaceName, const std::string &description,
                                 const std::string &application)
    : writer_(out, application), interface_(writer_.addInterface(interfaceName, description)) {}

void CaptureToPcapng::feedLine(const std::string &line) {
    decoder_.feedLine(line);
    drain();
}

void CaptureToPcapng::feedChunk(const Chunk &chunk) {
    decoder_.feedChunk(chunk);
    drain();
}

void CaptureToPcapng::finish() {
    decoder_.finish();
    drain();
}

void CaptureToPcapng::write(int64_t micros, char direction, const std::vector<uint8_t> &bytes,
                            const std::string &comment) {
    // A line without a time takes the time of the line before it.
    if (micros >= 0)
        last_ = micros;
    writer_.packet(interface_, static_cast<uint64_t>(last_), direction, bytes, comment);
    packets_++;
}

void CaptureToPcapng::flush(char direction, Run &run) {
    if (run.bytes.empty())
        return;
    write(run.micros, direction, run.bytes,
          run.badHeader ? std::string(kCommentOutside) + ", from a header with a wrong checksum on"
                        : std::string(kCommentOutside));
    run = Run();
}

// The events of one chunk: frames as they are, runs of bytes outside frames per direction (a bad
// header gives up only its STX: the decoder looks at the rest again), and every run written by the end
// of the chunk, as the driver's capture does.
void CaptureToPcapng::drain() {
    std::vector<Event> events = decoder_.take();
    Run runs[4];
    const char sides[4] = {'M', 'S', '?', 'E'};
    auto side = [](char d) { return d == 'M' ? 0 : d == 'S' ? 1 : d == 'E' ? 3 : 2; };
    for (const Event &e : events) {
        const char d = e.directionInferred ? '?' : e.direction;
        Run &run = runs[side(d)];
        switch (e.kind) {
        case Event::FrameSeen:
            flush(d, run);
            write(e.micros, d, e.frame.raw, std::string());
            break;
        case Event::BadHeader:
        case Event::Noise:
            if (run.bytes.empty())
                run.micros = e.micros;
            if (e.kind == Event::BadHeader) {
                run.badHeader = true;
                run.bytes.push_back(e.bytes.front());
            } else {
                run.bytes.insert(run.bytes.end(), e.bytes.begin(), e.bytes.end());
            }
            break;
        case Event::Incomplete:
            flush(d, run);
            write(e.micros, d, e.bytes, kCommentCut);
            break;
        case Event::Echo: write(e.micros, 'E', e.bytes, kCommentEcho); break;
        case Event::Comment:
        case Event::BadLine: break;
        }
    }
    for (int i = 0; i < 4; ++i)
        flush(sides[i], runs[i]);
}

// ---- Fields for the comparison with the dissector -----------------------------------------------

std::string FormatFields(uint64_t packetNumber, const PcapngPacket &packet, const std::vector<Event> &events) {
    char dir = static_cast<char>(packet.direction == '?' ? '?' : packet.direction + ('a' - 'A'));
    std::string s = std::to_string(packetNumber) + " " + dir + " ";
    const Event *frame = nullptr;
    for (const Event &e : events)
        if (e.kind == Event::FrameSeen)
            frame = &e;
    if (packet.direction == 'E')
        return s + "echo " + std::to_string(packet.bytes.size());
    if (frame == nullptr || events.size() != 1) {
        const bool cut = events.size() == 1 && events[0].kind == Event::Incomplete;
        return s + (cut ? "cut " : "outside ") + std::to_string(packet.bytes.size());
    }
    const Frame &f = frame->frame;
    char head[96];
    std::snprintf(head, sizeof head, "frame %u %u %u %u %s", f.source, f.destination, f.type, f.sequence,
                  f.dataOk ? "ok" : "bad");
    s += head;
    if (frame->repeat)
        s += " repeat";
    if (!frame->hasMessage || frame->message.bytes.size() < 4)
        return s;
    const Message &m = frame->message;
    s += " #" + std::to_string(m.counter) + " " + std::to_string(m.code);
    std::string handles;
    for (const Item &item : m.items) {
        if (!item.hasHandle)
            continue;
        char h[8];
        std::snprintf(h, sizeof h, "%04X", item.handle);
        handles += (handles.empty() ? "" : ",") + std::string(h);
    }
    if (!handles.empty())
        s += " h=" + handles;
    if (m.name == "Error" && m.driverResult != 0)
        s += " error=" + std::to_string(m.errorNumber) + "/" + std::to_string(m.driverResult);
    return s;
}

} // namespace kesta::decode
