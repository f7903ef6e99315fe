// The protocol engine, stepped exactly as the transport loop steps it against a scripted station:
// retransmission, segmented requests and replies, the final Ack handshake, and the refusals that
// end a request with Failed.
#include <string.h>

#include <gtest/gtest.h>

#include "dsf/dsf_internal.h"
#include "dsf_test_util.h"
#include "support/golden.h"

namespace {

const std::vector<uint8_t> kReadTwo = ReadWriteRequest({{0x0001, 2, DSF_ACCESS_READ, {}}});

// Splits the first chunk a responder produces into two reads.
Responder Split(Responder inner, size_t at) {
    return [=](const SentFrame &to, ScriptedStation &s) {
        std::vector<std::vector<uint8_t>> chunks = inner(to, s);
        std::vector<uint8_t> first = chunks.at(0);
        chunks[0].assign(first.begin(), first.begin() + at);
        chunks.insert(chunks.begin() + 1, std::vector<uint8_t>(first.begin() + at, first.end()));
        return chunks;
    };
}

// A reply message with its length prefix as given (4-byte form when asked) and `extra` bytes behind it.
Responder AnswerPrefixed(uint8_t code, const std::string &bodyHex, size_t prefix, const std::string &extraHex,
                         bool longForm = false) {
    const std::vector<uint8_t> body = HexBytes(bodyHex);
    const std::vector<uint8_t> extra = HexBytes(extraHex);
    return [=](const SentFrame &to, ScriptedStation &s) {
        std::vector<uint8_t> data = Prefixed(s.Message(code, body));
        data[0] = static_cast<uint8_t>(prefix >> 8);
        data[1] = static_cast<uint8_t>(prefix);
        if (longForm) {
            data.insert(data.begin(), {0x80, 0x00});
        }
        data.insert(data.end(), extra.begin(), extra.end());
        return std::vector<std::vector<uint8_t>>{s.Frame(to, DSF_FT_REPLY_LAST, data)};
    };
}

// A long reply message sent in segments of the given sizes, each frame prefixed with the bytes
// still to come; the last segment goes as `lastType`.
struct SegmentedReply {
    std::shared_ptr<std::vector<uint8_t>> message = std::make_shared<std::vector<uint8_t>>();
    std::shared_ptr<size_t> sent = std::make_shared<size_t>(0);

    void Script(ScriptedStation &s, uint8_t code, const std::vector<uint8_t> &body, const std::vector<size_t> &sizes,
                uint8_t lastType = DSF_FT_REPLY_LAST) {
        auto msg = message;
        auto done = sent;
        for (size_t i = 0; i < sizes.size(); ++i) {
            const size_t size = sizes[i];
            const uint8_t type = i + 1 == sizes.size() ? lastType : static_cast<uint8_t>(DSF_FT_REPLY_MORE);
            s.script.push_back([=](const SentFrame &to, ScriptedStation &st) {
                if (msg->empty()) {
                    *msg = st.Message(code, body);
                }
                EXPECT_EQ(to.type, *done == 0 ? DSF_FT_REQUEST_LAST : DSF_FT_NEXT_REPLY_SEGMENT);
                const size_t remaining = msg->size() - *done;
                const size_t take = std::min(size, remaining);
                std::vector<uint8_t> data =
                    Prefixed(std::vector<uint8_t>(msg->begin() + *done, msg->begin() + *done + take));
                data[0] = static_cast<uint8_t>(remaining >> 8);
                data[1] = static_cast<uint8_t>(remaining);
                *done += take;
                return std::vector<std::vector<uint8_t>>{st.Frame(to, type, data)};
            });
        }
    }
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(seed + i * 13);
    }
    return v;
}

// ---- One exchange -----------------------------------------------------------------------------

TEST_F(DsfWire, SingleReadActionsTimeoutAndSequence) {
    ConnectOk();
    const uint8_t before = handle->sequence;
    st.script.push_back(Answer(DSF_MSG_READ, "11 22"));
    const Outcome o = Run(kReadTwo);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, Process, Done}));
    EXPECT_EQ(st.timeouts, std::vector<int32_t>{200});
    EXPECT_EQ(st.sent[0].sequence, (before + 1) & 0x0F);
    EXPECT_EQ(st.sent[0].source, 1);
    EXPECT_EQ(handle->sequence, before + 1);
    EXPECT_EQ(Reply(o.replyLength), HexNorm("00 00 11 22"));
    EXPECT_EQ(dsf->state, DSF_IDLE);
}

