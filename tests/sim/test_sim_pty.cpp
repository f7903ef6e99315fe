// The simulator on a real pseudo-terminal against a minimal master written here: connect, lookup,
// write and read, segments, multidrop, echo and pacing, a fault and its retransmission, the program.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/hex.h"
#include "support/golden.h"
#include "tools/decode/pcapng.h"
#include "tools/sim/codec.h"

using namespace kesta::sim;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string Handle(uint16_t h) {
    const uint8_t b[2] = {static_cast<uint8_t>(h), static_cast<uint8_t>(h >> 8)};
    return Hex(b, 2);
}

// Master at address 1 on the slave side of the line.
class Master {
public:
    explicit Master(const std::string &path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd_, 0) << path << ": " << std::strerror(errno);
        termios t;
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Master() {
        if (fd_ >= 0)
            close(fd_);
    }

    void write(const std::vector<uint8_t> &bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Raw bytes until n are in or the deadline passes.
    std::vector<uint8_t> readBytes(size_t n, milliseconds timeout) {
        std::vector<uint8_t> got;
        const auto end = Clock::now() + timeout;
        while (got.size() < n && Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                uint8_t b[600];
                const ssize_t r = ::read(fd_, b, std::min(sizeof b, n - got.size()));
                if (r > 0)
                    got.insert(got.end(), b, b + r);
            }
        }
        return got;
    }

    // The next frame with good checksums addressed to us; false at the deadline.
    bool receive(Frame *f, milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            uint8_t b;
            while (::read(fd_, &b, 1) == 1) {
                if (rx_.feed(b) == FrameReceiver::Event::Frame && ParseFrame(rx_.frame(), f) && f->destination == 1)
                    return true;
            }
        }
        return false;
    }

    std::vector<uint8_t> frame(uint8_t station, uint8_t type, const std::vector<uint8_t> &data) {
        ++seq_;
        return BuildFrame(station, 1, seq_ & 15, type, data.data(), data.size());
    }

    // One request message in one frame; reply segments fetched; retransmitted on silence.
    std::vector<uint8_t> exchange(uint8_t station, const std::vector<uint8_t> &message, int tries = 1) {
        std::vector<uint8_t> data;
        PutPrefix(data, static_cast<uint32_t>(message.size()));
        data.insert(data.end(), message.begin(), message.end());
        const auto request = frame(station, kRequestLast, data);
        std::vector<uint8_t> reply;
        Frame f;
        bool got = false;
        for (int i = 0; i < tries && !got; ++i) {
            write(request);
            got = receive(&f, milliseconds(i + 1 < tries ? 300 : 3000));
        }
        while (got) {
            EXPECT_EQ(f.sequence, seq_ & 15);
            uint32_t remaining;
            size_t prefix;
            EXPECT_TRUE(GetPrefix(f.data.data(), f.data.size(), &remaining, &prefix));
            if (f.type != kReplyMore) {
                reply.insert(reply.end(), f.data.begin() + static_cast<long>(prefix),
                             f.data.begin() + static_cast<long>(prefix + remaining));
                return reply;
            }
            reply.insert(reply.end(), f.data.begin() + static_cast<long>(prefix), f.data.end());
            write(frame(station, kNextReplySegment, {}));
            got = receive(&f, milliseconds(3000));
        }
        ADD_FAILURE() << "no reply from station " << int(station);
        return reply;
    }

    uint16_t lookup(uint8_t station, const std::string &name) {
        std::vector<uint8_t> m = HexBytes("00 00 01 11 00 01");
        m.insert(m.end(), name.begin(), name.end());
        m.push_back(0);
        const auto r = exchange(station, m);
        if (r.size() != 26 || r[4] != 0)
            return 0;
        return static_cast<uint16_t>(r[6] | r[7] << 8);
    }

    int fd() const { return fd_; }

private:
    int fd_ = -1;
    uint8_t seq_ = 0;
    FrameReceiver rx_;
};

} // namespace

