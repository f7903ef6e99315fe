// Station-side Net2000 codec of the simulator: cursors, link frames, length prefixes, receiver.
// Pure code without I/O or locks. It must never borrow from the driver's stack: a shared mistake
// would pass every test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/sim/sim.h"

namespace kesta::sim {

// Reading cursor over a byte range. Any read past the end fails, and the cursor stays failed.
class Reader {
public:
    Reader(const uint8_t *bytes, size_t n) : p_(bytes), n_(n) {}
    bool u8(uint8_t *v);
    bool be16(uint16_t *v);
    bool be32(uint32_t *v);
    bool le16(uint16_t *v);
    bool le32(uint32_t *v);
    bool take(size_t n, const uint8_t **bytes);
    bool skip(size_t n);
    size_t left() const { return ok_ ? n_ - pos_ : 0; }
    size_t pos() const { return pos_; }
    bool ok() const { return ok_; }
    const uint8_t *here() const { return p_ + pos_; }

private:
    const uint8_t *p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Writing cursor appending to a vector that must not grow beyond limit bytes.
class Writer {
public:
    explicit Writer(std::vector<uint8_t> &out, size_t limit = SIZE_MAX) : out_(out), limit_(limit) {}
    Writer &u8(uint8_t v);
    Writer &be16(uint16_t v);
    Writer &be32(uint32_t v);
    Writer &le16(uint16_t v);
    Writer &bytes(const uint8_t *p, size_t n);
    Writer &padEven(size_t n); // one 00 when n is odd
    bool ok() const { return ok_; }

private:
    bool room(size_t n);
    std::vector<uint8_t> &out_;
    size_t limit_;
    bool ok_ = true;
};

// Frames.
uint8_t HeaderChecksum(const uint8_t *frame); // XOR of bytes 0..4
uint16_t DataChecksum(const uint8_t *frame);  // over the words announced by byte 1
// A whole frame; empty when n exceeds kMaxFrameData.
std::vector<uint8_t> BuildFrame(uint8_t destination, uint8_t source, uint8_t sequence, uint8_t type,
                                const uint8_t *data, size_t n);
// Recompute both checksums of a frame after a test or a fault changed its fields.
void ResealFrame(std::vector<uint8_t> &frame);
bool FrameChecksumsOk(const std::vector<uint8_t> &frame);

struct Frame {
    uint8_t destination = 0, source = 0, sequence = 0, type = 0;
    std::vector<uint8_t> data; // 2w bytes, pad included
    std::vector<uint8_t> raw;
};
bool ParseFrame(const std::vector<uint8_t> &raw, Frame *frame); // length and checksums checked

// Length prefix: message bytes from this segment's first byte to the end of the message.
void PutPrefix(std::vector<uint8_t> &data, uint32_t remaining);
bool GetPrefix(const uint8_t *data, size_t n, uint32_t *remaining, size_t *prefixSize);

// Byte-wise frame receiver of a station. It takes frames for every address (a multidrop line
// carries all of them) so that a foreign frame is skipped whole, not hunted through for STX.
class FrameReceiver {
public:
    enum class Event { None, Frame, BadHeader, BadData };
    Event feed(uint8_t byte);
    const std::vector<uint8_t> &frame() const { return held_; }      // after Frame, BadData
    const std::vector<uint8_t> &dropped() const { return dropped_; } // after BadHeader
    bool idle() const { return state_ == State::Hunt; }
    void reset();

private:
    enum class State { Hunt, Header, Data };
    void resync();
    State state_ = State::Hunt;
    std::vector<uint8_t> held_;
    std::vector<uint8_t> dropped_;
    size_t expected_ = 0;
};

std::string Hex(const uint8_t *bytes, size_t n);
std::string Hex(const std::vector<uint8_t> &bytes);
// "02 00 02 01 3E 3F 00 3F" -> bytes; false on anything but hex pairs and blanks.
bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes);
const char *FrameTypeName(uint8_t type);

} // namespace kesta::sim
