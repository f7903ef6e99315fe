// TimeStamp: the record's local date and time as a signed 32-bit count of seconds, with a fixed zone.
// Expected counts are worked out by hand from UTC, independent of the C library under test.
#include <stdint.h>

#include <array>

#include "plc/sample_gate.h"
#include "plc_test_util.h"

namespace {

using Record = std::array<uint8_t, SAMPLE_RECORD_SIZE>;

Record Message(int day, int month, int year, int hour, int minute, int second) {
    return {1,
            uint8_t(day),
            uint8_t(month),
            0,
            uint8_t(year >> 8),
            uint8_t(year),
            uint8_t(hour),
            uint8_t(minute),
            uint8_t(second),
            5,
            7,
            1};
}

Record Measurement(int day, int month, int year, int hour, int minute) {
    return {
        1,    uint8_t(day), uint8_t(month), 0, uint8_t(year >> 8), uint8_t(year), uint8_t(hour), uint8_t(minute), 5, 7,
        0x01, 0xF4};
}

struct StampCase {
    const char *zone;
    uint32_t typeCode;
    Record record;
    int result;
    int32_t seconds;     // when accepted
    const char *message; // when refused
};

const char kUtc[] = "UTC0";
const char kCet[] = "CET-1CEST,M3.5.0,M10.5.0/3";

const StampCase kStamps[] = {
    // The worked examples: 26.12.2001 14:30:45 and 14:30:00 local time.
    {kUtc, EWTM, Record{0x01, 0x1A, 0x0C, 0x00, 0x07, 0xD1, 0x0E, 0x1E, 0x2D, 0x05, 0x07, 0x01}, 0, 1009377045,
     nullptr},
    {kCet, EWTM, Record{0x01, 0x1A, 0x0C, 0x00, 0x07, 0xD1, 0x0E, 0x1E, 0x2D, 0x05, 0x07, 0x01}, 0, 1009373445,
     nullptr},
    {kCet, EWTV, Record{0x01, 0x1A, 0x0C, 0x00, 0x07, 0xD1, 0x0E, 0x1E, 0x05, 0x07, 0x01, 0xF4}, 0, 1009373400,
     nullptr},
    // Summer time follows the record's date, whatever the date of the test run.
    {kCet, EWTV, Measurement(15, 7, 2001, 14, 30), 0, 995200200, nullptr},
    // Out-of-range fields that the conversion carries over.
    {kUtc, EWTM, Message(26, 13, 2001, 14, 30, 45), 0, 1012055445, nullptr}, // January 2002
    {kUtc, EWTM, Message(26, 0, 2001, 14, 30, 45), 0, 977841045, nullptr},   // December 2000
    {kUtc, EWTM, Message(0, 12, 2001, 14, 30, 45), 0, 1007130645, nullptr},  // 30 November
    // A measurement has no seconds: byte 8 is a gate number and may be anything.
    {kUtc, EWTV, Record{1, 26, 12, 0, 0x07, 0xD1, 14, 30, 99, 7, 0, 1}, 0, 1009377000, nullptr},
    // The signed 32-bit range.
    {kUtc, EWTM, Message(1, 1, 1970, 0, 0, 0), 0, 0, nullptr},
    {kUtc, EWTM, Message(19, 1, 2038, 3, 14, 7), 0, INT32_MAX, nullptr},
    // Refused fields (1).
    {kUtc, EWTM, Message(26, 12, 2001, 24, 30, 45), 1, 0,
     "KESTA> TimeStamp() ill. time 26/12/101 24:30:45 received (1)"},
    {kUtc, EWTM, Message(26, 12, 2001, 14, 60, 45), 1, 0,
     "KESTA> TimeStamp() ill. time 26/12/101 14:60:45 received (1)"},
    {kUtc, EWTM, Message(26, 12, 2001, 14, 30, 60), 1, 0,
     "KESTA> TimeStamp() ill. time 26/12/101 14:30:60 received (1)"},
    {kUtc, EWTM, Message(32, 12, 2001, 14, 30, 45), 1, 0,
     "KESTA> TimeStamp() ill. time 32/12/101 14:30:45 received (1)"},
    {kUtc, EWTV, Measurement(26, 14, 2001, 9, 5), 1, 0, "KESTA> TimeStamp() ill. time 26/14/101 9:05:00 received (1)"},
    // Outside the count (2), printed as the fields stand after the conversion.
    {kUtc, EWTM, Message(31, 12, 1969, 23, 59, 59), 1, 0,
     "KESTA> TimeStamp() ill. time 31/12/69 23:59:59 received (2)"},
    {kCet, EWTM, Message(1, 1, 1970, 0, 30, 0), 1, 0, "KESTA> TimeStamp() ill. time 01/01/70 0:30:00 received (2)"},
    {kUtc, EWTM, Message(19, 1, 2038, 3, 14, 8), 1, 0, "KESTA> TimeStamp() ill. time 19/01/138 3:14:08 received (2)"},
    {kUtc, EWTM, Message(1, 1, 2100, 0, 0, 0), 1, 0, "KESTA> TimeStamp() ill. time 01/01/200 0:00:00 received (2)"},
};

void PrintTo(const StampCase &c, std::ostream *out) {
    *out << (c.zone == kUtc ? "UTC " : "CET ") << int(c.record[1]) << '.' << int(c.record[2]) << '.'
         << (c.record[4] << 8 | c.record[5]) << ' ' << int(c.record[6]) << ':' << int(c.record[7]);
}

class TimeStamps : public PlcUnitTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(TimeStamps, RecordTimeToSeconds) {
    const StampCase &c = GetParam();
    ScopedTimeZone zone(c.zone);
    int32_t seconds = -7;
    EXPECT_EQ(TimeStamp(c.typeCode, c.record.data(), &seconds), c.result);
    if (c.result == 0) {
        EXPECT_EQ(seconds, c.seconds);
        EXPECT_TRUE(hostlog::Messages().empty());
    } else {
        EXPECT_EQ(seconds, -7);
        EXPECT_EQ(hostlog::Messages(), Logged({{32, c.message}}));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TimeStamps, ::testing::ValuesIn(kStamps));

} // namespace
