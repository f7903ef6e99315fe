// Application requests and replies, driven through dsf_step against a scripted station: the
// messages each service sends, the reply records it leaves, and every refusal, with the request
// records and the reply buffers never read or written past their ends.
#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>

#include "dsf/dsf_internal.h"
#include "dsf_test_util.h"
#include "support/golden.h"

namespace {

// One 22-byte LookupResult as the station sends it.
std::string LookupResult(uint8_t status, uint8_t kind, const char *handleBytes, uint32_t length, uint16_t dataType = 5,
                         uint32_t aux = 2, uint32_t elementLength = 4) {
    char text[160];
    snprintf(text, sizeof text,
             "%02X %02X %s 00 00 00 00 %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X", status,
             kind, handleBytes, length >> 24, (length >> 16) & 0xFF, (length >> 8) & 0xFF, length & 0xFF, dataType >> 8,
             dataType & 0xFF, aux >> 24, (aux >> 16) & 0xFF, (aux >> 8) & 0xFF, aux & 0xFF, elementLength >> 24,
             (elementLength >> 16) & 0xFF, (elementLength >> 8) & 0xFF, elementLength & 0xFF);
    return text;
}

// ---- Connect -----------------------------------------------------------------------------------

TEST_F(DsfWire, ConnectReplyExample) {
    st.script.push_back(Answer(DSF_MSG_READ, "00 05 01 00 FF FF 00 00 10 00"));
    memset(reply, 0xEE, 64);
    const Outcome o = Run(ConnectStationRequest(2), 64);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.action, Done);
    EXPECT_EQ(o.replyLength, 24u);
    ASSERT_EQ(st.sent.size(), 1u);
    EXPECT_EQ(st.sent[0].destination, 2);
    EXPECT_EQ(st.sent[0].type, DSF_FT_REQUEST_LAST);
    EXPECT_EQ(HexText(st.sent[0].data), HexNorm(golden::kConnectRequestData));
    EXPECT_EQ(st.timeouts, std::vector<int32_t>{200});

