// Bringing a line up and down through KviMain, against the station simulator on a pseudo-terminal.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "plc/station.h"
#include "serial/port.h"
#include "serial/transport.h"
#include "support/driver_fixture.h"

using kesta::sim::ObjectSpec;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

const char kInstalled[] = "KESTA> ColdStart() B&R Net2000 protocol 32 Bit driver Installed.";
const char kOpened[] = "KESTA> ColdStart() dsf opened successfully!";
const char kEcho[] = "KESTA> ColdStart() Your RS485 convertor is has echos which the driver will handle";

class Lifecycle : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(f.ok()) << f.error();
        f.station(2).addObject(ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 1234));
    }

    // Reads the 16-bit gate 002speed; its value is the cell's second half.
    uint32_t ReadSpeed(int16_t *value) {
        if (!speedParsed_) {
            EXPECT_EQ(0u, f.Parse(speed_, "002speed", GATE_SIGNED16));
            speedParsed_ = true;
        }
        const uint32_t rc = f.Read(speed_);
        memcpy(value, speed_.cell + 2, 2);
        return rc;
    }

    DriverFixture f;
    DriverFixture::Gate speed_;
    bool speedParsed_ = false;
};

TEST_F(Lifecycle, ColdStartOnTheLineOpensPortAndStackWithItsMessagesInOrder) {
    ASSERT_EQ(0u, f.ColdStart(25));
    const std::vector<LoggedMessage> messages = f.Messages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(8, messages.front().level);
    EXPECT_THAT(messages.front().text, StartsWith("KESTA> version compiled on "));
    EXPECT_THAT(messages.front().text, HasSubstr(" at time "));
    EXPECT_EQ((LoggedMessage{32, kOpened}), messages[messages.size() - 2]);
    EXPECT_EQ((LoggedMessage{32, kInstalled}), messages.back());
    EXPECT_FALSE(f.Logged(kEcho));

    DriverInstance &in = f.instance();
    EXPECT_EQ(1u, uint32_t{in.dsfOpen});
    EXPECT_EQ(1u, uint32_t{in.portOpen});
    EXPECT_NE(0u, KestaHandle{in.portHandle});
    EXPECT_EQ(25u, uint32_t{in.lineTimeout});
    EXPECT_EQ(1u, uint8_t{in.masterAddress});
    EXPECT_EQ(0u, uint32_t{in.ending});
    EXPECT_EQ(f.sim().portName(), std::string(in.portName));
    EXPECT_EQ(0x0303, uint16_t{in.portFlags});
    EXPECT_EQ(KestaHandle{in.portHandle}, ReadLineState().currentPort);
    EXPECT_EQ(0, ReadLineState().echoFlag);
    EXPECT_EQ(518, ReadLineState().ExpectedReplyLength);

    int16_t value = 0;
    EXPECT_EQ(0u, ReadSpeed(&value));
    EXPECT_EQ(1234, value);
}

TEST_F(Lifecycle, WithoutPortNothingIsOpenedAndReadsAreRefused) {
    ASSERT_EQ(0u, f.ColdStart(20, 0));
    EXPECT_EQ(0u, KestaHandle{f.instance().portHandle});
    EXPECT_EQ(0u, uint32_t{f.instance().dsfOpen});
    EXPECT_FALSE(f.Logged(kOpened));
    DriverFixture::Gate gate;
    gate.rw.addressString = "002speed";
    gate.rw.elementBits = 16;
    EXPECT_EQ(1u, f.Read(gate));
    EXPECT_EQ(1u, f.Read(gate, true, 1));
    EXPECT_EQ(0u, f.sim().lineStats().bytesIn);
}

TEST_F(Lifecycle, TheNullLineOpensWithoutEchoAndReadsFailOnSilence) {
    ASSERT_EQ(0u, f.ColdStart(5, 1, "NUL"));
    EXPECT_TRUE(f.Logged(kInstalled));
    EXPECT_EQ(0, ReadLineState().echoFlag);
    DriverFixture::Gate gate;
    // Nothing ever answers on the null line: the connect gives up after its four attempts.
    EXPECT_EQ(1u, f.Parse(gate, "002speed", GATE_SIGNED16));
    EXPECT_TRUE(f.Logged("KESTA> Parse() plcaddr 2 not connected!"));
    EXPECT_EQ(4u, f.Count("KESTA> Net2000_Connect failed ErrorCode: 10"));
}