TEST(SimPty, ConnectLookupWriteRead) {
    Simulator sim;
    Station &st = sim.addStation(2);
    st.addObject(ObjectSpec::Scalar("speed", kTypeInt16, 1500));
    std::string error;
    ASSERT_TRUE(sim.createPty(&error)) << error;
    EXPECT_EQ("/dev/" + sim.portName(), sim.devicePath());
    EXPECT_LE(sim.portName().size(), 11u);
    ASSERT_TRUE(sim.start(&error)) << error;

    Master m(sim.devicePath());
    EXPECT_EQ(Hex(m.exchange(2, HexBytes(golden::kConnectRequest))), golden::kConnectReply);
    const uint16_t h = m.lookup(2, "speed");
    ASSERT_EQ(h, st.handle("speed"));
    EXPECT_EQ(Hex(m.exchange(2, HexBytes("00 00 02 32 00 01 " + Handle(h) + " 00 00 02 00 FF FE"))), "00 00 02 32");
    EXPECT_EQ(st.value("speed"), -2);
    st.setValue("speed", 0x1234);
    EXPECT_EQ(Hex(m.exchange(2, HexBytes("00 00 03 31 00 01 " + Handle(h) + " 00 00 02 00"))), "00 00 03 31 12 34");

    ASSERT_TRUE(sim.waitForReplies(2, 4, milliseconds(2000)));
    const auto traffic = sim.traffic();
    bool sawWrite = false;
    for (const TrafficRecord &r : traffic)
        if (r.direction == Direction::FromMaster && r.hasMessage && r.code == kCodeWriteLong) {
            ASSERT_EQ(r.items.size(), 1u);
            EXPECT_EQ(r.items[0].handle, h);
            EXPECT_EQ(Hex(r.items[0].data), "FF FE");
            sawWrite = true;
        }
    EXPECT_TRUE(sawWrite);
}

TEST(SimPty, MultidropSegmentsAndForeignFrames) {
    Simulator sim;
    sim.addStation(2);
    sim.addStation(3).addObject(ObjectSpec::Array("big", kTypeInt32, 300));
    std::string error;
    ASSERT_TRUE(sim.createPty(&error)) << error;
    ASSERT_TRUE(sim.start(&error)) << error;
    Master m(sim.devicePath());
    // A frame to an address without a station goes unanswered; the next one is answered.
    m.write(m.frame(9, kRequestLast, HexBytes("00 04 00 00 01 12")));
    const uint16_t h = m.lookup(3, "big");
    ASSERT_NE(h, 0);
    const auto r = m.exchange(3, HexBytes("00 00 02 31 00 01 " + Handle(h) + " 00 00 B0 04"));
    EXPECT_EQ(r.size(), 4u + 1200u);
    EXPECT_EQ(sim.station(3)->stats().replySegments, 2u);
    EXPECT_EQ(sim.station(2)->stats().frames, 0u);
    EXPECT_TRUE(sim.waitUntil([&] { return sim.lineStats().foreignFrames == 1; }, milliseconds(2000)));
}

TEST(SimPty, SilenceThenRetransmissionIsAnswered) {
    Simulator sim;
    Station &st = sim.addStation(2);
    std::string error;
    FaultScript script;
    ASSERT_TRUE(ParseFaultScript("silence,noise=4", &script, &error)) << error;
    st.setFaults(script);
    ASSERT_TRUE(sim.createPty(&error)) << error;
    ASSERT_TRUE(sim.start(&error)) << error;
    Master m(sim.devicePath());
    EXPECT_EQ(Hex(m.exchange(2, HexBytes("00 00 05 12 49 44 00"), 2)), "00 00 05 12 00 00 49 44 00");
    const StationStats s = st.stats();
    EXPECT_EQ(s.Faults(FaultKind::Silence), 1u);
    EXPECT_EQ(s.Faults(FaultKind::Noise), 1u);
    EXPECT_EQ(s.requests, 1u);
}

TEST(SimPty, EchoComesFirstAndOutputIsPaced) {
    Simulator sim;
    sim.addStation(2);
    sim.setEcho(true);
    sim.setBaud(9600);
    std::string error;
    ASSERT_TRUE(sim.createPty(&error)) << error;
    ASSERT_TRUE(sim.start(&error)) << error;
    Master m(sim.devicePath());
    const auto data = HexBytes(golden::kConnectRequestData);
    const auto request = m.frame(2, kRequestLast, data);
    // Timed from before the request: a stall of this thread can only lengthen what is measured.
    const auto start = Clock::now();
    m.write(request);
    EXPECT_EQ(Hex(m.readBytes(request.size(), milliseconds(2000))), Hex(request));
    const auto reply = m.readBytes(24, milliseconds(3000));
    const auto took = Clock::now() - start;
    ASSERT_EQ(reply.size(), 24u);
    EXPECT_TRUE(FrameChecksumsOk(reply));
    // The echo is not paced; the answer's 24 characters of 11 bits at 9600 baud take 27.5 ms, less
    // the first, which goes at once.
    EXPECT_GE(took, milliseconds(20));
}

