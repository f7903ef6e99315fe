// PLC values as a station stores them (most significant byte first) and the 12-byte EWT records.
#include <cmath>
#include <cstring>

#include "tools/sim/sim.h"

namespace kesta::sim {

uint32_t TypeSize(uint16_t dataType) {
    switch (dataType) {
    case kTypeBool: return 1;
    case kTypeInt16:
    case kTypeInt16b:
    case kTypeUint16:
    case kTypeUint16b: return 2;
    case kTypeInt32:
    case kTypeUint32:
    case kTypeFloat: return 4;
    default: return 0;
    }
}

namespace {

void PutBig(uint64_t v, uint32_t size, uint8_t *out) {
    for (uint32_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(v >> (8 * (size - 1 - i)));
}

uint64_t GetBig(const uint8_t *p, uint32_t size) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < size; ++i)
        v = v << 8 | p[i];
    return v;
}

bool IsSigned(uint16_t dataType) { return dataType == kTypeInt16 || dataType == kTypeInt16b || dataType == kTypeInt32; }

} // namespace

bool EncodeValue(uint16_t dataType, uint32_t size, double value, uint8_t *out) {
    if (size == 0 || size > 8 || std::isnan(value))
        return false;
    if (dataType == kTypeFloat) {
        if (size != 4)
            return false;
        const float f = static_cast<float>(value);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        PutBig(bits, 4, out);
        return true;
    }
    if (value != std::floor(value))
        return false;
    if (dataType == kTypeBool && value != 0 && value != 1)
        return false;
    const double bits = 8.0 * size;
    if (IsSigned(dataType)) {
        const double lo = -std::ldexp(1.0, static_cast<int>(bits) - 1);
        if (value < lo || value >= -lo)
            return false;
        PutBig(static_cast<uint64_t>(static_cast<int64_t>(value)), size, out);
    } else {
        if (value < 0 || (size < 8 && value >= std::ldexp(1.0, static_cast<int>(bits))))
            return false;
        PutBig(static_cast<uint64_t>(value), size, out);
    }
    return true;
}

double DecodeValue(uint16_t dataType, const uint8_t *bytes, uint32_t size) {
    if (size == 0 || size > 8)
        return NAN;
    const uint64_t v = GetBig(bytes, size);
    if (dataType == kTypeFloat && size == 4) {
        const uint32_t bits = static_cast<uint32_t>(v);
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    if (IsSigned(dataType) && size < 8 && (v >> (8 * size - 1)) & 1)
        return static_cast<double>(static_cast<int64_t>(v) - (int64_t(1) << (8 * size)));
    return static_cast<double>(v);
}

ObjectSpec ObjectSpec::Scalar(const std::string &name, uint16_t dataType, double value) {
    ObjectSpec s;
    s.name = name;
    s.dataType = dataType;
    s.elementLength = TypeSize(dataType);
    s.init.assign(s.elementLength, 0);
    if (s.elementLength)
        EncodeValue(dataType, s.elementLength, value, s.init.data());
    return s;
}

ObjectSpec ObjectSpec::Array(const std::string &name, uint16_t dataType, uint32_t count,
                             const std::vector<double> &values) {
    ObjectSpec s;
    s.name = name;
    s.kind = kKindArray;
    s.dataType = dataType;
    s.elementLength = TypeSize(dataType);
    s.count = count;
    s.init.assign(size_t(s.elementLength) * count, 0);
    for (size_t i = 0; i < values.size() && i < count && s.elementLength; ++i)
        EncodeValue(dataType, s.elementLength, values[i], s.init.data() + i * s.elementLength);
    return s;
}

SampleRecord MessageRecord(int day, int month, int year, int hour, int minute, int second, uint8_t first,
                           uint8_t secondNumber, bool state) {
    return {0x01,
            static_cast<uint8_t>(day),
            static_cast<uint8_t>(month),
            0x00,
            static_cast<uint8_t>(year >> 8),
            static_cast<uint8_t>(year),
            static_cast<uint8_t>(hour),
            static_cast<uint8_t>(minute),
            static_cast<uint8_t>(second),
            first,
            secondNumber,
            static_cast<uint8_t>(state ? 1 : 0)};
}

SampleRecord MeasurementRecord(int day, int month, int year, int hour, int minute, uint8_t first, uint8_t secondNumber,
                               uint16_t value) {
    return {0x01,
            static_cast<uint8_t>(day),
            static_cast<uint8_t>(month),
            0x00,
            static_cast<uint8_t>(year >> 8),
            static_cast<uint8_t>(year),
            static_cast<uint8_t>(hour),
            static_cast<uint8_t>(minute),
            first,
            secondNumber,
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

} // namespace kesta::sim
