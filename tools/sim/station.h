// One simulated PLC station: its objects, its side of every exchange and its fault script.
// Pure state and logic: the caller holds the simulator's lock and does all line I/O.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tools/sim/codec.h"
#include "tools/sim/sim.h"

namespace kesta::sim {

// Handles of the station objects that the connect request reads: wire bytes 00 02, 00 04, ...
constexpr uint16_t kHandleObject2 = 0x0200;
constexpr uint16_t kHandleObject4 = 0x0400;
constexpr uint16_t kHandleObject5 = 0x0500;
constexpr uint16_t kHandleObject6 = 0x0600;

// What a handle addresses: a byte range of one object, described as a lookup reply describes it.
struct View {
    size_t object = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint8_t kind = kKindSingle;
    uint16_t dataType = 0;
    uint32_t elementLength = 0;
    uint32_t aux = 0;
};

struct ObjectState {
    std::string name;
    uint8_t kind = kKindSingle;
    uint16_t dataType = 0;
    uint32_t elementLength = 0;
    uint32_t count = 1;
    uint32_t aux = 0;
    uint16_t handle = 0;
    bool hidden = false;  // station objects of the connect request: not found by name
    bool dropped = false; // no longer in the station's program: no name, no handle
    std::vector<uint8_t> bytes;
    // EWT sample structure: records waiting behind the one shown in bytes.
    bool sample = false;
    bool showing = false;
    std::deque<SampleRecord> queue;
    uint64_t acknowledged = 0;
};

struct Generator {
    size_t object = 0;
    RecordKind kind = RecordKind::Message;
    std::chrono::milliseconds period{1000};
    std::chrono::steady_clock::time_point due;
    uint8_t first = 0, secondNumber = 0;
    uint32_t serial = 0;
};

// One frame the station puts on the line, with what a fault adds around it.
struct OutFrame {
    std::vector<uint8_t> frame;
    std::vector<uint8_t> noise; // written just before the frame
    size_t splitAt = 0;         // 0: the frame goes in one piece
    uint32_t pauseMs = 0;       // between the two pieces
    bool completesReply = false;
    TrafficRecord record;
};

struct Answer {
    std::vector<OutFrame> frames;
    std::chrono::milliseconds turnaround{0};
    int64_t unplugMs = -1; // a step asks the line's device to disappear for this long
};

struct StationState {
    uint8_t address = 0;
    std::vector<ObjectState> objects;
    std::map<std::string, size_t> byName;
    std::map<uint16_t, View> views;
    std::map<std::string, uint16_t> derived; // "arr[3]" and "x.toggle" -> handle
    uint16_t nextHandle = 0x1001;

    uint8_t unknownStatus = 2;
    std::map<std::string, uint8_t> forcedStatus;
    uint8_t errorFlags = 0x10;
    AckMode ackMode = AckMode::None;
    std::vector<uint8_t> extraRead, extraWrite;
    bool refuseSegments = false;
    bool strictItemMode = false;
    std::chrono::milliseconds turnaround{0};
    std::map<std::string, std::pair<uint16_t, std::vector<uint8_t>>> textReplies;

    // Exchange in progress.
    bool collecting = false;
    uint32_t requestTotal = 0;
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply;
    size_t replyOffset = 0;
    bool replyPending = false;
    uint8_t replyTo = 0;
    TrafficRecord replyRecord;
    bool awaitingAck = false;
    std::vector<uint8_t> lastFrame;
    std::vector<OutFrame> lastAnswer;

    FaultScript script;
    size_t step = 0;
    uint32_t stepUsed = 0;
    std::mt19937 rng{1};

    StationStats stats;
    std::vector<Generator> generators;

    // Power: switched off until offUntil; on again, or restarted, the station serves a master's requests
    // (a connect apart) only once that master has connected since.
    bool off = false;
    std::chrono::steady_clock::time_point offUntil;
    bool mustConnect = false;
    std::set<uint8_t> connected;
};

void InitStation(StationState &s, uint8_t address);
uint16_t AddObject(StationState &s, const ObjectSpec &objectSpec, std::string *error);
uint16_t AddSample(StationState &s, const std::string &name, uint8_t kind, uint16_t dataType, std::string *error);
// Handle and view of a name as a lookup resolves it; allocates element handles on first use.
bool ResolveName(StationState &s, const std::string &name, uint16_t *handle, View *view);
const ObjectState *FindObject(const StationState &s, const std::string &name);
void SetConnectObjects(StationState &s, const ConnectObjects &objects);
ConnectObjects GetConnectObjects(const StationState &s);
bool QueueRecord(StationState &s, size_t object, const SampleRecord &record, std::string *error);
void AfterWrite(StationState &s, size_t object);
void SetFaults(StationState &s, const FaultScript &script);
// Switched off until the time given (time_point::max(): until SwitchOn); the next frame after it finds
// the station on again, its connections forgotten.
void SwitchOff(StationState &s, std::chrono::steady_clock::time_point until);
void SwitchOn(StationState &s);
// A restart: new handles for every object, connections and a half-done exchange forgotten.
void Restart(StationState &s);
bool DropObject(StationState &s, const std::string &name);                   // a program without it; restarts
bool ResizeObject(StationState &s, const std::string &name, uint32_t count); // an array's new count; restarts

// The station's answer to one valid frame addressed to it; notes go into rx.
void HandleFrame(StationState &s, const Frame &f, TrafficRecord &rx, Answer &out);

// Header fields and length prefix of a frame, for the traffic log.
TrafficRecord DescribeFrame(const std::vector<uint8_t> &raw, Direction direction);

} // namespace kesta::sim
