// pcapng capture of the line (KESTA_PCAPNG): the chunks the transport writes and reads are cut into
// link frames again, one packet each, with the direction in the packet flags and the port as the
// interface; bytes outside any frame, a frame cut short and a converter's echo are packets of their own
// with a comment that says which. Static buffers only; must never fail a request or log through the host.
#include "serial/trace_pcapng.h"

#include <stdio.h>
#include <string.h>

#include "platform/system.h"
#include "serial/trace.h"

namespace {

// pcapng block types, options and flags (the pcapng format, section 4).
enum : uint32_t {
    BLOCK_SECTION = 0x0A0D0D0A,
    BLOCK_INTERFACE = 0x00000001,
    BLOCK_PACKET = 0x00000006,
    BYTE_ORDER_MAGIC = 0x1A2B3C4D,
};
enum : uint16_t {
    OPT_END = 0,
    OPT_COMMENT = 1,
    OPT_SHB_USERAPPL = 4,
    OPT_IF_NAME = 2,
    OPT_IF_DESCRIPTION = 3,
    OPT_IF_TSRESOL = 9,
    OPT_EPB_FLAGS = 2,
};
enum : uint32_t { FLAG_INBOUND = 1, FLAG_OUTBOUND = 2 };

// The link frame as the receiver finds it: STX, five header bytes whose XOR is the sixth, 2w data
// bytes and two checksum bytes.
enum { STX = 0x02, FRAME_HEADER = 6, FRAME_OVERHEAD = 8, FRAME_MAX = 518 };

enum { MAX_INTERFACES = 16, MAX_PORTS = 8, PORT_NAME = 12, BLOCK_MAX = 1024 };

FILE *file = nullptr;
char fileBuffer[32 * 1024];
uint64_t written = 0;

// Port names by handle, remembered at every open (the trace may start later), and the interfaces
// written so far, one per port name.
struct PortName {
    uintptr_t handle;
    char name[PORT_NAME];
};
PortName ports[MAX_PORTS];
unsigned nextPort = 0;
char interfaces[MAX_INTERFACES][PORT_NAME];
unsigned interfaceCount = 0;

// One direction of the line: the frame being gathered and the run of bytes that belong to no frame.
struct Side {
    uint8_t frame[FRAME_MAX];
    uint32_t held;
    uint64_t frameStamp;
    uintptr_t framePort;
    uint8_t outside[FRAME_MAX];
    uint32_t outsideCount;
    uint64_t outsideStamp;
    bool badHeader;
    uint32_t flags;
};
Side master;  // what the driver wrote
Side station; // what it read from the line

// Bounded little cursor over the block being built: a field that does not fit is dropped, and the
// block is then not written at all.
struct Block {
    uint8_t bytes[BLOCK_MAX];
    uint32_t used;
    bool full;
};
Block block;

void Put(const void *data, uint32_t n) {
    if (block.full || n > BLOCK_MAX - block.used) {
        block.full = true;
        return;
    }
    memcpy(block.bytes + block.used, data, n);
    block.used += n;
}
void PutU16(uint16_t v) { Put(&v, 2); } // pcapng is written in the machine's own byte order
void PutU32(uint32_t v) { Put(&v, 4); }
void PutPad() {
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    Put(zeros, (4 - block.used % 4) % 4);
}
void PutOption(uint16_t code, const void *value, uint16_t length) {
    PutU16(code);
    PutU16(length);
    Put(value, length);
    PutPad();
}
void PutText(uint16_t code, const char *text) { PutOption(code, text, static_cast<uint16_t>(strnlen(text, 200))); }

void Begin(uint32_t type) {
    block.used = 0;
    block.full = false;
    PutU32(type);
    PutU32(0); // total length, set at the end
}

void Close() {
    if (file != nullptr) {
        fclose(file);
        file = nullptr;
    }
}

uint64_t lastStamp = 0;

void EndOptions() {
    PutU16(OPT_END);
    PutU16(0);
    PutU32(0); // the length is repeated after the body
    memcpy(block.bytes + 4, &block.used, 4);
    memcpy(block.bytes + block.used - 4, &block.used, 4);
}

// An empty packet whose comment says why the capture ends here.
void WriteStop() {
    Begin(BLOCK_PACKET);
    PutU32(0);
    PutU32(static_cast<uint32_t>(lastStamp >> 32));
    PutU32(static_cast<uint32_t>(lastStamp));
    PutU32(0);
    PutU32(0);
    PutText(OPT_COMMENT, "trace stopped: size limit reached");
    EndOptions();
    if (interfaceCount != 0) {
        fwrite(block.bytes, 1, block.used, file);
    }
}

// The block to the file, unless the file would pass the trace's size limit: then one last packet says
// why the capture ends there.
void End() {
    EndOptions();
    if (block.full || file == nullptr) {
        return;
    }
    if (written + block.used > TRACE_MAX_BYTES) {
        WriteStop();
        Close();
        return;
    }
    if (fwrite(block.bytes, 1, block.used, file) != block.used) {
        Close();
        return;
    }
    written += block.used;
}

const char *NameOf(uintptr_t port) {
    for (const PortName &p : ports) {
        if (p.handle == port && port != 0) {
            return p.name;
        }
    }
    static const char unknown[PORT_NAME] = "line";
    return unknown;
}

// The interface of the port the bytes went over; a port seen for the first time gets its
// interface description block now.
uint32_t InterfaceOf(uintptr_t port) {
    const char *name = NameOf(port);
    for (unsigned i = 0; i < interfaceCount; ++i) {
        if (strncmp(interfaces[i], name, PORT_NAME) == 0) {
            return i;
        }
    }
    if (interfaceCount == MAX_INTERFACES) {
        return 0;
    }
    Begin(BLOCK_INTERFACE);
    PutU16(TRACE_PCAPNG_LINKTYPE);
    PutU16(0);
    PutU32(0); // no snapshot length: every frame whole
    PutText(OPT_IF_NAME, name);
    char description[96];
    snprintf(description, sizeof description, "Net2000 line on %s (KESTA driver, master side)", name);
    PutText(OPT_IF_DESCRIPTION, description);
    const uint8_t microseconds = 6;
    PutOption(OPT_IF_TSRESOL, &microseconds, 1);
    End();
    memcpy(interfaces[interfaceCount], name, PORT_NAME); // names are kept terminated in PORT_NAME bytes
    return interfaceCount++;
}

void Packet(const uint8_t *bytes, uint32_t n, uint64_t stamp, uintptr_t port, uint32_t flags, const char *comment) {
    if (file == nullptr) {
        return;
    }
    const uint32_t interfaceId = InterfaceOf(port);
    Begin(BLOCK_PACKET);
    PutU32(interfaceId);
    PutU32(static_cast<uint32_t>(stamp >> 32));
    PutU32(static_cast<uint32_t>(stamp));
    PutU32(n);
    PutU32(n);
    Put(bytes, n);
    PutPad();
    PutOption(OPT_EPB_FLAGS, &flags, 4);
    if (comment != nullptr) {
        PutText(OPT_COMMENT, comment);
    }
    End();
}

void FlushOutside(Side &s) {
    if (s.outsideCount != 0) {
        Packet(s.outside, s.outsideCount, s.outsideStamp, s.framePort, s.flags,
               s.badHeader ? "outside frames: bytes of no frame, from a header with a wrong checksum on"
                           : "outside frames: bytes of no frame");
        s.outsideCount = 0;
        s.badHeader = false;
    }
}

void Outside(Side &s, uint8_t b, uint64_t stamp) {
    if (s.outsideCount == 0) {
        s.outsideStamp = stamp;
    }
    s.outside[s.outsideCount++] = b;
    if (s.outsideCount == sizeof s.outside) {
        FlushOutside(s);
    }
}

// What the driver's receiver would make of the next byte: hunt for STX, check the header, gather the
// data words. A header with a wrong checksum gives up its STX and the hunt goes on from the next byte.
void Take(Side &s, uint8_t b, uint64_t stamp) {
    if (s.held == 0) {
        if (b != STX) {
            Outside(s, b, stamp);
            return;
        }
        s.frameStamp = stamp;
    }
    s.frame[s.held++] = b;
    if (s.held == FRAME_HEADER && (s.frame[0] ^ s.frame[1] ^ s.frame[2] ^ s.frame[3] ^ s.frame[4]) != s.frame[5]) {
        uint8_t rest[FRAME_HEADER - 1];
        memcpy(rest, s.frame + 1, sizeof rest);
        const uint64_t at = s.frameStamp;
        s.held = 0;
        Outside(s, STX, at);
        s.badHeader = true;
        for (uint8_t r : rest) {
            Take(s, r, at); // five bytes cannot make a header again: no deeper than this
        }
        return;
    }
    if (s.held >= FRAME_HEADER && s.held == static_cast<uint32_t>(s.frame[1]) * 2 + FRAME_OVERHEAD) {
        FlushOutside(s);
        Packet(s.frame, s.held, s.frameStamp, s.framePort, s.flags, nullptr);
        s.held = 0;
    }
}

void Cut(Side &s) {
    FlushOutside(s);
    if (s.held != 0) {
        Packet(s.frame, s.held, s.frameStamp, s.framePort, s.flags, "cut frame: the rest of it never came");
        s.held = 0;
    }
}

} // namespace

