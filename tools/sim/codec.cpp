// Station-side Net2000 codec: cursors, frames, prefixes and the byte-wise receiver.
// No I/O here; everything a station puts on the line is built through these helpers.
#include "tools/sim/codec.h"

#include <cstring>

#include "tools/common/line_text.h"

namespace kesta::sim {

// ---- Cursors ------------------------------------------------------------------------------------

bool Reader::take(size_t n, const uint8_t **bytes) {
    if (!ok_ || n > n_ - pos_) {
        ok_ = false;
        return false;
    }
    if (bytes)
        *bytes = p_ + pos_;
    pos_ += n;
    return true;
}

bool Reader::skip(size_t n) { return take(n, nullptr); }

bool Reader::u8(uint8_t *v) {
    const uint8_t *b;
    if (!take(1, &b))
        return false;
    *v = b[0];
    return true;
}

bool Reader::be16(uint16_t *v) {
    const uint8_t *b;
    if (!take(2, &b))
        return false;
    *v = static_cast<uint16_t>(b[0] << 8 | b[1]);
    return true;
}

bool Reader::be32(uint32_t *v) {
    const uint8_t *b;
    if (!take(4, &b))
        return false;
    *v = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return true;
}

bool Reader::le16(uint16_t *v) {
    const uint8_t *b;
    if (!take(2, &b))
        return false;
    *v = static_cast<uint16_t>(b[0] | b[1] << 8);
    return true;
}

bool Reader::le32(uint32_t *v) {
    const uint8_t *b;
    if (!take(4, &b))
        return false;
    *v = b[0] | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
}

bool Writer::room(size_t n) {
    if (!ok_ || n > limit_ || out_.size() > limit_ - n)
        ok_ = false;
    return ok_;
}

Writer &Writer::u8(uint8_t v) {
    if (room(1))
        out_.push_back(v);
    return *this;
}

Writer &Writer::be16(uint16_t v) {
    if (room(2)) {
        out_.push_back(static_cast<uint8_t>(v >> 8));
        out_.push_back(static_cast<uint8_t>(v));
    }
    return *this;
}

Writer &Writer::be32(uint32_t v) {
    if (room(4))
        for (int shift = 24; shift >= 0; shift -= 8)
            out_.push_back(static_cast<uint8_t>(v >> shift));
    return *this;
}

Writer &Writer::le16(uint16_t v) {
    if (room(2)) {
        out_.push_back(static_cast<uint8_t>(v));
        out_.push_back(static_cast<uint8_t>(v >> 8));
    }
    return *this;
}

Writer &Writer::bytes(const uint8_t *p, size_t n) {
    if (n && room(n))
        out_.insert(out_.end(), p, p + n);
    return *this;
}

Writer &Writer::padEven(size_t n) {
    if (n % 2)
        u8(0);
    return *this;
}

// ---- Frames -------------------------------------------------------------------------------------

uint8_t HeaderChecksum(const uint8_t *frame) {
    return static_cast<uint8_t>(frame[0] ^ frame[1] ^ frame[2] ^ frame[3] ^ frame[4]);
}

uint16_t DataChecksum(const uint8_t *frame) {
    // Start value (00, header checksum), then the data words read big-endian.
    uint16_t sum = frame[5];
    const size_t words = frame[1];
    for (size_t i = 0; i < words; ++i)
        sum ^= static_cast<uint16_t>(frame[6 + 2 * i] << 8 | frame[7 + 2 * i]);
    return sum;
}

std::vector<uint8_t> BuildFrame(uint8_t destination, uint8_t source, uint8_t sequence, uint8_t type,
                                const uint8_t *data, size_t n) {
    std::vector<uint8_t> f;
    if (n > kMaxFrameData)
        return f;
    const size_t words = (n + 1) / 2;
    f.reserve(kFrameOverhead + 2 * words);
    Writer w(f, kMaxFrame);
    w.u8(kStx).u8(static_cast<uint8_t>(words)).u8(destination).u8(source);
    w.u8(static_cast<uint8_t>((sequence << 4) | (type & 0x0F))).u8(0);
    w.bytes(data, n).padEven(n);
    f[5] = HeaderChecksum(f.data());
    w.be16(DataChecksum(f.data()));
    return f;
}

void ResealFrame(std::vector<uint8_t> &frame) {
    if (frame.size() < kFrameOverhead || frame.size() != kFrameOverhead + 2u * frame[1])
        return;
    frame[5] = HeaderChecksum(frame.data());
    const uint16_t sum = DataChecksum(frame.data());
    frame[frame.size() - 2] = static_cast<uint8_t>(sum >> 8);
    frame[frame.size() - 1] = static_cast<uint8_t>(sum);
}

bool FrameChecksumsOk(const std::vector<uint8_t> &frame) {
    if (frame.size() < kFrameOverhead || frame[0] != kStx || frame.size() != kFrameOverhead + 2u * frame[1])
        return false;
    if (HeaderChecksum(frame.data()) != frame[5])
        return false;
    const uint16_t sum = DataChecksum(frame.data());
    return frame[frame.size() - 2] == (sum >> 8) && frame[frame.size() - 1] == (sum & 0xFF);
}

bool ParseFrame(const std::vector<uint8_t> &raw, Frame *frame) {
    if (!FrameChecksumsOk(raw))
        return false;
    frame->destination = raw[2];
    frame->source = raw[3];
    frame->sequence = raw[4] >> 4;
    frame->type = raw[4] & 0x0F;
    frame->data.assign(raw.begin() + 6, raw.end() - 2);
    frame->raw = raw;
    return true;
}

// ---- Length prefixes ----------------------------------------------------------------------------

void PutPrefix(std::vector<uint8_t> &data, uint32_t remaining) {
    Writer w(data);
    if (remaining >= kLongPrefixFrom)
        w.be32(remaining | 0x80000000u);
    else
        w.be16(static_cast<uint16_t>(remaining));
}

bool GetPrefix(const uint8_t *data, size_t n, uint32_t *remaining, size_t *prefixSize) {
    Reader r(data, n);
    if (n >= 1 && (data[0] & 0x80)) {
        uint32_t v;
        if (!r.be32(&v))
            return false;
        *remaining = v & 0x7FFFFFFFu;
        *prefixSize = 4;
        return true;
    }
    uint16_t v;
    if (!r.be16(&v))
        return false;
    *remaining = v;
    *prefixSize = 2;
    return true;
}

// ---- Receiver -----------------------------------------------------------------------------------

void FrameReceiver::reset() {
    state_ = State::Hunt;
    held_.clear();
}

FrameReceiver::Event FrameReceiver::feed(uint8_t byte) {
    switch (state_) {
    case State::Hunt:
        if (byte == kStx) {
            held_.assign(1, byte);
            state_ = State::Header;
        }
        return Event::None;

    case State::Header:
        held_.push_back(byte);
        if (held_.size() < 6)
            return Event::None;
        if (HeaderChecksum(held_.data()) != held_[5]) {
            dropped_ = held_;
            resync();
            return Event::BadHeader;
        }
        expected_ = kFrameOverhead + 2u * held_[1];
        state_ = State::Data;
        return Event::None;

    case State::Data:
        held_.push_back(byte);
        if (held_.size() < expected_)
            return Event::None;
        state_ = State::Hunt;
        return FrameChecksumsOk(held_) ? Event::Frame : Event::BadData;
    }
    return Event::None;
}

void FrameReceiver::resync() {
    // Drop the STX that led to a bad header and look for the next one among the held bytes.
    std::vector<uint8_t> rest(held_.begin() + 1, held_.end());
    reset();
    for (uint8_t b : rest)
        feed(b); // five bytes at most: no header can complete here
}

// ---- Text ---------------------------------------------------------------------------------------

std::string Hex(const uint8_t *bytes, size_t n) { return tools::HexText(bytes, n); }

std::string Hex(const std::vector<uint8_t> &bytes) { return Hex(bytes.data(), bytes.size()); }

bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes) {
    bytes->clear();
    int nibbles = 0;
    uint8_t v = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',') {
            if (nibbles == 1)
                return false;
            continue;
        }
        const int d = tools::HexDigit(c);
        if (d < 0)
            return false;
        v = static_cast<uint8_t>(v << 4 | d);
        if (++nibbles == 2) {
            bytes->push_back(v);
            nibbles = 0;
            v = 0;
        }
    }
    return nibbles == 0;
}

const char *FrameTypeName(uint8_t type) {
    const char *name = tools::FrameTypeName(type);
    return name != nullptr ? name : "type?";
}

} // namespace kesta::sim
