// The host runtime: how libkesta.so binds it (never from the global scope, falling back to standard
// error) and what the reference runtime libtalrun.so does with the calls it receives.
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kesta.h"
#include "host_test_util.h"
#include "platform/talrun.h"
#include "support/hostlog.h"
#include "support/instance_block.h"

namespace {

// Runs BlockWrite in a private copy of the driver bound to `runtime`, and returns what went to
// standard error. BlockWrite's only effect is its level-8 message.
std::string BlockWriteWithRuntime(const char *runtime, uint32_t *result) {
    TempDir dir;
    const char *before = getenv("KESTA_TALRUN");
    const std::string saved = before != nullptr ? before : "";
    setenv("KESTA_TALRUN", runtime, 1);
    std::string text;
    {
        DriverLibrary driver(dir, KESTA_SO_PATH, "libkesta-copy.so");
        EXPECT_TRUE(driver.loaded());
        DriverInstance instance;
        PrepareHostBlock(&instance);
        DriverCall call;
        memset(&call, 0, sizeof call);
        call.instance = &instance;
        call.functionCode = 10;
        StderrCapture capture(dir);
        *result = driver.loaded() ? driver.KviMain(&call) : 99;
        text = capture.Text();
    }
    setenv("KESTA_TALRUN", saved.c_str(), 1);
    return text;
}

TEST(HostRuntimeBinding, DriverMessagesReachTheRuntimeWithTheirLevel) {
    ASSERT_NE(hostlog::Attach(TALRUN_SO_PATH), nullptr);
    hostlog::Clear();
    DriverLibrary driver(KESTA_SO_PATH);
    ASSERT_TRUE(driver.loaded());
    DriverInstance instance;
    PrepareHostBlock(&instance);
    DriverCall call;
    memset(&call, 0, sizeof call);
    call.instance = &instance;
    call.functionCode = 10;
    EXPECT_EQ(driver.KviMain(&call), 1u);
    EXPECT_EQ(hostlog::Messages(), (std::vector<LoggedMessage>{{8, "KESTA> BlockWrite() NOT supported"}}));
}

TEST(HostRuntimeBinding, WithoutRuntimeMessagesGoToStandardError) {
    uint32_t result = 0;
    const std::string text = BlockWriteWithRuntime("/nonexistent/libtalrun.so", &result);
    EXPECT_EQ(result, 1u);
    EXPECT_NE(text.find("\n8 KESTA> BlockWrite() NOT supported\n"), std::string::npos) << text;
}

// libm has no err() of its own, but dlsym through its handle reaches libc's, which would print and end
// the process. The driver must see that the symbol is not the runtime's and fall back.
TEST(HostRuntimeBinding, ErrOfADependencyIsNotTaken) {
    void *libm = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(libm, nullptr);
    ASSERT_NE(dlsym(libm, "err"), nullptr) << "the trap this test is about is not there";
    dlclose(libm);

    uint32_t result = 0;
    const std::string text = BlockWriteWithRuntime("libm.so.6", &result);
    EXPECT_EQ(result, 1u); // still alive
    EXPECT_NE(text.find("8 KESTA> BlockWrite() NOT supported\n"), std::string::npos) << text;
}

class HostRuntimeReference : public ::testing::Test {
protected:
    void SetUp() override {
        api_ = hostlog::Attach(TALRUN_SO_PATH);
        ASSERT_NE(api_, nullptr);
        api_->clear_gates();
        api_->fail_put(0);
        hostlog::Clear();
    }
    void TearDown() override {
        if (api_ != nullptr) {
            api_->fail_put(0);
            api_->clear_gates();
            api_->log_to("");
        }
    }

    // The runtime's own functions, as a driver calls them.
    template <typename T> T Function(const char *name) { return reinterpret_cast<T>(dlsym(api_->library, name)); }

