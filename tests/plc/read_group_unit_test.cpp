// The room of one group, without a line: how many read items of which lengths fit one request frame,
// one reply frame, the station's message size, the gate read's request record and reply buffer.
#include <stdint.h>

#include <vector>

#include <gtest/gtest.h>

#include "plc/plc_common.h"
#include "plc/read_group.h"

namespace {

struct RoomRow {
    const char *what;
    uint32_t itemHead;
    uint32_t stationMessage;
    std::vector<uint32_t> lengths; // offered in this order; each repeated `times`
    uint32_t times;
    uint32_t taken;
    uint32_t requestMessage;
    uint32_t replyMessage;
};

const RoomRow kRows[] = {
    // Long heads: 6 + 6 n request bytes, 83 items at 504; the 84th would make 510.
    {"long heads fill the request frame", 6, 4096, {2}, 100, 83, 504, 4 + 2 * 83},
    // Short heads, 4-byte values: 4 + 4 n reply bytes, 126 items at 508.
    {"4-byte values fill the reply frame", 2, 4096, {4}, 200, 126, 6 + 2 * 126, 508},
    // Short heads, single bytes: the request record of 2000 bytes holds 249 items (2 + 8 n).
    {"the request record", 2, 4096, {1}, 300, 249, 6 + 2 * 249, 4 + 2 * 249},
    {"a station of 64 bytes", 6, 64, {2}, 20, 9, 60, 22},
    {"a station of 12 bytes: 6 + 2 n", 2, 12, {2}, 5, 3, 12, 10},
    {"a station of 7 bytes takes no read list at all", 2, 7, {2}, 3, 0, 6, 4},
    // A value that does not fit is passed over and smaller ones after it still go: the 500 bytes would
    // make a reply of 512.
    {"what does not fit is passed over", 2, 4096, {4, 4, 500, 2}, 1, 3, 12, 14},
    {"a block of 504 bytes is a group on its own", 2, 4096, {504, 2}, 1, 1, 8, 508},
    {"a block of 505 bytes is too long", 2, 4096, {505}, 1, 0, 6, 4},
    {"an odd length counts its pad byte", 6, 4096, {3, 1}, 1, 2, 18, 4 + 4 + 2},
    {"no item is longer than 16 bits allow", 2, 70000, {70000}, 1, 0, 6, 4},
};

class GroupRoom : public ::testing::TestWithParam<RoomRow> {};

TEST_P(GroupRoom, TakesWhatFits) {
    const RoomRow &row = GetParam();
    const GroupLimits limits = GroupLimitsFor(row.itemHead, row.stationMessage);
    GroupFill fill = EmptyGroup();
    uint32_t taken = 0;
    uint32_t data = 0;
    for (uint32_t length : row.lengths) {
        for (uint32_t i = 0; i < row.times; ++i) {
            if (GroupTake(&fill, limits, length)) {
                ++taken;
                data += length + (length & 1u);
            }
        }
    }
    EXPECT_EQ(taken, row.taken);
    EXPECT_EQ(fill.items, row.taken);
    EXPECT_EQ(fill.requestMessage, row.requestMessage);
    EXPECT_EQ(fill.replyMessage, row.replyMessage);
    EXPECT_EQ(fill.replyData, data);
    EXPECT_EQ(fill.requestRecord, 2 + 8 * taken);
    EXPECT_EQ(fill.replyRecord, 2 * taken + data);
    EXPECT_LE(fill.requestRecord, uint32_t{GATE_REQUEST_SIZE});
    EXPECT_LE(fill.replyRecord, uint32_t{GATE_REPLY_SIZE});
}

INSTANTIATE_TEST_SUITE_P(Rows, GroupRoom, ::testing::ValuesIn(kRows), [](const ::testing::TestParamInfo<RoomRow> &row) {
    return "Row" + std::to_string(row.index);
});

TEST(GroupRoom, AFrameIsTheMostEvenForALargerStation) {
    EXPECT_EQ(GroupLimitsFor(2, 8192).message, 508u);
    EXPECT_EQ(GroupLimitsFor(6, 100).message, 100u);
    EXPECT_EQ(GroupLimitsFor(6, 100).itemHead, 6u);
}

} // namespace