TEST_F(DsfWire, ReplyInTwoPiecesIsCollectedWithReceive) {
    ConnectOk();
    st.script.push_back(Split(Answer(DSF_MSG_READ, "11 22"), 5));
    const Outcome o = Run(kReadTwo);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, Receive, Process, Done}));
}

// ---- Retransmission -----------------------------------------------------------------------------

TEST_F(DsfWire, RetransmissionCounts) {
    struct {
        const char *parameters;
        size_t sendings;
    } const cases[] = {{"/SA=1/RC=0", 1}, {"/SA=1/RC=1", 2}, {"/SA=1/RC=3", 4}, {"/SA=1/RC=-4", 1}};
    for (const auto &c : cases) {
        Open(1, c.parameters);
        ConnectOk();
        const Outcome o = Run(kReadTwo);
        EXPECT_EQ(o.rc, DSF_ERR_NO_REPLY) << c.parameters;
        EXPECT_EQ(o.action, Failed);
        ASSERT_EQ(st.sent.size(), c.sendings) << c.parameters;
        for (const SentFrame &f : st.sent) {
            EXPECT_EQ(HexText(f.bytes), HexText(st.sent[0].bytes)) << "the same frame, same sequence number";
        }
        EXPECT_EQ(dsf->state, DSF_IDLE);
    }
}

TEST_F(DsfWire, ReplyAfterTheSecondSending) {
    ConnectOk();
    st.script.push_back(Silence());
    st.script.push_back(Answer(DSF_MSG_READ, "11 22"));
    const Outcome o = Run(kReadTwo);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.sent.size(), 2u);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, SendReceive, Process, Done}));
    EXPECT_EQ(st.timeouts, (std::vector<int32_t>{200, 200}));
}

// Bad frames never fail a request by themselves: they are dropped and silence leads to a resend.
TEST_F(DsfWire, BadFramesAreDroppedAndSilenceResends) {
    ConnectOk();
    st.script.push_back([](const SentFrame &to, ScriptedStation &s) {
        std::vector<uint8_t> foreign = Net2000Frame(9, s.address, 3, to.sequence, Prefixed(s.Message(33, {1, 2})));
        std::vector<uint8_t> badCheck = s.Frame(to, 3, Prefixed(s.Message(33, {1, 2})));
        badCheck.back() ^= 0xFF;
        std::vector<uint8_t> stale =
            Net2000Frame(s.master, s.address, 3, to.sequence - 1, Prefixed(s.Message(33, {1, 2})));
        std::vector<uint8_t> noise = HexBytes("FF 00 7E");
        return std::vector<std::vector<uint8_t>>{noise, foreign, badCheck, stale};
    });
    st.script.push_back(Answer(DSF_MSG_READ, "11 22"));
    const Outcome o = Run(kReadTwo);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions,
              (std::vector<uint16_t>{SendReceive, Receive, Receive, Receive, Receive, SendReceive, Process, Done}));
    EXPECT_EQ(Reply(4), HexNorm("00 00 11 22"));
}

// ---- Single-frame replies and their length prefix --------------------------------------------

TEST_F(DsfWire, ReplyPrefixAgainstTheFrame) {
    ConnectOk();
    struct {
        Responder answer;
        const std::vector<uint8_t> request;
        int32_t rc;
        const char *what;
    } const cases[] = {
        {AnswerPrefixed(DSF_MSG_TEXT, "00 00 41", 7, ""), TextRequest("t"), 0, "L odd, frame carries L + 1 (pad)"},
        {AnswerPrefixed(DSF_MSG_WRITE, "", 4, "00 00"), ReadWriteRequest({{1, 2, DSF_ACCESS_WRITE, {1, 2}}}),
         DSF_ERR_SEGMENT, "frame carries L + 2"},
        {AnswerPrefixed(DSF_MSG_WRITE, "", 6, ""), ReadWriteRequest({{1, 2, DSF_ACCESS_WRITE, {1, 2}}}),
         DSF_ERR_SEGMENT, "prefix claims more than the frame carries"},
        {AnswerData(DSF_FT_REPLY_LAST, ""), kReadTwo, DSF_ERR_SEGMENT, "a reply frame without data"},
        {AnswerData(DSF_FT_ACK_FINAL, ""), kReadTwo, DSF_ERR_SEGMENT, "a stray data-less AckFinal"},
        {AnswerPrefixed(DSF_MSG_READ, "11 22", 6, "", true), kReadTwo, 0, "4-byte prefix 80 00 00 06"},
    };
    for (const auto &c : cases) {
        st.script.push_back(c.answer);
        EXPECT_EQ(Run(c.request).rc, c.rc) << c.what;
    }
}