TEST_F(Lifecycle, AnEchoingConverterIsDetectedOnceAndItsEchoNeverReachesTheStack) {
    f.sim().setEcho(true);
    ASSERT_EQ(0u, f.ColdStart(25));
    EXPECT_EQ(1u, f.Count(kEcho));
    EXPECT_EQ(1, ReadLineState().echoFlag);
    int16_t value = 0;
    EXPECT_EQ(0u, ReadSpeed(&value));
    EXPECT_EQ(1234, value);
    f.station(2).setValue("speed", -7);
    EXPECT_EQ(0u, ReadSpeed(&value));
    EXPECT_EQ(-7, value);
}

TEST_F(Lifecycle, APortHeldElsewhereFailsTheColdStartWithTheMessageAndTwo) {
    ASSERT_TRUE(f.StartLine());
    PortHandle held = 0;
    const std::string name = f.sim().portName();
    const LineParams line{57600, 8, 0, 1};
    ASSERT_EQ(0, OpenPort(name.c_str(), &line, PORT_FLAGS_COLD_START, &held));

    EXPECT_EQ(2u, f.ColdStart(20));
    EXPECT_TRUE(f.Logged("KESTA>Failed to open com port " + name));
    EXPECT_EQ(0u, uint32_t{f.instance().dsfOpen});
    EXPECT_EQ(1u, uint32_t{f.instance().portOpen}); // as the host asked: reads reach DoRead, which refuses
    DriverFixture::Gate gate;
    gate.rw.addressString = "002speed";
    gate.rw.elementBits = 16;
    EXPECT_EQ(2u, f.Read(gate));
    EXPECT_TRUE(f.Logged("KESTA> DoRead() Net2000 not initialised!"));
    EXPECT_EQ(0, ClosePort(held));
}

TEST_F(Lifecycle, NoSlavesMakesTheStackRefuseAndTheColdStartFail) {
    f.WriteInitFile("NUM_OF_SLAVES = 0\n");
    EXPECT_EQ(2u, f.ColdStart(20));
    EXPECT_TRUE(f.Logged("KESTA> Net2000_Open failed ErrorCode: 82"));
    EXPECT_TRUE(f.Logged("KESTA> ColdStart() Failure opening dsf!, rc 2"));
    EXPECT_FALSE(f.Logged(kOpened));
    EXPECT_EQ(0u, uint32_t{f.instance().dsfOpen});
    EXPECT_NE(0u, KestaHandle{f.instance().portHandle}); // the port stays open
}

TEST_F(Lifecycle, CloseComAndReOpenComTakeTheLineAwayAndBack) {
    ASSERT_EQ(0u, f.ColdStart(25));
    int16_t value = 0;
    ASSERT_EQ(0u, ReadSpeed(&value));

    EXPECT_EQ(0u, f.Call(KVI_CLOSE_COM));
    EXPECT_EQ(0u, KestaHandle{f.instance().portHandle});
    EXPECT_EQ(0u, uint32_t{f.instance().portOpen});
    EXPECT_EQ(0u, ReadLineState().currentPort);
    f.ClearMessages();
    EXPECT_EQ(1u, ReadSpeed(&value)); // silently refused while the port is closed
    EXPECT_EQ(0u, f.Messages().size());
    EXPECT_EQ(0u, f.Call(KVI_CLOSE_COM)); // nothing left to close

    EXPECT_EQ(0u, f.Call(KVI_REOPEN_COM));
    EXPECT_EQ(1u, uint32_t{f.instance().portOpen});
    EXPECT_NE(0u, KestaHandle{f.instance().portHandle});
    f.station(2).setValue("speed", 99);
    EXPECT_EQ(0u, ReadSpeed(&value));
    EXPECT_EQ(99, value);
}