    EXPECT_EQ(dsf->itemMode, 1);
    EXPECT_EQ(handle, &dsf->stations[0]);
    EXPECT_EQ(handle->connectState, 2);
    EXPECT_EQ(handle->stationAddress, 2);
    ConnectReply record;
    memcpy(&record, reply, sizeof record);
    EXPECT_EQ(+record.one, 1);
    EXPECT_EQ(+record.peerFlags, 0x14);
    EXPECT_EQ(HexText(record.zero, 12), HexNorm("00 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(+record.bufferSize, 4096u);
    EXPECT_EQ(+record.fixed500, 500u);
    EXPECT_EQ(dsf->bufferSize, 4096u) << "4096 grows nothing";
}

TEST_F(DsfWire, ItemModeFollowsObject2) {
    struct {
        const char *object2;
        int32_t itemMode;
        uint8_t flags;
    } const cases[] = {{"00 7F", 1, 0}, {"00 80", 0, 0}, {"00 00", 1, 0}, {"01 00", 0, 0}, {"FF FF", 0, 0}};
    for (const auto &c : cases) {
        std::string objects = std::string(c.object2) + " 02 00 FF FE 00 00 10 00";
        st.script.push_back(Answer(DSF_MSG_READ, objects));
        ASSERT_EQ(Run(ConnectStationRequest(2), 64).rc, 0) << c.object2;
        EXPECT_EQ(dsf->itemMode, c.itemMode) << c.object2;
        EXPECT_EQ(reply[3], c.flags) << "object 4 = 2 and object 5 = FF FE set no flag";
    }
}

TEST_F(DsfWire, ConnectingAgainRunsOnTheSameEntry) {
    ConnectOk();
    StationEntry *first = handle;
    ConnectOk();
    EXPECT_EQ(handle, first);
    handle = nullptr;
    st.address = 3;
    st.script.push_back(Answer(DSF_MSG_READ, golden::kConnectObjectsShortHeads));
    EXPECT_EQ(Run(ConnectStationRequest(3), 64).rc, DSF_ERR_NO_STATION) << "one entry, already serving station 2";
    EXPECT_TRUE(st.sent.empty());
    EXPECT_EQ(handle, nullptr);
}

TEST_F(DsfWire, ConnectDefaultUsesTheFirstEntryAndItsDaAddress) {
    Open(2, "/SA=1/DA=9");
    st.address = 9;
    st.script.push_back(Answer(DSF_MSG_READ, golden::kConnectObjectsShortHeads));
    const Outcome o = Run({DSF_SVC_CONNECT_DEFAULT, 0}, 64);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(handle, &dsf->stations[0]);
    EXPECT_EQ(st.sent[0].destination, 9);
}

TEST_F(DsfWire, ConnectReplyGrowsBuffersOnlyForALargerPeer) {
    ConnectOk("00 80 00 00 00 00 00 00 08 00"); // 2048
    EXPECT_EQ(H32(reply + 16), 2048u);
    EXPECT_EQ(dsf->bufferSize, 4096u);
    EXPECT_EQ(handle->maxMessage, 4096u);
    EXPECT_EQ(handle->maxReassembly, 4100u);

    ConnectOk("00 80 00 00 00 00 00 00 20 00"); // 8192
    EXPECT_EQ(H32(reply + 16), 8192u);
    EXPECT_EQ(H32(reply + 20), 500u);
    EXPECT_EQ(dsf->bufferSize, 8192u);
    EXPECT_EQ(handle->maxMessage, 8192u);
    EXPECT_EQ(handle->maxReassembly, 8196u);
    std::map<void *, uint32_t> &live = AllocLedger::Get().live;
    EXPECT_EQ(live[dsf->requestBuffer], 8192u);
    EXPECT_EQ(live[dsf->reassemblyBuffer], 8196u);
    EXPECT_EQ(live[dsf->pendingBuffer], 8196u);
    EXPECT_EQ(live.size(), 5u) << "the old buffers went back";
}

// A failed growth leaves no buffer to use or to release twice; the stack refuses from then on.
TEST_F(DsfWire, FailedGrowthAtEachAllocation) {
    const int32_t expected[] = {DSF_ERR_RESIZE_REQUEST, DSF_ERR_RESIZE, DSF_ERR_RESIZE};
    for (int k = 0; k < 3; ++k) {
        Open(1, "/SA=1");
        AllocLedger &ledger = AllocLedger::Get();
        ledger.failAt = ledger.attempts + k;
        st.script.push_back(Answer(DSF_MSG_READ, "00 80 00 00 00 00 00 00 40 00"));
        const Outcome o = Run(ConnectStationRequest(2), 64);
        EXPECT_EQ(o.rc, expected[k]) << "allocation " << k;
        EXPECT_EQ(o.action, Failed);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(handle->connectState, 1);
        EXPECT_EQ(dsf->pendingWrite, nullptr);
        EXPECT_EQ(dsf->pendingRead, nullptr);

        st.script.push_back(Answer(DSF_MSG_READ, golden::kConnectObjectsShortHeads));
        EXPECT_EQ(Run(ConnectStationRequest(2), 64).rc, DSF_ERR_BUFFER);
        EXPECT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})).rc, DSF_ERR_NOT_CONNECTED);
        EXPECT_EQ(Run({DSF_SVC_FETCH_EXTRA, 0}).rc, DSF_ERR_NOT_CONNECTED);
        EXPECT_TRUE(st.sent.empty());
        // The fixture's teardown destroys the stack and checks every release against the ledger.
    }
}

// ---- ReadWrite ---------------------------------------------------------------------------------

struct ListCase {
    const char *object2;
    uint16_t access;
    const char *message; // counter 02
    uint8_t replyCode;
    const char *replyBody;
    const char *record;
};

