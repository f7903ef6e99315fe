// The callers' request builder and reply reader: records byte for byte as the stack reads them, room
// checked against the record, any number of items; the stack carries what the builder wrote in both
// item-head forms, and the reader takes the reply apart item by item.
#include <string.h>

#include <gtest/gtest.h>

#include "dsf/dsf_internal.h"
#include "dsf/dsf_request.h"
#include "dsf_test_util.h"
#include "support/golden.h"

namespace {

// The builder's record up to the bytes in use, with the rest checked to be cleared.
std::vector<uint8_t> Used(const std::vector<uint8_t> &record, uint32_t used) {
    for (size_t i = used; i < record.size(); ++i) {
        EXPECT_EQ(record[i], 0) << "byte " << i << " behind the request";
    }
    return std::vector<uint8_t>(record.begin(), record.begin() + used);
}

std::vector<uint8_t> Build(const std::vector<Item> &items, size_t recordSize = DSF_REQUEST_SIZE) {
    std::vector<uint8_t> record(recordSize, 0xEE);
    DsfRequestBuilder b = dsf_request_begin(record.data(), static_cast<uint32_t>(record.size()), DSF_SVC_READ_WRITE);
    for (const Item &item : items) {
        dsf_request_put_item(&b, item.handle, item.length, item.access, item.data.data());
    }
    const uint32_t used = dsf_request_end(&b);
    return used == 0 ? std::vector<uint8_t>() : Used(record, used);
}

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) {
        data[i] = static_cast<uint8_t>(first + i);
    }
    return data;
}

