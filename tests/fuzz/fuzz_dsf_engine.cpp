// Fuzz target: whole requests stepped through dsf_step as the transport loop steps them, against a
// station whose answers come from the input: silences, raw chunks, and frames whose checksums (and
// mostly their length prefix, message counter and reply length) are made right here so the engine
// and the decoder are reached. Allocation failures are injected through the callbacks. Every request
// must end with Done or Failed within a bounded number of steps, Done must fit the reply buffer, the
// master's frames must verify, and every release must match an allocation.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dsf/dsf_internal.h"
#include "fuzz_input.h"
#include "tests/support/frame_checksum.h"

namespace {

// ---- Allocation ledger ---------------------------------------------------------------------------
enum { MAX_BLOCKS = 16, MAX_BLOCK = 1 << 20 };
struct Block {
    void *block;
    uint32_t size;
};
Block g_live[MAX_BLOCKS];
int g_liveCount = 0;
int g_attempts = 0;
int g_failAt = -1;

void *Alloc(uint32_t size) {
    const int attempt = g_attempts++;
    if (attempt == g_failAt || size > MAX_BLOCK || g_liveCount == MAX_BLOCKS) {
        return nullptr;
    }
    void *block = malloc(size != 0 ? size : 1);
    if (block != nullptr) {
        g_live[g_liveCount++] = {block, size};
    }
    return block;
}

void Release(void *block, uint32_t size) {
    for (int i = 0; i < g_liveCount; ++i) {
        if (g_live[i].block == block) {
            FuzzCheck(g_live[i].size == size);
            g_live[i] = g_live[--g_liveCount];
            free(block);
            return;
        }
    }
    FuzzCheck(false); // never allocated, or released twice
}

// ---- Frames ----------------------------------------------------------------------------------------
bool FrameVerifies(const uint8_t *f, uint16_t length) {
    if (length < 8 || length > DSF_MAX_FRAME || length != 2u * f[1] + 8 || f[0] != 0x02) {
        return false;
    }
    uint8_t copy[DSF_MAX_FRAME];
    memcpy(copy, f, length);
    SetNet2000Checksums(copy);
    return memcmp(copy, f, length) == 0;
}

const uint8_t kTypes[] = {3, 3, 4, 7, 6, 0xD, 0xF, 5};
const uint8_t kCodes[] = {17, 18, 33, 34, 49, 50, 161, 162, 145, 153, 0, 33};

// ---- The station ----------------------------------------------------------------------------------
struct Station {
    FuzzInput *in;
    DsfInstance *dsf;
    uint8_t lastSequence = 0;
    uint8_t chunk[DSF_MAX_FRAME];
    uint8_t rest[DSF_MAX_FRAME];
    size_t restLength = 0;

    // What the line delivers after the master sent a frame (sent) or on a Receive.
    const uint8_t *Answer(bool sent, uint16_t *count) {
        *count = 0;
        if (!sent && restLength != 0) { // the second piece of a split frame
            memcpy(chunk, rest, restLength);
            *count = static_cast<uint16_t>(restLength);
            restLength = 0;
            return chunk;
        }
        restLength = 0;
        if (!in->more()) {
            return nullptr;
        }
        const uint8_t op = in->u8();
        if (op < 0x20) {
            return nullptr; // silence
        }
        if (op < 0x60) {
            const size_t n = (op & 0x3Fu) + 1;
            in->bytes(chunk, n);
            *count = static_cast<uint16_t>(n);
            return chunk;
        }
        return BuildFrame(op, count);
    }