const ListCase kListCases[] = {
    {"00 7F", DSF_ACCESS_READ, "00 00 02 31 00 01 12 34 00 00 03 00", DSF_MSG_READ_LONG, "AA BB CC 00",
     "00 00 AA BB CC 00"},
    {"00 80", DSF_ACCESS_READ, "00 00 02 21 00 01 12 34", DSF_MSG_READ, "AA BB CC 00", "00 00 AA BB CC 00"},
    {"00 80", DSF_ACCESS_WRITE, "00 00 02 22 00 01 12 34 AA BB CC 00", DSF_MSG_WRITE, "", "00 00"},
    {"00 7F", DSF_ACCESS_WRITE, "00 00 02 32 00 01 12 34 00 00 03 00 AA BB CC 00", DSF_MSG_WRITE_LONG, "", "00 00"},
};

class DsfListMessages : public DsfWire, public ::testing::WithParamInterface<ListCase> {};

TEST_P(DsfListMessages, ShortAndLongItemHeads) {
    const ListCase &c = GetParam();
    ConnectOk(std::string(c.object2) + " 00 00 00 00 00 00 10 00");
    // The handle's first wire byte is its low byte: bytes 12 34 are the token 0x3412.
    const std::vector<uint8_t> request = ReadWriteRequest({{0x3412, 3, c.access, HexBytes("AA BB CC")}});
    st.script.push_back(Answer(c.replyCode, c.replyBody));
    memset(reply, 0xEE, 16);
    const Outcome o = Run(request);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(SentMessage(0), HexNorm(c.message));
    EXPECT_EQ(o.replyLength, HexBytes(c.record).size());
    EXPECT_EQ(Reply(o.replyLength), HexNorm(c.record));
    EXPECT_EQ(dsf->expectedReplySize, c.access == DSF_ACCESS_READ ? 8u : 4u);
}

INSTANTIATE_TEST_SUITE_P(Dsf, DsfListMessages, ::testing::ValuesIn(kListCases));

TEST_F(DsfWire, WriteThenReadRestartsWithStepAgain) {
    ConnectOk();
    const std::vector<uint8_t> request =
        ReadWriteRequest({{0x0101, 2, DSF_ACCESS_WRITE, HexBytes("55 66")}, {0x0202, 3, DSF_ACCESS_READ, {}}});
    st.script.push_back(Answer(DSF_MSG_WRITE, ""));
    st.script.push_back(Answer(DSF_MSG_READ, "D1 D2 D3 00"));
    const Outcome o = Run(request);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(st.actions, (std::vector<uint16_t>{SendReceive, Process, StepAgain, SendReceive, Process, Done}));
    ASSERT_EQ(st.sent.size(), 2u);
    EXPECT_EQ(SentMessage(0), HexNorm("00 00 02 22 00 01 01 01 55 66"));
    EXPECT_EQ(SentMessage(1), HexNorm("00 00 03 21 00 01 02 02"));
    EXPECT_EQ(o.replyLength, 8u);
    EXPECT_EQ(Reply(8), HexNorm("00 00 00 00 D1 D2 D3 00"));
    EXPECT_EQ(dsf->readAfterWrite, 0);
}

TEST_F(DsfWire, ReadWriteItemAndUnknownAccessValues) {
    ConnectOk();
    // Access 5 and 0 take part in nothing: 8 bytes of the record each, no slot in the reply.
    const std::vector<uint8_t> request = ReadWriteRequest({{0x0404, 6, 5, {}},
                                                           {0x0303, 2, DSF_ACCESS_READ_WRITE, HexBytes("77 88")},
                                                           {0x0505, 4, 0, {}},
                                                           {0x0606, 1, DSF_ACCESS_READ, {}}});
    st.script.push_back(Answer(DSF_MSG_WRITE, ""));
    st.script.push_back(Answer(DSF_MSG_READ, "A1 A2 B1 00"));
    memset(reply, 0xEE, 16);
    const Outcome o = Run(request);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(SentMessage(0), HexNorm("00 00 02 22 00 01 03 03 77 88"));
    EXPECT_EQ(SentMessage(1), HexNorm("00 00 03 21 00 02 03 03 06 06"));
    EXPECT_EQ(o.replyLength, 8u);
    EXPECT_EQ(Reply(9), HexNorm("00 00 A1 A2 00 00 B1 00 EE"));
}