TEST(DsfRequestBuilder, ItemsInRecordOrderAsTheStackReadsThem) {
    struct {
        const char *what;
        std::vector<Item> items;
    } const cases[] = {
        {"one read", {{0x3412, 2, DSF_ACCESS_READ, {}}}},
        {"one write, odd length with its pad", {{0x0007, 3, DSF_ACCESS_WRITE, {0xAA, 0xBB, 0xCC}}}},
        {"read and write of one item", {{0x0009, 2, DSF_ACCESS_READ_WRITE, {0x12, 0x34}}}},
        {"many reads",
         {{1, 2, DSF_ACCESS_READ, {}},
          {2, 4, DSF_ACCESS_READ, {}},
          {3, 1, DSF_ACCESS_READ, {}},
          {4, 12, DSF_ACCESS_READ, {}},
          {5, 0, DSF_ACCESS_READ, {}}}},
        {"reads and writes mixed",
         {{1, 1, DSF_ACCESS_WRITE, {0x00}},
          {2, 2, DSF_ACCESS_READ, {}},
          {3, 5, DSF_ACCESS_READ_WRITE, Bytes(5, 0xA0)}}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(HexText(Build(c.items)), HexText(ReadWriteRequest(c.items))) << c.what;
    }
    // Host order in the head: the record a one-item read of handle bytes 12 34 is, as the stack reads it.
    EXPECT_EQ(HexText(Build({{0x3412, 2, DSF_ACCESS_READ, {}}})), HexNorm("04 01 12 34 00 00 02 00 01 00"));
}

TEST(DsfRequestBuilder, RoomIsCheckedAgainstTheRecord) {
    const Item read = {1, 2, DSF_ACCESS_READ, {}};
    const Item write = {2, 3, DSF_ACCESS_WRITE, {1, 2, 3}};
    // 2 bytes of service and count, 8 a read item, 8 + 4 the write of 3 bytes with its pad.
    EXPECT_EQ(Build({read, read}, 18).size(), 18u);
    EXPECT_TRUE(Build({read, read}, 17).empty());
    EXPECT_EQ(Build({write}, 14).size(), 14u);
    EXPECT_TRUE(Build({write}, 13).empty()) << "the pad byte needs its room too";
    EXPECT_TRUE(Build({read}, 1).empty());

    // The count byte holds 255 items; a 256th is refused even where the record has room.
    EXPECT_EQ(Build(std::vector<Item>(255, read), 4096).size(), 2u + 255 * 8);
    EXPECT_TRUE(Build(std::vector<Item>(256, read), 4096).empty());

    // Once a field did not fit, nothing more is written, even a field that would.
    uint8_t record[12];
    DsfRequestBuilder b = dsf_request_begin(record, sizeof record, DSF_SVC_READ_WRITE);
    dsf_request_put_item(&b, 7, 2, DSF_ACCESS_READ, nullptr);
    dsf_request_put_item(&b, 8, 2, DSF_ACCESS_READ, nullptr);
    EXPECT_EQ(b.count, 1u);
    EXPECT_EQ(record[1], 1);
    EXPECT_EQ(dsf_request_end(&b), 0u);
    EXPECT_EQ(dsf_request_begin(nullptr, 0, DSF_SVC_READ_WRITE).record.ok, false);
}

TEST(DsfRequestBuilder, FieldsOutsideTheirServiceAreRefused) {
    uint8_t record[64];
    struct {
        const char *what;
        uint8_t service;
        void (*put)(DsfRequestBuilder *);
    } const cases[] = {
        {"an item in a lookup", DSF_SVC_LOOKUP_OBJECTS,
         [](DsfRequestBuilder *b) { dsf_request_put_item(b, 1, 2, DSF_ACCESS_READ, nullptr); }},
        {"a station in a ReadWrite", DSF_SVC_READ_WRITE, [](DsfRequestBuilder *b) { dsf_request_put_station(b, 2); }},
        {"a name in a connect", DSF_SVC_CONNECT_STATION,
         [](DsfRequestBuilder *b) { dsf_request_put_name(b, "ab", 0); }},
        {"an access of 0", DSF_SVC_READ_WRITE, [](DsfRequestBuilder *b) { dsf_request_put_item(b, 1, 2, 0, nullptr); }},
        {"an access of 4", DSF_SVC_READ_WRITE, [](DsfRequestBuilder *b) { dsf_request_put_item(b, 1, 2, 4, nullptr); }},
        {"a write without its data", DSF_SVC_READ_WRITE,
         [](DsfRequestBuilder *b) { dsf_request_put_item(b, 1, 2, DSF_ACCESS_WRITE, nullptr); }},
        {"two names", DSF_SVC_LOOKUP_OBJECTS,
         [](DsfRequestBuilder *b) {
             dsf_request_put_name(b, "ab", 0);
             dsf_request_put_name(b, "cd", 0);
         }},
        {"two stations", DSF_SVC_CONNECT_STATION,
         [](DsfRequestBuilder *b) {
             dsf_request_put_station(b, 2);
             dsf_request_put_station(b, 3);
         }},
        {"a null name", DSF_SVC_LOOKUP_OBJECTS, [](DsfRequestBuilder *b) { dsf_request_put_name(b, nullptr, 0); }},
    };
    for (const auto &c : cases) {
        DsfRequestBuilder b = dsf_request_begin(record, sizeof record, c.service);
        c.put(&b);
        EXPECT_EQ(dsf_request_end(&b), 0u) << c.what;
    }
    // A write of no data needs none.
    DsfRequestBuilder b = dsf_request_begin(record, sizeof record, DSF_SVC_READ_WRITE);
    dsf_request_put_item(&b, 1, 0, DSF_ACCESS_WRITE, nullptr);
    EXPECT_EQ(dsf_request_end(&b), 10u);
}

TEST(DsfRequestBuilder, StationAndName) {
    std::vector<uint8_t> record(DSF_REQUEST_SIZE, 0xEE);
    DsfRequestBuilder connect = dsf_request_begin(record.data(), DSF_REQUEST_SIZE, DSF_SVC_CONNECT_STATION);
    dsf_request_put_station(&connect, 0xC8);
    EXPECT_EQ(HexText(Used(record, dsf_request_end(&connect))), HexNorm("0A 00 C8 00 00 00 00 00"));

    DsfRequestBuilder lookup = dsf_request_begin(record.data(), DSF_REQUEST_SIZE, DSF_SVC_LOOKUP_OBJECTS);
    dsf_request_put_name(&lookup, "ab", 0);
    EXPECT_EQ(HexText(Used(record, dsf_request_end(&lookup))),
              HexText(LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3))));

    DsfRequestBuilder handles = dsf_request_begin(record.data(), DSF_REQUEST_SIZE, DSF_SVC_LOOKUP_HANDLES);
    dsf_request_put_name(&handles, "x", 4);
    EXPECT_EQ(HexText(Used(record, dsf_request_end(&handles))), HexNorm("05 01 02 00 04 00 78 00"));

    // The name and its NUL must fit behind the six leading bytes: 1993 characters in 2000 bytes.
    const std::string longest(1993, 'n');
    DsfRequestBuilder fits = dsf_request_begin(record.data(), DSF_REQUEST_SIZE, DSF_SVC_LOOKUP_OBJECTS);
    dsf_request_put_name(&fits, longest.c_str(), 0);
    EXPECT_EQ(dsf_request_end(&fits), 2000u);
    const std::string tooLong(1994, 'n');
    DsfRequestBuilder over = dsf_request_begin(record.data(), DSF_REQUEST_SIZE, DSF_SVC_LOOKUP_OBJECTS);
    dsf_request_put_name(&over, tooLong.c_str(), 0);
    EXPECT_EQ(dsf_request_end(&over), 0u);
}