    const uint8_t *BuildFrame(uint8_t op, uint16_t *count) {
        const uint8_t typeByte = in->u8();
        const uint8_t type = (typeByte & 0x40) ? (typeByte & 0x0F) : kTypes[typeByte % sizeof kTypes];
        uint8_t message[512];
        size_t m = 0;
        const bool dataless = (op & 0x10) != 0 && (type == 5 || type == 6 || type == 7 || type >= 0xE);
        if (!dataless) {
            const uint8_t code = kCodes[in->u8() % sizeof kCodes];
            const uint32_t expected = dsf->expectedReplySize >= 4 ? dsf->expectedReplySize - 4 : 0;
            size_t body = 0;
            switch ((op >> 3) & 3) {
            case 0: body = expected; break;
            case 1: body = in->u8(); break;
            case 2: body = expected + (in->u8() & 7); break;
            default: body = in->u8() & 3; break;
            }
            if (body > 500) {
                body = 500;
            }
            message[0] = 0x00;
            message[1] = 0x00;
            message[2] = (op & 0x80) ? dsf->messageCounter : in->u8();
            message[3] = code;
            in->bytes(message + 4, body);
            m = body + 4;
        }
        // Length prefix: right, long form, what a segment of a long reply should say, or raw.
        uint8_t *frame = chunk;
        uint8_t *data = frame + DSF_OFS_DATA;
        size_t n = 0;
        if (!dataless) {
            uint32_t prefix = static_cast<uint32_t>(m);
            switch ((op >> 1) & 3) {
            case 1:
                data[n++] = 0x80;
                data[n++] = 0x00;
                break;
            case 2:
                if (dsf->reassembling) {
                    prefix = dsf->reassemblyTotal - dsf->reassemblyCount;
                } else if (type == DSF_FT_REPLY_MORE) {
                    prefix = in->u16();
                }
                break;
            case 3: prefix = in->u16(); break;
            default: break;
            }
            data[n++] = static_cast<uint8_t>(prefix >> 8);
            data[n++] = static_cast<uint8_t>(prefix);
            memcpy(data + n, message, m);
            n += m;
        }
        if (n > DSF_MAX_FRAME_DATA) {
            n = DSF_MAX_FRAME_DATA;
        }
        if (n & 1u) {
            data[n++] = 0x00;
        }
        frame[0] = 0x02;
        frame[1] = static_cast<uint8_t>(n / 2);
        frame[2] = (typeByte & 0x80) ? in->u8() : dsf->ownAddress;
        frame[3] = 2;
        const uint8_t sequence = (op & 1) ? in->u8() : lastSequence;
        frame[4] = static_cast<uint8_t>(sequence << 4 | type);
        SetNet2000Checksums(frame);
        size_t length = n + 8;
        const uint8_t split = in->u8();
        if (split & 1) {
            const size_t at = split % length;
            restLength = length - at;
            memcpy(rest, frame + at, restLength);
            length = at;
        }
        *count = static_cast<uint16_t>(length);
        return length != 0 ? frame : nullptr;
    }
};

// ---- Requests --------------------------------------------------------------------------------------
enum { MAX_RECORD = 1 << 17 };
uint8_t g_record[MAX_RECORD];

void PutH16(uint8_t *at, uint16_t v) { memcpy(at, &v, 2); }
void PutH32(uint8_t *at, uint32_t v) { memcpy(at, &v, 4); }

size_t BuildRequest(FuzzInput &in) {
    static const uint8_t services[] = {4, 4, 4, 7, 5, 3, 6, 6, 8, 10, 1, 2};
    static const uint16_t accesses[] = {1, 2, 3, 1, 0, 5};
    const uint8_t select = in.u8();
    const uint8_t service = (select & 0x80) ? in.u8() : services[select % sizeof services];
    uint8_t *r = g_record;
    r[0] = service;
    r[1] = 0;
    size_t size = 2;
    switch (service) {
    case 4: {
        const uint8_t count = in.u8() % 6;
        r[1] = count;
        for (uint8_t i = 0; i < count && size + 8 <= MAX_RECORD; ++i) {
            const uint8_t shape = in.u8();
            const uint16_t length = (shape & 0x80) ? in.u16() : in.u8();
            const uint16_t access = accesses[shape % 6];
            PutH32(r + size, in.u16());
            PutH16(r + size + 4, length);
            PutH16(r + size + 6, access);
            size += 8;
            if (access == 2 || access == 3) {
                const size_t even = length + (length & 1u);
                if (size + even > MAX_RECORD) {
                    break;
                }
                in.bytes(r + size, even < 64 ? even : 64);
                memset(r + size + (even < 64 ? even : 64), 0x5A, even < 64 ? 0 : even - 64);
                size += even;
            }
        }
        break;
    }
    case 5:
    case 7: {
        const uint8_t count = in.u8() % 4;
        const uint16_t namesLength = in.u8() % 64;
        r[1] = count;
        PutH16(r + 2, namesLength);
        size = 4;
        for (uint8_t i = 0; i < count; ++i) {
            PutH16(r + size, in.u8());
            size += 2;
        }
        in.bytes(r + size, namesLength);
        size += namesLength;
        break;
    }
    case 3:
        in.bytes(r + 2, 16);
        size = 18;
        break;
    case 6: r[1] = in.u8() & 1; break;
    case 8: {
        const size_t length = in.u8() % 200;
        in.bytes(r + 2, length);
        r[2 + length] = 0;
        size = 3 + length;
        break;
    }
    case 10:
        r[2] = in.u8();
        size = 3;
        break;
    default: break;
    }
    const uint8_t cut = in.u8();
    if ((cut & 0xF0) == 0xF0) { // a record shorter than what it describes
        const size_t by = cut & 0x0F;
        size = size > by ? size - by : 0;
    }
    return size;
}

uint32_t ChooseCapacity(FuzzInput &in) {
    const uint8_t c = in.u8();
    return c < 200 ? 4000 : c < 230 ? 256 : in.u16() % 300;
}

void Run(Station &station, StationEntry **handle, const uint8_t *record, size_t recordSize, uint32_t capacity,
         bool shortTx) {
    FuzzInput &in = *station.in;
    DsfInstance *dsf = station.dsf;
    // Exact sizes, so that ASan sees any access past the request record, the reply or the frame.
    uint8_t *request = static_cast<uint8_t *>(malloc(recordSize != 0 ? recordSize : 1));
    memcpy(request, record, recordSize);
    uint8_t *reply = static_cast<uint8_t *>(malloc(capacity != 0 ? capacity : 1));
    uint8_t *tx = static_cast<uint8_t *>(malloc(DSF_MAX_FRAME));
    const uint8_t *received = nullptr;
    uint16_t receivedCount = 0;
    const size_t limit = 8 * in.size + 256;
    bool ended = false;
    for (size_t step = 0; step < limit && !ended; ++step) {
        uint32_t replyLength = capacity;
        uint16_t txLength = shortTx && step == 0 ? DSF_MAX_FRAME - 1 : DSF_MAX_FRAME;
        uint16_t action = 0;
        int32_t timeout = 0;
        const int32_t rc = dsf_step(dsf, handle, request, static_cast<uint32_t>(recordSize), reply, &replyLength, tx,
                                    &txLength, received, receivedCount, &action, &timeout);
        FuzzCheck(dsf->rxCount <= DSF_MAX_FRAME);
        FuzzCheck(!dsf->reassembling || dsf->reassemblyCount <= dsf->reassemblyTotal);
        switch (action) {
        case Done:
            FuzzCheck(rc == 0 && replyLength <= capacity && dsf->state == DSF_IDLE);
            ended = true;
            break;
        case Failed:
            FuzzCheck(rc != 0 && dsf->state == DSF_IDLE && dsf->segmenting == 0 && dsf->reassembling == 0);
            ended = true;
            break;
        case StepAgain:
            received = nullptr;
            receivedCount = 0;
            break;
        case Process: break;
        case SendReceive:
            FuzzCheck(FrameVerifies(tx, txLength));
            station.lastSequence = tx[4] >> 4;
            received = station.Answer(true, &receivedCount);
            break;
        case Receive: received = station.Answer(false, &receivedCount); break;
        default: FuzzCheck(false);
        }
    }
    FuzzCheck(ended); // every request ends with Done or Failed
    free(tx);
    free(reply);
    free(request);
}

} // namespace