TEST_F(DsfWire, ReadWriteWithoutItemsEndsAtOnce) {
    ConnectOk();
    const std::vector<std::vector<uint8_t>> requests = {
        ReadWriteRequest({}),
        ReadWriteRequest({{1, 2, 0, {}}, {2, 2, 4, {}}, {3, 2, 0xFFFF, {}}}),
    };
    for (const auto &request : requests) {
        const Outcome o = Run(request);
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(o.action, Done);
        EXPECT_EQ(o.replyLength, 0u);
        EXPECT_EQ(o.steps, 1);
        EXPECT_TRUE(st.sent.empty());
        EXPECT_EQ(dsf->state, DSF_IDLE);
    }
}

TEST_F(DsfWire, ReadExtraDataIsFetchedOnce) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_READ | DSF_MSG_EXTRA, "11 22 E1 E2 E3 E4 E5 E6"));
    Outcome o = Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}}));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(Reply(o.replyLength), HexNorm("00 00 11 22"));

    o = Run({DSF_SVC_FETCH_EXTRA, 0});
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.steps, 1);
    EXPECT_TRUE(st.sent.empty());
    EXPECT_EQ(o.replyLength, 8u);
    EXPECT_EQ(Reply(8), HexNorm("00 00 E1 E2 E3 E4 E5 E6"));
    o = Run({DSF_SVC_FETCH_EXTRA, 0});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.replyLength, 0u);
}

TEST_F(DsfWire, WriteExtraBeforeReadExtra) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_WRITE | DSF_MSG_EXTRA, "F1 F2"));
    st.script.push_back(Answer(DSF_MSG_READ | DSF_MSG_EXTRA, "11 22 E1 E2"));
    ASSERT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_WRITE, HexBytes("AB CD")}, {2, 2, DSF_ACCESS_READ, {}}})).rc, 0);

    Outcome o = Run({DSF_SVC_FETCH_EXTRA, 0});
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.replyLength, 4u);
    EXPECT_EQ(H16(reply), 256) << "more extra data waits";
    EXPECT_EQ(HexText(reply + 2, 2), "F1 F2");
    o = Run({DSF_SVC_FETCH_EXTRA, 0});
    EXPECT_EQ(o.replyLength, 4u);
    EXPECT_EQ(H16(reply), 0);
    EXPECT_EQ(HexText(reply + 2, 2), "E1 E2");
    o = Run({DSF_SVC_FETCH_EXTRA, 0});
    EXPECT_EQ(o.replyLength, 0u);
    EXPECT_EQ(H16(reply), 0);
}

TEST_F(DsfWire, ReadExtraDataDoesNotOutliveTheNextExchange) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_READ | DSF_MSG_EXTRA, "11 22 E1 E2"));
    ASSERT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})).rc, 0);
    st.script.push_back(Answer(DSF_MSG_LOOKUP, LookupResult(0, 1, "34 12", 8)));
    ASSERT_EQ(Run(LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3))).rc, 0);
    EXPECT_EQ(Run({DSF_SVC_FETCH_EXTRA, 0}).replyLength, 0u) << "the receive frame now holds the lookup reply";
}

TEST_F(DsfWire, ExtraDataLargerThanTheBufferStaysPending) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_READ | DSF_MSG_EXTRA, "11 22 E1 E2 E3 E4 E5 E6"));
    ASSERT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})).rc, 0);
    memset(reply, 0xEE, 16);
    EXPECT_EQ(Run({DSF_SVC_FETCH_EXTRA, 0}, 7).rc, DSF_ERR_REPLY_BUFFER);
    EXPECT_EQ(Reply(8), HexNorm("00 00 EE EE EE EE EE EE"));
    const Outcome o = Run({DSF_SVC_FETCH_EXTRA, 0}, 8);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(Reply(o.replyLength), HexNorm("00 00 E1 E2 E3 E4 E5 E6"));
    // A reply buffer of one byte gets nothing written at all.
    memset(reply, 0xEE, 4);
    EXPECT_EQ(Run({DSF_SVC_FETCH_EXTRA, 0}, 1).rc, 0);
    EXPECT_EQ(reply[0], 0xEE);
}