// ---- Segmented requests -----------------------------------------------------------------------

TEST_F(DsfWire, MessageOf508BytesGoesInOneFrame) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_TEXT, "00 00"));
    ASSERT_EQ(Run(TextRequest(std::string(503, 'a'))).rc, 0);
    ASSERT_EQ(st.sent.size(), 1u);
    EXPECT_EQ(st.sent[0].type, DSF_FT_REQUEST_LAST);
    EXPECT_EQ(st.sent[0].data.size(), 510u);
    EXPECT_EQ(st.sent[0].bytes.size(), 518u);
    EXPECT_EQ(HexText(st.sent[0].data.data(), 2), "01 FC");
}

TEST_F(DsfWire, MessageOf509BytesGoesInTwo) {
    ConnectOk();
    st.script.push_back(NextSegmentPlease());
    st.script.push_back(Answer(DSF_MSG_TEXT, "00 00"));
    const Outcome o = Run(TextRequest(std::string(504, 'a')));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, Process, SendReceive, Process, Done}));
    ASSERT_EQ(st.sent.size(), 2u);
    EXPECT_EQ(st.sent[0].type, DSF_FT_REQUEST_MORE);
    EXPECT_EQ(st.sent[0].data.size(), 510u);
    EXPECT_EQ(HexText(st.sent[0].data.data(), 2), golden::kPrefix509);
    EXPECT_EQ(st.sent[1].type, DSF_FT_REQUEST_LAST);
    EXPECT_EQ(HexText(st.sent[1].data), HexNorm("00 01 00 00")) << "prefix 1, the text's NUL, one pad byte";
    EXPECT_EQ(st.sent[1].sequence, (st.sent[0].sequence + 1) & 0x0F);
}

TEST_F(DsfWire, NextRequestSegmentWithoutAnyDataCountsAsZero) {
    ConnectOk();
    st.script.push_back(AnswerData(DSF_FT_NEXT_REQUEST_SEGMENT, ""));
    st.script.push_back(Answer(DSF_MSG_TEXT, "00 00"));
    EXPECT_EQ(Run(TextRequest(std::string(600, 'a'))).rc, 0);
}

TEST_F(DsfWire, StationFramesDuringASegmentedRequest) {
    ConnectOk();
    struct {
        Responder answer;
        int32_t rc;
        const char *what;
    } const cases[] = {
        {AnswerData(DSF_FT_SEGMENT_REFUSED, "00 00"), DSF_ERR_SEGMENT_REFUSED, "SegmentRefused"},
        {AnswerData(DSF_FT_SEGMENT_REFUSED, ""), DSF_ERR_SEGMENT_REFUSED, "SegmentRefused without data"},
        {AnswerData(DSF_FT_NEXT_REQUEST_SEGMENT, "00 02 00 00"), DSF_ERR_SEGMENT, "NextRequestSegment with data"},
        {Answer(DSF_MSG_TEXT, "00 00"), DSF_ERR_SEGMENT, "a reply before the request is complete"},
        {AnswerData(DSF_FT_REPLY_MORE, "00 00"), DSF_ERR_SEGMENT, "ReplyMore"},
    };
    for (const auto &c : cases) {
        st.script.push_back(c.answer);
        const Outcome o = Run(TextRequest(std::string(600, 'a')));
        EXPECT_EQ(o.rc, c.rc) << c.what;
        EXPECT_EQ(dsf->segmenting, 0) << c.what;
    }
}

