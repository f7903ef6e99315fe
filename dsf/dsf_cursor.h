// Cursor helpers: every byte the stack writes or reads goes through a cursor that knows the size of
// the buffer it walks, and so does every field the stack's callers put into a request record or take
// from a reply (dsf/dsf_request.h), PLC data in its most-significant-byte-first order included. A
// cursor fails sticky: once a field does not fit, nothing more is written or read and ok stays false,
// so a builder lists its fields in wire order and tests ok once at the end.
#pragma once

#include <stdint.h>
#include <string.h>

struct DsfWriter {
    uint8_t *base;
    uint32_t size;
    uint32_t pos;
    bool ok;
};

struct DsfReader {
    const uint8_t *base;
    uint32_t size;
    uint32_t pos;
    bool ok;
};

inline DsfWriter dsf_writer(uint8_t *base, uint32_t size, uint32_t pos = 0) {
    DsfWriter w = {base, size, pos, base != nullptr && pos <= size};
    return w;
}

inline DsfReader dsf_reader(const uint8_t *base, uint32_t size, uint32_t pos = 0) {
    DsfReader r = {base, size, pos, base != nullptr && pos <= size};
    return r;
}

inline bool dsf_room(DsfWriter *w, uint32_t n) {
    if (!w->ok || n > w->size - w->pos) {
        w->ok = false;
        return false;
    }
    return true;
}

inline bool dsf_have(DsfReader *r, uint32_t n) {
    if (!r->ok || n > r->size - r->pos) {
        r->ok = false;
        return false;
    }
    return true;
}

inline uint32_t dsf_left(const DsfReader *r) { return r->ok ? r->size - r->pos : 0; }

inline void put_u8(DsfWriter *w, uint32_t v) {
    if (dsf_room(w, 1)) {
        w->base[w->pos++] = static_cast<uint8_t>(v);
    }
}

inline void put_be16(DsfWriter *w, uint32_t v) {
    if (dsf_room(w, 2)) {
        w->base[w->pos] = static_cast<uint8_t>(v >> 8);
        w->base[w->pos + 1] = static_cast<uint8_t>(v);
        w->pos += 2;
    }
}

inline void put_be32(DsfWriter *w, uint32_t v) {
    if (dsf_room(w, 4)) {
        w->base[w->pos] = static_cast<uint8_t>(v >> 24);
        w->base[w->pos + 1] = static_cast<uint8_t>(v >> 16);
        w->base[w->pos + 2] = static_cast<uint8_t>(v >> 8);
        w->base[w->pos + 3] = static_cast<uint8_t>(v);
        w->pos += 4;
    }
}

inline void put_le16(DsfWriter *w, uint32_t v) {
    if (dsf_room(w, 2)) {
        w->base[w->pos] = static_cast<uint8_t>(v);
        w->base[w->pos + 1] = static_cast<uint8_t>(v >> 8);
        w->pos += 2;
    }
}

inline void put_le32(DsfWriter *w, uint32_t v) {
    put_le16(w, v & 0xFFFF);
    put_le16(w, v >> 16);
}

// Host-order fields of the records exchanged with callers.
inline void put_h16(DsfWriter *w, uint16_t v) {
    if (dsf_room(w, 2)) {
        memcpy(w->base + w->pos, &v, 2);
        w->pos += 2;
    }
}

inline void put_h32(DsfWriter *w, uint32_t v) {
    if (dsf_room(w, 4)) {
        memcpy(w->base + w->pos, &v, 4);
        w->pos += 4;
    }
}

inline void put_bytes(DsfWriter *w, const uint8_t *src, uint32_t n) {
    if (n != 0 && dsf_room(w, n)) {
        memcpy(w->base + w->pos, src, n);
        w->pos += n;
    }
}

inline void put_zeros(DsfWriter *w, uint32_t n) {
    if (n != 0 && dsf_room(w, n)) {
        memset(w->base + w->pos, 0, n);
        w->pos += n;
    }
}

// Passes over n bytes of the destination, leaving them as they are.
inline void put_skip(DsfWriter *w, uint32_t n) {
    if (dsf_room(w, n)) {
        w->pos += n;
    }
}

inline uint8_t get_u8(DsfReader *r) { return dsf_have(r, 1) ? r->base[r->pos++] : 0; }

inline uint16_t get_be16(DsfReader *r) {
    if (!dsf_have(r, 2)) {
        return 0;
    }
    const uint16_t v = static_cast<uint16_t>((r->base[r->pos] << 8) | r->base[r->pos + 1]);
    r->pos += 2;
    return v;
}

inline uint32_t get_be32(DsfReader *r) {
    if (!dsf_have(r, 4)) {
        return 0;
    }
    const uint8_t *p = r->base + r->pos;
    r->pos += 4;
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline uint16_t get_h16(DsfReader *r) {
    uint16_t v = 0;
    if (dsf_have(r, 2)) {
        memcpy(&v, r->base + r->pos, 2);
        r->pos += 2;
    }
    return v;
}

inline uint32_t get_h32(DsfReader *r) {
    uint32_t v = 0;
    if (dsf_have(r, 4)) {
        memcpy(&v, r->base + r->pos, 4);
        r->pos += 4;
    }
    return v;
}

// The next n bytes in place, or null when fewer are left.
inline const uint8_t *get_span(DsfReader *r, uint32_t n) {
    if (!dsf_have(r, n)) {
        return nullptr;
    }
    const uint8_t *p = r->base + r->pos;
    r->pos += n;
    return p;
}

inline void get_skip(DsfReader *r, uint32_t n) {
    if (dsf_have(r, n)) {
        r->pos += n;
    }
}

inline uint32_t dsf_even(uint32_t n) { return n + (n & 1u); }
