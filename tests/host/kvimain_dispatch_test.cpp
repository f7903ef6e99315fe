// KviMain at the host boundary, through the real libkesta.so: which codes exist, which take the
// instance mutex, and how the ending flag short-cuts the reads.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kesta.h"
#include "host_test_util.h"
#include "support/hostlog.h"
#include "support/instance_block.h"

namespace {

const char kWaitFailedPrefix[] = "KESTA> ReqSem() ERROR requesting MUTEX semaphore ";

std::string WaitFailed(int error) { return kWaitFailedPrefix + std::to_string(error); }

bool AnyReqSemMessage(const std::vector<LoggedMessage> &messages) {
    for (const LoggedMessage &m : messages) {
        if (m.text.rfind("KESTA> ReqSem()", 0) == 0) {
            return true;
        }
    }
    return false;
}

class KviMainDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(hostlog::Attach(TALRUN_SO_PATH), nullptr);
        ASSERT_TRUE(driver_.loaded());
        ASSERT_FALSE(dir_.path().empty());
        // ColdStart, if it runs, looks for its init file in the current directory.
        ASSERT_EQ(getcwd(cwd_, sizeof cwd_), cwd_);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        hostlog::Clear();
    }
    void TearDown() override { ASSERT_EQ(chdir(cwd_), 0); }

    // A block as the host hands it over before ColdStart: zeroed, so no mutex handle.
    uint32_t Call(DriverInstance *instance, uint32_t code, void *arg = nullptr, uint32_t driverNumber = 1) {
        DriverCall call;
        memset(&call, 0, sizeof call);
        call.instance = instance;
        call.functionCode = code;
        call.driverNumber = driverNumber;
        call.argRecord = arg;
        return driver_.KviMain(&call);
    }

    DriverLibrary driver_{KESTA_SO_PATH};
    TempDir dir_;
    char cwd_[4096];
};

TEST_F(KviMainDispatch, CodesWithoutEntryPointAnswerTwoAndLogNothing) {
    for (uint32_t code : {0u, 8u, 9u, 16u, 17u, 18u, 255u, 0x80000000u, 0xFFFFFFFFu}) {
        DriverInstance instance;
        PrepareHostBlock(&instance);
        EXPECT_EQ(Call(&instance, code), 2u) << "code " << code;
    }
    EXPECT_TRUE(hostlog::Messages().empty());
}

// No record is an unknown operation; no instance block is a block without a mutex.
TEST_F(KviMainDispatch, MissingRecordOrBlock) {
    EXPECT_EQ(driver_.KviMain(nullptr), 2u);
    for (uint32_t code : {2u, 5u}) {
        hostlog::Clear();
        EXPECT_EQ(Call(nullptr, code), 1u) << "code " << code;
        EXPECT_EQ(hostlog::Messages(), (std::vector<LoggedMessage>{{32, WaitFailed(EBADF)}})) << "code " << code;
    }
}

// Only codes 2 to 6 wait for the mutex: on a block without one, exactly these fail in ReqSem with the
// invalid-handle error and never reach their entry point.
TEST_F(KviMainDispatch, OnlyCodesTwoToSixTakeTheMutex) {
    ScopedDriverNumber driverNumber(1); // ColdStart may create its mutex
    for (uint32_t code = 1; code <= 16; ++code) {
        DriverInstance instance;
        PrepareHostBlock(&instance);
        PortConfig portConfig;
        memset(&portConfig, 0, sizeof portConfig); // usePort 0: no port, no stack
        GateAddressRW gate;
        memset(&gate, 0, sizeof gate);
        gate.addressString = "001x";
        DriverInfo info;
        memset(&info, 0, sizeof info);
        ParamChange change;
        memset(&change, 0, sizeof change);
        strcpy(change.portName, "/nonexist"); // an open that fails
        void *arg = nullptr;
        switch (code) {
        case 1: arg = &portConfig; break;
        case 3:
        case 4:
        case 5:
        case 6:
        case 7: arg = &gate; break;
        case 14: arg = &info; break;
        case 15: arg = &change; break;
        default: break;
        }
        hostlog::Clear();
        const uint32_t result = Call(&instance, code, arg, driverNumber.number());
        const std::vector<LoggedMessage> messages = hostlog::Messages();
        if (code >= 2 && code <= 6) {
            EXPECT_EQ(result, 1u) << "code " << code;
            EXPECT_EQ(messages, (std::vector<LoggedMessage>{{32, WaitFailed(EBADF)}})) << "code " << code;
        } else {
            EXPECT_FALSE(AnyReqSemMessage(messages)) << "code " << code;
        }
    }
}

// After EndKvi: reads are answered 0 without the (closed) mutex; the other mutex codes fail in ReqSem.
TEST_F(KviMainDispatch, ReadsAfterEndKviAreAnsweredAtOnce) {
    DriverInstance instance;
    PrepareHostBlock(&instance);
    EXPECT_EQ(Call(&instance, 11), 0u); // EndKvi of a block that never ran: nothing to close
    EXPECT_EQ(uint32_t{instance.ending}, 1u);
    hostlog::Clear();
    for (uint32_t code : {5u, 6u}) {
        EXPECT_EQ(Call(&instance, code), 0u) << "code " << code;
    }
    EXPECT_TRUE(hostlog::Messages().empty());

    for (uint32_t code : {2u, 3u, 4u}) {
        hostlog::Clear();
        EXPECT_EQ(Call(&instance, code), 1u) << "code " << code;
        EXPECT_EQ(hostlog::Messages(), (std::vector<LoggedMessage>{{32, WaitFailed(EBADF)}})) << "code " << code;
    }
}

// A block the driver never started is not ended because its bytes say so: reads of an uncleared block
// are refused like every mutex code, never answered as done.
TEST_F(KviMainDispatch, AnEndingFlagTheDriverDidNotWriteIsNotBelieved) {
    for (const uint8_t fill : {0x01, 0xCD, 0xEE}) {
        DriverInstance instance;
        memset(&instance, fill, sizeof instance);
        for (uint32_t code : {5u, 6u, 2u}) {
            hostlog::Clear();
            EXPECT_EQ(Call(&instance, code), 1u) << "code " << code << " fill " << int{fill};
            EXPECT_EQ(hostlog::Messages(), (std::vector<LoggedMessage>{{32, WaitFailed(EBADF)}}));
        }
        hostlog::Clear();
        EXPECT_EQ(Call(&instance, 7), 1u) << "fill " << int{fill}; // a write: no run, nothing to write with
        EXPECT_TRUE(hostlog::Messages().empty());
    }
}

TEST_F(KviMainDispatch, BlockWriteIsRefusedWithADebugTrace) {
    DriverInstance instance;
    PrepareHostBlock(&instance);
    EXPECT_EQ(Call(&instance, 10), 1u);
    EXPECT_EQ(hostlog::Messages(), (std::vector<LoggedMessage>{{8, "KESTA> BlockWrite() NOT supported"}}));
}

} // namespace
