// Test scaffolding for the Net2000 stack (see dsf_test_util.h).
#include "dsf_test_util.h"

#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

AllocLedger &AllocLedger::Get() {
    static AllocLedger ledger;
    return ledger;
}

void AllocLedger::Reset() {
    for (auto &entry : live) {
        free(entry.first);
    }
    live.clear();
    attempts = 0;
    failAt = -1;
    faults.clear();
}

void *LedgerAlloc(uint32_t size) {
    AllocLedger &ledger = AllocLedger::Get();
    const int attempt = ledger.attempts++;
    if (attempt == ledger.failAt) {
        return nullptr;
    }
    void *block = malloc(size != 0 ? size : 1);
    ledger.live[block] = size;
    return block;
}

void LedgerRelease(void *block, uint32_t size) {
    AllocLedger &ledger = AllocLedger::Get();
    auto found = ledger.live.find(block);
    if (found == ledger.live.end()) {
        ledger.faults.push_back("release of a block not allocated (or released twice), size " + std::to_string(size));
        return;
    }
    if (found->second != size) {
        ledger.faults.push_back("release with size " + std::to_string(size) + " of a block of " +
                                std::to_string(found->second));
    }
    ledger.live.erase(found);
    free(block);
}

Stack::Stack(uint16_t stations, const char *parameters) {
    AllocLedger::Get().Reset();
    createResult = dsf_create(stations, LedgerAlloc, LedgerRelease, &dsf);
    if (createResult == 0) {
        uint16_t rx = 0;
        uint16_t tx = 0;
        configureResult = dsf_configure(dsf, parameters, &rx, &tx);
    }
}

Stack::~Stack() {
    dsf_destroy(dsf);
    AllocLedger &ledger = AllocLedger::Get();
    EXPECT_TRUE(ledger.faults.empty()) << ledger.faults.front();
    EXPECT_TRUE(ledger.live.empty()) << ledger.live.size() << " blocks not released";
    ledger.Reset();
}

uint16_t H16(const uint8_t *at) {
    uint16_t v;
    memcpy(&v, at, 2);
    return v;
}

uint32_t H32(const uint8_t *at) {
    uint32_t v;
    memcpy(&v, at, 4);
    return v;
}

namespace {

// Grown first, then copied into: GCC 12 at -O3 takes an insert from a small array for an overread
// (-Warray-bounds) and stops the Release build.
void PutH16(std::vector<uint8_t> &out, uint16_t v) {
    const size_t at = out.size();
    out.resize(at + 2);
    memcpy(out.data() + at, &v, 2);
}

void PutH32(std::vector<uint8_t> &out, uint32_t v) {
    const size_t at = out.size();
    out.resize(at + 4);
    memcpy(out.data() + at, &v, 4);
}

} // namespace

std::vector<uint8_t> ConnectStationRequest(uint8_t address) { return {DSF_SVC_CONNECT_STATION, 0, address}; }

std::vector<uint8_t> ReadWriteRequest(const std::vector<Item> &items) {
    std::vector<uint8_t> out = {DSF_SVC_READ_WRITE, static_cast<uint8_t>(items.size())};
    for (const Item &item : items) {
        PutH32(out, item.handle);
        PutH16(out, item.length);
        PutH16(out, item.access);
        if (item.access == DSF_ACCESS_WRITE || item.access == DSF_ACCESS_READ_WRITE) {
            std::vector<uint8_t> data = item.data;
            data.resize(item.length + (item.length & 1u), 0x00);
            out.insert(out.end(), data.begin(), data.end());
        }
    }
    return out;
}

std::vector<uint8_t> LookupRequest(uint8_t service, const std::vector<uint16_t> &expected, const std::string &names) {
    std::vector<uint8_t> out = {service, static_cast<uint8_t>(expected.size())};
    PutH16(out, static_cast<uint16_t>(names.size()));
    for (uint16_t e : expected) {
        PutH16(out, e);
    }
    out.insert(out.end(), names.begin(), names.end());
    return out;
}

std::vector<uint8_t> TextRequest(const std::string &text) {
    std::vector<uint8_t> out = {DSF_SVC_TEXT_REQUEST, 0};
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    return out;
}

std::vector<uint8_t> ScriptedStation::Frame(const SentFrame &to, uint8_t type, const std::vector<uint8_t> &data) const {
    return Net2000Frame(master, address, type, to.sequence, data);
}

std::vector<uint8_t> ScriptedStation::Message(uint8_t code, const std::vector<uint8_t> &body) const {
    std::vector<uint8_t> m(body.size() + 4, 0x00);
    m[2] = counter;
    m[3] = code;
    std::copy(body.begin(), body.end(), m.begin() + 4);
    return m;
}

void ScriptedStation::Observe(const SentFrame &frame) {
    const bool requestSegment = frame.type == DSF_FT_REQUEST_LAST || frame.type == DSF_FT_REQUEST_MORE;
    if (requestSegment && !midRequest && frame.data.size() >= 6) {
        const size_t prefix = (frame.data[0] & 0x80) ? 4 : 2;
        counter = frame.data[prefix + 2];
    }
    if (requestSegment) {
        midRequest = frame.type == DSF_FT_REQUEST_MORE;
    }
}

