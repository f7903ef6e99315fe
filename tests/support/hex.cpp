// Hex frames for tests (see hex.h).
#include "support/hex.h"

#include <gtest/gtest.h>

#include "support/frame_checksum.h"
#include "tools/common/line_text.h"

std::vector<uint8_t> HexBytes(const std::string &text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\t' || c == '-') {
            if (high >= 0) {
                ADD_FAILURE() << "odd hex digit in \"" << text << "\"";
                return out;
            }
            continue;
        }
        const int v = kesta::tools::HexDigit(c);
        if (v < 0) {
            ADD_FAILURE() << "not a hex digit '" << c << "' in \"" << text << "\"";
            return out;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        ADD_FAILURE() << "odd hex digit at the end of \"" << text << "\"";
    }
    return out;
}

std::string HexText(const uint8_t *bytes, size_t count) { return kesta::tools::HexText(bytes, count); }

std::string HexText(const std::vector<uint8_t> &bytes) { return HexText(bytes.data(), bytes.size()); }

std::string HexNorm(const std::string &text) { return HexText(HexBytes(text)); }

std::vector<uint8_t> Net2000Frame(uint8_t destination, uint8_t source, uint8_t type, uint8_t sequence,
                                  const std::vector<uint8_t> &data) {
    const size_t words = (data.size() + 1) / 2;
    std::vector<uint8_t> frame(2 * words + 8, 0x00);
    frame[0] = 0x02;
    frame[1] = static_cast<uint8_t>(words);
    frame[2] = destination;
    frame[3] = source;
    frame[4] = static_cast<uint8_t>((sequence << 4) | (type & 0x0F));
    for (size_t i = 0; i < data.size(); ++i) {
        frame[6 + i] = data[i];
    }
    FixNet2000Checksums(frame);
    return frame;
}

void FixNet2000Checksums(std::vector<uint8_t> &frame) {
    if (frame.size() < 8) {
        return;
    }
    const size_t words = frame[1];
    if (frame.size() < 2 * words + 8) {
        return;
    }
    SetNet2000Checksums(frame.data());
}