TEST(SimPty, WireTimingPacesBothDirections) {
    Simulator sim;
    sim.addStation(2);
    sim.setBaud(9600);
    sim.setWireTiming(true);
    std::string error;
    ASSERT_TRUE(sim.createPty(&error)) << error;
    ASSERT_TRUE(sim.start(&error)) << error;
    Master m(sim.devicePath());
    const auto request = m.frame(2, kRequestLast, HexBytes(golden::kConnectRequestData));
    ASSERT_EQ(request.size(), 24u);
    const auto start = Clock::now();
    m.write(request);
    const auto reply = m.readBytes(24, milliseconds(3000));
    const auto took = Clock::now() - start;
    ASSERT_EQ(reply.size(), 24u);
    EXPECT_TRUE(FrameChecksumsOk(reply));
    // The request's 24 characters must have travelled before the answer starts, and the answer's 24
    // take as long again: 48 characters of 11 bits at 9600 baud are 55 ms.
    EXPECT_GE(took, std::chrono::microseconds(55000));
    EXPECT_LT(took, milliseconds(1000));
}

TEST(SimPty, InjectedBytesReachTheMaster) {
    Simulator sim;
    sim.addStation(2);
    std::string error;
    ASSERT_TRUE(sim.createPty(&error)) << error;
    ASSERT_TRUE(sim.start(&error)) << error;
    Master m(sim.devicePath());
    sim.inject(HexBytes("55 AA 02"));
    EXPECT_EQ(Hex(m.readBytes(3, milliseconds(2000))), "55 AA 02");
    EXPECT_TRUE(sim.waitUntil([&] { return sim.lineStats().bytesInjected == 3; }, milliseconds(2000)));
}

TEST(SimPty, StopsQuickly) {
    Simulator sim;
    sim.addStation(2);
    std::string error;
    ASSERT_TRUE(sim.createPty(&error)) << error;
    ASSERT_TRUE(sim.start(&error)) << error;
    const auto start = Clock::now();
    sim.stop();
    EXPECT_LT(Clock::now() - start, milliseconds(500));
    EXPECT_FALSE(sim.running());
}

#ifdef SIM_EXE_PATH
// A pulled device: the descriptor open on it is hung up and its name goes; it comes back as a new
// pseudo-terminal under the same link, whose stations answer as before.
TEST(SimPty, UnpluggedDeviceComesBackUnderItsLink) {
    char dir[] = "/tmp/simtestXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/plc";
    std::string error;
    {
        Simulator sim;
        sim.addStation(2).addObject(ObjectSpec::Scalar("x", kTypeInt16, 7));
        ASSERT_TRUE(sim.createPty(&error)) << error;
        ASSERT_TRUE(sim.linkPty(link, &error)) << error;
        ASSERT_TRUE(sim.start(&error)) << error;
        const std::string before = sim.devicePath();
        Master first(link);
        EXPECT_NE(first.lookup(2, "x"), 0);

        sim.unplug(milliseconds(300));
        ASSERT_TRUE(sim.waitUntil([&] { return !sim.plugged(); }, milliseconds(2000)));
        struct stat st;
        EXPECT_NE(lstat(link.c_str(), &st), 0) << "the device's name is gone while it is out";
        pollfd p{first.fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 1000), 1);
        EXPECT_NE(p.revents & POLLHUP, 0) << "the open descriptor is hung up";
        EXPECT_LT(::write(first.fd(), "x", 1), 0);

        ASSERT_TRUE(sim.waitUntil([&] { return sim.plugged(); }, milliseconds(3000)));
        EXPECT_EQ(sim.replugs(), 1u);
        EXPECT_NE(sim.devicePath(), before);
        char target[128] = {0};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(sim.devicePath(), target);
        Master again(link);
        EXPECT_NE(again.lookup(2, "x"), 0);

        sim.unplug(milliseconds(0)); // out until plugged in again
        ASSERT_TRUE(sim.waitUntil([&] { return !sim.plugged(); }, milliseconds(2000)));
        EXPECT_FALSE(sim.waitUntil([&] { return sim.plugged(); }, milliseconds(300)));
        sim.plug();
        ASSERT_TRUE(sim.waitUntil([&] { return sim.plugged(); }, milliseconds(2000)));
        EXPECT_EQ(sim.replugs(), 2u);
    }
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link goes with the simulator";
    rmdir(dir);
}