// A port whose close fails stays with the instance, which may close it again: no exchange, CloseCom or
// EndKvi reaches the descriptor number the failed close gave up, whoever holds that number by then.
TEST_F(Lifecycle, AFailedCloseKeepsThePortAndNothingTouchesItsOldNumber) {
    ASSERT_EQ(0u, f.ColdStart(25));
    int16_t value = 0;
    ASSERT_EQ(0u, ReadSpeed(&value));
    const KestaHandle held = f.instance().portHandle;

    plat_port_fail_next_closes(1);
    EXPECT_EQ(2u, f.Call(KVI_CLOSE_COM));
    EXPECT_EQ(held, KestaHandle{f.instance().portHandle}); // a failed close changes nothing
    EXPECT_EQ(1u, uint32_t{f.instance().portOpen});

    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(0, pipe(pipeFds));      // the lowest free numbers: the released one among them
    EXPECT_EQ(2u, ReadSpeed(&value)); // the line is gone: the read fails with a code
    EXPECT_EQ(0u, f.End());           // the second close only lets the record go
    EXPECT_EQ(0u, KestaHandle{f.instance().portHandle});
    for (int fd : pipeFds) {
        EXPECT_NE(-1, fcntl(fd, F_GETFD)) << "descriptor " << fd << " was closed behind its owner's back";
    }
    struct pollfd p = {pipeFds[0], POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 0)) << "frames for the line went into the pipe";
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// EndKvi whose port close fails says so with 2 and keeps the port with the ended instance; the next
// EndKvi (or a cold start) closes it.
TEST_F(Lifecycle, EndKviWhoseCloseFailsReturnsTwoAndTheNextEndClosesThePort) {
    ASSERT_EQ(0u, f.ColdStart(25));
    plat_port_fail_next_closes(1);
    EXPECT_EQ(2u, f.End());
    EXPECT_NE(0u, KestaHandle{f.instance().portHandle});
    EXPECT_EQ(0u, dsf_ra_holders()); // the stack was given back all the same
    EXPECT_EQ(0u, f.End());
    EXPECT_EQ(0u, KestaHandle{f.instance().portHandle});
    PortHandle again = 0;
    const LineParams line{57600, 8, 0, 1};
    EXPECT_EQ(0, OpenPort(f.sim().portName().c_str(), &line, 0, &again));
    ClosePort(again);
}

TEST_F(Lifecycle, ChangeKviParamsKeepsTheTimeOutForZeroAndMinusOneAndRefusesTheSamePortWhileOpen) {
    ASSERT_EQ(0u, f.ColdStart(25));
    int16_t value = 0;
    ASSERT_EQ(0u, ReadSpeed(&value));

    ParamChange change{};
    snprintf(change.portName, sizeof change.portName, "%s", f.sim().portName().c_str());
    change.lineParams = LineParams{19200, 8, 0, 2};
    for (int32_t keep : {0, -1}) {
        change.timeout = keep;
        // Serial ports open exclusively: the port in use cannot be opened a second time.
        EXPECT_EQ(2u, f.Call(KVI_CHANGE_PARAMS, &change));
        EXPECT_EQ(25u, uint32_t{f.instance().lineTimeout});
    }
    change.timeout = 40;
    EXPECT_EQ(2u, f.Call(KVI_CHANGE_PARAMS, &change));
    EXPECT_EQ(40u, uint32_t{f.instance().lineTimeout}); // taken even though the open failed
    EXPECT_EQ(19200, uint16_t{f.instance().lineParams.baudRate});
    // The port in use stays in use with its settings.
    f.station(2).setValue("speed", 5);
    EXPECT_EQ(0u, ReadSpeed(&value));
    EXPECT_EQ(5, value);
}

