// EWT sample gates through KviMain: records read from the simulator's structures, stored into the
// reference runtime's time-stamp gates with their own time, acknowledged through ".toggle".
#include "gate_line.h"

#include <math.h>

#include <atomic>
#include <thread>

#include "plc/gates.h"
#include "plc/sample_gate.h"

namespace {

using kesta::sim::MeasurementRecord;
using kesta::sim::MessageRecord;
using kesta::sim::SampleRecord;

const char kCet[] = "CET-1CEST,M3.5.0,M10.5.0/3";
const uint32_t kMessageGate = 101;     // 001_M005_007
const uint32_t kMeasurementGate = 102; // 001_V005_007

// Station 1 (the driver's own address moved to 5) with a message structure and a measurement structure.
class SampleLine : public GateLine {
protected:
    void StartWith(uint32_t ewtDelay) {
        talrun()->clear_gates();
        St(1).addSampleStructure("mdata");
        St(1).addSampleStructure("vdata");
        Start("MASTER_ADDRESS = 5\nNUM_OF_SLAVES = 2\nEWT_DELAY_BETWEEN_RECORDS = " + std::to_string(ewtDelay) + "\n");
        ASSERT_EQ(Field(f.instance().ewtDelay), ewtDelay);
        ASSERT_EQ(0u, f.Parse(message, "001_Mmdata", GATE_UNSIGNED32));
        ASSERT_EQ(0u, f.Parse(measurement, "001_Vvdata", GATE_UNSIGNED32));
        f.sim().clearTraffic();
        f.ClearMessages();
    }
    void DefineGates() {
        ASSERT_EQ(0, talrun()->define_gate("001_M005_007", kMessageGate));
        ASSERT_EQ(0, talrun()->define_gate("001_V005_007", kMeasurementGate));
    }
    const TalrunRefApi *talrun() { return hostlog::Attach(TALRUN_SO_PATH); }

    // What the host stored for a gate: stores, cooked value, time stamp; stores 0 when nothing.
    struct Stored {
        uint32_t stores = 0;
        double value = NAN;
        int32_t timeStamp = 0;
    };
    Stored Gate(uint32_t id) {
        Stored s;
        unsigned char value[8];
        if (talrun()->gate_value(id, value, &s.timeStamp, &s.stores) == 0)
            s.value = talrun()->cooked_double(value);
        return s;
    }
    uint32_t Count(DriverFixture::Gate &gate) { return Word32(gate.cell); }

    DriverFixture::Gate message, measurement;
};

TEST_F(SampleLine, WorkedExamplesGoToTheirGatesWithTheirLocalTime) {
    ScopedTimeZone zone(kCet);
    StartWith(0);
    DefineGates();
    St(1).queueRecord("mdata", SampleRecord{0x01, 0x1A, 0x0C, 0x00, 0x07, 0xD1, 0x0E, 0x1E, 0x2D, 0x05, 0x07, 0x01});
    St(1).queueRecord("vdata", SampleRecord{0x01, 0x1A, 0x0C, 0x00, 0x07, 0xD1, 0x0E, 0x1E, 0x05, 0x07, 0x01, 0xF4});

    EXPECT_EQ(0u, f.Read(message));
    EXPECT_EQ(Count(message), 1u);
    EXPECT_EQ(0u, f.Read(measurement));
    EXPECT_EQ(Count(measurement), 2u); // the count is the instance's, shared by all sample gates

    const Stored m = Gate(kMessageGate);
    EXPECT_EQ(m.stores, 1u);
    EXPECT_EQ(m.value, 1.0);
    EXPECT_EQ(m.timeStamp, 1009373445); // 26.12.2001 14:30:45 CET
    const Stored v = Gate(kMeasurementGate);
    EXPECT_EQ(v.stores, 1u);
    EXPECT_EQ(v.value, 500.0);
    EXPECT_EQ(v.timeStamp, 1009373400); // 14:30:00: measurements carry no seconds
    uint8_t driverId = 0;
    char address[32];
    ASSERT_EQ(0, talrun()->last_lookup(&driverId, address, sizeof address));
    EXPECT_EQ(driverId, static_cast<uint8_t>(f.driverNumber()));

    // On the line: the 12-byte record read and the toggle acknowledged with a 0, per gate.
    const std::vector<TrafficRecord> requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].items[0].handle, St(1).handle("mdata"));
    EXPECT_EQ(requests[0].items[0].length, 12u);
    EXPECT_EQ(requests[1].items[0].handle, St(1).handle("mdata.toggle"));
    EXPECT_EQ(requests[1].items[0].length, 1u);
    EXPECT_EQ(requests[1].items[0].data.at(0), 0);
    EXPECT_EQ(requests[3].items[0].handle, St(1).handle("vdata.toggle"));
    EXPECT_EQ(St(1).acknowledgedRecords("mdata"), 1u);
    EXPECT_EQ(St(1).acknowledgedRecords("vdata"), 1u);
    EXPECT_TRUE(GateMessages().empty());
}