std::vector<uint8_t> Prefixed(const std::vector<uint8_t> &message) {
    std::vector<uint8_t> out(message.size() + 2);
    out[0] = static_cast<uint8_t>(message.size() >> 8);
    out[1] = static_cast<uint8_t>(message.size());
    std::copy(message.begin(), message.end(), out.begin() + 2);
    return out;
}

Responder Answer(uint8_t code, const std::string &bodyHex, uint8_t type) {
    const std::vector<uint8_t> body = HexBytes(bodyHex);
    return [=](const SentFrame &to, ScriptedStation &st) {
        return std::vector<std::vector<uint8_t>>{st.Frame(to, type, Prefixed(st.Message(code, body)))};
    };
}

Responder AnswerData(uint8_t type, const std::string &dataHex) {
    const std::vector<uint8_t> data = HexBytes(dataHex);
    return [=](const SentFrame &to, ScriptedStation &st) {
        return std::vector<std::vector<uint8_t>>{st.Frame(to, type, data)};
    };
}

Responder AnswerBytes(const std::vector<std::vector<uint8_t>> &chunks) {
    return [=](const SentFrame &, ScriptedStation &) { return chunks; };
}

Responder Silence() {
    return [](const SentFrame &, ScriptedStation &) { return std::vector<std::vector<uint8_t>>{}; };
}

Responder NextSegmentPlease() { return AnswerData(DSF_FT_NEXT_REQUEST_SEGMENT, "00 00"); }

namespace {

SentFrame Parse(const uint8_t *bytes, uint16_t length) {
    SentFrame f;
    f.bytes.assign(bytes, bytes + length);
    if (length < 8) {
        return f;
    }
    f.destination = bytes[2];
    f.source = bytes[3];
    f.type = bytes[4] & 0x0F;
    f.sequence = bytes[4] >> 4;
    const size_t words = bytes[1];
    if (length == 2 * words + 8) {
        f.data.assign(bytes + 6, bytes + 6 + 2 * words);
        std::vector<uint8_t> check = f.bytes;
        FixNet2000Checksums(check);
        f.checksumsOk = check == f.bytes;
    }
    return f;
}

} // namespace

Outcome RunRequest(DsfInstance *dsf, StationEntry **handle, const std::vector<uint8_t> &request, uint8_t *reply,
                   uint32_t capacity, ScriptedStation &station, int maxSteps) {
    uint8_t tx[DSF_MAX_FRAME];
    std::vector<uint8_t> chunk;
    const uint8_t *received = nullptr;
    uint16_t receivedCount = 0;
    Outcome out;
    auto deliver = [&]() {
        if (station.waiting.empty()) {
            received = nullptr;
            receivedCount = 0;
            return;
        }
        chunk = station.waiting.front();
        station.waiting.pop_front();
        received = chunk.data();
        receivedCount = static_cast<uint16_t>(chunk.size());
    };
    for (out.steps = 1; out.steps <= maxSteps; ++out.steps) {
        uint32_t replyLength = capacity;
        uint16_t txLength = sizeof tx;
        uint16_t action = 0;
        int32_t timeout = -1;
        out.rc = dsf_step(dsf, handle, request.data(), static_cast<uint32_t>(request.size()), reply, &replyLength, tx,
                          &txLength, received, receivedCount, &action, &timeout);
        out.action = action;
        station.actions.push_back(action);
        switch (action) {
        case StepAgain:
            received = nullptr;
            receivedCount = 0;
            break;
        case Receive: deliver(); break;
        case Done: out.replyLength = replyLength; return out;
        case Failed: return out;
        case SendReceive: {
            station.timeouts.push_back(timeout);
            const SentFrame frame = Parse(tx, txLength);
            EXPECT_TRUE(frame.checksumsOk) << "master sent a bad frame: " << HexText(frame.bytes);
            station.sent.push_back(frame);
            station.Observe(frame);
            station.waiting.clear();
            if (!station.script.empty()) {
                Responder responder = station.script.front();
                station.script.pop_front();
                for (auto &c : responder(frame, station)) {
                    station.waiting.push_back(c);
                }
            }
            deliver();
            break;
        }
        case Process: break;
        default: ADD_FAILURE() << "unknown action " << action; return out;
        }
    }
    ADD_FAILURE() << "request did not end within " << maxSteps << " steps";
    return out;
}

Outcome Connect(DsfInstance *dsf, StationEntry **handle, uint8_t address, ScriptedStation &station,
                const std::string &objectsHex) {
    uint8_t reply[64];
    station.address = address;
    station.script.push_back(Answer(DSF_MSG_READ, objectsHex));
    return RunRequest(dsf, handle, ConnectStationRequest(address), reply, sizeof reply, station);
}