TEST_F(DsfWire, ControlWrite) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_WRITE | DSF_MSG_EXTRA, "01 02"));
    const Outcome o = Run({DSF_SVC_FETCH_EXTRA, 1});
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(SentMessage(0), HexNorm("FF 00 02 22 00 01 00 04 02"));
    EXPECT_EQ(o.replyLength, 0u);
    EXPECT_EQ(dsf->pendingWrite, nullptr) << "a control write keeps no extra data";
}

// ---- Lookups -----------------------------------------------------------------------------------

TEST_F(DsfWire, LookupObjectsForOneName) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_LOOKUP, LookupResult(0, 1, "34 12", 8, 5, 2, 4)));
    const Outcome o = Run(LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3)));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(SentMessage(0), HexNorm("00 00 02 11 00 01 61 62 00"));
    EXPECT_EQ(st.timeouts, std::vector<int32_t>{300}) << "lookups wait TE";
    EXPECT_EQ(o.replyLength, 26u);
    EXPECT_EQ(H16(reply), 0);
    LookupObjectRecord r;
    memcpy(&r, reply + 2, sizeof r);
    EXPECT_EQ(+r.status, 0);
    EXPECT_EQ(+r.handle, 0x1234u);
    EXPECT_EQ(+r.kind, 1);
    EXPECT_EQ(+r.length, 8u);
    EXPECT_EQ(+r.dataType, 5);
    EXPECT_EQ(+r.aux, 2u);
    EXPECT_EQ(+r.elementLength, 4u);
    EXPECT_EQ(+r.access, 3);
}

TEST_F(DsfWire, LookupReplyMustHoldExactlyOneResultPerName) {
    ConnectOk();
    const std::string one = LookupResult(0, 1, "34 12", 8);
    for (const std::string &body : {one + " 00", one.substr(0, one.size() - 3), one + " " + one}) {
        st.script.push_back(Answer(DSF_MSG_LOOKUP, body));
        memset(reply, 0xEE, 64);
        EXPECT_EQ(Run(LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3))).rc, DSF_ERR_REPLY_LENGTH);
        EXPECT_EQ(reply[0], 0xEE);
    }
}

TEST_F(DsfWire, LookupLengthChecks) {
    ConnectOk();
    struct {
        uint8_t service;
        uint16_t expected;
        uint16_t status;
    } const cases[] = {
        {DSF_SVC_LOOKUP_HANDLES, 0, DSF_ERR_LOOKUP_LENGTH}, // handles always check
        {DSF_SVC_LOOKUP_HANDLES, 4, 0},
        {DSF_SVC_LOOKUP_HANDLES, 6, DSF_ERR_LOOKUP_LENGTH},
        {DSF_SVC_LOOKUP_OBJECTS, 0, 0}, // 0: not checked
        {DSF_SVC_LOOKUP_OBJECTS, 4, 0},
        {DSF_SVC_LOOKUP_OBJECTS, 6, DSF_ERR_LOOKUP_LENGTH},
    };
    for (const auto &c : cases) {
        st.script.push_back(Answer(DSF_MSG_LOOKUP, LookupResult(0, 2, "07 00", 4)));
        memset(reply, 0xEE, 64);
        const Outcome o = Run(LookupRequest(c.service, {c.expected}, std::string("x\0", 2)));
        ASSERT_EQ(o.rc, 0);
        const bool handles = c.service == DSF_SVC_LOOKUP_HANDLES;
        EXPECT_EQ(o.replyLength, handles ? 10u : 26u);
        EXPECT_EQ(H16(reply + 2), c.status) << int(c.service) << " expected " << c.expected;
        EXPECT_EQ(H32(reply + 4), c.status == 0 ? 7u : 0xEEEEEEEEu) << "fields only for status 0";
        if (c.status == 0) {
            EXPECT_EQ(H16(reply + (handles ? 8 : 24)), 3) << "access is always 3";
        }
    }
}

