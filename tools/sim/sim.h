// Net2000 PLC station simulator: the far side of the line for the driver's tests and for manual runs.
// Stations answer link frames on a pseudo-terminal or a serial device from a background thread.
// It has its own station-side codec and never includes the driver's layers, whose oracle it is.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kesta::sim {

// ---- Wire constants -----------------------------------------------------------------------------

constexpr uint8_t kStx = 0x02;
constexpr size_t kFrameOverhead = 8;        // header (6) + data checksum (2)
constexpr size_t kMaxFrameData = 510;       // 255 words
constexpr size_t kMaxFrame = 518;           // kFrameOverhead + kMaxFrameData
constexpr size_t kMaxSegmentMessage = 508;  // message bytes behind a 2-byte length prefix in one frame
constexpr uint32_t kLongPrefixFrom = 32768; // remaining lengths from here on take a 4-byte prefix

enum FrameType : uint8_t {
    kRequestLast = 0x1,
    kRequestMore = 0x2,
    kReplyLast = 0x3,
    kReplyMore = 0x4,
    kNextReplySegment = 0x5,
    kSegmentRefused = 0x6,
    kNextRequestSegment = 0x7,
    kReplyAckWanted = 0xD,
    kAck = 0xE,
    kAckFinal = 0xF,
};

enum MessageCode : uint8_t {
    kCodeLookup = 17,
    kCodeText = 18,
    kCodeReadShort = 33,
    kCodeWriteShort = 34,
    kCodeReadLong = 49,
    kCodeWriteLong = 50,
    kCodeError = 153,
    kCodeExtraFlag = 0x80, // ORed into a read/write reply code when extra data follows
};

// Error numbers a station puts into bytes 6-7 of an error reply (code 153).
enum StationError : uint16_t {
    kErrUnknownCode = 0x0001,   // message code the station does not serve
    kErrMalformed = 0x0002,     // message shorter than its count and item heads announce
    kErrUnknownHandle = 0x0003, // item names a handle the station never handed out
    kErrRange = 0x0004,         // item length beyond the object it addresses
    kErrTooLong = 0x0005,       // request message larger than the station's buffer (object 6)
    kErrItemForm = 0x0006,      // strict stations: item head form other than the one announced
    kErrNotConnected = 0x0007,  // since its (re)start the station has not been connected by this master
};

// Object kinds of a lookup reply.
enum ObjectKind : uint8_t {
    kKindSingle = 0,
    kKindArray = 1,
    kKindStructure = 2,
    kKindStructure3 = 3,
};

// PLC data types and their element sizes (0 for codes outside 1..8).
enum DataType : uint16_t {
    kTypeBool = 1,
    kTypeInt16 = 2,
    kTypeInt16b = 3,
    kTypeInt32 = 4,
    kTypeUint16 = 5,
    kTypeUint16b = 6,
    kTypeUint32 = 7,
    kTypeFloat = 8,
};
uint32_t TypeSize(uint16_t dataType);
// Big-endian element of dataType and size bytes; false when the value does not fit.
bool EncodeValue(uint16_t dataType, uint32_t size, double value, uint8_t *out);
double DecodeValue(uint16_t dataType, const uint8_t *bytes, uint32_t size);

// ---- Objects ------------------------------------------------------------------------------------

struct ObjectSpec {
    std::string name;
    uint8_t kind = kKindSingle;
    uint16_t dataType = 0;
    uint32_t elementLength = 0; // 0: TypeSize(dataType)
    uint32_t count = 1;         // elements; the object holds elementLength * count bytes
    std::vector<uint8_t> init;  // initial bytes as the PLC stores them (big-endian); rest zero
    uint32_t aux = 0;           // handed out in lookup replies
    uint16_t handle = 0;        // 0: the station picks one

    static ObjectSpec Scalar(const std::string &name, uint16_t dataType, double value = 0);
    static ObjectSpec Array(const std::string &name, uint16_t dataType, uint32_t count,
                            const std::vector<double> &values = {});
};

