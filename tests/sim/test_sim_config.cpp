// The configuration file: one row per case, the text and the error it must give side by side.
#include <gtest/gtest.h>

#include "tools/sim/sim.h"

using namespace kesta::sim;

TEST(SimConfig, RefusalsNameFileLineAndCause) {
    struct Row {
        const char *text;
        const char *error; // expected part of the message
    } rows[] = {
        {"object 2 x single INT - 1", "t.cfg:1: station 2 is not declared"},
        {"station 2\nobject 2 x single INTT - 1", "t.cfg:2: data type 'INTT' must be"},
        {"station 2\nobject 2 x single INT - 1 40000", "t.cfg:2: value '40000' does not fit data type 2"},
        {"station 2\nobject 2 x single INT - 1 1 2", "more initial values than the object's 2 bytes"},
        {"station 2\nobject 2 x array UINT - 0", "count '0' must be a number from 1"},
        {"station 2\nobject 2 x single 0 - 1", "element length '-' only for data types 1..8"},
        {"station 2\nobject 2 x single INT - 1\nobject 2 x single INT - 1", "t.cfg:3: object 'x': already defined"},
        {"station 300", "t.cfg:1: station ADDRESS [options]: the address must be 0..255"},
        {"station 2 obj6=10", "obj6 (buffer size) must be a 32-bit number of at least 14"},
        {"station 2 ack=maybe", "ack must be none, final or silent"},
        {"station 2 colour=red", "unknown station option 'colour'"},
        {"station 2\nrecord 2 msgs message 26.12.2001 14:30:45 5 7 1", "no sample structure 'msgs' at station 2"},
        {"station 2\nsample 2 m\nrecord 2 m message 26-12-2001 14:30:45 5 7 1",
         "t.cfg:3: date '26-12-2001' must be DD.MM.YYYY"},
        {"station 2\nsample 2 m\nrecord 2 m raw 01 02", "record ... raw takes 12 hex bytes"},
        {"station 2\nfaults 2 silence*x", "fault 'silence*x'"},
        {"station 2\ntext 2 \"ID 0", "a quoted word has no closing"},
        {"frobnicate 1", "t.cfg:1: unknown directive 'frobnicate'"},
        {"# nothing\n", "t.cfg: no station declared"},
    };
    for (const Row &r : rows) {
        Simulator sim;
        std::string error;
        EXPECT_FALSE(LoadConfigText(r.text, "t.cfg", sim, &error)) << r.text;
        EXPECT_NE(error.find(r.error), std::string::npos) << r.text << "\n  gave: " << error;
    }
}

TEST(SimConfig, DemoConfigLoads) {
    Simulator sim;
    std::string error;
    ASSERT_TRUE(LoadConfig(std::string(KESTA_SOURCE_DIR) + "/tools/sim/demo.cfg", sim, &error)) << error;
    Station *s2 = sim.station(2);
    ASSERT_NE(s2, nullptr);
    ASSERT_NE(sim.station(3), nullptr);
    EXPECT_EQ(s2->value("motor_speed"), -1500);
    EXPECT_EQ(s2->value("total"), 4000000000.0);
    EXPECT_EQ(s2->value("temperature"), 21.5);
    EXPECT_EQ(s2->value("table", 9), 10);
    EXPECT_EQ(s2->value("table[9]"), 10);
    EXPECT_EQ(s2->bytes("status_word"), (std::vector<uint8_t>{0xA5, 0x5A}));
    EXPECT_EQ(s2->pendingRecords("msgs"), 3u);
    EXPECT_NE(s2->handle("msgs.toggle"), 0);
    EXPECT_EQ(sim.station(3)->connectObjects().object6, 8192u);
    EXPECT_EQ(sim.station(3)->connectObjects().object2, 0x80);
}
