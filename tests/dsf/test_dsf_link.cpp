// Link frames: building, the byte-wise receiver with its address, checksum and sequence checks,
// resynchronisation, and the Ack handshake. Frames are written as they appear on the line.
#include <string.h>

#include <gtest/gtest.h>

#include "dsf/dsf_internal.h"
#include "dsf_test_util.h"
#include "support/golden.h"

namespace {

class DsfLink : public ::testing::Test {
protected:
    Stack stack{1, "/SA=1"};
    DsfInstance *dsf = stack.dsf;
    StationEntry *station = &stack.dsf->stations[0];
    uint8_t frame[DSF_MAX_FRAME] = {};

    std::string Build(const std::string &dataHex, uint32_t destination, uint32_t type, uint32_t sequence) {
        const std::vector<uint8_t> data = HexBytes(dataHex);
        std::copy(data.begin(), data.end(), frame + 6);
        const uint32_t length =
            dsf_build_frame(dsf, frame, static_cast<uint32_t>(data.size()), destination, type, sequence);
        return HexText(frame, length);
    }

    int32_t Feed(const std::vector<uint8_t> &bytes) {
        return dsf_receive_bytes(dsf, bytes.data(), static_cast<uint16_t>(bytes.size()), station);
    }

    std::string Held() const { return HexText(dsf->rxFrame, dsf->rxCount); }
};

TEST_F(DsfLink, BuildsTheWorkedExamples) {
    EXPECT_EQ(Build("", 2, 0xE, 3), golden::kAckFrame);
    EXPECT_EQ(Build(golden::kOddData, 2, 1, 1), golden::kOddDataFrame);
}

TEST_F(DsfLink, FrameLengthsPadAndLimit) {
    struct {
        uint32_t n;
        uint32_t length;
    } const cases[] = {{0, 8}, {1, 10}, {2, 10}, {3, 12}, {509, 518}, {510, 518}};
    for (const auto &c : cases) {
        memset(frame, 0x5A, sizeof frame);
        dsf->linkError = 77;
        EXPECT_EQ(dsf_build_frame(dsf, frame, c.n, 2, 1, 0), c.length) << c.n;
        EXPECT_EQ(frame[1], (c.n + 1) / 2) << c.n;
        EXPECT_EQ(dsf->linkError, 0u);
        if (c.n % 2 == 1) {
            EXPECT_EQ(frame[6 + c.n], 0x00) << "pad byte for n = " << c.n;
        }
        std::vector<uint8_t> check(frame, frame + c.length);
        FixNet2000Checksums(check);
        EXPECT_EQ(HexText(check), HexText(frame, c.length)) << c.n;
    }
    memset(frame, 0x5A, sizeof frame);
    EXPECT_EQ(dsf_build_frame(dsf, frame, 511, 2, 1, 0), 0u);
    EXPECT_EQ(dsf->linkError, static_cast<uint32_t>(DSF_ERR_FRAME_TOO_LONG));
    EXPECT_EQ(frame[0], 0x5A) << "nothing is written for n = 511";
}

TEST_F(DsfLink, SkipsNoiseBeforeTheStx) {
    station->sequence = 1;
    const std::vector<uint8_t> good = Net2000Frame(1, 2, 3, 1, HexBytes("00 04 DE AD BE EF"));
    std::vector<uint8_t> line = HexBytes("FF 00 13 55");
    line.insert(line.end(), good.begin(), good.end());
    EXPECT_EQ(Feed(line), 1);
    EXPECT_EQ(Held(), HexText(good));
    EXPECT_EQ(dsf->rxFrameType, 3);
    EXPECT_EQ(dsf->rxState, DSF_RX_DATA);
}

TEST_F(DsfLink, ByteByByteAndOneChunkWithTrailingBytesAgree) {
    station->sequence = 0x25; // only the low nibble travels
    const std::vector<uint8_t> good = Net2000Frame(1, 2, 0xD, 5, HexBytes("00 03 11 22 33"));
    for (size_t i = 0; i + 1 < good.size(); ++i) {
        ASSERT_EQ(Feed({good[i]}), 0) << "byte " << i;
    }
    ASSERT_EQ(Feed({good.back()}), 1);
    const std::string byteWise = Held();
    EXPECT_EQ(dsf->rxFrameType, 3) << "ReplyAckWanted is reported as type 3";

    dsf_clear_receive(dsf);
    std::vector<uint8_t> chunk = good;
    const std::vector<uint8_t> trailing = HexBytes("02 00 01 02 35 34 00 34 99");
    chunk.insert(chunk.end(), trailing.begin(), trailing.end());
    ASSERT_EQ(Feed(chunk), 1);
    EXPECT_EQ(Held(), byteWise) << "the bytes after the completing one are not looked at";
    EXPECT_EQ(dsf->rxCount, good.size());
}

TEST_F(DsfLink, FrameForAnotherStationIsDroppedAtItsThirdByte) {
    const std::vector<uint8_t> other = Net2000Frame(9, 2, 3, 0, HexBytes("00 04 AA 02 01 55"));
    EXPECT_EQ(Feed({other[0], other[1]}), 0);
    EXPECT_EQ(dsf->rxState, DSF_RX_HEADER);
    EXPECT_EQ(Feed({other[2]}), 0);
    EXPECT_EQ(dsf->linkError, static_cast<uint32_t>(DSF_ERR_LINK_ADDRESS));
    EXPECT_EQ(dsf->rxState, DSF_RX_HUNT);

    dsf_clear_receive(dsf);
    const std::vector<uint8_t> mine = Net2000Frame(1, 2, 3, 0, HexBytes("00 02 BB CC"));
    std::vector<uint8_t> line = other;
    line.insert(line.end(), mine.begin(), mine.end());
    EXPECT_EQ(Feed(line), 1);
    EXPECT_EQ(Held(), HexText(mine));
}

TEST_F(DsfLink, StaleSequenceIsRefusedAndTheHuntGoesOn) {
    station->sequence = 5;
    const std::vector<uint8_t> stale = Net2000Frame(1, 2, 3, 4, HexBytes("00 04 01 02 03 04"));
    EXPECT_EQ(Feed(std::vector<uint8_t>(stale.begin(), stale.begin() + 6)), 0);
    EXPECT_EQ(dsf->linkError, static_cast<uint32_t>(DSF_ERR_LINK_SEQUENCE));
    EXPECT_EQ(Feed(std::vector<uint8_t>(stale.begin() + 6, stale.end())), 0);
    const std::vector<uint8_t> fresh = Net2000Frame(1, 2, 3, 5, HexBytes("00 02 03 04"));
    EXPECT_EQ(Feed(fresh), 1);
    EXPECT_EQ(Held(), HexText(fresh));
}

TEST_F(DsfLink, BadHeaderChecksumResynchronises) {
    std::vector<uint8_t> bad = Net2000Frame(1, 2, 3, 0, HexBytes("00 02 01 02"));
    bad[5] ^= 0x40;
    EXPECT_EQ(Feed(std::vector<uint8_t>(bad.begin(), bad.begin() + 6)), 0);
    EXPECT_EQ(dsf->linkError, static_cast<uint32_t>(DSF_ERR_LINK_HEADER));
    // A header hidden one byte later in the stream is found by the resync.
    dsf_clear_receive(dsf);
    const std::vector<uint8_t> good = Net2000Frame(1, 2, 3, 0, HexBytes("00 02 05 06"));
    std::vector<uint8_t> line = {0x02, 0x02};
    line.insert(line.end(), good.begin(), good.end());
    EXPECT_EQ(Feed(line), 1);
    EXPECT_EQ(Held(), HexText(good));
}

TEST_F(DsfLink, BadDataChecksumFailsTheFrameAndHunts) {
    std::vector<uint8_t> bad = Net2000Frame(1, 2, 3, 0, HexBytes("00 02 01 02"));
    bad.back() ^= 0x01;
    const std::vector<uint8_t> good = Net2000Frame(1, 2, 3, 0, HexBytes("00 02 05 06"));
    std::vector<uint8_t> line = bad;
    line.insert(line.end(), good.begin(), good.end());
    EXPECT_EQ(Feed(line), -1);
    EXPECT_EQ(dsf->linkError, static_cast<uint32_t>(DSF_ERR_LINK_DATA));
    EXPECT_EQ(dsf->rxState, DSF_RX_HUNT);
    EXPECT_EQ(Feed(good), 1) << "the next frame is found afresh";
}

// A complete frame stays held until the next frame is built; bytes fed meanwhile (while the engine
// waits for AckFinal) start the hunt for a new frame and are never stored behind it.
TEST_F(DsfLink, BytesAfterAHeldFrameStartANewHunt) {
    const std::vector<uint8_t> first = Net2000Frame(1, 2, 3, 0, std::vector<uint8_t>(510, 0x02));
    ASSERT_EQ(Feed(first), 1);
    ASSERT_EQ(dsf->rxCount, 518u);
    std::vector<uint8_t> noise(700, 0x02);
    EXPECT_EQ(Feed(noise), 0);
    EXPECT_LE(dsf->rxCount, 518u);
    const std::vector<uint8_t> final = Net2000Frame(1, 2, 0xF, 0, {});
    dsf_clear_receive(dsf);
    ASSERT_EQ(Feed(first), 1);
    EXPECT_EQ(Feed(final), 1);
    EXPECT_EQ(Held(), HexText(final));
}

// A resync of a full buffer can leave more bytes held than the header it stops at announces: the
// frame then completes at its announced length and the surplus is dropped.
TEST_F(DsfLink, ResyncLeavingMoreThanTheAnnouncedFrame) {
    std::vector<uint8_t> inner = Net2000Frame(1, 2, 0xF, 0, {});
    std::vector<uint8_t> data(510, 0x00);
    std::copy(inner.begin(), inner.end(), data.begin());
    const std::vector<uint8_t> outer = Net2000Frame(1, 2, 3, 0, data);
    ASSERT_EQ(Feed(outer), 1);
    dsf_resync(dsf);
    EXPECT_EQ(dsf->rxState, DSF_RX_HEADER);
    EXPECT_EQ(dsf->rxCount, 512u);
    EXPECT_EQ(Feed({0x55}), 1);
    EXPECT_EQ(dsf->rxCount, 8u);
    EXPECT_EQ(Held(), HexText(inner));
}

TEST_F(DsfLink, ResyncDropsAtLeastOneByte) {
    const std::vector<uint8_t> held = HexBytes("02 01 01 05 03");
    memcpy(dsf->rxFrame, held.data(), held.size());
    dsf->rxCount = 5;
    dsf->rxState = DSF_RX_HEADER;
    dsf_resync(dsf);
    EXPECT_EQ(dsf->rxCount, 0u) << "no later STX: everything goes";
    EXPECT_EQ(dsf->rxState, DSF_RX_HUNT);

    const std::vector<uint8_t> held2 = HexBytes("02 07 02 09 02 01");
    memcpy(dsf->rxFrame, held2.data(), held2.size());
    dsf->rxCount = 6;
    dsf_resync(dsf);
    EXPECT_EQ(Held(), "02 01") << "an STX with fewer than three bytes behind it stops the resync";
    EXPECT_EQ(dsf->rxState, DSF_RX_HEADER);
}

TEST_F(DsfLink, AcknowledgeAnswersReplyAckWanted) {
    station->stationAddress = 2;
    station->sequence = 4;
    ASSERT_EQ(Feed(Net2000Frame(1, 7, 0xD, 4, HexBytes("00 02 01 02"))), 1);
    EXPECT_EQ(dsf_acknowledge(dsf, frame, station), 1);
    EXPECT_EQ(station->sequence, 5);
    EXPECT_EQ(dsf->txFrameLength, 8u);
    EXPECT_EQ(HexText(frame, 8), HexNorm("02 00 07 01 5E 5A 00 5A")) << "type 0xE to the frame's source, station 7";
}

TEST_F(DsfLink, AcknowledgeByType) {
    struct {
        uint8_t type;
        int32_t result;
    } const cases[] = {{0xF, -1}, {0x3, 0}, {0x4, 0}, {0x7, 0}, {0x1, 0}};
    for (const auto &c : cases) {
        dsf_clear_receive(dsf);
        station->sequence = 0;
        ASSERT_EQ(Feed(Net2000Frame(1, 2, c.type, 0, {})), 1);
        memset(frame, 0, sizeof frame);
        EXPECT_EQ(dsf_acknowledge(dsf, frame, station), c.result) << int(c.type);
        EXPECT_EQ(station->sequence, 0);
        EXPECT_EQ(frame[0], 0) << "no frame built";
    }
    dsf_clear_receive(dsf);
    EXPECT_EQ(dsf_acknowledge(dsf, frame, station), 0) << "nothing held, nothing acknowledged";
}

} // namespace
