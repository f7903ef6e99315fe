// What the transport asks the stack between steps: the size of the next reply read, the length of a
// frame whose header it holds, the link error to count, whether the engine is idle; and for callers
// that fill one request with many items, the item head size and the station's message limit.
#include <gtest/gtest.h>

#include "dsf/dsf_internal.h"
#include "dsf_test_util.h"
#include "support/golden.h"

namespace {

TEST(DsfReplyReadSize, FollowsTheEngineState) {
    Stack stack;
    DsfInstance *dsf = stack.dsf;
    struct {
        const char *what;
        int32_t state;
        int32_t segmenting;
        int32_t reassembling;
        uint32_t total;
        uint32_t count;
        uint32_t expected; // the caller's ExpectedReplyLength
        uint32_t size;
    } const cases[] = {
        {"idle: the caller's size", DSF_IDLE, 0, 0, 0, 0, 16, 16},
        {"reply to a request", DSF_AWAIT_REPLY, 0, 0, 0, 0, 36, 36},
        {"never more than a frame", DSF_AWAIT_REPLY, 0, 0, 0, 0, 4012, 518},
        {"answer to a request segment", DSF_AWAIT_REPLY, 1, 0, 0, 0, 36, 8},
        {"answer to an Ack", DSF_AWAIT_FINAL_ACK, 0, 0, 0, 0, 36, 8},
        {"last segment, even rest", DSF_AWAIT_REPLY, 0, 1, 520, 510, 600, 20},
        {"last segment, odd rest", DSF_AWAIT_REPLY, 0, 1, 521, 510, 600, 22},
        {"last segment just fits", DSF_AWAIT_REPLY, 0, 1, 1015, 508, 600, 518},
        {"more than a frame missing", DSF_AWAIT_REPLY, 0, 1, 4000, 508, 600, 518},
        {"a long reply's full segments", DSF_AWAIT_REPLY, 0, 1, 40000, 506, 600, 518},
        {"a long reply's last segment", DSF_AWAIT_REPLY, 0, 1, 40000, 39990, 600, 20},
        {"nothing missing: the caller's size", DSF_AWAIT_REPLY, 0, 1, 600, 600, 30, 30},
        {"gathering only counts while awaiting", DSF_DELIVER, 0, 1, 520, 510, 40, 40},
    };
    for (const auto &c : cases) {
        dsf->state = c.state;
        dsf->segmenting = c.segmenting;
        dsf->reassembling = c.reassembling;
        dsf->reassemblyTotal = c.total;
        dsf->reassemblyCount = c.count;
        EXPECT_EQ(dsf_reply_read_size(dsf, c.expected), c.size) << c.what;
    }
    dsf_reset(dsf, 0);
    EXPECT_EQ(dsf_reply_read_size(nullptr, 24), 24u);
}

TEST_F(DsfWire, ReplyReadSizeOfASegmentedRequestIsTheEmptyAnswer) {
    ConnectOk();
    std::vector<uint8_t> data(600, 0x11);
    const std::vector<uint8_t> request = ReadWriteRequest({{0x0001, 600, DSF_ACCESS_WRITE, data}});
    uint16_t action = 0;
    ASSERT_EQ(StepOnce(&handle, request, &action), 0);
    ASSERT_EQ(action, SendReceive);
    EXPECT_EQ(dsf_reply_read_size(dsf, 14), 8u); // NextRequestSegment carries no data
    dsf_reset(dsf, 0);
    EXPECT_EQ(dsf_reply_read_size(dsf, 14), 14u);
}

TEST(DsfAnnouncedFrameLength, OnlyAValidHeaderForUs) {
    Stack stack(1, "/SA=2");
    const std::vector<uint8_t> ack = HexBytes(golden::kAckFrame);
    const std::vector<uint8_t> odd = HexBytes(golden::kOddDataFrame);
    EXPECT_EQ(dsf_announced_frame_length(stack.dsf, ack.data(), 8), 8u);
    EXPECT_EQ(dsf_announced_frame_length(stack.dsf, odd.data(), 6), 12u) << "a whole header is enough";
    EXPECT_EQ(dsf_announced_frame_length(stack.dsf, odd.data(), 5), 0u) << "a header cut short";

    struct {
        const char *what;
        size_t at;
        uint8_t value;
    } const faults[] = {{"no STX", 0, 0x03}, {"another station", 2, 0x03}, {"header checksum", 5, 0x3E}};
    for (const auto &f : faults) {
        std::vector<uint8_t> bad = ack;
        bad[f.at] = f.value;
        EXPECT_EQ(dsf_announced_frame_length(stack.dsf, bad.data(), 8), 0u) << f.what;
    }
    // The largest frame the word count can announce.
    std::vector<uint8_t> largest = HexBytes("02 FF 02 01 11 00");
    largest[5] = static_cast<uint8_t>(largest[0] ^ largest[1] ^ largest[2] ^ largest[3] ^ largest[4]);
    EXPECT_EQ(dsf_announced_frame_length(stack.dsf, largest.data(), 6), 518u);
    EXPECT_EQ(dsf_announced_frame_length(stack.dsf, nullptr, 8), 0u);
}

TEST(DsfTakeLinkError, TakesTheReceiversCodeOnce) {
    Stack stack(1, "/SA=1");
    DsfInstance *dsf = stack.dsf;
    StationEntry *station = &dsf->stations[0];
    EXPECT_EQ(dsf_take_link_error(dsf), 0u);

    struct {
        const char *what;
        std::vector<uint8_t> bytes;
        uint32_t code;
    } const cases[] = {
        {"another station", HexBytes(golden::kAckFrame), DSF_ERR_LINK_ADDRESS},
        {"header checksum", HexBytes("02 00 01 02 03 00"), DSF_ERR_LINK_HEADER},
        {"sequence", Net2000Frame(1, 2, 3, 5, {}), DSF_ERR_LINK_SEQUENCE},
        {"data checksum", HexBytes("02 01 01 02 03 03 AA BB 00 00"), DSF_ERR_LINK_DATA},
    };
    for (const auto &c : cases) {
        dsf_clear_receive(dsf);
        dsf_receive_bytes(dsf, c.bytes.data(), static_cast<uint16_t>(c.bytes.size()), station);
        EXPECT_EQ(dsf_take_link_error(dsf), c.code) << c.what;
        EXPECT_EQ(dsf_take_link_error(dsf), 0u) << c.what << ": taken once";
    }

    // A frame refused at building ends its request anyway: that code is no line fault to count.
    uint8_t frame[DSF_MAX_FRAME];
    EXPECT_EQ(dsf_build_frame(dsf, frame, 511, 2, 1, 0), 0u);
    EXPECT_EQ(dsf_take_link_error(dsf), 0u);
    EXPECT_EQ(dsf->linkError, static_cast<uint32_t>(DSF_ERR_FRAME_TOO_LONG));
    EXPECT_EQ(dsf_take_link_error(nullptr), 0u);
}

TEST_F(DsfWire, IdleOnlyBetweenRequests) {
    EXPECT_EQ(dsf_idle(dsf), 1);
    uint16_t action = 0;
    ASSERT_EQ(StepOnce(&handle, ConnectStationRequest(2), &action), 0);
    ASSERT_EQ(action, SendReceive);
    EXPECT_EQ(dsf_idle(dsf), 0);
    dsf_reset(dsf, 0);
    EXPECT_EQ(dsf_idle(dsf), 1);
    ConnectOk();
    EXPECT_EQ(dsf_idle(dsf), 1);
    EXPECT_EQ(dsf_idle(nullptr), 0);
}

// The connect reply decides both: object 2 the item head form, object 6 the most the station takes,
// never more than the stack's own limit for the entry.
TEST_F(DsfWire, ItemHeadAndStationLimitFollowTheConnectReply) {
    EXPECT_EQ(dsf_station_message_limit(dsf, &handle), 0u) << "nothing connected";
    EXPECT_EQ(dsf_station_message_limit(dsf, nullptr), 0u);
    struct {
        const char *what;
        const char *objects;
        uint32_t head;
        uint32_t limit;
    } const cases[] = {
        {"short heads, 4096", golden::kConnectObjectsShortHeads, 2, 4096},
        {"long heads, 4096", "00 05 01 00 FF FF 00 00 10 00", 6, 4096},
        {"object 2 just below 0x80", "00 7F 01 00 FF FF 00 00 00 40", 6, 64},
        {"a small station", "00 80 00 00 00 00 00 00 00 40", 2, 64},
        {"a larger peer grows the stack's limit", "00 80 00 00 00 00 00 00 20 00", 2, 8192},
        {"offering less again keeps the grown buffers", "00 80 00 00 00 00 00 00 01 00", 2, 256},
        {"nothing at all", "00 80 00 00 00 00 00 00 00 00", 2, 0},
    };
    for (const auto &c : cases) {
        ConnectOk(c.objects);
        EXPECT_EQ(dsf_read_item_head(dsf), c.head) << c.what;
        EXPECT_EQ(dsf_station_message_limit(dsf, &handle), c.limit) << c.what;
    }
    // An entry that a connect left half done is no station to fill a request for.
    handle->connectState = 1;
    EXPECT_EQ(dsf_station_message_limit(dsf, &handle), 0u);
    StationEntry *foreign = reinterpret_cast<StationEntry *>(reply);
    EXPECT_EQ(dsf_station_message_limit(dsf, &foreign), 0u);
}

} // namespace