TEST_F(DsfWire, LookupHandlesForSeveralNamesWithBlanks) {
    ConnectOk();
    const std::string body = LookupResult(0, 1, "01 00", 2) + " " + LookupResult(2, 0, "00 00", 0);
    st.script.push_back(Answer(DSF_MSG_LOOKUP, body));
    const Outcome o = Run(LookupRequest(DSF_SVC_LOOKUP_HANDLES, {2, 4}, std::string("abc def\0", 8)));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(SentMessage(0), HexNorm("00 00 02 11 00 02 61 62 63 00 64 65 66 00"));
    EXPECT_EQ(o.replyLength, 18u);
    EXPECT_EQ(H16(reply + 2), 0);
    EXPECT_EQ(H32(reply + 4), 1u);
    EXPECT_EQ(H16(reply + 8), 3);
    EXPECT_EQ(H16(reply + 10), 65452) << "status byte 2";
}

// Status bytes as the caller sees them: nothing nonzero may read as found or as a small code.
TEST_F(DsfWire, LookupStatusBytes) {
    ConnectOk();
    struct {
        uint8_t status;
        uint16_t word;
    } const cases[] = {{1, 65451}, {2, 65452}, {85, 65535}, {86, 0xFE56}, {87, 0xFE57}, {170, 0xFEAA}, {255, 0xFEFF}};
    for (const auto &c : cases) {
        st.script.push_back(Answer(DSF_MSG_LOOKUP, LookupResult(c.status, 1, "34 12", 8)));
        memset(reply, 0xEE, 64);
        ASSERT_EQ(Run(LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3))).rc, 0);
        EXPECT_EQ(H16(reply + 2), c.word) << int(c.status);
        EXPECT_NE(H16(reply + 2) & 0xFF, 0) << "the low byte callers log is never 0";
        EXPECT_EQ(HexText(reply + 4, 22), HexText(std::vector<uint8_t>(22, 0xEE)));
    }
}

TEST_F(DsfWire, LookupByKey) {
    ConnectOk();
    std::vector<uint8_t> request = HexBytes("03 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E");
    const uint16_t expected = 8;
    request.resize(18);
    memcpy(request.data() + 16, &expected, 2);
    st.script.push_back(Answer(DSF_MSG_LOOKUP, LookupResult(0, 1, "78 56", 8)));
    Outcome o = Run(request);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(SentMessage(0), HexNorm("00 00 02 11 00 01 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E"));
    EXPECT_EQ(o.replyLength, 8u);
    LookupKeyReply r;
    memcpy(&r, reply, sizeof r);
    EXPECT_EQ(+r.status, 0);
    EXPECT_EQ(+r.handle, 0x5678u);
    EXPECT_EQ(+r.access, 3);

    st.script.push_back(Answer(DSF_MSG_LOOKUP, LookupResult(0, 1, "78 56", 9)));
    ASSERT_EQ(Run(request).rc, 0);
    EXPECT_EQ(H16(reply), DSF_ERR_LOOKUP_LENGTH);
    st.script.push_back(Answer(DSF_MSG_LOOKUP, LookupResult(3, 1, "78 56", 8)));
    ASSERT_EQ(Run(request).rc, 0);
    EXPECT_EQ(H16(reply), 65453);
}

TEST_F(DsfWire, ReplyCode145IsAcceptedUntouched) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_LOOKUP | DSF_MSG_EXTRA, LookupResult(0, 1, "34 12", 8)));
    memset(reply, 0xEE, 64);
    const Outcome o = Run(LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3)));
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.action, Done);
    EXPECT_EQ(HexText(reply, 26), HexText(std::vector<uint8_t>(26, 0xEE)));
}

// ---- Text requests -------------------------------------------------------------------------------

