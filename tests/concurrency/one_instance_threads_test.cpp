// One instance used from two host threads at once: reads run under the instance mutex, writes without
// it but under the process-wide line lock. The station must see one whole exchange after another and
// every value must be the one the station holds or the writer wrote.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver_line.h"

namespace {

using concurrency::CountMasterFrames;
using concurrency::DriverLine;
using concurrency::MasterFrames;
using concurrency::UnansweredFrames;
using kesta::sim::kTypeInt32;
using kesta::sim::ObjectSpec;

enum { ROUNDS = 300 };

class OneInstanceThreads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line.ok()) << line.error();
        line.station(2).addObject(ObjectSpec::Scalar("polled", kTypeInt32, 0));
        line.station(2).addObject(ObjectSpec::Scalar("setpoint", kTypeInt32, 0));
        line.WriteInitFile("NUM_OF_SLAVES = 1\n");
        ASSERT_EQ(0u, line.ColdStart(20));
        ASSERT_EQ(0u, line.Parse(polled, "002polled"));
        ASSERT_EQ(0u, line.Parse(setpoint, "002setpoint"));
        ASSERT_EQ(0u, line.Parse(setpointSeen, "002setpoint"));
    }

    DriverLine line;
    DriverFixture::Gate polled;       // the station changes it, the reader reads it
    DriverFixture::Gate setpoint;     // the writer writes it
    DriverFixture::Gate setpointSeen; // the reader reads it while the writer writes
};

TEST_F(OneInstanceThreads, ReadsAndWritesFromTwoThreadsNeverMixFramesOrValues) {
    std::atomic<int32_t> lastStarted(0); // the highest setpoint the writer has begun to write
    std::atomic<int> readerWrong(0);
    std::atomic<int> writerWrong(0);

    std::thread reader([&] {
        int32_t previous = 0;
        for (int32_t i = 1; i <= ROUNDS; ++i) {
            const int32_t value = 1000000 + i;
            line.station(2).setValue("polled", value);
            int32_t got = 0;
            if (line.Read(polled, &got) != 0 || got != value)
                readerWrong++;
            // The setpoint only grows, and never past what the writer has begun to write.
            int32_t seen = 0;
            const uint32_t rc = line.Read(setpointSeen, &seen);
            if (rc != 0 || seen < previous || seen > lastStarted.load())
                readerWrong++;
            previous = seen;
        }
    });
    std::thread writer([&] {
        for (int32_t i = 1; i <= ROUNDS; ++i) {
            lastStarted = i;
            if (line.Write(setpoint, i) != 0 || line.station(2).value("setpoint") != i)
                writerWrong++;
        }
    });
    reader.join();
    writer.join();

    EXPECT_EQ(0, readerWrong.load());
    EXPECT_EQ(0, writerWrong.load());
    const MasterFrames frames = CountMasterFrames(line.sim(), 2);
    EXPECT_GE(frames.total, 3u * ROUNDS);
    EXPECT_EQ(0u, frames.invalid);
    EXPECT_EQ(0u, UnansweredFrames(line.sim()));
    const kesta::sim::LineStats stats = line.sim().lineStats();
    EXPECT_EQ(0u, stats.badHeaders + stats.badData + stats.droppedPartial);
}

} // namespace