// Input: flags (retry limit, station count, allocation failure, short transmit buffer), the
// connect exchange, then up to four requests, each followed by the station's answers.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in = {data, size, 0};
    g_liveCount = 0;
    g_attempts = 0;
    const uint8_t flags = in.u8();
    g_failAt = (flags & 0x80) ? in.u8() % 12 : -1;
    char parameters[64];
    snprintf(parameters, sizeof parameters, "/SA=1/RC=%d/TT=200/TE=300/TQ=400", flags & 3);
    DsfInstance *dsf = nullptr;
    int32_t rc = dsf_create(static_cast<uint16_t>(1 + ((flags >> 2) & 3)), Alloc, Release, &dsf);
    if (rc == 0) {
        rc = dsf_configure(dsf, parameters, nullptr, nullptr);
    }
    if (rc == 0) {
        Station station;
        station.in = &in;
        station.dsf = dsf;
        StationEntry *handles[4] = {};
        const uint8_t connect[3] = {DSF_SVC_CONNECT_STATION, 0, in.u8()};
        Run(station, &handles[0], connect, sizeof connect, 64, false);
        for (int round = 0; round < 4 && in.more(); ++round) {
            const size_t recordSize = BuildRequest(in);
            StationEntry **handle = &handles[in.u8() & 3];
            Run(station, handle, g_record, recordSize, ChooseCapacity(in), (flags & 0x40) != 0 && round == 0);
        }
        const uint8_t fetch[2] = {DSF_SVC_FETCH_EXTRA, 0};
        Run(station, &handles[0], fetch, sizeof fetch, ChooseCapacity(in), false);
    }
    dsf_destroy(dsf);
    FuzzCheck(g_liveCount == 0); // everything obtained went back, each block once
    return 0;
}