TEST_F(DsfWire, TextRequestAndReply) {
    ConnectOk();
    st.script.push_back(Answer(DSF_MSG_TEXT, "01 02 78 79 7A"));
    Outcome o = Run(TextRequest("hello"));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(SentMessage(0), HexNorm("00 00 02 12 68 65 6C 6C 6F 00"));
    EXPECT_EQ(o.replyLength, 5u);
    EXPECT_EQ(H16(reply), 0x0102);
    EXPECT_EQ(HexText(reply + 2, 3), "78 79 7A");

    // Shorter than its status word: refused instead of handing over a negative length.
    for (const char *body : {"", "01"}) {
        st.script.push_back(Answer(DSF_MSG_TEXT, body));
        EXPECT_EQ(Run(TextRequest("x")).rc, DSF_ERR_REPLY_LENGTH) << body;
    }
    st.script.push_back(Answer(DSF_MSG_TEXT, "00 00"));
    o = Run(TextRequest("x"));
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.replyLength, 2u);
    // Longer than the reply buffer.
    st.script.push_back(Answer(DSF_MSG_TEXT, "00 00 01 02 03"));
    EXPECT_EQ(Run(TextRequest("x"), 8).rc, DSF_ERR_REPLY_BUFFER);
    st.script.push_back(Answer(DSF_MSG_TEXT, "00 00 01 02 03"));
    EXPECT_EQ(Run(TextRequest("x"), 9).rc, 0);
}

// ---- Replies that do not belong to the request -----------------------------------------------

TEST_F(DsfWire, ErrorReplies) {
    ConnectOk();
    struct {
        const char *body;
        int32_t rc;
    } const cases[] = {
        {"00 10 00 05", 65385},
        {"00 04 00 05", 5},
        {"00 00 01 00", 256},
        {"00 10 00", DSF_ERR_REPLY_LENGTH},
        {"00 04 00 00", DSF_ERR_REPLY_CODE}, // names no error: never success
        {"00 10 00 00", 65380},
    };
    for (const auto &c : cases) {
        st.script.push_back(Answer(DSF_MSG_ERROR, c.body));
        memset(reply, 0xEE, 8);
        const Outcome o = Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}}));
        EXPECT_EQ(o.rc, c.rc) << c.body;
        EXPECT_EQ(o.action, Failed);
        EXPECT_EQ(reply[0], 0xEE);
    }
}

TEST_F(DsfWire, ReplyCounterAndCodeMustMatch) {
    ConnectOk();
    const Responder wrongCounter = [](const SentFrame &to, ScriptedStation &s) {
        const std::vector<uint8_t> m = {0x00, 0x00, static_cast<uint8_t>(s.counter + 1), DSF_MSG_READ, 0x11, 0x22};
        return std::vector<std::vector<uint8_t>>{s.Frame(to, DSF_FT_REPLY_LAST, Prefixed(m))};
    };
    st.script.push_back(wrongCounter);
    EXPECT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})).rc, DSF_ERR_REPLY_COUNTER);
    st.script.push_back(Answer(DSF_MSG_WRITE, "11 22"));
    EXPECT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})).rc, DSF_ERR_REPLY_CODE);
    st.script.push_back(Answer(DSF_MSG_READ, "11 22 33 44"));
    EXPECT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})).rc, DSF_ERR_REPLY_LENGTH);
    st.script.push_back(Answer(DSF_MSG_READ | DSF_MSG_EXTRA, "11 22"));
    EXPECT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})).rc, DSF_ERR_REPLY_LENGTH) << "161 needs extra bytes";
    st.script.push_back(AnswerData(DSF_FT_REPLY_LAST, "00 03 00 00 07"));
    EXPECT_EQ(Run(ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})).rc, DSF_ERR_REPLY_LENGTH) << "shorter than a header";
}

// ---- Refusals before anything is sent -----------------------------------------------------------

TEST_F(DsfWire, ServiceAndConnectionChecks) {
    StationEntry *none = nullptr;
    auto step = [&](StationEntry **where, const std::vector<uint8_t> &request) {
        uint16_t action = 0;
        const int32_t rc = StepOnce(where, request, &action);
        EXPECT_EQ(action, Failed);
        return rc;
    };
    // A gate whose station was never connected: no handle, or no place for one.
    EXPECT_EQ(step(&none, {2, 0}), DSF_ERR_NOT_CONNECTED);
    EXPECT_EQ(step(&none, ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}})), DSF_ERR_NOT_CONNECTED);
    EXPECT_EQ(step(nullptr, {DSF_SVC_FETCH_EXTRA, 0}), DSF_ERR_NOT_CONNECTED);
    EXPECT_EQ(step(nullptr, ConnectStationRequest(2)), DSF_ERR_NO_STATION);
    StationEntry stranger = {2, 2, 0, 4096, 4100, 4096};
    StationEntry *foreign = &stranger;
    EXPECT_EQ(step(&foreign, {DSF_SVC_FETCH_EXTRA, 0}), DSF_ERR_NOT_CONNECTED) << "not an entry of this stack";

    ConnectOk();
    for (uint8_t service : {0, 2, 9, 11, 255}) {
        EXPECT_EQ(step(&handle, {service, 0}), DSF_ERR_SERVICE) << int(service);
    }
    EXPECT_EQ(dsf->state, DSF_IDLE);
}