// The four station objects that a connect request reads (handles 00 02, 00 04, 00 05, 00 06 on the
// wire). Object 2 below 128 announces long item heads (codes 49/50), from 128 on short ones (33/34).
struct ConnectObjects {
    uint16_t object2 = 0x0005;
    std::array<uint8_t, 2> object4 = {0x01, 0x00}; // the control write stores 2 into its first byte
    uint16_t object5 = 0xFFFF;
    uint32_t object6 = 4096; // message buffer size: the largest request message the station takes
};

// ---- EWT sample records -------------------------------------------------------------------------

using SampleRecord = std::array<uint8_t, 12>;
SampleRecord MessageRecord(int day, int month, int year, int hour, int minute, int second, uint8_t first,
                           uint8_t secondNumber, bool state);
SampleRecord MeasurementRecord(int day, int month, int year, int hour, int minute, uint8_t first, uint8_t secondNumber,
                               uint16_t value);
enum class RecordKind { Message, Measurement };

// ---- Faults -------------------------------------------------------------------------------------

enum class FaultKind : uint8_t {
    None,           // answer normally
    Silence,        // the frame is not heard at all
    NoReply,        // the request is carried out, its answer is lost
    Noise,          // param bytes of noise (never STX) before the answer
    HeaderChecksum, // the answer's header checksum is wrong
    DataChecksum,   // the answer's data checksum is wrong
    OtherStation,   // a frame to another address first, then the answer
    StaleSequence,  // a copy with the previous sequence nibble first, then the answer
    Split,          // the answer in two halves with a pause of param ms
    Error,          // an error reply with number param and flags instead of carrying it out
    Refuse,         // SegmentRefused for a request segment
    // Events of the station or its line, taken by a frame that they keep from being heard:
    SwitchOff, // switched off for param ms; switched on again, it has forgotten its connections
    Restart,   // restarts: every object takes a new handle, its connections are forgotten
    Drop,      // a new program without the object name, then a restart
    Resize,    // a new program where the array name has param elements, then a restart
    Unplug,    // the line's device disappears for param ms, then comes back under the same name
    Count
};
const char *FaultName(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::None;
    uint32_t repeat = 1;  // consecutive frames this step applies to
    uint32_t param = 0;   // noise bytes, pause ms, error number, ms off or unplugged, elements (0: a default)
    uint8_t flags = 0x10; // error replies
    std::string name;     // the object a program change drops or resizes
};

// Steps are taken one per frame the station receives, in order; after the last step frames are
// answered normally, or hit by a random fault at randomRate (0..1) from a generator seeded with seed.
struct FaultScript {
    std::vector<Fault> steps;
    double randomRate = 0;
    uint32_t seed = 1;
};
// "ok,silence*2,noise=8,hcs,dcs,other,stale,split=50,error=5/0x10,refuse,noreply,random=0.1/42",
// "off=2000,restart,drop=speed,resize=table/20,unplug=1500"
bool ParseFaultScript(const std::string &text, FaultScript *script, std::string *error);

enum class AckMode {
    None,     // replies go as ReplyLast (3)
    AckFinal, // last reply frame as ReplyAckWanted (0xD); the master's Ack gets AckFinal (0xF)
    Silent,   // as AckFinal, but the Ack stays unanswered
};

// ---- Traffic ------------------------------------------------------------------------------------

enum class Direction : uint8_t { FromMaster, FromStation };

struct TrafficItem {
    std::string name;    // lookup name or text
    uint16_t handle = 0; // token: first wire byte is the low byte
    uint32_t length = 0;
    std::vector<uint8_t> data; // bytes read or written
    uint8_t status = 0;        // lookup status
    uint8_t kind = 0;
    uint16_t dataType = 0;
    uint32_t aux = 0;
    uint32_t elementLength = 0;
};

