// A line that heals itself, through KviMain against the simulator on a pseudo-terminal, each remedy with
// its key on and off: silent stations set aside (SILENT_STATION_LIMIT, SILENT_STATION_PAUSE), objects
// looked up again after a restart or a program change (RELOOKUP_ON_ERROR), a pulled device reopened
// (PORT_REOPEN_INTERVAL). With a key off, what the line shows is exactly what it always showed.
#include "plc/gate_line.h"

#include <thread>

#include "plc/gates.h"
#include "serial/line_state.h"
#include "platform/serial_port.h"

namespace {

using kesta::sim::FaultScript;
using kesta::sim::kTypeInt16;
using kesta::sim::kTypeUint16;
using std::chrono::milliseconds;

enum { TIMEOUT_UNITS = 5 }; // 50 ms a read: a silent station costs 200 ms a request

const char kSilentKeys[] = "SILENT_STATION_LIMIT = 2\nSILENT_STATION_PAUSE = 400\n";

class Healing : public GateLine {
protected:
    // Stations 2 and 3, each with a 16-bit value and a 4-element array; the given keys on top.
    void Start(const std::string &keys, const std::string &portName = std::string()) {
        for (uint8_t station : {2, 3}) {
            St(station).addObject(ObjectSpec::Scalar("x", kTypeInt16, 100 + station));
            St(station).addObject(ObjectSpec::Array("t", kTypeUint16, 4, {1, 2, 3, 4}));
        }
        f.WriteInitFile("NUM_OF_SLAVES = 4\n" + keys);
        ASSERT_TRUE(f.StartLine()) << f.error();
        ASSERT_EQ(0u, f.ColdStart(TIMEOUT_UNITS, 1, portName.empty() ? nullptr : portName.c_str()));
        ASSERT_EQ(0u, f.Parse(x2, "002x", GATE_SIGNED16));
        ASSERT_EQ(0u, f.Parse(t2, "002t", GATE_UNSIGNED16, true, 4));
        ASSERT_EQ(0u, f.Parse(x3, "003x", GATE_SIGNED16));
        Forget();
    }
    // A start on a line linked under /dev/shm, whose device can be pulled and come back.
    void StartLinked(const std::string &keys) {
        port = f.LinkLine();
        ASSERT_FALSE(port.empty()) << f.error();
        Start(keys, port);
    }
    void Forget() {
        f.sim().clearTraffic();
        f.ClearMessages();
    }

