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
#include "tests/support/pcapng_builder.h"
#include "tools/decode/pcapng.h"

using namespace kesta::decode;

namespace {

std::string Build(FuzzInput &in) {
    PcapngBuilder b;
    b.big = (in.u8() & 1) != 0;
    b.Section();
    unsigned interfaces = 0;
    while (in.more()) {
        const uint8_t op = in.u8();
        const uint32_t lie = (op & 0xE0) == 0xE0 ? in.u8() : 0;
        if ((op & 3) == 0 || interfaces == 0) {
            b.Interface((op & 4) ? static_cast<uint16_t>(in.u8()) : kPcapngLinkType, (op & 8) ? in.u8() : -1);
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
        const uint32_t interfaceId = in.u8() % (interfaces + 1);
        const uint64_t ticks = static_cast<uint64_t>(in.u32()) << 32 | in.u32();
        const uint32_t flags = (op & 0x10) ? in.u8() & 3u : 0;
        // A comment, sometimes the echo mark.
        const std::string comment = (op & 0x20) ? ((op & 0x40) ? "echo: x" : "outside frames: x") : "";
        b.Packet(interfaceId, ticks, frame, n, flags, comment, lie);
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
