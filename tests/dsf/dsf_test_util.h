// Test scaffolding for the Net2000 stack: a ledger allocator that checks every release against its
// allocation and can refuse any one allocation, a configured stack, request records, and a scripted
// in-memory station driven through dsf_step exactly as the transport loop drives it.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dsf/dsf_internal.h"
#include "support/golden.h"
#include "support/hex.h"

// ---- Allocation ledger ----------------------------------------------------------------------------
struct AllocLedger {
    std::map<void *, uint32_t> live;
    int attempts = 0;                // allocation attempts since Reset
    int failAt = -1;                 // this attempt (0-based) is refused; -1: none
    std::vector<std::string> faults; // releases that match no allocation, or with the wrong size

    static AllocLedger &Get();
    void Reset();
};
void *LedgerAlloc(uint32_t size);
void LedgerRelease(void *block, uint32_t size);

// ---- A stack to test --------------------------------------------------------------------------------
struct Stack {
    DsfInstance *dsf = nullptr;
    int32_t createResult = -1;
    int32_t configureResult = -1;

    explicit Stack(uint16_t stations = 1, const char *parameters = "/SA=1/RC=3/TT=200/TE=300/TQ=400");
    ~Stack();
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;
};

// ---- Request records (host byte order, as callers build them) ------------------------------------
struct Item {
    uint16_t handle;
    uint16_t length;
    uint16_t access;
    std::vector<uint8_t> data; // written behind the head for access 2 and 3 (padded to even)
};
std::vector<uint8_t> ConnectStationRequest(uint8_t address);
std::vector<uint8_t> ReadWriteRequest(const std::vector<Item> &items);
// Services 5 and 7: names area as given (blanks included), one expected length per name.
std::vector<uint8_t> LookupRequest(uint8_t service, const std::vector<uint16_t> &expected, const std::string &names);
std::vector<uint8_t> TextRequest(const std::string &text);
uint16_t H16(const uint8_t *at);
uint32_t H32(const uint8_t *at);

// ---- Scripted station --------------------------------------------------------------------------
struct SentFrame {
    std::vector<uint8_t> bytes;
    uint8_t destination = 0;
    uint8_t source = 0;
    uint8_t type = 0;
    uint8_t sequence = 0;
    std::vector<uint8_t> data; // the frame's data words, pad included
    bool checksumsOk = false;
};

struct ScriptedStation;
// Answers one frame the master sent: the chunks the line delivers, the first with the read that
// follows the sending, the others one per Receive. No chunks: silence.
using Responder = std::function<std::vector<std::vector<uint8_t>>(const SentFrame &, ScriptedStation &)>;

struct ScriptedStation {
    uint8_t address = 2;
    uint8_t master = 1;
    uint8_t counter = 0;          // message counter of the request being answered
    bool midRequest = false;      // between RequestMore segments
    std::deque<Responder> script; // one responder per frame sent; when empty the station is silent
    std::deque<std::vector<uint8_t>> waiting;
    std::vector<SentFrame> sent;
    std::vector<uint16_t> actions;
    std::vector<int32_t> timeouts; // reported with each SendReceive

    // A station frame answering `to` (its sequence number echoed), data as given.
    std::vector<uint8_t> Frame(const SentFrame &to, uint8_t type, const std::vector<uint8_t> &data) const;
    // Reply message 00 00 counter code body.
    std::vector<uint8_t> Message(uint8_t code, const std::vector<uint8_t> &body) const;
    void Observe(const SentFrame &frame);
};

std::vector<uint8_t> Prefixed(const std::vector<uint8_t> &message); // 2-byte length prefix + message
Responder Answer(uint8_t code, const std::string &bodyHex, uint8_t type = DSF_FT_REPLY_LAST);
Responder AnswerData(uint8_t type, const std::string &dataHex); // frame data exactly as given
Responder AnswerBytes(const std::vector<std::vector<uint8_t>> &chunks);
Responder Silence();
Responder NextSegmentPlease(); // NextRequestSegment with a zero prefix

