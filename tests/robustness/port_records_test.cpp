// Port records and argument records as a careless host hands them over: names that fill all twelve
// bytes without a NUL, records left out altogether. Names are taken up to eleven characters and always
// terminated; a missing record is refused with its reason instead of followed.
#include <string>

#include "platform/serial_port.h"
#include "robustness.h"

namespace {

using robustness::Field;
using robustness::HostTest;

TEST_F(HostTest, ColdStartTakesAPortNameWithoutItsNulUpToElevenCharacters) {
    PortConfig config;
    memset(&config, 0, sizeof config);
    memset(config.portName, 'Z', sizeof config.portName); // no NUL in the twelve bytes
    config.usePort = 0xFFFFFFFFu;                         // any nonzero value uses the port
    config.timeout = 20;
    config.lineParams = LineParams{57600, 8, 0, 1};
    EXPECT_EQ(2u, Call(KVI_COLD_START, &config));
    EXPECT_TRUE(f.Logged("KESTA>Failed to open com port " + std::string(11, 'Z'))) << Said();
    EXPECT_EQ(0u, uint32_t{f.instance().dsfOpen});
    EXPECT_LT(strnlen(f.instance().portName, sizeof f.instance().portName), sizeof f.instance().portName);
    // The instance goes on: a read is refused by the closed stack, and it ends cleanly.
    GateAddressRW rw{};
    uint8_t cell[4] = {};
    rw.addressString = "002speed";
    rw.station = 2;
    rw.elementBits = 16;
    rw.elementCount = 1;
    rw.valueCell = cell;
    EXPECT_EQ(2u, Call(KVI_SINGLE_READ, &rw));
    EXPECT_TRUE(f.Logged("KESTA> DoRead() Net2000 not initialised!"));
    EXPECT_EQ(0u, Call(KVI_END, nullptr));
}

TEST_F(HostTest, ChangeKviParamsTakesAPortNameWithoutItsNulUpToElevenCharacters) {
    Start();
    ParamChange change;
    memset(&change, 0, sizeof change);
    memset(change.portName, 'Y', sizeof change.portName);
    change.timeout = -1;
    change.lineParams = LineParams{57600, 8, 0, 1};
    EXPECT_EQ(2u, Call(KVI_CHANGE_PARAMS, &change));
    EXPECT_EQ(std::string(11, 'Y'), std::string(f.instance().portName));
    EXPECT_EQ(20u, Field(f.instance().lineTimeout)); // -1 keeps it
}

TEST_F(HostTest, AbsurdLineParametersFailTheOpenNotTheDriver) {
    ASSERT_TRUE(f.StartLine());
    for (const LineParams &line :
         {LineParams{0, 0, 0, 0}, LineParams{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, LineParams{57600, 9, 7, 5}}) {
        PortConfig config;
        memset(&config, 0, sizeof config);
        snprintf(config.portName, sizeof config.portName, "%s", f.sim().portName().c_str());
        config.usePort = 1;
        config.timeout = 20;
        config.lineParams = line;
        f.ClearMessages();
        const uint32_t rc = Call(KVI_COLD_START, &config);
        EXPECT_TRUE(rc == 0 || rc == 2) << rc;
        if (rc == 2) {
            EXPECT_TRUE(SaidSomething("KESTA>Failed to open com port ")) << Said();
        }
        EXPECT_EQ(0u, Call(KVI_END, nullptr));
    }
}

// The time-out is in units of 10 ms: a count of units whose milliseconds pass 32 bits is held at the
// longest wait, never wrapped into a short one (429496730 units would otherwise wait 4 ms).
TEST_F(HostTest, ATimeOutBeyond32BitsOfMillisecondsIsHeldNotWrapped) {
    ASSERT_TRUE(f.StartLine());
    for (uint32_t units : {429496729u, 429496730u, 0xFFFFFFFFu}) {
        PortConfig config;
        memset(&config, 0, sizeof config);
        snprintf(config.portName, sizeof config.portName, "%s", f.sim().portName().c_str());
        config.usePort = 1;
        config.timeout = units;
        config.lineParams = LineParams{57600, 8, 0, 1};
        ASSERT_EQ(0u, Call(KVI_COLD_START, &config)) << Said();
        PortTimeouts timeouts{};
        ASSERT_EQ(0, plat_port_get_timeouts(Field(f.instance().portHandle), &timeouts));
        EXPECT_GE(timeouts.readTotalConstant, 4294967290u) << units << " units";
        EXPECT_EQ(0u, Call(KVI_END, nullptr));
    }
}

// Every code that reads the instance block or its record, called without it.
TEST_F(HostTest, MissingBlocksAndRecordsAreRefusedWithTheirReason) {
    struct Row {
        uint32_t code;
        bool withInstance;
        uint32_t result;
        const char *message;
    };
    const Row rows[] = {
        {KVI_COLD_START, true, 1, "KESTA> KviMain() function 1 called without its record"},
        {KVI_COLD_START, false, 1, "KESTA> KviMain() function 1 called without an instance block"},
        {KVI_WARM_START, false, 1, "KESTA> ReqSem() ERROR requesting MUTEX semaphore"},
        {KVI_SINGLE_ADDRESS_PARSER, false, 1, "KESTA> ReqSem() ERROR requesting MUTEX semaphore"},
        {KVI_SINGLE_WRITE, false, 1, ""},
        {KVI_END, false, 1, "KESTA> KviMain() function 11 called without an instance block"},
        {KVI_CLOSE_COM, false, 1, "KESTA> KviMain() function 12 called without an instance block"},
        {KVI_REOPEN_COM, false, 1, "KESTA> KviMain() function 13 called without an instance block"},
        {KVI_GET_INFO, true, 1, "KESTA> KviMain() function 14 called without its record"},
        {KVI_CHANGE_PARAMS, true, 1, "KESTA> KviMain() function 15 called without its record"},
        {KVI_CHANGE_PARAMS, false, 1, "KESTA> KviMain() function 15 called without an instance block"},
    };
    Start();
    for (const Row &row : rows) {
        f.ClearMessages();
        DriverCall call{};
        call.instance = row.withInstance ? &f.instance() : nullptr;
        call.functionCode = row.code;
        call.driverNumber = f.driverNumber();
        EXPECT_EQ(row.result, KviMain(&call)) << "code " << row.code;
        if (row.message[0] != '\0') {
            EXPECT_TRUE(SaidSomething(row.message)) << "code " << row.code << Said();
        }
    }
    // None of it touched the running instance.
    DriverFixture::Gate speed;
    ASSERT_EQ(0u, f.Parse(speed, "002speed", GATE_SIGNED16));
    EXPECT_EQ(0u, f.Read(speed));
}

} // namespace