TEST_F(SampleLine, WithoutDelayEachReadTakesOneRecord) {
    StartWith(0);
    DefineGates();
    for (int minute = 1; minute <= 3; ++minute)
        St(1).queueRecord("mdata", MessageRecord(1, 2, 2003, 4, minute, 6, 5, 7, minute != 2));
    for (uint32_t expected = 1; expected <= 3; ++expected) {
        EXPECT_EQ(0u, f.Read(message));
        EXPECT_EQ(Count(message), expected);
        EXPECT_EQ(Gate(kMessageGate).stores, expected);
    }
    EXPECT_EQ(Gate(kMessageGate).value, 1.0);
    EXPECT_EQ(Requests().size(), 6u);
    // Empty now: one read of the structure, the count as it was, nothing logged.
    f.sim().clearTraffic();
    EXPECT_EQ(0u, f.Read(message));
    EXPECT_EQ(Count(message), 3u);
    EXPECT_EQ(Requests().size(), 1u);
    EXPECT_TRUE(GateMessages().empty());
}

TEST_F(SampleLine, WithDelayOneReadEmptiesTheStructure) {
    StartWith(100);
    DefineGates();
    for (int minute = 1; minute <= 3; ++minute)
        St(1).queueRecord("mdata", MessageRecord(1, 2, 2003, 4, minute, 6, 5, 7, true));
    const auto begin = Clock::now();
    EXPECT_EQ(0u, f.Read(message));
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(300));
    EXPECT_EQ(Count(message), 3u);
    EXPECT_EQ(Gate(kMessageGate).stores, 3u);
    EXPECT_EQ(St(1).pendingRecords("mdata"), 0u);
    EXPECT_EQ(Requests().size(), 7u); // three records and their acknowledgements, then the empty one
    EXPECT_EQ(GateMessages(), Logged({{8, "KESTA> ReadSampleGate()  3 message records read"}}));

    f.ClearMessages();
    St(1).queueRecord("vdata", MeasurementRecord(1, 2, 2003, 4, 5, 5, 7, 42));
    EXPECT_EQ(0u, f.Read(measurement));
    EXPECT_EQ(Count(measurement), 4u);
    EXPECT_EQ(Gate(kMeasurementGate).value, 42.0);
    EXPECT_EQ(GateMessages(), Logged({{8, "KESTA> ReadSampleGate()  1 measurement records read"}}));

    // Nothing waiting: no summary.
    f.ClearMessages();
    EXPECT_EQ(0u, f.Read(measurement));
    EXPECT_TRUE(GateMessages().empty());
}

// The pause is as long as the file asks, however long; but when the host ends the instance meanwhile
// the pause ends with it, and the host's thread comes back at once with nothing more stored.
TEST_F(SampleLine, EndKviEndsALongPauseBetweenRecords) {
    StartWith(600000); // ten minutes between two records
    DefineGates();
    for (int minute = 1; minute <= 2; ++minute)
        St(1).queueRecord("mdata", MessageRecord(1, 2, 2003, 4, minute, 6, 5, 7, true));
    message.cell[0] = 0xAB;
    std::atomic<uint32_t> rc(99);
    const auto begin = Clock::now();
    std::thread reader([&] { rc = f.Read(message); });
    // The first record is stored and acknowledged; the read then pauses.
    for (int i = 0; i < 500 && St(1).pendingRecords("mdata") != 1u; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(St(1).pendingRecords("mdata"), 1u);
    EXPECT_EQ(0u, f.End());
    reader.join();
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(20));
    EXPECT_EQ(0u, rc.load());
    EXPECT_EQ(Gate(kMessageGate).stores, 1u);
    EXPECT_EQ(0xAB, message.cell[0]); // the ended run's count is not stored
    EXPECT_EQ(St(1).pendingRecords("mdata"), 1u);
}

