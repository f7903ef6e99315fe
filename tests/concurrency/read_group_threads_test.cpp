// Grouped reads (READ_GROUP_MS) from one host thread while another writes: the kept bytes of an object
// are shared between a read (under the instance mutex) and a write (without it). A value a read returns
// is one the station held, never older than what the same thread read before, and never one from
// before a write that ended before the read began.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver_line.h"

namespace {

using concurrency::DriverLine;
using kesta::sim::kTypeInt32;
using kesta::sim::ObjectSpec;

enum { ROUNDS = 300 };

TEST(ReadGroupThreads, ReadsFromKeptBytesAndWritesOnTwoThreadsAgree) {
    DriverLine line;
    ASSERT_TRUE(line.ok()) << line.error();
    for (const char *name : {"setpoint", "other1", "other2", "other3"})
        line.station(2).addObject(ObjectSpec::Scalar(name, kTypeInt32, 0));
    // A bound long enough that most reads are answered from kept bytes, short enough that some groups
    // go out while the writer writes.
    line.WriteInitFile("NUM_OF_SLAVES = 1\nREAD_GROUP_MS = 5\n");
    ASSERT_EQ(0u, line.ColdStart(20));
    DriverFixture::Gate setpoint, setpointSeen, others[3];
    ASSERT_EQ(0u, line.Parse(setpoint, "002setpoint"));
    ASSERT_EQ(0u, line.Parse(setpointSeen, "002setpoint"));
    ASSERT_EQ(0u, line.Parse(others[0], "002other1"));
    ASSERT_EQ(0u, line.Parse(others[1], "002other2"));
    ASSERT_EQ(0u, line.Parse(others[2], "002other3"));

    std::atomic<int32_t> lastStarted(0);  // the highest setpoint the writer has begun to write
    std::atomic<int32_t> lastFinished(0); // the highest setpoint the writer has finished writing
    std::atomic<int> readerWrong(0);
    std::atomic<int> writerWrong(0);
    std::atomic<bool> writerDone(false);
    std::atomic<uint64_t> setpointReads(0);
    uint64_t reads = 0;
    std::thread reader([&] {
        int32_t previous = 0;
        const concurrency::Clock::time_point start = concurrency::Clock::now();
        for (int i = 0; !writerDone.load() && concurrency::MillisecondsSince(start) < 60000; ++i, reads += 2) {
            const int32_t floor = lastFinished.load();
            int32_t seen = 0;
            if (line.Read(setpointSeen, &seen) != 0 || seen < previous || seen < floor || seen > lastStarted.load())
                readerWrong++;
            previous = seen;
            setpointReads++;
            int32_t value = 0;
            if (line.Read(others[i % 3], &value) != 0 || value != 0)
                readerWrong++;
        }
    });
    std::thread writer([&] {
        for (int32_t i = 1; i <= ROUNDS; ++i) {
            lastStarted = i;
            if (line.Write(setpoint, i) != 0)
                writerWrong++;
            lastFinished = i;
            // Each write is followed by a read of the object it wrote: that read must not be answered
            // from the bytes kept before the write.
            const uint64_t before = setpointReads.load();
            const concurrency::Clock::time_point wait = concurrency::Clock::now();
            while (setpointReads.load() < before + 2 && concurrency::MillisecondsSince(wait) < 2000)
                std::this_thread::yield();
        }
        writerDone = true;
    });
    reader.join();
    writer.join();
    EXPECT_EQ(0, readerWrong.load());
    EXPECT_EQ(0, writerWrong.load());
    EXPECT_EQ(line.station(2).value("setpoint"), ROUNDS);
    // Reads were answered from kept bytes, and each write sent the next read of its object to the line:
    // fewer requests than reads and writes, at least one read request per write.
    const uint64_t requests = line.station(2).stats().requests;
    EXPECT_LT(requests, reads + ROUNDS);
    EXPECT_GE(requests, 2u * ROUNDS);
    const kesta::sim::LineStats stats = line.sim().lineStats();
    EXPECT_EQ(0u, stats.badHeaders + stats.badData + stats.droppedPartial);
}

} // namespace
