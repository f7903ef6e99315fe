// A pseudo-terminal pair for tests that need a real serial line: the code under test opens the slave
// by name (as a port), the test plays the far end on the master. The pair keeps its own slave
// descriptor open in raw mode, so nothing echoes and the line stays up between opens and closes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <thread>

struct PtyPair {
    int master = -1;
    int slave = -1;
    char name[32] = {0}; // the slave relative to /dev, e.g. "pts/3" (a port name of the driver)
    char path[40] = {0}; // the slave's full path

    PtyPair() = default;
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    ~PtyPair() { Close(); }

    bool Open();
    void Close();

    // Master side: what the far end sends.
    bool Send(const void *bytes, size_t count);
    bool SendHex(const char *hex); // "02 00 3E ..." as on the wire
    // Master side: up to max bytes, waiting until `want` are in or timeoutMs has passed; returns the count.
    size_t Receive(void *buffer, size_t max, size_t want, uint32_t timeoutMs);
    // Discards whatever reaches the master until it has been quiet for quietMs; returns the count.
    size_t Drain(uint32_t quietMs);
    // Bytes the far end has sent that the port has not read yet.
    uint32_t PendingAtPort() const;
    // Waits (bounded) until the port side holds at least `count` unread bytes; returns what it holds.
    uint32_t WaitPendingAtPort(uint32_t count, uint32_t timeoutMs = 5000) const;
    // Bytes the port has written that the far end has not read yet.
    uint32_t PendingAtPeer() const;
};

// A scripted far end on its own thread; joined when it goes out of scope.
class PtyPeer {
public:
    explicit PtyPeer(std::function<void()> script) : thread_(std::move(script)) {}
    ~PtyPeer() { Join(); }
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    std::thread thread_;
};