TEST_F(SampleLine, RecordsThatCannotBeStoredAreCountedAndAcknowledged) {
    ScopedTimeZone zone("UTC0");
    StartWith(0);
    St(1).queueRecord("mdata", MessageRecord(26, 12, 2001, 24, 30, 45, 5, 7, true));
    St(1).queueRecord("mdata", MessageRecord(31, 12, 1969, 23, 59, 59, 5, 7, true));
    St(1).queueRecord("mdata", MessageRecord(19, 1, 2038, 3, 14, 8, 5, 7, true));
    St(1).queueRecord("mdata", MessageRecord(1, 1, 2002, 0, 0, 0, 5, 7, true)); // the host has no such gate
    St(1).queueRecord("mdata", MessageRecord(1, 1, 2002, 0, 0, 0, 5, 7, true)); // the host refuses the store
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(0u, f.Read(message));
    DefineGates();
    talrun()->fail_put(9);
    EXPECT_EQ(0u, f.Read(message));
    talrun()->fail_put(0);

    EXPECT_EQ(Count(message), 5u);
    EXPECT_EQ(St(1).acknowledgedRecords("mdata"), 5u);
    EXPECT_EQ(Gate(kMessageGate).stores, 0u);
    const std::string kvi = "KESTA> ReadSampleGate() gate KVI" + std::to_string(f.driverNumber());
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> TimeStamp() ill. time 26/12/101 24:30:45 received (1)"},
                                      {32, "KESTA> TimeStamp() ill. time 31/12/69 23:59:59 received (2)"},
                                      {32, "KESTA> TimeStamp() ill. time 19/01/138 3:14:08 received (2)"},
                                      {32, kvi + " GAS '001_M005_007' not defined, rc 1"},
                                      {32, "KESTA> ReadSampleGate() Tal5PutGateVal failed rc 9"}}));
}

TEST_F(SampleLine, TimeStampGatesAreFedNotPolled) {
    StartWith(0);
    DefineGates();
    DriverFixture::Gate stamp, unpadded;
    ASSERT_EQ(0u, f.Parse(stamp, "001_M005_007", GATE_DIGITAL));
    ASSERT_EQ(0u, f.Parse(unpadded, "001_M5_7", GATE_DIGITAL)); // accepted, but records look up 001_M005_007
    EXPECT_EQ(MasterFrames(), 0u);
    St(1).queueRecord("mdata", MessageRecord(1, 2, 2003, 4, 5, 6, 5, 7, true));
    EXPECT_EQ(0u, f.Read(message));
    uint8_t driverId = 0;
    char address[32];
    ASSERT_EQ(0, talrun()->last_lookup(&driverId, address, sizeof address));
    EXPECT_STREQ(address, "001_M005_007");
}

TEST_F(SampleLine, FailedRequestsEndTheReadAndLeaveTheCell) {
    StartWith(100);
    DefineGates();
    std::string error;
    kesta::sim::FaultScript script;
    ASSERT_TRUE(kesta::sim::ParseFaultScript("silence*4", &script, &error)) << error;
    St(1).setFaults(script);
    memset(message.cell, 0x11, 4);
    EXPECT_EQ(2u, f.Read(message));
    EXPECT_EQ(message.cell[0], 0x11);

    // The record is read and stored, its acknowledgement goes unheard: counted, stored, read again later.
    St(1).queueRecord("mdata", MessageRecord(1, 2, 2003, 4, 5, 6, 5, 7, true));
    ASSERT_TRUE(kesta::sim::ParseFaultScript("ok,silence*4", &script, &error)) << error;
    St(1).setFaults(script);
    EXPECT_EQ(2u, f.Read(message));
    EXPECT_EQ(message.cell[0], 0x11);
    EXPECT_EQ(Field(f.instance().sampleCount), 1u);
    EXPECT_EQ(Gate(kMessageGate).stores, 1u);

    ASSERT_TRUE(kesta::sim::ParseFaultScript("error=5/0x10", &script, &error)) << error;
    St(1).setFaults(script);
    EXPECT_EQ(2u, f.Read(message));
    EXPECT_EQ(GateMessages(), Logged({{32, "KESTA> ReadSampleGate() Read, ErrCode: 10"},
                                      {8, "KESTA> SingleRead(), rc= 2"},
                                      {32, "KESTA> ReadSampleGate() Write toggle, ErrCode: 10"},
                                      {8, "KESTA> SingleRead(), rc= 2"},
                                      {32, "KESTA> ReadSampleGate() Read, ErrCode: 105"},
                                      {8, "KESTA> SingleRead(), rc= 2"}}));
    EXPECT_EQ(St(1).pendingRecords("mdata"), 1u);
}

TEST_F(SampleLine, AStructureThatNeverRunsEmptyGivesUpAfter1000Records) {
    StartWith(1);
    DefineGates();
    for (int i = 0; i < 1005; ++i)
        St(1).queueRecord("mdata", MessageRecord(1, 2, 2003, 4, 5, 6, 5, 7, true));
    EXPECT_EQ(0u, f.Read(message));
    EXPECT_EQ(Count(message), 1000u);
    EXPECT_EQ(St(1).pendingRecords("mdata"), 5u);
    EXPECT_EQ(GateMessages(),
              Logged({{32, "KESTA> ReadSampleGate() 1000 records read, the rest waits for the next read"},
                      {8, "KESTA> ReadSampleGate() 1000 message records read"}}));
    f.ClearMessages();
    EXPECT_EQ(0u, f.Read(message));
    EXPECT_EQ(Count(message), 1005u);
    EXPECT_EQ(GateMessages(), Logged({{8, "KESTA> ReadSampleGate()  5 message records read"}}));
}

} // namespace