TEST_F(DsfWire, RequestRecordsShorterThanWhatTheyDescribe) {
    ConnectOk();
    std::vector<uint8_t> threeClaimed = ReadWriteRequest({{1, 2, DSF_ACCESS_READ, {}}, {2, 2, DSF_ACCESS_READ, {}}});
    threeClaimed[1] = 3;
    std::vector<uint8_t> cutWrite = ReadWriteRequest({{1, 10, DSF_ACCESS_WRITE, std::vector<uint8_t>(10, 0x55)}});
    cutWrite.resize(cutWrite.size() - 1);
    std::vector<uint8_t> longNames = LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3));
    longNames[2] = 10;
    std::vector<uint8_t> manyNames = LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3));
    manyNames[1] = 200;
    std::vector<uint8_t> unterminated = TextRequest("hello");
    unterminated.pop_back();
    const std::vector<uint8_t> shortKey(17, 0x03);
    const std::vector<std::vector<uint8_t>> cases = {threeClaimed,
                                                     cutWrite,
                                                     longNames,
                                                     manyNames,
                                                     unterminated,
                                                     shortKey,
                                                     {DSF_SVC_READ_WRITE},
                                                     {DSF_SVC_CONNECT_STATION, 0}};
    for (size_t i = 0; i < cases.size(); ++i) {
        // Each record lives in a buffer of exactly its size, so a read past it would show under ASan.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[cases[i].size()]);
        memcpy(exact.get(), cases[i].data(), cases[i].size());
        uint16_t action = 0;
        EXPECT_EQ(StepOnce(&handle, exact.get(), static_cast<uint32_t>(cases[i].size()), &action), DSF_ERR_REPLY_BUFFER)
            << "case " << i;
        EXPECT_EQ(action, Failed);
    }
}

TEST_F(DsfWire, ReplyRecordMustFitBeforeAnythingIsSent) {
    ConnectOk();
    const uint8_t counter = dsf->messageCounter;
    const Outcome o = Run(ReadWriteRequest({{1, 10, DSF_ACCESS_READ, {}}}), 11);
    EXPECT_EQ(o.rc, DSF_ERR_REPLY_BUFFER);
    EXPECT_TRUE(st.sent.empty());
    EXPECT_EQ(dsf->messageCounter, counter + 1) << "refused after the message was built";
    st.script.push_back(Answer(DSF_MSG_READ, "00 01 02 03 04 05 06 07 08 09"));
    EXPECT_EQ(Run(ReadWriteRequest({{1, 10, DSF_ACCESS_READ, {}}}), 12).rc, 0);
    EXPECT_EQ(Run(ConnectStationRequest(2), 23).rc, DSF_ERR_REPLY_BUFFER);
}

TEST_F(DsfWire, MessagesLongerThanTheStationTakes) {
    ConnectOk();
    // 6 + 2 + 4090 = 4098 bytes; the station takes 4096.
    EXPECT_EQ(Run(ReadWriteRequest({{1, 4090, DSF_ACCESS_WRITE, {}}})).rc, DSF_ERR_MESSAGE_TOO_LONG);
    EXPECT_EQ(Run(TextRequest(std::string(4092, 'a'))).rc, DSF_ERR_MESSAGE_TOO_LONG);
    EXPECT_EQ(Run(LookupRequest(DSF_SVC_LOOKUP_HANDLES, {0}, std::string(4091, 'a'))).rc, DSF_ERR_MESSAGE_TOO_LONG);
    EXPECT_TRUE(st.sent.empty());
}

} // namespace