TEST_F(Lifecycle, ChangeKviParamsMovesToAnotherPortAndReadsGoOnThere) {
    ASSERT_EQ(0u, f.ColdStart(25));
    int16_t value = 0;
    ASSERT_EQ(0u, ReadSpeed(&value));

    kesta::sim::Simulator other;
    std::string error;
    ASSERT_TRUE(other.createPty(&error)) << error;
    other.addStation(2).addObject(ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, 4321));
    ASSERT_TRUE(other.start(&error)) << error;

    const PortHandle before = f.instance().portHandle;
    ParamChange change{};
    snprintf(change.portName, sizeof change.portName, "%s", other.portName().c_str());
    change.timeout = -1;
    change.lineParams = LineParams{57600, 8, 0, 1};
    ASSERT_EQ(0u, f.Call(KVI_CHANGE_PARAMS, &change));
    EXPECT_NE(0u, KestaHandle{f.instance().portHandle});
    EXPECT_EQ(1u, uint32_t{f.instance().portOpen});
    EXPECT_EQ(KestaHandle{f.instance().portHandle}, ReadLineState().currentPort);
    EXPECT_EQ(other.portName(), std::string(f.instance().portName));
    // The old port was closed: it opens again.
    PortHandle old = 0;
    const LineParams line{57600, 8, 0, 1};
    const std::string oldName = f.sim().portName();
    EXPECT_EQ(0, OpenPort(oldName.c_str(), &line, 0, &old));
    EXPECT_NE(before, 0u);
    ClosePort(old);

    EXPECT_EQ(0u, ReadSpeed(&value));
    EXPECT_EQ(4321, value);
    other.stop();
}

TEST_F(Lifecycle, EndKviClosesThePortOnceAndEndsTheInstance) {
    ASSERT_EQ(0u, f.ColdStart(25));
    int16_t value = 0;
    ASSERT_EQ(0u, ReadSpeed(&value));
    const uint64_t before = f.sim().lineStats().bytesIn;

    EXPECT_EQ(0u, f.End());
    EXPECT_EQ(1u, uint32_t{f.instance().ending});
    EXPECT_EQ(0u, uint32_t{f.instance().dsfOpen});
    EXPECT_EQ(0u, KestaHandle{f.instance().portHandle});
    EXPECT_EQ(0u, uint32_t{f.instance().portOpen});
    EXPECT_EQ(0u, KestaHandle{f.instance().mutex});
    EXPECT_EQ(0u, ReadLineState().currentPort);
    // Closed: another owner can take the port.
    PortHandle again = 0;
    const LineParams line{57600, 8, 0, 1};
    EXPECT_EQ(0, OpenPort(f.sim().portName().c_str(), &line, 0, &again));
    ClosePort(again);

    // Reads are answered at once; the other mutex-guarded codes fail on the closed mutex.
    EXPECT_EQ(0u, ReadSpeed(&value));
    EXPECT_EQ(0u, f.Read(speed_, true, 1));
    EXPECT_EQ(before, f.sim().lineStats().bytesIn);
    f.ClearMessages();
    EXPECT_EQ(1u, f.Call(KVI_WARM_START));
    ASSERT_EQ(1u, f.Messages().size());
    EXPECT_THAT(f.Messages()[0].text, StartsWith("KESTA> ReqSem() ERROR requesting MUTEX semaphore "));
    EXPECT_EQ(0u, f.End()); // a second end finds nothing to close
}

TEST_F(Lifecycle, GetKviInfoWorksBeforeColdStartAndAfterEndKvi) {
    auto check = [] {
        DriverInfo info;
        memset(&info, 0xAB, sizeof info);
        DriverCall call{};
        call.functionCode = KVI_GET_INFO;
        call.argRecord = &info; // no instance needed
        ASSERT_EQ(0u, KviMain(&call));
        EXPECT_EQ(70u, info.info0);
        EXPECT_STREQ("B&R Net2000", info.protocolName);
        EXPECT_EQ(sizeof(DriverInstance), info.instanceSize);
        EXPECT_EQ(4u, info.info4);
        EXPECT_EQ(57600, info.defaultLine.baudRate);
        EXPECT_EQ(8, info.defaultLine.dataBits);
        EXPECT_EQ(0, info.defaultLine.stopBits);
        EXPECT_EQ(1, info.defaultLine.parity);
        EXPECT_EQ(1u, info.info6);
        const std::string banner(info.banner);
        ASSERT_EQ(191u, banner.size());
        const std::string top = "\xC9" + std::string(59, '\xCD') + "\xBB";
        const std::string middle = "\xBA  KESTA :  B & R Net2000 protocol          (32 bit driver) \xBA";
        const std::string bottom = "\xC8" + std::string(59, '\xCD') + "\xBC";
        EXPECT_EQ("\r\n" + top + "\r\n" + middle + "\r\n" + bottom + "\r\n", banner);
    };
    check();
    ASSERT_EQ(0u, f.ColdStart(25));
    ASSERT_EQ(0u, f.End());
    check();
}