    int16_t Value(const DriverFixture::Gate &g) const { return static_cast<int16_t>(Half(g.cell, 1)); }
    // A read and how long it took.
    uint32_t TimedRead(DriverFixture::Gate &g, long long *ms, bool block = false, uint32_t count = 1) {
        const Clock::time_point start = Clock::now();
        const uint32_t rc = f.Read(g, block, count);
        *ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        return rc;
    }
    size_t FramesTo(uint8_t station) const {
        size_t n = 0;
        for (const TrafficRecord &r : const_cast<DriverFixture &>(f).sim().traffic())
            n += r.direction == Direction::FromMaster && r.destination == station ? 1 : 0;
        return n;
    }
    static std::vector<LoggedMessage> FailedRead(unsigned code) {
        return {{8, "KESTA> DoRead() read, ErrCode: " + std::to_string(code)}, {8, "KESTA> SingleRead(), rc= 2"}};
    }
    static std::vector<LoggedMessage> Then(std::vector<LoggedMessage> a, const std::vector<LoggedMessage> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    void Silence(uint8_t station, uint32_t frames) {
        kesta::sim::Fault quiet;
        quiet.kind = kesta::sim::FaultKind::Silence;
        quiet.repeat = frames;
        FaultScript script;
        script.steps.push_back(quiet);
        St(station).setFaults(script);
    }

    DriverFixture::Gate x2, t2, x3;
    std::string port;
};

// ---- SILENT_STATION_LIMIT ---------------------------------------------------------------------------

TEST_F(Healing, WithoutTheKeyASilentStationCostsFourSendingsOnEveryRead) {
    Start("");
    St(3).switchOff();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(2u, f.Read(x3));
    EXPECT_EQ(12u, FramesTo(3));
    EXPECT_EQ(GateMessages(), Then(Then(FailedRead(10), FailedRead(10)), FailedRead(10)));
}

TEST_F(Healing, ASilentStationIsSetAsideAndItsGatesFailAtOnce) {
    Start(kSilentKeys);
    St(3).switchOff();
    long long ms = 0;
    EXPECT_EQ(2u, f.Read(x3));
    EXPECT_EQ(2u, f.Read(x3));
    EXPECT_EQ(8u, FramesTo(3));
    EXPECT_EQ(GateMessages(),
              Then(Then(FailedRead(10),
                        {{32, "KESTA> SetAside() plcaddr 3 silent for 2 requests in a row: set aside for 400 ms"}}),
                   FailedRead(10)));
    Forget();
    // Set aside: reads, writes and parses of its gates fail at once, nothing goes on the line, and only
    // the messages every failed call has always had are logged.
    EXPECT_EQ(2u, TimedRead(x3, &ms));
    EXPECT_LT(ms, 100);
    const uint8_t cell[4] = {0, 0, 7, 0};
    EXPECT_EQ(2u, f.Write(x3, cell));
    DriverFixture::Gate t3;
    EXPECT_EQ(1u, f.Parse(t3, "003t", GATE_UNSIGNED16, true, 4));
    EXPECT_EQ(0u, FramesTo(3));
    EXPECT_EQ(GateMessages(), Then(FailedRead(203), {{32, "KESTA> DoWrite() write, ErrCode: 203"},
                                                     {32, "KESTA> Parse() plcaddr 3 not connected!"}}));
    // The other station of the line is not touched by it.
    EXPECT_EQ(0u, f.Read(x2));
    EXPECT_EQ(102, Value(x2));
}

TEST_F(Healing, AfterThePauseOneSendingProbesAndSilenceSetsItAsideAgain) {
    Start(kSilentKeys);
    St(3).switchOff();
    f.Read(x3);
    f.Read(x3);
    std::this_thread::sleep_for(milliseconds(450));
    Forget();
    long long ms = 0;
    EXPECT_EQ(2u, TimedRead(x3, &ms));
    EXPECT_EQ(1u, FramesTo(3)) << "the first request after the pause goes out once";
    EXPECT_EQ(2u, TimedRead(x3, &ms));
    EXPECT_LT(ms, 100);
    EXPECT_EQ(1u, FramesTo(3));
    EXPECT_EQ(GateMessages(), Then(FailedRead(10), FailedRead(203))) << "set aside again without a second notice";
}

TEST_F(Healing, AStationThatAnswersAgainIsBackAndAnyAnswerResetsTheCount) {
    Start(kSilentKeys);
    Silence(3, 4); // one read's four sendings, then answers
    EXPECT_EQ(2u, f.Read(x3));
    EXPECT_EQ(0u, f.Read(x3)) << "one silent request is not two in a row";
    Silence(3, 8);
    EXPECT_EQ(2u, f.Read(x3));
    EXPECT_EQ(2u, f.Read(x3));
    std::this_thread::sleep_for(milliseconds(450));
    St(3).setFaults(FaultScript());
    St(3).setValue("x", 333);
    Forget();
    EXPECT_EQ(0u, f.Read(x3));
    EXPECT_EQ(333, Value(x3));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> SetAside() plcaddr 3 answers again"}}));
    EXPECT_EQ(0u, f.Read(x3));
    EXPECT_EQ(2u, FramesTo(3));
}

// Two stations on one line, the host reading the gates of each in turn: once the switched-off station
// is set aside, a cycle costs what the live station's reads cost.
TEST_F(Healing, MultidropTheLiveStationKeepsItsPaceBesideASilentOne) {
    Start("SILENT_STATION_LIMIT = 1\n");
    St(3).switchOff();
    EXPECT_EQ(2u, f.Read(x3));
    Forget();
    const Clock::time_point start = Clock::now();
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(0u, f.Read(x2));
        ASSERT_EQ(0u, f.Read(t2, true, 4));
        ASSERT_EQ(2u, f.Read(x3));
    }
    const long long ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(0u, FramesTo(3)) << "the default pause of 10 s is not over";
    EXPECT_EQ(40u, FramesTo(2));
    EXPECT_LT(ms, 2000) << "20 cycles; one silent read alone costs 200 ms";
}

// ---- RELOOKUP_ON_ERROR ------------------------------------------------------------------------------

TEST_F(Healing, WithoutTheKeyARestartedStationAnswersEveryReadWithAnError) {
    Start("");
    St(2).restart();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(2u, f.Read(x2));
    EXPECT_EQ(GateMessages(), Then(FailedRead(107), FailedRead(107))); // error 7, not connected
}

TEST_F(Healing, ARestartedStationIsConnectedAndLookedUpAgainWithinTheRead) {
    Start("RELOOKUP_ON_ERROR = 1\n");
    St(2).restart();
    St(2).setValue("x", -7);
    EXPECT_EQ(0u, f.Read(x2));
    EXPECT_EQ(-7, Value(x2));
    EXPECT_TRUE(GateMessages().empty());
    // The read answered with error 7, the connect, the look-ups, the read once more.
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_EQ(5u, requests.size());
    EXPECT_EQ(0xFF, requests[1].marker) << "connect";
    EXPECT_EQ((std::vector<std::string>{"x", "t"}), Lookups()) << "every object registered for the station";
    EXPECT_EQ(St(2).handle("x"), requests[4].items.at(0).handle);
    // The other gates of the station have their new handles already: one request each.
    Forget();
    EXPECT_EQ(0u, f.Read(t2, true, 4));
    EXPECT_EQ(1u, Requests().size());
    EXPECT_EQ(St(2).handle("t"), Requests()[0].items.at(0).handle);
    // Station 3 was not touched.
    EXPECT_EQ(0u, FramesTo(3));
}

TEST_F(Healing, AWriteAnsweredWithAnErrorIsMadeOnceMoreAfterTheLookUps) {
    Start("RELOOKUP_ON_ERROR = 1\n");
    St(2).restart();
    const uint16_t cell[2] = {0, 1234};
    uint8_t bytes[4];
    memcpy(bytes, cell, 4);
    EXPECT_EQ(0u, f.Write(x2, bytes));
    EXPECT_EQ(1234, St(2).value("x"));
}

TEST_F(Healing, AnObjectGoneFailsItsGatesUntilALookUpFindsItAgain) {
    Start("RELOOKUP_ON_ERROR = 1\n");
    ASSERT_TRUE(St(2).dropObject("x"));
    EXPECT_EQ(2u, f.Read(x2));
    EXPECT_EQ(
        GateMessages(),
        Then({{32, "KESTA> Relookup() gate 002x: object not defined in plcaddr 2 any more, rc=172"}}, FailedRead(205)));
    EXPECT_EQ(0u, f.Read(t2, true, 4)) << "the array is still there, under its new handle";
    Forget();
    EXPECT_EQ(2u, f.Read(x2)) << "no second round within 10 s";
    EXPECT_EQ(0u, MasterFrames());
    EXPECT_EQ(GateMessages(), FailedRead(205));
    // Back in the program: a look-up (here the host's parse) finds it as registered again.
    St(2).addObject(ObjectSpec::Scalar("x", kTypeInt16, 55));
    EXPECT_EQ(0u, f.Parse(x2, "002x", GATE_SIGNED16));
    EXPECT_EQ(0u, f.Read(x2));
    EXPECT_EQ(55, Value(x2));
}

TEST_F(Healing, AnObjectOfAnotherLengthFailsItsGates) {
    Start("RELOOKUP_ON_ERROR = 1\n");
    ASSERT_TRUE(St(2).resizeObject("t", 6));
    EXPECT_EQ(2u, f.Read(t2, true, 4));
    EXPECT_EQ(GateMessages(),
              Logged({{32, "KESTA> Relookup() gate 002t: object changed in plcaddr 2: kind 1, type 5, length 12 "
                           "(parsed: 1, 5, 8)"},
                      {8, "KESTA> DoRead() read, ErrCode: 205"},
                      {8, "KESTA> BlockRead(), rc= 2"}}));
    EXPECT_EQ(0u, f.Read(x2));
}

TEST_F(Healing, AStationAnsweringWithErrorsIsLookedUpOnceIn10Seconds) {
    Start("RELOOKUP_ON_ERROR = 1\n");
    kesta::sim::Fault error;
    error.kind = kesta::sim::FaultKind::Error;
    error.param = 4;
    St(2).addFault(error);
    EXPECT_EQ(0u, f.Read(x2)) << "the error, the round, the read once more";
    St(2).addFault(error);
    Forget();
    EXPECT_EQ(2u, f.Read(x2));
    EXPECT_EQ(1u, Requests().size()) << "an honest error within 10 s brings no second round";
    EXPECT_EQ(GateMessages(), FailedRead(104));
}

TEST_F(Healing, ASampleGateOfARestartedStationFindsItsStructureAgain) {
    St(2).addSampleStructure("ev");
    St(2).queueRecord("ev", kesta::sim::MessageRecord(26, 12, 2001, 14, 30, 45, 5, 7, true));
    Start("RELOOKUP_ON_ERROR = 1\n");
    DriverFixture::Gate ev;
    ASSERT_EQ(0u, f.Parse(ev, "002_Mev", GATE_UNSIGNED32));
    St(2).restart();
    Forget();
    EXPECT_EQ(0u, f.Read(ev));
    EXPECT_EQ(1u, St(2).acknowledgedRecords("ev"));
    EXPECT_EQ((std::vector<std::string>{"x", "t", "ev", "ev.toggle"}), Lookups());
}

// Both keys: a station switched off is set aside; switched on again it has forgotten its connection, and
// the first read after the pause finds it back, connects, looks up and reads.
TEST_F(Healing, AStationSwitchedOffAndOnIsBackWithoutTheHost) {
    Start(std::string(kSilentKeys) + "RELOOKUP_ON_ERROR = 1\n");
    St(3).switchOff();
    f.Read(x3);
    f.Read(x3);
    St(3).switchOn();
    St(3).setValue("x", 31);
    std::this_thread::sleep_for(milliseconds(450));
    Forget();
    EXPECT_EQ(0u, f.Read(x3));
    EXPECT_EQ(31, Value(x3));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> SetAside() plcaddr 3 answers again"}}));
}

// ---- PORT_REOPEN_INTERVAL ---------------------------------------------------------------------------

TEST_F(Healing, WithoutTheKeyAPulledDeviceStaysLostUntilReOpenCom) {
    StartLinked("");
    f.sim().unplug(milliseconds(200));
    EXPECT_EQ(2u, f.Read(x2));
    ASSERT_TRUE(f.sim().waitUntil([&] { return f.sim().plugged(); }, milliseconds(3000)));
    EXPECT_EQ(2u, f.Read(x2));
    EXPECT_EQ(GateMessages(), Then(FailedRead(1), FailedRead(1)));
    EXPECT_EQ(0u, f.Call(KVI_REOPEN_COM));
    EXPECT_EQ(0u, f.Read(x2));
}

TEST_F(Healing, APulledDeviceIsReopenedByItsNameWithinTheInterval) {
    StartLinked("PORT_REOPEN_INTERVAL = 200\n");
    const KestaHandle handle = f.instance().portHandle;
    f.sim().unplug(milliseconds(600));
    EXPECT_EQ(2u, f.Read(x2));
    long long ms = 0;
    EXPECT_EQ(2u, TimedRead(x2, &ms));
    EXPECT_LT(ms, 100) << "the device is closed: reads fail at once";
    const std::vector<LoggedMessage> lost = GateMessages();
    ASSERT_EQ(5u, lost.size());
    EXPECT_EQ(lost[0], (LoggedMessage{32, "KESTA> ReopenPort() port " + port +
                                              " failed, system error 5: closed, reopened every 200 ms"}));
    EXPECT_EQ(lost[1], FailedRead(1)[0]);
    EXPECT_EQ(lost[3], FailedRead(204)[0]);
    ASSERT_TRUE(f.sim().waitUntil([&] { return f.sim().plugged(); }, milliseconds(3000)));
    f.sim().clearTraffic();
    f.ClearMessages();
    St(2).setValue("x", 77);
    const Clock::time_point back = Clock::now();
    uint32_t rc = 2;
    while (rc != 0 && Clock::now() - back < milliseconds(3000)) {
        rc = f.Read(x2);
        if (rc != 0)
            std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(0u, rc);
    EXPECT_EQ(77, Value(x2));
    EXPECT_EQ(handle, KestaHandle{f.instance().portHandle}) << "the host keeps its port handle";
    EXPECT_EQ(1u, f.Count("KESTA> ReopenPort() port " + port + " reopened"));
    // The station is connected again on demand before the first read on the new device.
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(0xFF, requests[0].marker);
    EXPECT_EQ(0u, f.Read(x3)) << "and the other station of the line too";
}

TEST_F(Healing, CloseComStopsTheReopening) {
    StartLinked("PORT_REOPEN_INTERVAL = 100\n");
    f.sim().unplug(milliseconds(200));
    EXPECT_EQ(2u, f.Read(x2));
    EXPECT_EQ(0u, f.Call(KVI_CLOSE_COM));
    ASSERT_TRUE(f.sim().waitUntil([&] { return f.sim().plugged(); }, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(150));
    f.ClearMessages();
    EXPECT_EQ(1u, f.Read(x2)) << "the port is closed";
    EXPECT_TRUE(GateMessages().empty());
    EXPECT_EQ(0u, f.Call(KVI_REOPEN_COM));
    EXPECT_EQ(0u, f.Read(x2));
}

// All three keys: the device comes back while the station is off, so the connect it owes after the
// reopen meets silence and sets it aside. The stack refuses every request to an entry whose connect
// failed, so the probe after the pause is that connect, sent once; back, the station's objects are looked
// up, and the read goes out as usual.
TEST_F(Healing, AConnectOwedIsTheProbeOfAStationSetAside) {
    StartLinked("PORT_REOPEN_INTERVAL = 100\nSILENT_STATION_LIMIT = 1\nSILENT_STATION_PAUSE = 300\n"
                "RELOOKUP_ON_ERROR = 1\n");
    f.sim().unplug(milliseconds(200));
    EXPECT_EQ(2u, f.Read(x2));
    St(2).switchOff();
    ASSERT_TRUE(f.sim().waitUntil([&] { return f.sim().plugged(); }, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(2u, f.Read(x2)) << "reopened, the connect meets silence";
    EXPECT_TRUE(f.Logged("KESTA> SetAside() plcaddr 2 silent for 1 requests in a row: set aside for 300 ms"));
    St(2).switchOn();
    St(2).setValue("x", 22);
    std::this_thread::sleep_for(milliseconds(350));
    Forget();
    EXPECT_EQ(0u, f.Read(x2));
    EXPECT_EQ(22, Value(x2));
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_EQ(4u, requests.size()) << "the connect, two look-ups, the read";
    EXPECT_EQ(0xFF, requests[0].marker);
    EXPECT_EQ((std::vector<std::string>{"x", "t"}), Lookups());
    EXPECT_EQ(4u, FramesTo(2)) << "each sent once";
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> SetAside() plcaddr 2 answers again"}}));
}

// The device's close fails (on POSIX the descriptor is given up all the same): the port is reopened all
// the same, nothing is closed twice, and EndKvi closes the port once.
TEST_F(Healing, ADeviceWhoseCloseFailsIsReopenedAndClosedOnce) {
    StartLinked("PORT_REOPEN_INTERVAL = 100\n");
    f.sim().unplug(milliseconds(200));
    plat_port_fail_next_closes(1);
    EXPECT_EQ(2u, f.Read(x2));
    plat_port_fail_next_closes(0);
    ASSERT_TRUE(f.sim().waitUntil([&] { return f.sim().plugged(); }, milliseconds(3000)));
    uint32_t rc = 2;
    for (int i = 0; i < 100 && rc != 0; ++i) {
        rc = f.Read(x2);
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(0u, rc);
    EXPECT_EQ(0u, f.End());
}

} // namespace

// ---- The healing keys beside READ_GROUP_MS ------------------------------------------------------------

class HealingGroups : public Healing {
protected:
    // Station 2 with a second single value, so that a read of 002x carries 002y along.
    void StartGroups(const std::string &keys) {
        St(2).addObject(ObjectSpec::Scalar("y", kTypeInt16, 202));
        Start(keys);
        ASSERT_EQ(0u, f.Parse(y2, "002y", GATE_SIGNED16));
        Forget();
    }
    DriverFixture::Gate y2;
};

// A group is one request of its station's like any other: its silence counts, and once the station is
// set aside a grouped read fails at once with the set-aside code, not as a list the station refused.
TEST_F(HealingGroups, AGroupOfASilentStationCountsAndIsRefusedOnceItIsSetAside) {
    StartGroups(std::string("READ_GROUP_MS = 1\n") + kSilentKeys);
    St(2).switchOff();
    EXPECT_EQ(2u, f.Read(x2));
    EXPECT_EQ(2u, f.Read(x2));
    EXPECT_EQ(8u, FramesTo(2)) << "two requests, four sendings each";
    Forget();
    long long ms = 0;
    EXPECT_EQ(2u, TimedRead(x2, &ms));
    EXPECT_EQ(2u, TimedRead(y2, &ms));
    EXPECT_LT(ms, 100);
    EXPECT_EQ(0u, FramesTo(2));
    EXPECT_EQ(GateMessages(), Then(FailedRead(203), FailedRead(203)));
}

// A restarted station refuses a group under the old handles as a whole: the asked gate is then read on
// its own, which brings the look-ups, and every later group goes out under the new handles.
TEST_F(HealingGroups, AfterARestartGroupsGoOutUnderTheNewHandles) {
    StartGroups("READ_GROUP_MS = 60000\nRELOOKUP_ON_ERROR = 1\n");
    St(2).restart();
    St(2).setValue("x", -7);
    St(2).setValue("y", -8);
    EXPECT_EQ(0u, f.Read(x2));
    EXPECT_EQ(-7, Value(x2));
    EXPECT_TRUE(GateMessages().empty());
    Forget();
    EXPECT_EQ(0u, f.Read(y2));
    EXPECT_EQ(-8, Value(y2));
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(St(2).handle("y"), requests.back().items.at(0).handle);
    EXPECT_TRUE(GateMessages().empty());
}