struct TrafficRecord {
    double time = 0; // seconds since the simulator started
    Direction direction = Direction::FromMaster;
    std::vector<uint8_t> raw; // the frame as on the line (noise and pauses not included)
    bool valid = true;        // header and data checksum correct
    uint8_t destination = 0, source = 0, sequence = 0, type = 0;
    bool hasPrefix = false;
    uint32_t prefix = 0;
    bool hasMessage = false; // this frame completes a message, decoded below
    uint8_t marker = 0, counter = 0, code = 0;
    uint8_t errorFlags = 0;   // code 153
    uint16_t errorNumber = 0; // code 153
    uint16_t textStatus = 0;  // code 18 replies
    uint32_t messageLength = 0;
    std::vector<TrafficItem> items;
    std::string note; // retransmission, fault injected, ignored, ...
    std::string text; // the log line
};
std::string FormatRecord(const TrafficRecord &record);

struct StationStats {
    uint64_t frames = 0;          // valid frames addressed to the station
    uint64_t requests = 0;        // request messages carried out
    uint64_t replies = 0;         // reply messages completely sent (last frame written)
    uint64_t retransmissions = 0; // repeated frames answered again from the cache
    uint64_t requestSegments = 0; // RequestMore frames answered
    uint64_t replySegments = 0;   // ReplyMore frames sent
    uint64_t acks = 0;            // Ack frames received
    uint64_t errors = 0;          // error replies sent
    std::array<uint64_t, static_cast<size_t>(FaultKind::Count)> faults{};
    uint64_t Faults(FaultKind kind) const { return faults[static_cast<size_t>(kind)]; }
};

struct LineStats {
    uint64_t bytesIn = 0, bytesOut = 0;
    uint64_t framesIn = 0;       // complete frames with good checksums
    uint64_t badHeaders = 0;     // header checksum wrong
    uint64_t badData = 0;        // data checksum wrong
    uint64_t foreignFrames = 0;  // frames for addresses without a station here
    uint64_t droppedPartial = 0; // partial frames dropped after an inter-character pause
    uint64_t writeErrors = 0;
    uint64_t bytesInjected = 0;
};

// ---- Stations and the simulator -----------------------------------------------------------------

class Simulator;
struct StationState;

// One station on the line. Every method may be called from any thread while the line runs.
class Station {
public:
    ~Station();
    uint8_t address() const { return address_; }

    // Objects. addObject returns the handle, 0 with *error set when refused.
    uint16_t addObject(const ObjectSpec &objectSpec, std::string *error = nullptr);
    // A 12-byte read/write structure with its ".toggle" member (byte 0 of the structure).
    uint16_t addSampleStructure(const std::string &name, uint8_t kind = kKindStructure, uint16_t dataType = 0,
                                std::string *error = nullptr);
    // Handle of an object, of "arr[3]" or of "name.toggle"; 0 when unknown.
    uint16_t handle(const std::string &name);
    bool read(const std::string &name, std::vector<uint8_t> *bytes) const;
    std::vector<uint8_t> bytes(const std::string &name) const; // empty when unknown
    bool write(const std::string &name, const std::vector<uint8_t> &bytes, uint32_t offset = 0);
    bool setValue(const std::string &name, double value, uint32_t index = 0);
    double value(const std::string &name, uint32_t index = 0) const; // NaN when unknown

    // EWT records on a sample structure: shown at once when the structure is empty, else queued.
    bool queueRecord(const std::string &structure, const SampleRecord &record);
    size_t pendingRecords(const std::string &structure) const; // queued plus the one shown
    uint64_t acknowledgedRecords(const std::string &structure) const;
    // Keep adding records stamped with the present local time every period (line thread).
    bool generateRecords(const std::string &structure, RecordKind kind, std::chrono::milliseconds period, uint8_t first,
                         uint8_t secondNumber);

