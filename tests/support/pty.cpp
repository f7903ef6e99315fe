// Pseudo-terminal pair for the line tests: posix_openpt master, raw slave held open by the pair.
#include "support/pty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "support/hex.h"

namespace {

uint64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

} // namespace

bool PtyPair::Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        Close();
        return false;
    }
    char slaveName[64];
    if (ptsname_r(master, slaveName, sizeof slaveName) != 0 || strncmp(slaveName, "/dev/", 5) != 0 ||
        strlen(slaveName) >= sizeof name) {
        Close();
        return false;
    }
    memcpy(path, slaveName, strlen(slaveName) + 1);
    memcpy(name, slaveName + 5, strlen(slaveName + 5) + 1);
    slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        Close();
        return false;
    }
    // Raw before anything is sent: the default line discipline would echo and cook the bytes.
    struct termios tio;
    if (tcgetattr(slave, &tio) != 0) {
        Close();
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(slave, TCSANOW, &tio) != 0) {
        Close();
        return false;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
}

void PtyPair::Close() {
    if (slave >= 0) {
        close(slave);
        slave = -1;
    }
    if (master >= 0) {
        close(master);
        master = -1;
    }
}

bool PtyPair::Send(const void *bytes, size_t count) {
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    uint64_t deadline = NowMs() + 5000;
    while (count > 0) {
        ssize_t n = write(master, p, count);
        if (n > 0) {
            p += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (NowMs() > deadline) {
            return false;
        }
        struct pollfd pfd = {master, POLLOUT, 0};
        poll(&pfd, 1, 10);
    }
    return true;
}

bool PtyPair::SendHex(const char *hex) {
    const std::vector<uint8_t> bytes = HexBytes(hex);
    return !bytes.empty() && Send(bytes.data(), bytes.size());
}

size_t PtyPair::Receive(void *buffer, size_t max, size_t want, uint32_t timeoutMs) {
    uint8_t *out = static_cast<uint8_t *>(buffer);
    size_t have = 0;
    uint64_t deadline = NowMs() + timeoutMs;
    while (have < max) {
        ssize_t n = read(master, out + have, max - have);
        if (n > 0) {
            have += static_cast<size_t>(n);
            continue;
        }
        if (have >= want) {
            break;
        }
        uint64_t now = NowMs();
        if (now >= deadline) {
            break;
        }
        struct pollfd pfd = {master, POLLIN, 0};
        poll(&pfd, 1, static_cast<int>(deadline - now));
    }
    return have;
}

size_t PtyPair::Drain(uint32_t quietMs) {
    uint8_t scratch[4096];
    size_t total = 0;
    for (;;) {
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(quietMs)) <= 0) {
            return total;
        }
        ssize_t n = read(master, scratch, sizeof scratch);
        if (n <= 0) {
            return total;
        }
        total += static_cast<size_t>(n);
    }
}

uint32_t PtyPair::PendingAtPort() const {
    int n = 0;
    return ioctl(slave, FIONREAD, &n) == 0 && n > 0 ? static_cast<uint32_t>(n) : 0u;
}

uint32_t PtyPair::WaitPendingAtPort(uint32_t count, uint32_t timeoutMs) const {
    const uint64_t deadline = NowMs() + timeoutMs;
    while (PendingAtPort() < count && NowMs() <= deadline) {
        usleep(1000);
    }
    return PendingAtPort();
}

uint32_t PtyPair::PendingAtPeer() const {
    int n = 0;
    return ioctl(master, FIONREAD, &n) == 0 && n > 0 ? static_cast<uint32_t>(n) : 0u;
}