// A 40000-byte message needs a station with a larger buffer; its segments carry 4-byte prefixes
// while 32768 or more bytes remain, then 2-byte ones, each counting the bytes still to come.
TEST_F(DsfWire, FortyThousandByteMessage) {
    ConnectOk("00 80 00 00 00 00 00 01 00 00"); // 65536
    ASSERT_EQ(handle->maxMessage, 65536u);
    const std::vector<uint8_t> payload = Pattern(39992);
    const std::vector<uint8_t> request = ReadWriteRequest({{0xBEEF, 39992, DSF_ACCESS_WRITE, payload}});
    for (int i = 0; i < 78; ++i) {
        st.script.push_back(NextSegmentPlease());
    }
    st.script.push_back(Answer(DSF_MSG_WRITE, ""));
    const Outcome o = Run(request);
    ASSERT_EQ(o.rc, 0);
    ASSERT_EQ(st.sent.size(), 79u);
    EXPECT_EQ(HexText(st.sent[0].data.data(), 12),
              HexNorm(std::string(golden::kPrefix40000) + " 00 00 02 22 00 01 EF BE"));

    std::vector<uint8_t> gathered;
    for (size_t i = 0; i < st.sent.size(); ++i) {
        const std::vector<uint8_t> &d = st.sent[i].data;
        const bool longPrefix = (d[0] & 0x80) != 0;
        const size_t prefix = longPrefix ? 4 : 2;
        const size_t announced = longPrefix
                                     ? ((size_t(d[0] & 0x7F) << 24) | (size_t(d[1]) << 16) | (size_t(d[2]) << 8) | d[3])
                                     : (size_t(d[0]) << 8 | d[1]);
        ASSERT_EQ(announced, 40000 - gathered.size()) << "segment " << i;
        EXPECT_EQ(longPrefix, announced >= 32768) << "segment " << i;
        const bool last = i + 1 == st.sent.size();
        EXPECT_EQ(st.sent[i].type, last ? DSF_FT_REQUEST_LAST : DSF_FT_REQUEST_MORE);
        if (!last) {
            EXPECT_EQ(d.size(), 510u) << "segments fill the frame";
        }
        const size_t take = std::min(announced, d.size() - prefix);
        gathered.insert(gathered.end(), d.begin() + prefix, d.begin() + prefix + take);
    }
    ASSERT_EQ(gathered.size(), 40000u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), gathered.begin() + 8));
}

// ---- Segmented replies -----------------------------------------------------------------------

TEST_F(DsfWire, LongReplyGatheredFromSegments) {
    ConnectOk();
    const std::vector<uint8_t> data = Pattern(1196);
    SegmentedReply r;
    r.Script(st, DSF_MSG_READ, data, {508, 508, 508});
    const Outcome o = Run(ReadWriteRequest({{1, 1196, DSF_ACCESS_READ, {}}}));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions,
              (std::vector<uint16_t>{SendReceive, Process, SendReceive, Process, SendReceive, Process, Done}));
    ASSERT_EQ(st.sent.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(st.sent[i].type, DSF_FT_NEXT_REPLY_SEGMENT);
        EXPECT_TRUE(st.sent[i].data.empty());
        EXPECT_EQ(st.sent[i].sequence, (st.sent[i - 1].sequence + 1) & 0x0F);
    }
    EXPECT_EQ(o.replyLength, 1198u);
    EXPECT_EQ(H16(reply), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), reply + 2));
    EXPECT_EQ(dsf->reassembling, 0);
}

