// Stack instance and configuration: parameter strings, station counts, the self check and the
// memory discipline (every release matches an allocation, also after any allocation failed).
#include <string.h>

#include <gtest/gtest.h>

#include "dsf_test_util.h"

namespace {

struct ParameterCase {
    const char *text;
    int sa, da, rc, tt, te, tq;
};

const ParameterCase kParameterCases[] = {
    {nullptr, 1, 127, 3, 500, 3000, 3000},
    {"", 1, 127, 3, 500, 3000, 3000},
    {"/sa=5/Rc=0/tt=200", 5, 127, 0, 200, 3000, 3000},
    {"/SA=300", 44, 127, 3, 500, 3000, 3000},
    {"/SA=-2", 254, 127, 3, 500, 3000, 3000},
    {"/RC=-1", 1, 127, 3, 500, 3000, 3000},
    {"/TT=", 1, 127, 3, 500, 3000, 3000},
    {"/SA5", 1, 127, 3, 500, 3000, 3000},
    {"/XY=5", 1, 127, 3, 500, 3000, 3000},
    {"//SA=7", 7, 127, 3, 500, 3000, 3000},
    {"/TT=abc", 1, 127, 3, 500, 3000, 3000},
    {"/TT=200ms", 1, 127, 3, 200, 3000, 3000},
    {"/TT= 250/te=+40", 1, 127, 3, 250, 40, 3000},
    {"/da=9/DA=300/tq=7", 1, 44, 3, 500, 3000, 7},
    {"/SA=5/SA=9", 9, 127, 3, 500, 3000, 3000},
    {"/SA=1/RC=3/TT=200/TE=200/TQ=200", 1, 127, 3, 200, 200, 200},
    {"junk/S/T/TX=1/R", 1, 127, 3, 500, 3000, 3000},
    {"/TT=99999999999", 1, 127, 3, 2147483647, 3000, 3000},
    {"/TT=-99999999999", 1, 127, 3, -2147483647 - 1, 3000, 3000},
    // 51 characters of value text are read, 52 are refused; scanning goes on behind them.
    {"/TT=123456789012345678901234567890123456789012345678901/RC=5", 1, 127, 5, 2147483647, 3000, 3000},
    {"/TT=1234567890123456789012345678901234567890123456789012/RC=5", 1, 127, 5, 500, 3000, 3000},
    {"/TT=7                                                  /RC=6", 1, 127, 6, 7, 3000, 3000},
    {"/TT=7                                                   /RC=6", 1, 127, 6, 500, 3000, 3000},
    {"/SA=", 1, 127, 3, 500, 3000, 3000},
    {"/", 1, 127, 3, 500, 3000, 3000},
    {"/S", 1, 127, 3, 500, 3000, 3000},
};

class DsfParameters : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(DsfParameters, SetsFieldsOrLeavesDefaults) {
    const ParameterCase &c = GetParam();
    Stack s(2, c.text);
    ASSERT_EQ(s.configureResult, 0);
    EXPECT_EQ(s.dsf->ownAddress, c.sa);
    EXPECT_EQ(s.dsf->stations[0].stationAddress, c.da);
    EXPECT_EQ(s.dsf->stations[1].stationAddress, 127); // DA only names the first entry
    EXPECT_EQ(s.dsf->retryLimit, c.rc);
    EXPECT_EQ(s.dsf->timeoutTT, c.tt);
    EXPECT_EQ(s.dsf->timeoutTE, c.te);
    EXPECT_EQ(s.dsf->timeoutTQ, c.tq);
}

INSTANTIATE_TEST_SUITE_P(Dsf, DsfParameters, ::testing::ValuesIn(kParameterCases));

TEST(DsfParseValue, ReadsLikePercentLd) {
    struct {
        const char *text;
        int32_t value;
    } const cases[] = {
        {"A=5", 5},    {"A=-1", -1}, {"A5", -1}, {"A=", -1}, {"A=/5", -1},   {"A= 7/B=1", 7}, {"A=-0", 0},
        {"A=- 3", -1}, {"A=+", -1},  {"", -1},   {"A", -1},  {"A=12x3", 12}, {"A=\t\n9", 9},  {"A=0042", 42},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(dsf_parse_value(c.text), c.value) << c.text;
    }
    EXPECT_EQ(dsf_parse_value(nullptr), -1);
}

TEST(DsfConfigure, ReportsFrameSizesAndStationDefaults) {
    AllocLedger::Get().Reset();
    DsfInstance *dsf = nullptr;
    ASSERT_EQ(dsf_create(3, LedgerAlloc, LedgerRelease, &dsf), 0);
    uint16_t rx = 0;
    uint16_t tx = 0;
    ASSERT_EQ(dsf_configure(dsf, nullptr, &rx, &tx), 0);
    EXPECT_EQ(rx, 518);
    EXPECT_EQ(tx, 518);
    EXPECT_EQ(dsf->self, dsf);
    EXPECT_EQ(dsf->state, DSF_IDLE);
    EXPECT_EQ(dsf->bufferSize, 4096u);
    for (int i = 0; i < 3; ++i) {
        const StationEntry &e = dsf->stations[i];
        EXPECT_EQ(e.connectState, 0);
        EXPECT_EQ(e.stationAddress, 127);
        EXPECT_EQ(e.sequence, 0);
        EXPECT_EQ(e.maxMessage, 4096u);
        EXPECT_EQ(e.maxReassembly, 4100u);
    }
    // The three message buffers and their sizes, as the ledger saw them.
    std::map<void *, uint32_t> &live = AllocLedger::Get().live;
    EXPECT_EQ(live[dsf->requestBuffer], 4096u);
    EXPECT_EQ(live[dsf->pendingBuffer], 4100u);
    EXPECT_EQ(live[dsf->reassemblyBuffer], 4100u);
    EXPECT_EQ(live[dsf->stations], 3 * sizeof(StationEntry));

    // A second configuration starts afresh without leaking the first buffers.
    ASSERT_EQ(dsf_configure(dsf, "/SA=4", nullptr, nullptr), 0);
    EXPECT_EQ(live.size(), 5u);
    EXPECT_EQ(dsf->ownAddress, 4);
    dsf_destroy(dsf);
    EXPECT_TRUE(AllocLedger::Get().live.empty());
    EXPECT_TRUE(AllocLedger::Get().faults.empty());
    AllocLedger::Get().Reset();
}

TEST(DsfCreate, StationCounts) {
    struct {
        uint16_t count;
        int32_t result;
    } const cases[] = {
        {0, DSF_ERR_STATION_COUNT}, {1, 0}, {255, 0}, {256, DSF_ERR_STATION_COUNT}, {65535, DSF_ERR_STATION_COUNT}};
    for (const auto &c : cases) {
        AllocLedger::Get().Reset();
        DsfInstance *dsf = nullptr;
        EXPECT_EQ(dsf_create(c.count, LedgerAlloc, LedgerRelease, &dsf), c.result) << c.count;
        ASSERT_NE(dsf, nullptr) << "the record is handed out even when the count is refused";
        EXPECT_EQ(dsf->stationCount, c.result == 0 ? c.count : 0);
        dsf_destroy(dsf);
        EXPECT_TRUE(AllocLedger::Get().live.empty()) << c.count;
        EXPECT_TRUE(AllocLedger::Get().faults.empty()) << c.count;
    }
    AllocLedger::Get().Reset();
    DsfInstance *dsf = reinterpret_cast<DsfInstance *>(1);
    EXPECT_EQ(dsf_create(1, nullptr, LedgerRelease, &dsf), DSF_ERR_NO_MEMORY);
    EXPECT_EQ(dsf, nullptr);
    EXPECT_EQ(dsf_create(1, LedgerAlloc, LedgerRelease, nullptr), DSF_ERR_NO_MEMORY);
    dsf_destroy(nullptr);
}

// Allocations of create + configure: record, station table, pending, request, reassembly buffer.
TEST(DsfCreate, EveryAllocationFailureLeavesARecordThatDestroysCleanly) {
    const int32_t expected[] = {DSF_ERR_NO_MEMORY, DSF_ERR_NO_MEMORY, DSF_ERR_BUFFER, DSF_ERR_BUFFER, DSF_ERR_BUFFER};
    for (int failAt = 0; failAt < 5; ++failAt) {
        AllocLedger &ledger = AllocLedger::Get();
        ledger.Reset();
        ledger.failAt = failAt;
        DsfInstance *dsf = nullptr;
        int32_t rc = dsf_create(4, LedgerAlloc, LedgerRelease, &dsf);
        if (rc == 0) {
            rc = dsf_configure(dsf, "/SA=1", nullptr, nullptr);
        }
        EXPECT_EQ(rc, expected[failAt]) << "allocation " << failAt;
        if (failAt >= 2) {
            // A stack whose buffers are missing refuses requests instead of using them.
            StationEntry *handle = nullptr;
            uint8_t reply[32];
            uint32_t replyLength = sizeof reply;
            uint8_t tx[DSF_MAX_FRAME];
            uint16_t txLength = sizeof tx;
            uint16_t action = 0;
            int32_t timeout = 0;
            const std::vector<uint8_t> request = ConnectStationRequest(2);
            EXPECT_EQ(dsf_step(dsf, &handle, request.data(), 3, reply, &replyLength, tx, &txLength, nullptr, 0, &action,
                               &timeout),
                      DSF_ERR_BUFFER);
            EXPECT_EQ(action, Failed);
        }
        dsf_destroy(dsf);
        EXPECT_TRUE(ledger.live.empty()) << "allocation " << failAt << ": " << ledger.live.size() << " left";
        EXPECT_TRUE(ledger.faults.empty()) << "allocation " << failAt << ": " << ledger.faults.front();
        EXPECT_EQ(ledger.attempts, failAt + 1) << "nothing is tried after the first failure";
    }
    AllocLedger::Get().Reset();
}

TEST(DsfInstance, SelfCheck) {
    Stack s;
    ASSERT_EQ(s.configureResult, 0);
    s.dsf->self = nullptr;
    EXPECT_EQ(dsf_configure(s.dsf, nullptr, nullptr, nullptr), DSF_ERR_INSTANCE);
    uint16_t action = 0;
    EXPECT_EQ(dsf_step(s.dsf, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, &action, nullptr),
              DSF_ERR_INSTANCE);
    EXPECT_EQ(dsf_configure(nullptr, nullptr, nullptr, nullptr), DSF_ERR_INSTANCE);
    s.dsf->self = s.dsf;
}

} // namespace
