// Fuzz target: the line decoder's input. An input that starts below 0x80 is capture text, fed line
// by line as net2000-decode reads a file. Otherwise it is a script of chunks that become capture lines
// here: raw bytes, or Net2000 frames built from the input with both checksums computed (and mostly a
// true length prefix), in any direction, so that the decoder's message layer is reached and not only
// its checksum tests. Every event must format, and the counts must add up.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "fuzz_input.h"
#include "tools/decode/decode.h"
#include "tests/support/frame_checksum.h"

using kesta::decode::Decoder;
using kesta::decode::Event;

namespace {

// A frame with right checksums: addresses, type and sequence from the input, then a length prefix
// (true, long form or raw) and the message bytes.
size_t BuildFrame(FuzzInput &in, uint8_t op, uint8_t *frame) {
    const uint8_t control = in.u8();
    size_t n = 0;
    uint8_t *data = frame + 6;
    if ((op & 0x08) == 0) {
        const size_t body = (op & 0x10) ? in.u8() * 2u : in.u8() % 24u;
        const uint8_t prefixForm = in.u8() & 3;
        const size_t prefix = prefixForm == 1 ? 4 : 2;
        if (prefixForm == 1) {
            data[0] = 0x80;
            data[1] = 0;
            data[2] = static_cast<uint8_t>(body >> 8);
            data[3] = static_cast<uint8_t>(body);
        } else {
            const uint16_t length = prefixForm == 3 ? in.u16() : static_cast<uint16_t>(body);
            data[0] = static_cast<uint8_t>(length >> 8);
            data[1] = static_cast<uint8_t>(length);
        }
        n = prefix + body;
        if (n > 510) {
            n = 510;
        }
        in.bytes(data + prefix, n - prefix);
        if (n & 1u) {
            data[n++] = 0;
        }
    }
    frame[0] = 0x02;
    frame[1] = static_cast<uint8_t>(n / 2);
    frame[2] = in.u8() & 3; // a few stations and masters, so that conversations meet
    frame[3] = in.u8() & 3;
    frame[4] = control;
    SetNet2000Checksums(frame);
    return n + 8;
}

std::string CaptureLine(char direction, const uint8_t *bytes, size_t n, unsigned tick) {
    static const char digits[] = "0123456789ABCDEF";
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%u.%06u", tick / 1000u, tick % 1000u * 1000u);
    std::string line = stamp;
    if (direction != '?') {
        line += ' ';
        line += direction;
    }
    for (size_t i = 0; i < n; ++i) {
        line += ' ';
        line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0x0F];
    }
    return line;
}

void Drain(Decoder &decoder, size_t *events) {
    for (const Event &event : decoder.take()) {
        FuzzCheck(!kesta::decode::FormatEvent(event).empty());
        ++*events;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Decoder decoder;
    size_t lines = 0;
    size_t events = 0;
    if (size == 0 || data[0] < 0x80) {
        const std::string text(reinterpret_cast<const char *>(data), size);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            decoder.feedLine(text.substr(start, end - start));
            ++lines;
            Drain(decoder, &events);
            start = end + 1;
        }
    } else {
        FuzzInput in = {data, size, 1};
        static const char directions[] = {'M', 'S', 'E', '?'};
        uint8_t frame[600];
        unsigned tick = 0;
        while (in.more()) {
            const uint8_t op = in.u8();
            const char direction = directions[op & 3];
            size_t n;
            if (op & 0x04) {
                n = BuildFrame(in, op, frame);
                // Sometimes a frame reaches the capture in two chunks, or runs into the next one.
                if ((op & 0x60) == 0x60 && n > 2) {
                    const size_t cut = 1 + in.u8() % (n - 1);
                    decoder.feedLine(CaptureLine(direction, frame, cut, tick++));
                    ++lines;
                    memmove(frame, frame + cut, n - cut);
                    n -= cut;
                }
            } else {
                n = in.u8() % 40;
                in.bytes(frame, n);
            }
            decoder.feedLine(CaptureLine(direction, frame, n, tick++));
            ++lines;
            tick += op >> 7;
            Drain(decoder, &events);
        }
    }
    decoder.finish();
    Drain(decoder, &events);
    FuzzCheck(decoder.stats().lines == lines);
    FuzzCheck(!kesta::decode::FormatStats(decoder.stats()).empty());
    return 0;
}