TEST_F(DsfWire, LongReplyFaults) {
    ConnectOk();
    const std::vector<uint8_t> request = ReadWriteRequest({{1, 6, DSF_ACCESS_READ, {}}}); // a 10-byte reply
    struct {
        std::vector<std::string> frames; // type letter (M ReplyMore, L ReplyLast, 7), ":", frame data
        int32_t rc;
        const char *what;
    } const cases[] = {
        {{"M:00 0A 00 00", "M:00 08 00 00 00 00 00 00 00 00 00 00"},
         DSF_ERR_SEGMENT,
         "ReplyMore carries more than it lacks"},
        {{"M:00 02 00 00 00 00"}, DSF_ERR_SEGMENT, "first ReplyMore carries more than announced"},
        {{"M:00 0A 00 00", "L:00 07 00 00"}, DSF_ERR_SEGMENT, "ReplyLast prefix is not what is still expected"},
        {{"M:00 0A 00 00", "L:00 08 00 00"}, DSF_ERR_SEGMENT, "ReplyLast carries less than it announces"},
        {{"M:00 0A 00 00", "7:00 08 00 00"}, DSF_ERR_SEGMENT, "another type while gathering"},
        {{"M:00 0A 00 00", "L:"}, DSF_ERR_SEGMENT, "a data-less frame while gathering"},
        {{"M:00 0A 00 00 00 00", "M:00 06 11 22", "L:00 04 33 44 55 66"}, 0, "three segments, exact"},
        {{"M:00 0A 00 00 00 00", "M:00 06", "L:00 06 11 22 33 44 55 66"}, 0, "an empty ReplyMore in between"},
    };
    for (const auto &c : cases) {
        for (const std::string &f : c.frames) {
            const uint8_t type = f[0] == 'M' ? DSF_FT_REPLY_MORE : f[0] == 'L' ? DSF_FT_REPLY_LAST : f[0] - '0';
            const std::string data = f.substr(2);
            // The counter byte is the station's to fill in: frames here carry it as 00.
            st.script.push_back([type, data](const SentFrame &to, ScriptedStation &s) {
                std::vector<uint8_t> d = HexBytes(data);
                if (d.size() >= 6 && d[0] == 0x00 && d[1] == 0x0A) {
                    d[4] = s.counter;
                    d[5] = DSF_MSG_READ;
                }
                return std::vector<std::vector<uint8_t>>{s.Frame(to, type, d)};
            });
        }
        const Outcome o = Run(request);
        EXPECT_EQ(o.rc, c.rc) << c.what;
        if (c.rc == 0) {
            EXPECT_EQ(Reply(o.replyLength), HexNorm("00 00 11 22 33 44 55 66")) << c.what;
        }
        EXPECT_EQ(dsf->reassembling, 0) << c.what;
        EXPECT_LE(dsf->reassemblyCount, dsf->reassemblyTotal) << c.what;
        st.script.clear();
    }
}

// A station that answers every NextReplySegment with a segment bringing nothing new must not hold the
// line: a reply gets no more segments than it has bytes, then the request ends with 65302.
TEST_F(DsfWire, SegmentsThatBringNothingEndTheRequest) {
    ConnectOk();
    const std::vector<uint8_t> request = ReadWriteRequest({{1, 6, DSF_ACCESS_READ, {}}}); // a 10-byte reply
    st.script.push_back(AnswerData(DSF_FT_REPLY_MORE, "00 0A 00 00"));                    // 2 of 10 bytes
    for (int i = 0; i < 1000; ++i) {
        st.script.push_back(AnswerData(DSF_FT_REPLY_MORE, "00 08"));
    }
    const size_t framesBefore = st.sent.size();
    const Outcome o = Run(request);
    EXPECT_EQ(o.rc, DSF_ERR_SEGMENT);
    // The request and one NextReplySegment for each segment up to the tenth, the one refused.
    EXPECT_EQ(st.sent.size() - framesBefore, 10u);
    EXPECT_EQ(dsf->reassembling, 0);
}

TEST_F(DsfWire, LongReplyAboveTheStationsLimit) {
    ConnectOk();
    SegmentedReply r;
    r.Script(st, DSF_MSG_READ, Pattern(4200), {508, 508});
    const Outcome o = Run(ReadWriteRequest({{1, 4200, DSF_ACCESS_READ, {}}}), 8192);
    EXPECT_EQ(o.rc, DSF_ERR_REPLY_TOO_LONG);
    EXPECT_EQ(st.sent.size(), 1u) << "fails after the first segment";
    st.script.clear();

    // 4100 bytes is the limit itself: read of 4096 data bytes.
    SegmentedReply fits;
    std::vector<size_t> sizes(9, 508);
    fits.Script(st, DSF_MSG_READ, Pattern(4096), sizes);
    const Outcome ok = Run(ReadWriteRequest({{1, 4096, DSF_ACCESS_READ, {}}}), 8192);
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.replyLength, 4098u);
}

// ---- Final acknowledge ---------------------------------------------------------------------------

