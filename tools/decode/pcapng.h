// pcapng captures of a Net2000 line, as the driver's KESTA_PCAPNG trace, net2000-sim --pcapng and
// net2000-decode --pcapng write them and Wireshark opens them: link type 147 (LINKTYPE_USER0), one
// packet per link frame, the direction in the packet flags (outbound: written by the master, inbound:
// from the station side), bytes that make no frame as packets of their own with a comment saying so.
// Reader and writer are the decoder's own; a damaged file is reported, never trusted.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/decode/decode.h"

namespace kesta::decode {

constexpr uint16_t kPcapngLinkType = 147;

// Packet comments that mark what is not a frame of its direction. The dissector and the reader look at
// the word before the colon.
extern const char kCommentEcho[];    // "echo: ..."
extern const char kCommentOutside[]; // "outside frames: ..."
extern const char kCommentCut[];     // "cut frame: ..."

struct PcapngInterface {
    uint16_t linkType = 0;
    std::string name, description;
    uint64_t unitsPerSecond = 1000000;
};

struct PcapngPacket {
    uint64_t number = 0; // among all packets of the file, from 1 (Wireshark's frame number)
    uint32_t interfaceId = 0;
    uint64_t micros = 0;  // since 1970, UTC
    char direction = '?'; // 'M' outbound, 'S' inbound, 'E' inbound marked as an echo, '?' not given
    std::string comment;  // the first comment, if any
    std::vector<uint8_t> bytes;
};

bool LooksLikePcapng(const uint8_t *bytes, size_t n); // the section header's block type

class PcapngReader {
public:
    explicit PcapngReader(std::istream &in) : in_(in) {}
    // The next packet of an interface with the Net2000 link type; false at the end of the file or
    // where it is damaged (error() then says what and where).
    bool next(PcapngPacket *packet);
    const std::string &error() const { return error_; }
    const std::vector<PcapngInterface> &interfaces() const { return interfaces_; }
    uint64_t otherPackets() const { return other_; } // packets of other link types, passed over

private:
    bool block(uint32_t *type, std::vector<uint8_t> *body);
    bool fail(const std::string &why);
    std::istream &in_;
    bool swapped_ = false;
    bool inSection_ = false;
    uint64_t offset_ = 0;
    std::vector<PcapngInterface> interfaces_;
    std::string error_;
    uint64_t other_ = 0;
    uint64_t packets_ = 0;
};

class PcapngWriter {
public:
    PcapngWriter(std::ostream &out, const std::string &application);
    uint32_t addInterface(const std::string &name, const std::string &description);
    void packet(uint32_t interfaceId, uint64_t micros, char direction, const std::vector<uint8_t> &bytes,
                const std::string &comment = std::string());
    bool ok() const;

private:
    std::ostream &out_;
    uint32_t interfaces_ = 0;
};

// A hex capture (or raw chunks) into pcapng: the decoder's own reading of the bytes decides where
// each frame begins and ends; bytes that make no frame go out per chunk, a converter's echo whole.
class CaptureToPcapng {
public:
    CaptureToPcapng(std::ostream &out, const std::string &interfaceName, const std::string &description,
                    const std::string &application = "net2000-decode");
    void feedLine(const std::string &line);
    void feedChunk(const Chunk &chunk);
    void finish();
    uint64_t packets() const { return packets_; }
    bool ok() const { return writer_.ok(); }

private:
    struct Run {
        std::vector<uint8_t> bytes;
        int64_t micros = -1;
        bool badHeader = false;
    };
    void drain();
    void flush(char direction, Run &run);
    void write(int64_t micros, char direction, const std::vector<uint8_t> &bytes, const std::string &comment);
    Decoder decoder_;
    PcapngWriter writer_;
    uint32_t interface_;
    int64_t last_ = 0;
    uint64_t packets_ = 0;
};

// One line per pcapng packet, made to be compared with what tshark prints through the dissector:
// "N DIR frame SRC DST TYPE SEQ DCS [#COUNTER CODE [h=HANDLE,...] [error=E/RESULT]]" for a frame, and
// "N DIR outside|cut|echo BYTES" for the rest (DIR m, s, e or ?; TYPE the frame type number; DCS ok or
// bad; CODE the message code; handles in hex as the first wire byte low).
std::string FormatFields(uint64_t packetNumber, const PcapngPacket &packet, const std::vector<Event> &events);

} // namespace kesta::decode