TEST_F(Lifecycle, WarmStartDrainsStaleInputAndReadsGoOn) {
    ASSERT_EQ(0u, f.ColdStart(25));
    int16_t value = 0;
    ASSERT_EQ(0u, ReadSpeed(&value));
    const uint8_t stale[] = {0x02, 0x05, 0x01, 0x01, 0x11};
    f.sim().inject(std::vector<uint8_t>(stale, stale + sizeof stale));
    ASSERT_TRUE(f.sim().waitUntil([&] { return f.sim().lineStats().bytesOut > 0; }, std::chrono::seconds(2)));
    EXPECT_EQ(0u, f.Call(KVI_WARM_START));
    EXPECT_EQ(0u, ReadSpeed(&value));
    EXPECT_EQ(1234, value);
}

// One station entry (NUM_OF_SLAVES 1): a second station cannot be connected.
TEST_F(Lifecycle, ASecondStationDoesNotFitOneStationEntry) {
    f.station(3).addObject(ObjectSpec::Scalar("level", kesta::sim::kTypeInt16, 1));
    ASSERT_EQ(0u, f.ColdStart(25));
    int16_t value = 0;
    ASSERT_EQ(0u, ReadSpeed(&value));
    DriverFixture::Gate level;
    EXPECT_EQ(1u, f.Parse(level, "003level", GATE_SIGNED16));
    EXPECT_EQ(4u, f.Count("KESTA> Net2000_Connect failed ErrorCode: 46"));
    EXPECT_TRUE(f.Logged("KESTA> Parse() plcaddr 3 not connected!"));
    EXPECT_EQ(518, ReadLineState().ExpectedReplyLength);
}

TEST_F(Lifecycle, StationServicesConnectTheSameEntryAgainAndDescribeUnknownNames) {
    f.WriteInitFile("NUM_OF_SLAVES = 2\n");
    ASSERT_EQ(0u, f.ColdStart(25));
    f.station(2).setUnknownStatus(2);

    StationEntry *first = Net2000_Connect(f.instance().portHandle, 2);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(518, ReadLineState().ExpectedReplyLength);
    StationEntry *again = Net2000_Connect(f.instance().portHandle, 2);
    EXPECT_EQ(first, again); // the entry that holds the address is found before any free one
    EXPECT_EQ(2u, f.station(2).stats().requests);

    ObjectDescriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    ASSERT_EQ(0, Net2000_getOV(f.instance().portHandle, &first, "speed", &descriptor));
    EXPECT_EQ(0, descriptor.status);
    EXPECT_EQ(f.station(2).handle("speed"), descriptor.handle);
    EXPECT_EQ(2u, uint32_t{descriptor.length});
    EXPECT_EQ(kesta::sim::kTypeInt16, descriptor.dataType);
    EXPECT_EQ(3, descriptor.access);
    EXPECT_EQ(518, ReadLineState().ExpectedReplyLength);

    ASSERT_EQ(0, Net2000_getOV(f.instance().portHandle, &first, "nosuch", &descriptor));
    EXPECT_EQ(65452, descriptor.status); // status byte 2 less 86
    EXPECT_EQ(518, ReadLineState().ExpectedReplyLength);

    StationEntry *none = nullptr;
    EXPECT_EQ(1, Net2000_getOV(f.instance().portHandle, &none, "speed", &descriptor));
    EXPECT_TRUE(f.Logged("KESTA> Net2000_getOV failed ErrorCode: 40"));
    EXPECT_EQ(518, ReadLineState().ExpectedReplyLength);
}

} // namespace