TEST_F(DsfWire, ReplyAckWantedThenAckFinal) {
    ConnectOk();
    st.script.push_back([](const SentFrame &to, ScriptedStation &s) {
        // The Ack goes to the frame's source, here 7, not to the entry's address.
        return std::vector<std::vector<uint8_t>>{Net2000Frame(s.master, 7, DSF_FT_REPLY_ACK_WANTED, to.sequence,
                                                              Prefixed(s.Message(DSF_MSG_READ, {0x11, 0x22})))};
    });
    st.script.push_back(AnswerData(DSF_FT_ACK_FINAL, ""));
    const Outcome o = Run(kReadTwo);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, Process, SendReceive, Done}));
    EXPECT_EQ(st.timeouts, (std::vector<int32_t>{200, 400}));
    ASSERT_EQ(st.sent.size(), 2u);
    const SentFrame &ack = st.sent[1];
    EXPECT_EQ(ack.bytes.size(), 8u);
    EXPECT_EQ(ack.type, DSF_FT_ACK);
    EXPECT_EQ(ack.destination, 7);
    EXPECT_EQ(ack.sequence, (st.sent[0].sequence + 1) & 0x0F);
    EXPECT_EQ(o.replyLength, 4u);
    EXPECT_EQ(Reply(4), HexNorm("00 00 11 22"));
}

TEST_F(DsfWire, ReplyAckWantedThenSilence) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_READ, "11 22", DSF_FT_REPLY_ACK_WANTED));
    const Outcome o = Run(kReadTwo);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, Process, SendReceive, Done}));
    EXPECT_EQ(o.replyLength, 4u);
}

TEST_F(DsfWire, OtherFramesWhileWaitingForAckFinal) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_READ, "11 22", DSF_FT_REPLY_ACK_WANTED));
    st.script.push_back([](const SentFrame &to, ScriptedStation &s) {
        std::vector<uint8_t> repeat = s.Frame(to, DSF_FT_REPLY_LAST, Prefixed(s.Message(DSF_MSG_READ, {0x11, 0x22})));
        std::vector<uint8_t> noise(600, 0x02);
        return std::vector<std::vector<uint8_t>>{repeat, noise, s.Frame(to, DSF_FT_ACK_FINAL, {})};
    });
    const Outcome o = Run(kReadTwo);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, Process, SendReceive, Receive, Receive, Done}));
    EXPECT_LE(dsf->rxCount, 518u);
}

TEST_F(DsfWire, WriteReplyWantingAnAckStillRestartsForTheRead) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_WRITE, "", DSF_FT_REPLY_ACK_WANTED));
    st.script.push_back(Answer(DSF_MSG_READ, "11 22"));
    const Outcome o = Run(ReadWriteRequest({{1, 2, DSF_ACCESS_WRITE, {5, 6}}, {2, 2, DSF_ACCESS_READ, {}}}));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, Process, StepAgain, SendReceive, Process, Done}));
}

// ---- Engine refusals ---------------------------------------------------------------------------

TEST_F(DsfWire, TransmitBufferMustHoldAFullFrame) {
    ConnectOk();
    uint16_t action = 0;
    EXPECT_EQ(StepOnce(&handle, kReadTwo.data(), 10, &action, DSF_MAX_FRAME - 1), DSF_ERR_FRAME_BUFFER);
    EXPECT_EQ(action, Failed);
}

TEST_F(DsfWire, HandleLostInTheMiddleOfARequest) {
    ConnectOk();
    uint16_t action = 0;
    ASSERT_EQ(StepOnce(&handle, kReadTwo, &action), 0);
    ASSERT_EQ(action, SendReceive);
    StationEntry *gone = nullptr;
    EXPECT_EQ(StepOnce(&gone, kReadTwo, &action), DSF_ERR_NOT_CONNECTED);
    EXPECT_EQ(action, Failed);
    EXPECT_EQ(dsf->state, DSF_IDLE);
}

// Nothing is allocated per request once the stack is configured and connected.
TEST_F(DsfWire, NoAllocationPerRequest) {
    ConnectOk();
    const int attempts = AllocLedger::Get().attempts;
    for (int i = 0; i < 50; ++i) {
        st.script.push_back(Answer(DSF_MSG_WRITE, ""));
        st.script.push_back(Split(Answer(DSF_MSG_READ, "11 22", DSF_FT_REPLY_ACK_WANTED), 3));
        st.script.push_back(AnswerData(DSF_FT_ACK_FINAL, ""));
        ASSERT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_WRITE, {5, 6}}, {2, 2, DSF_ACCESS_READ, {}}})).rc, 0);
    }
    EXPECT_EQ(AllocLedger::Get().attempts, attempts);
}

} // namespace