    const TalrunRefApi *api_ = nullptr;
    TempDir dir_;
};

TEST_F(HostRuntimeReference, GatesFromFileAreFound) {
    dir_.Write("gates.txt", "# address id\n001_M012_003 17\n\n001_V001_002 0x20\nbroken\n");
    EXPECT_EQ(api_->load_gates(dir_.File("gates.txt").c_str()), 2);
    EXPECT_EQ(api_->load_gates(dir_.File("none.txt").c_str()), -1);

    auto lookup = Function<decltype(&TalGetGateIdByAddressStr)>("TalGetGateIdByAddressStr");
    ASSERT_NE(lookup, nullptr);
    uint32_t id = 0;
    EXPECT_EQ(lookup(0, 3, "001_M012_003", &id), 0);
    EXPECT_EQ(id, 17u);
    EXPECT_EQ(lookup(0, 3, "001_V001_002", &id), 0);
    EXPECT_EQ(id, 0x20u);
    id = 5;
    EXPECT_EQ(lookup(0, 4, "001_M999_999", &id), 1);
    EXPECT_EQ(id, 5u);
    uint8_t driverId = 0;
    char address[32];
    EXPECT_EQ(api_->last_lookup(&driverId, address, sizeof address), 0);
    EXPECT_EQ(driverId, 4u);
    EXPECT_STREQ(address, "001_M999_999");
    EXPECT_EQ(lookup(0, 4, nullptr, &id), 2);
}

TEST_F(HostRuntimeReference, CookedValueIsDoubleOfTheUpperHalf) {
    auto cook = Function<decltype(&TalCook)>("TalCook");
    ASSERT_NE(cook, nullptr);
    const struct {
        uint32_t raw;
        double cooked;
    } rows[] = {{0x00070000u, 7.0}, {0xFFFF1234u, 65535.0}, {0x0000FFFFu, 0.0}};
    for (const auto &row : rows) {
        unsigned char value[8];
        EXPECT_EQ(cook(0, 1, row.raw, value), 0);
        EXPECT_EQ(api_->cooked_double(value), row.cooked) << row.raw;
    }
    unsigned char seven[8];
    cook(0, 1, 0x00070000u, seven);
    const unsigned char littleEndian7[8] = {0, 0, 0, 0, 0, 0, 0x1C, 0x40};
    EXPECT_EQ(memcmp(seven, littleEndian7, 8), 0);
}

TEST_F(HostRuntimeReference, StoredValuesAndTimeStampsAreKept) {
    auto put = Function<decltype(&TalPutGateVal)>("TalPutGateVal");
    auto cook = Function<decltype(&TalCook)>("TalCook");
    ASSERT_NE(put, nullptr);
    ASSERT_EQ(api_->define_gate("001_M001_001", 40), 0);
    TalValue value;
    cook(0, 40, 0x00050000u, value.bytes);

    EXPECT_EQ(put(0, 40, 2, value, 1000, 0), 0);
    EXPECT_EQ(put(0, 40, 2, value, 2000, 0), 0);
    unsigned char stored[8];
    int32_t timeStamp = 0;
    uint32_t stores = 0;
    ASSERT_EQ(api_->gate_value(40, stored, &timeStamp, &stores), 0);
    EXPECT_EQ(api_->cooked_double(stored), 5.0);
    EXPECT_EQ(timeStamp, 2000);
    EXPECT_EQ(stores, 2u);

    EXPECT_EQ(put(0, 41, 2, value, 1000, 0), 2); // no such gate
    api_->fail_put(9);
    EXPECT_EQ(put(0, 40, 2, value, 3000, 0), 9);
    ASSERT_EQ(api_->gate_value(40, stored, &timeStamp, &stores), 0);
    EXPECT_EQ(timeStamp, 2000); // nothing stored by the failed call
    EXPECT_EQ(api_->gate_value(41, stored, &timeStamp, &stores), -1);

    const std::string printed = dir_.File("gates.out");
    FILE *out = fopen(printed.c_str(), "w");
    ASSERT_NE(out, nullptr);
    api_->print_gates(out);
    fclose(out);
    std::ifstream in(printed);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "001_M001_001 40 5 2000 2");
}

TEST_F(HostRuntimeReference, MessagesAreWrittenAsLevelAndText) {
    auto log = Function<decltype(&err)>("err");
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(api_->log_to(dir_.File("log.txt").c_str()), 0);
    log(32, "KESTA> value %u of %s", 7u, "gate");
    log(8, "KESTA> trace");
    api_->log_to("");
    std::ifstream in(dir_.File("log.txt"));
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "32 KESTA> value 7 of gate\n8 KESTA> trace\n");
    EXPECT_EQ(hostlog::Messages(), (std::vector<LoggedMessage>{{32, "KESTA> value 7 of gate"}, {8, "KESTA> trace"}}));
}

} // namespace