    // Behaviour.
    void setConnectObjects(const ConnectObjects &objects);
    ConnectObjects connectObjects() const;                         // current values (object 4 after a control write)
    void setUnknownStatus(uint8_t status);                         // lookup status byte for unknown names (default 2)
    void setLookupStatus(const std::string &name, uint8_t status); // forced status for one name
    void setErrorFlags(uint8_t flags);                             // flags of the station's own error replies (0x10)
    void setAckMode(AckMode mode);
    void setExtraData(const std::vector<uint8_t> &afterRead, const std::vector<uint8_t> &afterWrite);
    void setRefuseSegments(bool refuse); // answer every RequestMore with SegmentRefused
    void setStrictItemMode(bool strict); // error reply for the item form not announced
    void setTurnaround(std::chrono::milliseconds delay);
    void setTextReply(const std::string &text, uint16_t status, const std::vector<uint8_t> &data);

    // Faults.
    void setFaults(const FaultScript &script);
    void addFault(const Fault &step);
    StationStats stats() const;

    // Power and program. Switched off, the station hears nothing; switched on again (or restarted) it has
    // forgotten its connections: every master's requests but a connect are answered with error 7 until
    // that master connects again. A restart also gives every object a new handle, never one used before,
    // so old handles are answered with error 3. dropObject and resizeObject load a program without the
    // object, or with the array at count elements (zeros beyond its old end), and restart.
    void switchOff();
    void switchOn();
    bool switchedOn() const;
    void restart();
    bool dropObject(const std::string &name);
    bool resizeObject(const std::string &name, uint32_t count);

private:
    friend class Simulator;
    Station(Simulator *sim, uint8_t address);
    Simulator *sim_;
    uint8_t address_;
    std::unique_ptr<StationState> st_;
};

class Simulator {
public:
    Simulator();
    ~Simulator(); // stops the line thread
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Stations (any time). addStation returns the existing one for a known address.
    Station &addStation(uint8_t address);
    Station *station(uint8_t address);
    std::vector<uint8_t> stationAddresses() const;

    // The line: a new pseudo-terminal pair, or a device that exists (before start).
    bool createPty(std::string *error);
    bool attach(const std::string &device, std::string *error);
    std::string devicePath() const; // "/dev/pts/7"; a new one after every unplug
    std::string portName() const;   // "pts/7"
    // A symbolic link to the pseudo-terminal's slave, kept pointing at the line's device when it comes
    // back after an unplug (replaced atomically); removed when the simulator goes. path may be any file
    // name; under /dev ("/dev/shm/ks1" is port name "shm/ks1") the driver opens it by a short port name.
    bool linkPty(const std::string &path, std::string *error);
    const std::string &linkPath() const { return linkPath_; }
    // A USB adapter pulled out and plugged in again, on a pseudo-terminal line: the device disappears at
    // once (the driver's open descriptor is hung up, the link removed) and comes back as a new
    // pseudo-terminal under the same link after downFor (zero: only when plug() is called).
    void unplug(std::chrono::milliseconds downFor);
    void plug();
    bool plugged() const;
    uint64_t replugs() const;                                // times the device came back
    std::chrono::steady_clock::time_point pluggedAt() const; // when it last came back
    void setBaud(uint32_t baud); // pace output at 11 bits per character; 0 = unpaced (default)
    void setEcho(bool echo);     // RS485 converter that echoes every byte the master sends
    // Wire timing in both directions at the baud rate (a pseudo-terminal delivers the master's bytes at
    // once): a byte counts as arrived one character time after it could start, so a station answers
    // no earlier than the last byte of the master's frame would have arrived, and each byte of an
    // answer appears one character time after the previous one's start (the first one after its own).
    // Off by default; no effect while unpaced.
    void setWireTiming(bool on);
    bool start(std::string *error);
    void stop(); // quick: the line thread looks at its stop flag at least every 20 ms
    bool running() const { return thread_.joinable(); }
    // Bytes for the master's input (stale bytes, garbage): the line thread writes them unpaced
    // within about 20 ms, between answers; LineStats::bytesInjected counts them once written.
    void inject(const std::vector<uint8_t> &bytes);