// net2000-sim as a child process: started with its arguments, its first line (the banner) awaited,
// stopped with SIGTERM.
class SimProgram {
public:
    explicit SimProgram(std::vector<std::string> args) {
        char dir[] = "/tmp/simtestXXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        dir_ = dir;
        link_ = dir_ + "/plc";
        args.insert(args.begin(), {SIM_EXE_PATH, "--pty", link_, "--baud", "0", "--quiet"});
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(SIM_EXE_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        // The first line names the device; wait for it with a deadline.
        const auto end = Clock::now() + milliseconds(5000);
        while (banner_.find('\n') == std::string::npos && Clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char b[256];
                const ssize_t r = read(out_, b, sizeof b);
                if (r <= 0)
                    break;
                banner_.append(b, static_cast<size_t>(r));
            }
        }
    }
    ~SimProgram() {
        if (pid_ > 0)
            Stop();
        if (out_ >= 0)
            close(out_);
    }
    // SIGTERM, then the exit status (-1 when it had to be killed).
    int Stop() {
        const pid_t pid = pid_;
        pid_ = 0;
        if (pid <= 0)
            return -1;
        kill(pid, SIGTERM);
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 200 && done == 0; ++i) {
            done = waitpid(pid, &status, WNOHANG);
            if (done == 0)
                usleep(10000);
        }
        if (done == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string &banner() const { return banner_; }
    const std::string &link() const { return link_; }
    const std::string &dir() const { return dir_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string dir_, link_, banner_;
};

TEST(SimPty, ProgramMakesPtyLinkAndAnswers) {
    const std::string config = std::string(KESTA_SOURCE_DIR) + "/tools/sim/demo.cfg";
    SimProgram sim({"--config", config});
    EXPECT_NE(sim.banner().find("port name pts/"), std::string::npos) << sim.banner();
    {
        Master m(sim.link());
        EXPECT_EQ(Hex(m.exchange(2, HexBytes(golden::kConnectRequest))), golden::kConnectReply);
        EXPECT_NE(m.lookup(2, "temperature"), 0);
    }
    EXPECT_EQ(0, sim.Stop()) << "net2000-sim stops on SIGTERM within 2 s, with status 0";
    struct stat st;
    EXPECT_NE(lstat(sim.link().c_str(), &st), 0) << "the link is removed at exit";
    rmdir(sim.dir().c_str());
}

// Without --config the demo stations of demo.cfg answer, and --pcapng keeps the line as packets,
// one per frame, master's frames outbound.
TEST(SimPty, ProgramWithoutConfigRunsTheDemoStationsAndWritesPcapng) {
    char dir[] = "/tmp/simcapXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string capture = std::string(dir) + "/line.pcapng";
    SimProgram sim({"--pcapng", capture});
    EXPECT_NE(sim.banner().find("stations 2, 3 on "), std::string::npos) << sim.banner();
    std::vector<std::vector<uint8_t>> frames;
    {
        Master m(sim.link());
        // Station 2 announces long item heads (object 2 = 5), station 3 short ones and a larger buffer.
        EXPECT_EQ(Hex(m.exchange(2, HexBytes("FF 00 01 21 00 04 00 02 00 04 00 05 00 06"))),
                  "00 00 01 21 00 05 01 00 FF FF 00 00 10 00");
        EXPECT_EQ(Hex(m.exchange(3, HexBytes("FF 00 02 21 00 04 00 02 00 04 00 05 00 06"))),
                  "00 00 02 21 00 80 01 00 FF FF 00 00 20 00");
        EXPECT_NE(m.lookup(2, "motor_speed"), 0);
    }
    EXPECT_EQ(0, sim.Stop());
    std::ifstream in(capture, std::ios::binary);
    ASSERT_TRUE(in) << capture;
    kesta::decode::PcapngReader reader(in);
    kesta::decode::PcapngPacket packet;
    std::string directions;
    size_t goodFrames = 0;
    while (reader.next(&packet)) {
        directions += packet.direction;
        goodFrames += packet.bytes.size() >= 8 && packet.bytes[0] == 0x02 && packet.comment.empty();
    }
    EXPECT_EQ("", reader.error());
    ASSERT_EQ(1u, reader.interfaces().size());
    EXPECT_EQ(kesta::decode::kPcapngLinkType, reader.interfaces()[0].linkType);
    EXPECT_EQ(0u, reader.interfaces()[0].name.find("pts/")) << reader.interfaces()[0].name;
    // Three requests and their replies; the station 3 connect asks for an Ack (ack=final): Ack, AckFinal.
    EXPECT_GE(goodFrames, 6u);
    EXPECT_EQ(0u, directions.find("MS")) << directions;
    EXPECT_EQ(std::string::npos, directions.find('?')) << directions;
    unlink(capture.c_str());
    rmdir(dir);
    rmdir(sim.dir().c_str());
}
#endif