// ---- Through the stack ---------------------------------------------------------------------------

// A read of several items from the builder, sent in the item-head form the connect settled and answered
// with the data of each, then read back item by item.
TEST_F(DsfWire, GroupedReadInBothItemHeadForms) {
    struct {
        const char *what;
        const char *objects;
        const char *message; // as sent, counter 02
    } const forms[] = {
        {"short heads", golden::kConnectObjectsShortHeads, "00 00 02 21 00 03 12 34 05 00 07 00"},
        {"long heads", golden::kConnectObjectsLongHeads,
         "00 00 02 31 00 03 12 34 00 00 02 00 05 00 00 00 03 00 07 00 00 00 04 00"},
    };
    for (const auto &form : forms) {
        SCOPED_TRACE(form.what);
        Open(1, "/SA=1");
        ConnectOk(form.objects);
        uint8_t request[DSF_REQUEST_SIZE];
        DsfRequestBuilder b = dsf_request_begin(request, sizeof request, DSF_SVC_READ_WRITE);
        dsf_request_put_item(&b, 0x3412, 2, DSF_ACCESS_READ, nullptr);
        dsf_request_put_item(&b, 0x0005, 3, DSF_ACCESS_READ, nullptr);
        dsf_request_put_item(&b, 0x0007, 4, DSF_ACCESS_READ, nullptr);
        ASSERT_NE(dsf_request_end(&b), 0u);
        // The data of each item, even-padded, one after the other.
        st.script.push_back(Answer(DSF_MSG_READ | (dsf->itemMode ? 0x10 : 0), "AB CD 01 02 03 00 11 22 33 44"));
        const Outcome o = Run(std::vector<uint8_t>(request, request + sizeof request));
        ASSERT_EQ(o.rc, 0);
        EXPECT_EQ(SentMessage(0), HexNorm(form.message));
        EXPECT_EQ(o.replyLength, 2u + 2 + 2 + 4 + 2 + 4);

        DsfReplyReader r = dsf_reply_reader(request, sizeof request, reply, o.replyLength);
        const struct {
            uint32_t handle;
            const char *data;
        } expected[] = {{0x3412, "AB CD"}, {0x0005, "01 02 03"}, {0x0007, "11 22 33 44"}};
        for (const auto &e : expected) {
            DsfReplyItem item;
            ASSERT_TRUE(dsf_reply_next_item(&r, &item));
            EXPECT_EQ(item.handle, e.handle);
            EXPECT_EQ(item.access, DSF_ACCESS_READ);
            EXPECT_EQ(item.status, 0);
            EXPECT_EQ(HexText(get_span(&item.data, item.length), item.length), HexNorm(e.data));
            EXPECT_EQ(dsf_left(&item.data), 0u) << "the pad byte is not data";
        }
        DsfReplyItem none;
        EXPECT_FALSE(dsf_reply_next_item(&r, &none)) << "three items asked, three read";
    }
}

TEST_F(DsfWire, WriteThenReadComesBackAsOneRecord) {
    ConnectOk();
    uint8_t request[DSF_REQUEST_SIZE];
    const uint8_t value[] = {0xAA, 0xBB, 0xCC};
    DsfRequestBuilder b = dsf_request_begin(request, sizeof request, DSF_SVC_READ_WRITE);
    dsf_request_put_item(&b, 0x0001, 3, DSF_ACCESS_WRITE, value);
    dsf_request_put_item(&b, 0x0002, 2, DSF_ACCESS_READ, nullptr);
    ASSERT_NE(dsf_request_end(&b), 0u);
    st.script.push_back(Answer(DSF_MSG_WRITE, ""));
    st.script.push_back(Answer(DSF_MSG_READ, "12 34"));
    const Outcome o = Run(std::vector<uint8_t>(request, request + sizeof request));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(SentMessage(0), HexNorm("00 00 02 22 00 01 01 00 AA BB CC 00"));
    EXPECT_EQ(SentMessage(1), HexNorm("00 00 03 21 00 01 02 00"));

    DsfReplyReader r = dsf_reply_reader(request, sizeof request, reply, o.replyLength);
    DsfReplyItem write;
    DsfReplyItem read;
    ASSERT_TRUE(dsf_reply_next_item(&r, &write));
    EXPECT_EQ(write.access, DSF_ACCESS_WRITE);
    EXPECT_EQ(write.status, 0);
    EXPECT_EQ(dsf_left(&write.data), 0u) << "a write brings no data back";
    ASSERT_TRUE(dsf_reply_next_item(&r, &read));
    EXPECT_EQ(get_be16(&read.data), 0x1234);
}

