// pcapng files built field by field for tests and fuzz targets, in either byte order, with a block's
// length made right (or wrong on purpose). Header-only and free of test frameworks.
#pragma once

#include <stdint.h>

#include <string>

struct PcapngBuilder {
    bool big = false; // big-endian fields instead of the usual little-endian
    std::string out;

    void U8(uint8_t v) { out += static_cast<char>(v); }
    void U16(uint16_t v) {
        U8(static_cast<uint8_t>(big ? v >> 8 : v));
        U8(static_cast<uint8_t>(big ? v : v >> 8));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(big ? v >> 16 : v));
        U16(static_cast<uint16_t>(big ? v : v >> 16));
    }
    void Pad() {
        while (out.size() % 4 != 0)
            U8(0);
    }
    // One block: its type, its length, what body() appends (padded), the length again; a nonzero lie
    // is XORed into both lengths.
    template <typename Body> void Block(uint32_t type, Body body, uint32_t lie = 0) {
        const size_t start = out.size();
        U32(type);
        U32(0);
        body();
        Pad();
        U32(0);
        PcapngBuilder length{big, ""};
        length.U32(static_cast<uint32_t>(out.size() - start) ^ lie);
        out.replace(start + 4, 4, length.out);
        out.replace(out.size() - 4, 4, length.out);
    }
    void Section() {
        Block(0x0A0D0D0A, [this] {
            U32(0x1A2B3C4D);
            U16(1);
            U16(0);
            U32(0xFFFFFFFFu); // no section length
            U32(0xFFFFFFFFu);
        });
    }
    // An interface description; tsresol < 0: no if_tsresol option (microseconds).
    void Interface(uint16_t linkType, int tsresol) {
        Block(1, [this, linkType, tsresol] {
            U16(linkType);
            U16(0);
            U32(0);
            if (tsresol >= 0) {
                U16(9);
                U16(1);
                U8(static_cast<uint8_t>(tsresol));
                Pad();
            }
            U32(0);
        });
    }
    // An enhanced packet with its flags option (direction in the low bits) and an optional comment.
    void Packet(uint32_t interfaceId, uint64_t ticks, const uint8_t *bytes, size_t n, uint32_t flags,
                const std::string &comment = std::string(), uint32_t lie = 0) {
        Block(
            6,
            [&] {
                U32(interfaceId);
                U32(static_cast<uint32_t>(ticks >> 32));
                U32(static_cast<uint32_t>(ticks));
                U32(static_cast<uint32_t>(n));
                U32(static_cast<uint32_t>(n));
                out.append(reinterpret_cast<const char *>(bytes), n);
                Pad();
                U16(2);
                U16(4);
                U32(flags);
                if (!comment.empty()) {
                    U16(1);
                    U16(static_cast<uint16_t>(comment.size()));
                    out += comment;
                    Pad();
                }
                U32(0);
            },
            lie);
    }
};