    // Traffic log.
    void setLog(FILE *out);        // decoded frames, one line each (and raw bytes); null = off
    void setHexCapture(FILE *out); // raw line bytes as hex text; null = off
    // Every chunk of line bytes as the capture gets it (direction M, S or E), on the line thread;
    // empty = off. net2000-sim writes its pcapng capture through it.
    void setCaptureObserver(std::function<void(char, const uint8_t *, size_t)> observer);
    void setTrafficLimit(size_t records); // records kept for traffic() (default 100000)
    std::vector<TrafficRecord> traffic() const;
    void clearTraffic();
    LineStats lineStats() const;

    // Wait until pred() holds, looked at after every line event; false at the time-out.
    bool waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout);
    // Convenience: until the station has sent its n-th reply message since start.
    bool waitForReplies(uint8_t address, uint64_t n, std::chrono::milliseconds timeout);

private:
    friend class Station;
    void run();
    void handleFrame(const std::vector<uint8_t> &frame);
    void handleBadFrame(const std::vector<uint8_t> &bytes, const char *why);
    void tickGenerators();
    void writeInjected();
    bool writeLine(const uint8_t *bytes, size_t n, bool paced);
    bool openPty(std::string *error);               // a new pair as the line (line thread or before start)
    void closeLine();                               // the device goes: both sides closed, the link removed
    bool relink(std::string *error);                // the link to the device there is now
    void serveUnplug();                             // line thread: carries out unplug() and plug() as asked
    bool sleepFor(std::chrono::milliseconds delay); // false when stopped meanwhile
    bool sleepUntil(std::chrono::steady_clock::time_point when); // the same, to a point in time
    void capture(char direction, const uint8_t *bytes, size_t n);
    void addRecord(TrafficRecord record);
    void notify();
    double now() const;

    mutable std::mutex mu_; // stations and their state
    std::map<uint8_t, std::unique_ptr<Station>> stations_;
    std::vector<uint8_t> inject_;

    int fd_ = -1;     // our side of the line
    int holdFd_ = -1; // the pty slave kept open so that the line stays up between driver opens
    std::string devicePath_;
    std::string linkPath_;
    mutable std::mutex deviceMu_; // devicePath_ and the plug state, read by other threads
    bool isPty_ = false;
    bool unplugged_ = false;
    std::atomic<int64_t> unplugAsk_{-1}; // ms to stay away, from unplug(); -1 none
    std::atomic<bool> plugAsk_{false};
    std::chrono::steady_clock::time_point plugAt_;    // line thread: when an unplugged device comes back
    std::chrono::steady_clock::time_point pluggedAt_; // under deviceMu_
    uint64_t replugs_ = 0;                            // under deviceMu_
    std::atomic<uint32_t> baud_{0};
    std::atomic<bool> echo_{false};
    std::atomic<bool> wireTiming_{false};
    std::chrono::steady_clock::time_point inputDone_; // line thread: the master's last byte fully in
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::chrono::steady_clock::time_point t0_;

    mutable std::mutex logMu_; // traffic, log and capture
    std::deque<TrafficRecord> traffic_;
    size_t trafficLimit_ = 100000;
    FILE *log_ = nullptr;
    FILE *hex_ = nullptr;
    std::function<void(char, const uint8_t *, size_t)> observer_;
    LineStats line_;

    std::mutex evMu_;
    std::condition_variable evCv_;
    uint64_t events_ = 0;
};

// Configuration file (docs/simulator.md). Errors read "FILE:LINE: what is wrong".
bool LoadConfig(const std::string &path, Simulator &sim, std::string *error);
bool LoadConfigText(const std::string &text, const std::string &source, Simulator &sim, std::string *error);

} // namespace kesta::sim
