// Fuzz target: pcapng captures into net2000-decode. An input whose first byte is even is a file as it
// stands; otherwise it is a script that builds a file block by block (either byte order, interfaces
// of our link type and others, time resolutions, packets holding frames with right checksums, flags,
// comments, now and then a length that lies), so that the reader's packet path and the decoder behind
// it are reached. Every packet read must decode and format, and what the writer makes of the packets
// must read back as the same packets.
#include <stdint.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "tests/support/frame_checksum.h"
#include "tools/decode/pcapng.h"

using namespace kesta::decode;

namespace {

struct Builder {
    bool swap = false;
    std::string out;
    void u8(uint8_t v) { out += static_cast<char>(v); }
    void u16(uint16_t v) {
        if (swap) {
            u8(static_cast<uint8_t>(v >> 8));
            u8(static_cast<uint8_t>(v));
        } else {
            u8(static_cast<uint8_t>(v));
            u8(static_cast<uint8_t>(v >> 8));
        }
    }
    void u32(uint32_t v) {
        if (swap) {
            u16(static_cast<uint16_t>(v >> 16));
            u16(static_cast<uint16_t>(v));
        } else {
            u16(static_cast<uint16_t>(v));
            u16(static_cast<uint16_t>(v >> 16));
        }
    }
    void pad() {
        while (out.size() % 4 != 0)
            u8(0);
    }
    // A block around body(): type, length (true unless lie), body, length again.
    template <typename Body> void block(uint32_t type, uint32_t lie, Body body) {
        const size_t start = out.size();
        u32(type);
        u32(0);
        body();
        pad();
        u32(0);
        uint32_t length = static_cast<uint32_t>(out.size() - start);
        if (lie != 0)
            length ^= lie;
        Builder b;
        b.swap = swap;
        b.u32(length);
        out.replace(start + 4, 4, b.out);
        out.replace(out.size() - 4, 4, b.out);
    }
};

std::string Build(FuzzInput &in) {
    Builder b;
    b.swap = (in.u8() & 1) != 0;
    b.block(0x0A0D0D0A, 0, [&] {
        b.u32(0x1A2B3C4D);
        b.u16(1);
        b.u16(0);
        b.u32(0xFFFFFFFFu);
        b.u32(0xFFFFFFFFu);
    });
    unsigned interfaces = 0;
    while (in.more()) {
        const uint8_t op = in.u8();
        const uint32_t lie = (op & 0xE0) == 0xE0 ? in.u8() : 0;
        if ((op & 3) == 0 || interfaces == 0) {
            b.block(1, lie, [&] {
                b.u16((op & 4) ? static_cast<uint16_t>(in.u8()) : kPcapngLinkType);
                b.u16(0);
                b.u32(0);
                if (op & 8) { // if_tsresol
                    b.u16(9);
                    b.u16(1);
                    b.u8(in.u8());
                    b.pad();
                }
                b.u16(0);
                b.u16(0);
            });
            ++interfaces;
            continue;
        }
        uint8_t frame[600];
        size_t n = 0;
        if (op & 4) {
            const size_t words = in.u8() % 40;
            frame[0] = 0x02;
            frame[1] = static_cast<uint8_t>(words);
            in.bytes(frame + 2, 3 + words * 2);
            SetNet2000Checksums(frame);
            n = words * 2 + 8;
            if (op & 8)
                n = in.u8() % (n + 1); // cut short
        } else {
            n = in.u8() % 48;
            in.bytes(frame, n);
        }
        b.block(6, lie, [&] {
            b.u32(in.u8() % (interfaces + 1));
            b.u32(in.u32());
            b.u32(in.u32());
            b.u32(static_cast<uint32_t>(n));
            b.u32(static_cast<uint32_t>(n));
            b.out.append(reinterpret_cast<const char *>(frame), n);
            b.pad();
            if (op & 0x10) { // flags
                b.u16(2);
                b.u16(4);
                b.u32(in.u8() & 3u);
            }
            if (op & 0x20) { // a comment, sometimes the echo mark
                const std::string text = (op & 0x40) ? "echo: x" : "outside frames: x";
                b.u16(1);
                b.u16(static_cast<uint16_t>(text.size()));
                b.out += text;
                b.pad();
            }
            b.u16(0);
            b.u16(0);
        });
    }
    return b.out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string file;
    if (size == 0 || (data[0] & 1) == 0) {
        file.assign(reinterpret_cast<const char *>(data), size);
    } else {
        FuzzInput in = {data, size, 1};
        file = Build(in);
    }
    std::istringstream stream(file);
    PcapngReader reader(stream);
    Decoder decoder;
    std::vector<PcapngPacket> packets;
    PcapngPacket packet;
    while (reader.next(&packet)) {
        FuzzCheck(packet.number > packets.size());
        Chunk chunk;
        chunk.micros = static_cast<int64_t>(packet.micros & 0x7FFFFFFFFFFFFFFFull);
        chunk.direction = packet.direction;
        chunk.bytes = packet.bytes;
        decoder.feedPacket(chunk);
        const std::vector<Event> events = decoder.take();
        FuzzCheck(!FormatFields(packet.number, packet, events).empty());
        for (const Event &event : events)
            FuzzCheck(!FormatEvent(event).empty());
        packets.push_back(packet);
        if (packets.size() > 4096)
            break;
    }
    // What the writer makes of the packets reads back as the same packets.
    std::ostringstream again;
    PcapngWriter writer(again, "fuzz");
    writer.addInterface("line", "fuzz");
    for (const PcapngPacket &p : packets)
        writer.packet(0, p.micros, p.direction, p.bytes, p.direction == 'E' ? kCommentEcho : "");
    std::istringstream back(again.str());
    PcapngReader check(back);
    for (const PcapngPacket &p : packets) {
        PcapngPacket q;
        FuzzCheck(check.next(&q));
        FuzzCheck(q.bytes == p.bytes);
        FuzzCheck(q.micros == p.micros);
        FuzzCheck(q.direction == p.direction);
    }
    FuzzCheck(!check.next(&packet));
    FuzzCheck(check.error().empty());
    return 0;
}