void TracePortName(uintptr_t handle, const char *name) {
    // Ports open outside the line lock (cold starts on other lines run at the same moment); the table
    // is read under it when a packet is written.
    LineLock lock;
    PortName &p = ports[nextPort];
    nextPort = (nextPort + 1) % MAX_PORTS;
    p.handle = handle;
    const size_t n = name != nullptr ? strnlen(name, PORT_NAME - 1) : 0;
    memset(p.name, 0, sizeof p.name);
    if (n != 0) {
        memcpy(p.name, name, n);
    }
}

bool PcapngOpen(const char *path) {
    if (file != nullptr) {
        return true;
    }
    // Appended like the text trace: each opening of the stack starts a section of its own.
    file = fopen(path, "ab");
    if (file == nullptr) {
        return false;
    }
    setvbuf(file, fileBuffer, _IOFBF, sizeof fileBuffer);
    written = 0;
    interfaceCount = 0;
    memset(&master, 0, sizeof master);
    memset(&station, 0, sizeof station);
    master.flags = FLAG_OUTBOUND;
    station.flags = FLAG_INBOUND;
    Begin(BLOCK_SECTION);
    PutU32(BYTE_ORDER_MAGIC);
    PutU16(1);
    PutU16(0);
    PutU32(0xFFFFFFFFu); // section length not given
    PutU32(0xFFFFFFFFu);
    PutText(OPT_SHB_USERAPPL, "KESTA frame trace (Net2000, link type 147)");
    End();
    return file != nullptr;
}

bool PcapngActive() { return file != nullptr; }

void PcapngBytes(char direction, const uint8_t *bytes, uint32_t count, uint64_t utcMicros, uintptr_t port) {
    if (file == nullptr) {
        return;
    }
    if (direction == TRACE_ECHO) {
        Packet(bytes, count, utcMicros, port, FLAG_INBOUND, "echo: the converter's copy of the frame sent");
        return;
    }
    if (direction == TRACE_SENT) {
        Cut(station); // a frame sent makes the receiver start afresh: what it held is dropped
    }
    lastStamp = utcMicros;
    Side &s = direction == TRACE_SENT ? master : station;
    s.framePort = port;
    for (uint32_t i = 0; i < count; ++i) {
        Take(s, bytes[i], utcMicros);
    }
    if (direction == TRACE_SENT) {
        Cut(master); // the driver writes whole frames: a rest is a write cut short
    } else {
        FlushOutside(s);
    }
}

void PcapngRequestEnd() { Cut(station); }

void PcapngFlush() {
    if (file != nullptr && fflush(file) != 0) {
        Close();
    }
}

void PcapngClose() {
    PcapngRequestEnd();
    Close();
}