// ---- Reply records as callers get them ------------------------------------------------------------

TEST(DsfReplyReader, StatusAndDataPerSlot) {
    const std::vector<uint8_t> request = ReadWriteRequest(
        {{1, 3, DSF_ACCESS_READ, {}}, {2, 1, DSF_ACCESS_WRITE, {9}}, {3, 2, DSF_ACCESS_READ_WRITE, {7, 7}}});
    // Slots: status + 4 (3 read, padded), status, status + 2.
    std::vector<uint8_t> reply = HexBytes("00 00 A1 A2 A3 00  2A 00  00 00 B1 B2");
    struct {
        const char *what;
        uint16_t access;
        uint16_t status;
        const char *data;
    } const expected[] = {{"read", DSF_ACCESS_READ, 0, "A1 A2 A3"},
                          {"write refused", DSF_ACCESS_WRITE, 42, ""},
                          {"read and write", DSF_ACCESS_READ_WRITE, 0, "B1 B2"}};
    DsfReplyReader r = dsf_reply_reader(request.data(), static_cast<uint32_t>(request.size()), reply.data(),
                                        static_cast<uint32_t>(reply.size()));
    for (const auto &e : expected) {
        DsfReplyItem item;
        ASSERT_TRUE(dsf_reply_next_item(&r, &item)) << e.what;
        EXPECT_EQ(item.access, e.access) << e.what;
        EXPECT_EQ(item.status, e.status) << e.what;
        const uint32_t n = dsf_left(&item.data);
        EXPECT_EQ(n == 0 ? std::string() : HexText(get_span(&item.data, n), n), HexNorm(e.data)) << e.what;
    }

    // A reply record that ends inside a slot is no answer for that item.
    const struct {
        uint32_t length;
        int whole; // items read before the record ends inside one
    } cuts[] = {{12, 3}, {11, 2}, {8, 2}, {7, 1}, {6, 1}, {5, 0}, {1, 0}, {0, 0}};
    for (const auto &c : cuts) {
        DsfReplyReader shortReply =
            dsf_reply_reader(request.data(), static_cast<uint32_t>(request.size()), reply.data(), c.length);
        DsfReplyItem item;
        int whole = 0;
        while (dsf_reply_next_item(&shortReply, &item)) {
            ++whole;
        }
        EXPECT_EQ(whole, c.whole) << "reply record of " << c.length << " bytes";
    }
    // A request record that ends inside an item, or a request without items.
    DsfReplyReader cutRequest = dsf_reply_reader(request.data(), 8, reply.data(), static_cast<uint32_t>(reply.size()));
    DsfReplyItem item;
    EXPECT_FALSE(dsf_reply_next_item(&cutRequest, &item));
    const std::vector<uint8_t> empty = ReadWriteRequest({});
    DsfReplyReader none = dsf_reply_reader(empty.data(), 2, reply.data(), static_cast<uint32_t>(reply.size()));
    EXPECT_FALSE(dsf_reply_next_item(&none, &item));
}

TEST(DsfReplyReader, LookupObjectFields) {
    const std::vector<uint8_t> request = LookupRequest(DSF_SVC_LOOKUP_OBJECTS, {0}, std::string("ab\0", 3));
    std::vector<uint8_t> reply(2);
    const LookupObjectRecord record = {0, 0x1234, 1, 8, 5, 2, 4, 3};
    reply.resize(2 + sizeof record);
    memcpy(reply.data() + 2, &record, sizeof record);
    DsfReplyReader r = dsf_reply_reader(request.data(), static_cast<uint32_t>(request.size()), reply.data(),
                                        static_cast<uint32_t>(reply.size()));
    EXPECT_EQ(dsf_reply_list_status(&r), 0);
    LookupObjectRecord got;
    memset(&got, 0xEE, sizeof got);
    ASSERT_TRUE(dsf_reply_next_object(&r, &got));
    // Every field has a value of its own: a field read out of its place shows.
    EXPECT_EQ(0, memcmp(&got, &record, sizeof record));
    EXPECT_FALSE(dsf_reply_next_object(&r, &got)) << "one name asked";

    DsfReplyReader cut = dsf_reply_reader(request.data(), static_cast<uint32_t>(request.size()), reply.data(), 25);
    dsf_reply_list_status(&cut);
    EXPECT_FALSE(dsf_reply_next_object(&cut, &got)) << "a record cut short";
}

} // namespace