struct Outcome {
    int32_t rc = -1;
    uint16_t action = 0;
    uint32_t replyLength = 0;
    int steps = 0;
};

Outcome RunRequest(DsfInstance *dsf, StationEntry **handle, const std::vector<uint8_t> &request, uint8_t *reply,
                   uint32_t capacity, ScriptedStation &station, int maxSteps = 2000);

// Connects station `address` on `handle` with a connect reply whose objects 2, 4, 5 and 6 are as given.
Outcome Connect(DsfInstance *dsf, StationEntry **handle, uint8_t address, ScriptedStation &station,
                const std::string &objectsHex = golden::kConnectObjectsShortHeads);

// ---- Fixture: a configured stack and one scripted station on an in-memory line -------------------
class DsfWire : public ::testing::Test {
protected:
    std::unique_ptr<Stack> stack;
    DsfInstance *dsf = nullptr;
    ScriptedStation st;
    StationEntry *handle = nullptr;
    uint8_t reply[8192];

    void SetUp() override { Open(1, "/SA=1/RC=3/TT=200/TE=300/TQ=400"); }
    void TearDown() override { stack.reset(); }

    void Open(uint16_t stations, const char *parameters) {
        stack.reset();
        stack.reset(new Stack(stations, parameters));
        ASSERT_EQ(stack->configureResult, 0);
        dsf = stack->dsf;
        handle = nullptr;
        st = ScriptedStation();
    }

    Outcome Run(const std::vector<uint8_t> &request, uint32_t capacity = 4000) {
        st.actions.clear();
        st.sent.clear();
        st.timeouts.clear();
        return RunRequest(dsf, &handle, request, reply, capacity, st);
    }

    // Connects station 2; objects as the station reports them (default: short heads, 4096 bytes).
    void ConnectOk(const std::string &objects = golden::kConnectObjectsShortHeads, uint8_t address = 2) {
        st.address = address;
        st.script.push_back(Answer(DSF_MSG_READ, objects));
        const Outcome o = Run(ConnectStationRequest(address), 64);
        ASSERT_EQ(o.rc, 0);
        ASSERT_EQ(o.action, Done);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(handle->connectState, 2);
    }

    // The request message carried by sent frame i (behind its length prefix, pad dropped).
    std::string SentMessage(size_t i) const {
        const std::vector<uint8_t> &d = st.sent.at(i).data;
        if (d.size() < 2) {
            return "";
        }
        const bool longPrefix = (d[0] & 0x80) != 0;
        const size_t prefix = longPrefix ? 4 : 2;
        const size_t length = longPrefix
                                  ? ((size_t(d[0] & 0x7F) << 24) | (size_t(d[1]) << 16) | (size_t(d[2]) << 8) | d[3])
                                  : (size_t(d[0]) << 8 | d[1]);
        const size_t shown = std::min(length, d.size() - prefix);
        return HexText(d.data() + prefix, shown);
    }

    std::string Reply(size_t length) const { return HexText(reply, length); }

    // One step with nothing received; the request record is handed over with the size given.
    int32_t StepOnce(StationEntry **where, const uint8_t *request, uint32_t size, uint16_t *action,
                     uint16_t txCapacity = DSF_MAX_FRAME, uint8_t *txBuffer = nullptr) {
        uint8_t tx[DSF_MAX_FRAME];
        uint32_t replyLength = 4000;
        int32_t timeout = 0;
        return dsf_step(dsf, where, request, size, reply, &replyLength, txBuffer != nullptr ? txBuffer : tx,
                        &txCapacity, nullptr, 0, action, &timeout);
    }
    int32_t StepOnce(StationEntry **where, const std::vector<uint8_t> &request, uint16_t *action) {
        return StepOnce(where, request.data(), static_cast<uint32_t>(request.size()), action);
    }
};
