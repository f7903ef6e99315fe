// Hex frames for tests: write bytes as they appear on the wire ("02 00 02 01 3E 3F 00 3F"), print
// them back the same way, and build or mend Net2000 link frames so a fault test only changes the
// one field it is about.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// "02 00 02 01" (blanks, line ends and dashes between bytes are ignored) -> bytes. A malformed string
// fails the running test and yields what was read up to the fault.
std::vector<uint8_t> HexBytes(const std::string &text);
std::string HexText(const uint8_t *bytes, size_t count);
std::string HexText(const std::vector<uint8_t> &bytes);
// Canonical form of a hex string ("02 00 02 01"), so expectations can be compared as text.
std::string HexNorm(const std::string &text);

// Net2000 link frame: STX, words, destination, source, control (sequence << 4 | type), header
// checksum, data (padded to even), data checksum. Built independently of the stack under test.
std::vector<uint8_t> Net2000Frame(uint8_t destination, uint8_t source, uint8_t type, uint8_t sequence,
                                  const std::vector<uint8_t> &data);
// Recomputes the header checksum and the data checksum of a frame after a test changed a field; the
// word count in byte 1 decides where the data checksum goes. Frames shorter than that are left alone.
void FixNet2000Checksums(std::vector<uint8_t> &frame);
