// The serial line on POSIX (termios): exclusive open by name, the line state, Win32-style time-outs
// kept beside the descriptor, the input queue, bounded reads and writes. A pseudo-terminal works as a
// port. This file must never wait on the line without a deadline.
#include <errno.h>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "platform/serial_port.h"
#include "platform/system.h"

// Rates outside the Bxxx table go through termios2 on Linux. glibc does not declare the struct or
// BOTHER, so they are written out here for the architectures that use the generic kernel layout.
#if defined(__linux__) && defined(TCGETS2) &&                                                                          \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || defined(__riscv))
#define KESTA_TERMIOS2 1
// TCGETS2/TCSETS2 name the struct by this tag.
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
namespace {
const tcflag_t kBother = 0010000;
const tcflag_t kCbaud = 0010017;
const int kIbshift = 16;
} // namespace
#endif

namespace {

const uint32_t kMaxDword = 0xFFFFFFFFu;
// A read with no time-out at all would wait for ever on Windows; here it waits this long instead.
const uint32_t kUnboundedReadMs = 1000;
// Writes with no write time-out are still bounded: this much plus twice the time the bytes take on
// the wire.
const uint32_t kUnboundedWriteMs = 1000;

std::atomic<uint32_t> failingCloses{0}; // test seam: closes still to fail

bool TakeInjectedCloseFailure() {
    uint32_t left = failingCloses.load();
    while (left != 0 && !failingCloses.compare_exchange_weak(left, left - 1)) {
    }
    return left != 0;
}

struct PosixPort {
    int fd; // -1 on the null line, once a failed close has given the descriptor up, and while the
            // device is closed after a failure
    int isNull;
    int softRtsToggle; // raise RTS around each write ourselves (the driver has no RS485 mode)
    uint32_t baudRate; // last rate set, for the write bound
    PortTimeouts timeouts;
    char name[12];    // as opened: a reopen finds the device by it again
    int deviceFailed; // an operation failed in a way only a new open mends
    int deviceError;  // its errno
    int haveState;    // state holds the line state last set, for a reopen
    PortLineState state;
};

// Errors of a device that is gone (a USB adapter pulled out) or hung up: the descriptor is of no more
// use, only a new open of the device can help. Noted on the port until its device is opened again.
void NoteFailure(PosixPort *port, int error) {
    if (error == EIO || error == ENXIO || error == ENODEV) {
        port->deviceFailed = 1;
        port->deviceError = error;
    }
    errno = error;
}

static_assert(sizeof(struct termios) <= sizeof(((PortLineState *)nullptr)->native), "termios fits the blob");

PosixPort *ToPort(PortHandle handle) { return reinterpret_cast<PosixPort *>(handle); }

struct RateCode {
    uint32_t rate;
    speed_t code;
};

const RateCode kRates[] = {
    {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
    {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
};

int RateToCode(uint32_t rate, speed_t *code) {
    for (const RateCode &r : kRates) {
        if (r.rate == rate) {
            *code = r.code;
            return 0;
        }
    }
    return -1;
}

uint32_t CodeToRate(speed_t code) {
    for (const RateCode &r : kRates) {
        if (r.code == code) {
            return r.rate;
        }
    }
    return 0;
}

// Modem-control ioctls: a pseudo-terminal and some USB adapters have none; that is no failure.
int ModemLine(int fd, int line, int on) {
    int bits = line;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) {
        return 0;
    }
    return (errno == ENOTTY || errno == EINVAL) ? 0 : -1;
}

int FailWith(int error) {
    errno = error;
    return -1;
}

int ValidPort(PortHandle handle) {
    if (handle == 0) {
        errno = EBADF;
        return 0;
    }
    return 1;
}

// The null line has no line state and no time-outs, as the Windows NUL device.
int RefuseOnNull(const PosixPort *port) {
    if (port->isNull) {
        errno = ENOTTY;
        return 1;
    }
    return 0;
}

int RemainingMs(uint64_t deadline) {
    uint64_t now = plat_monotonic_ms();
    if (now >= deadline) {
        return 0;
    }
    uint64_t left = deadline - now;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

// A pseudo-terminal keeps 8 data bits and no parity whatever it is told, and glibc then reports
// EINVAL although everything else was applied. Accept that answer from a line that shows exactly
// this: nothing differs from what was asked but the character size and the parity bits.
int SetAttributes(int fd, const struct termios *tio) {
    if (tcsetattr(fd, TCSANOW, tio) == 0) {
        return 0;
    }
    int e = errno;
    struct termios now;
    if (e != EINVAL || tcgetattr(fd, &now) != 0) {
        return FailWith(e);
    }
    tcflag_t ignored = CSIZE | PARENB | PARODD;
#if defined(CMSPAR)
    ignored |= CMSPAR;
#endif
    if ((now.c_cflag & (CSIZE | PARENB)) != CS8 || (now.c_cflag & ~ignored) != (tio->c_cflag & ~ignored) ||
        now.c_iflag != tio->c_iflag || now.c_lflag != tio->c_lflag || now.c_oflag != tio->c_oflag) {
        return FailWith(e);
    }
    return 0;
}

int ApplyRate(int fd, struct termios *tio, uint32_t rate) {
    speed_t code;
    if (RateToCode(rate, &code) == 0) {
        cfsetispeed(tio, code);
        cfsetospeed(tio, code);
        return SetAttributes(fd, tio);
    }
#if defined(KESTA_TERMIOS2)
    if (SetAttributes(fd, tio) != 0) {
        return -1;
    }
    struct termios2 t2;
    if (ioctl(fd, TCGETS2, &t2) != 0) {
        return -1;
    }
    t2.c_cflag &= ~kCbaud;
    t2.c_cflag |= kBother;
    t2.c_cflag &= ~(kCbaud << kIbshift);
    t2.c_cflag |= kBother << kIbshift;
    t2.c_ispeed = rate;
    t2.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &t2);
#else
    return FailWith(EINVAL);
#endif
}

uint32_t ReadRate(int fd, const struct termios *tio) {
#if defined(KESTA_TERMIOS2)
    struct termios2 t2;
    if (ioctl(fd, TCGETS2, &t2) == 0 && (t2.c_cflag & kCbaud) == kBother) {
        return t2.c_ospeed;
    }
#endif
    return CodeToRate(cfgetospeed(tio));
}

// RTS toggle: the kernel's RS485 mode where the driver has one, else RTS raised around each write.
int SetRtsToggle(PosixPort *port) {
#if defined(__linux__) && defined(TIOCSRS485)
    struct serial_rs485 rs485;
    memset(&rs485, 0, sizeof rs485);
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(port->fd, TIOCSRS485, &rs485) == 0) {
        port->softRtsToggle = 0;
        return 0;
    }
#endif
    port->softRtsToggle = 1;
    return ModemLine(port->fd, TIOCM_RTS, 0);
}

void ClearRs485(PosixPort *port) {
#if defined(__linux__) && defined(TIOCSRS485)
    struct serial_rs485 rs485;
    if (ioctl(port->fd, TIOCGRS485, &rs485) == 0 && (rs485.flags & SER_RS485_ENABLED)) {
        rs485.flags &= ~static_cast<uint32_t>(SER_RS485_ENABLED);
        ioctl(port->fd, TIOCSRS485, &rs485);
    }
#endif
    port->softRtsToggle = 0;
}

// The converter must not drop RTS under the last byte: wait (bounded, tcdrain is not) until the
// output queue is empty, then one more character time for the shift register.
void DrainOutput(const PosixPort *port, uint64_t deadline) {
    int queued = 0;
    while (ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && RemainingMs(deadline) > 0) {
        plat_sleep_ms(1);
    }
    uint32_t baud = port->baudRate == 0 ? 9600 : port->baudRate;
    plat_sleep_ms(1 + 11000u / baud);
}

// Opens the device of a port name exclusively: the descriptor, or -1 with errno set.
int OpenDevice(const char *name) {
    // "ttyS0", "ttyUSB0", "pts/3" as users write them; a name starting with '/' is a full path.
    const size_t length = strnlen(name, 11);
    char path[5 + 12];
    if (name[0] == '/') {
        memcpy(path, name, length);
        path[length] = '\0';
    } else {
        memcpy(path, "/dev/", 5);
        memcpy(path + 5, name, length);
        path[5 + length] = '\0';
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // TIOCEXCL keeps other users out but not root; the advisory lock holds against root too, as long
    // as the other side plays by it (every KESTA instance does).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return FailWith(e);
    }
    ioctl(fd, TIOCEXCL); // not a tty: the line state read that follows tells
    return fd;
}

// Gives the descriptor up: its exclusive hold first, then the descriptor itself, which close releases
// whatever it answers (the number may be handed out again at once, so the port never keeps it).
int CloseDevice(PosixPort *port) {
    ioctl(port->fd, TIOCNXCL);
    flock(port->fd, LOCK_UN);
    int rc = close(port->fd);
    if (TakeInjectedCloseFailure()) {
        rc = -1;
        errno = EIO;
    }
    const int e = errno;
    port->fd = -1;
    errno = e;
    return rc;
}

} // namespace

int plat_port_open(const char *name, PortHandle *handle) {
    *handle = 0;
    size_t length = strnlen(name, 12);
    if (length == 0 || length > 11) {
        return FailWith(ENAMETOOLONG);
    }
    PosixPort *port = static_cast<PosixPort *>(calloc(1, sizeof(PosixPort)));
    if (port == nullptr) {
        return FailWith(ENOMEM);
    }
    port->fd = -1;
    port->timeouts.readTotalConstant = kUnboundedReadMs;
    memcpy(port->name, name, length);
    if (strcmp(name, "NUL") == 0) {
        port->isNull = 1;
        *handle = reinterpret_cast<PortHandle>(port);
        return 0;
    }
    const int fd = OpenDevice(name);
    if (fd < 0) {
        int e = errno;
        free(port);
        return FailWith(e);
    }
    port->fd = fd;
    port->baudRate = 9600;
    *handle = reinterpret_cast<PortHandle>(port);
    return 0;
}

void plat_port_fail_next_closes(uint32_t n) { failingCloses.store(n); }

int plat_port_close(PortHandle handle) {
    if (!ValidPort(handle)) {
        return -1;
    }
    PosixPort *port = ToPort(handle);
    // A failed close has given the descriptor up all the same: the record stays (its owner keeps the
    // handle and may close it again) but never reaches that number again. Its reads and writes fail; a
    // later close only frees it. A port whose device was closed after a failure holds no descriptor.
    if (!port->isNull && port->fd >= 0 && CloseDevice(port) != 0) {
        return -1;
    }
    free(port);
    return 0;
}

int plat_port_device_failed(PortHandle handle) { return handle != 0 && ToPort(handle)->deviceFailed ? 1 : 0; }

uint32_t plat_port_device_error(PortHandle handle) {
    return handle != 0 ? static_cast<uint32_t>(ToPort(handle)->deviceError) : 0u;
}

const char *plat_port_name(PortHandle handle) { return handle != 0 ? ToPort(handle)->name : ""; }

int plat_port_close_device(PortHandle handle) {
    if (!ValidPort(handle)) {
        return -1;
    }
    PosixPort *port = ToPort(handle);
    if (port->isNull || port->fd < 0) {
        return 0;
    }
    return CloseDevice(port);
}

int plat_port_get_state(PortHandle handle, PortLineState *state) {
    if (!ValidPort(handle) || RefuseOnNull(ToPort(handle))) {
        return -1;
    }
    PosixPort *port = ToPort(handle);
    struct termios tio;
    if (tcgetattr(port->fd, &tio) != 0) {
        NoteFailure(port, errno);
        return -1;
    }
    memset(state, 0, sizeof *state);
    memcpy(state->native, &tio, sizeof tio);
    state->baudRate = ReadRate(port->fd, &tio);
    switch (tio.c_cflag & CSIZE) {
    case CS5: state->byteSize = 5; break;
    case CS6: state->byteSize = 6; break;
    case CS7: state->byteSize = 7; break;
    default: state->byteSize = 8; break;
    }
    state->stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    if (!(tio.c_cflag & PARENB)) {
        state->parity = 0;
    }
#if defined(CMSPAR)
    else if (tio.c_cflag & CMSPAR) {
        state->parity = (tio.c_cflag & PARODD) ? 3 : 4;
    }
#endif
    else {
        state->parity = (tio.c_cflag & PARODD) ? 1 : 2;
    }
    int bits = 0;
    int haveModem = ioctl(port->fd, TIOCMGET, &bits) == 0;
    state->dtrControl = (!haveModem || (bits & TIOCM_DTR)) ? PORT_DTR_ON : PORT_DTR_OFF;
    if (tio.c_cflag & CRTSCTS) {
        state->rtsControl = PORT_RTS_HANDSHAKE;
    } else if (port->softRtsToggle) {
        state->rtsControl = PORT_RTS_TOGGLE;
    } else {
        state->rtsControl = (!haveModem || (bits & TIOCM_RTS)) ? PORT_RTS_ON : PORT_RTS_OFF;
    }
    state->binary = !(tio.c_lflag & ICANON) && !(tio.c_oflag & OPOST);
    state->parityCheck = (tio.c_iflag & INPCK) ? 1 : 0;
    state->outxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    state->outX = (tio.c_iflag & IXON) ? 1 : 0;
    state->inX = (tio.c_iflag & IXOFF) ? 1 : 0;
    state->errorCharReplace = (tio.c_iflag & PARMRK) ? 1 : 0;
    return 0;
}

namespace {

// Data bits, stop bits and parity into the control flags: 0, or EINVAL for a value termios cannot take.
int SetFraming(const PortLineState *state, struct termios *tio) {
    tcflag_t size;
    switch (state->byteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return EINVAL;
    }
    tio->c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
#if defined(CMSPAR)
    tio->c_cflag &= ~CMSPAR;
#endif
    tio->c_cflag |= size | CREAD | CLOCAL;
    switch (state->stopBits) {
    case 0: break;
    case 1: // one and a half: termios knows one or two; two is the safe side for the receiver
    case 2: tio->c_cflag |= CSTOPB; break;
    default: return EINVAL;
    }
    switch (state->parity) {
    case 0: break;
    case 1: tio->c_cflag |= PARENB | PARODD; break;
    case 2: tio->c_cflag |= PARENB; break;
#if defined(CMSPAR)
    case 3: tio->c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: tio->c_cflag |= PARENB | CMSPAR; break;
#endif
    default: return EINVAL;
    }
    return 0;
}

// Raw bytes, parity checking, software and hardware flow control; reads are ours (poll against a
// deadline), never the line discipline's.
void SetModes(const PortLineState *state, struct termios *tio) {
    if (state->binary) {
        tio->c_iflag &= ~(IGNBRK | BRKINT | ISTRIP | INLCR | IGNCR | ICRNL | IXANY);
        tio->c_oflag &= ~OPOST;
        tio->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    }
    tio->c_iflag &= ~(INPCK | IGNPAR | PARMRK | IXON | IXOFF);
    if (state->parityCheck) {
        tio->c_iflag |= INPCK;
    }
    if (state->errorCharReplace) {
        tio->c_iflag |= PARMRK;
    }
    if (state->outX) {
        tio->c_iflag |= IXON;
    }
    if (state->inX) {
        tio->c_iflag |= IXOFF;
    }
    if (state->outxCtsFlow || state->rtsControl == PORT_RTS_HANDSHAKE) {
        tio->c_cflag |= CRTSCTS; // Linux ties RTS handshake and CTS output flow into one flag
    }
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

// DTR as asked; RTS raised, lowered, toggled around each write, or left to the handshake.
int SetModemLines(PosixPort *port, const PortLineState *state) {
    if (ModemLine(port->fd, TIOCM_DTR, state->dtrControl != PORT_DTR_OFF) != 0) {
        return -1;
    }
    if (state->rtsControl == PORT_RTS_TOGGLE) {
        return SetRtsToggle(port);
    }
    ClearRs485(port);
    if (state->rtsControl == PORT_RTS_HANDSHAKE) {
        return 0;
    }
    return ModemLine(port->fd, TIOCM_RTS, state->rtsControl == PORT_RTS_ON);
}

// What termios cannot express: DSR flow and sensitivity, NUL discarding and abort-on-error have no
// POSIX counterpart and are taken as off; a replacement error character cannot be chosen (PARMRK marks
// bad bytes instead); DTR handshake has no counterpart and keeps DTR raised.
int ApplyState(PosixPort *port, const PortLineState *state) {
    struct termios tio;
    memcpy(&tio, state->native, sizeof tio);
    if (state->baudRate == 0) {
        return FailWith(EINVAL); // B0 would hang the line up
    }
    const int framing = SetFraming(state, &tio);
    if (framing != 0) {
        return FailWith(framing);
    }
    SetModes(state, &tio);
    if (ApplyRate(port->fd, &tio, state->baudRate) != 0) {
        NoteFailure(port, errno);
        return -1;
    }
    port->baudRate = state->baudRate;
    if (SetModemLines(port, state) != 0) {
        NoteFailure(port, errno);
        return -1;
    }
    port->state = *state;
    port->haveState = 1;
    return 0;
}

} // namespace

int plat_port_set_state(PortHandle handle, const PortLineState *state) {
    if (!ValidPort(handle) || RefuseOnNull(ToPort(handle))) {
        return -1;
    }
    return ApplyState(ToPort(handle), state);
}

// The device comes back under the same name (a new descriptor, maybe a new device behind a link): it gets
// the line state last set on the port, on the termios the new device brings along.
int plat_port_reopen_device(PortHandle handle) {
    if (!ValidPort(handle)) {
        return -1;
    }
    PosixPort *port = ToPort(handle);
    if (port->isNull) {
        return 0;
    }
    if (port->fd >= 0) {
        CloseDevice(port); // the descriptor is given up whatever the close answers
    }
    const int fd = OpenDevice(port->name);
    if (fd < 0) {
        return -1;
    }
    port->fd = fd;
    if (port->haveState) {
        PortLineState state = port->state;
        struct termios tio;
        if (tcgetattr(fd, &tio) != 0 || (memcpy(state.native, &tio, sizeof tio), ApplyState(port, &state)) != 0) {
            const int e = errno;
            CloseDevice(port);
            return FailWith(e);
        }
    }
    port->deviceFailed = 0;
    port->deviceError = 0;
    return 0;
}

int plat_port_get_timeouts(PortHandle handle, PortTimeouts *timeouts) {
    if (!ValidPort(handle) || RefuseOnNull(ToPort(handle))) {
        return -1;
    }
    *timeouts = ToPort(handle)->timeouts;
    return 0;
}

int plat_port_set_timeouts(PortHandle handle, const PortTimeouts *timeouts) {
    if (!ValidPort(handle) || RefuseOnNull(ToPort(handle))) {
        return -1;
    }
    ToPort(handle)->timeouts = *timeouts;
    return 0;
}

int plat_port_set_queues(PortHandle handle, uint32_t inSize, uint32_t outSize) {
    // termios queues are the kernel's own size; nothing to ask for.
    return ValidPort(handle) ? 0 : -1;
}

int plat_port_clear_error(PortHandle handle, uint32_t *inQueue) {
    if (!ValidPort(handle) || RefuseOnNull(ToPort(handle))) {
        return -1;
    }
    int waiting = 0;
    if (ioctl(ToPort(handle)->fd, FIONREAD, &waiting) != 0) {
        NoteFailure(ToPort(handle), errno);
        return -1;
    }
    // termios latches no line error that a later read would trip over: nothing to clear.
    *inQueue = waiting < 0 ? 0u : static_cast<uint32_t>(waiting);
    return 0;
}

// Win32 read semantics over poll: interval MAXDWORD with no totals returns what is waiting; otherwise
// the read ends when count bytes are in, the total time-out has passed, or (interval set) the line
// has been quiet for the interval after the first byte.
int plat_port_read(PortHandle handle, void *buffer, uint32_t count, uint32_t *got) {
    *got = 0;
    if (!ValidPort(handle)) {
        return -1;
    }
    PosixPort *port = ToPort(handle);
    if (port->isNull || count == 0) {
        return 0;
    }
    const PortTimeouts &t = port->timeouts;
    int immediate = t.readInterval == kMaxDword && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
    uint64_t total = static_cast<uint64_t>(t.readTotalMultiplier) * count + t.readTotalConstant;
    if (total == 0) {
        total = kUnboundedReadMs;
    }
    uint64_t deadline = plat_monotonic_ms() + total;
    uint64_t lastByte = 0;
    unsigned char *out = static_cast<unsigned char *>(buffer);
    uint32_t have = 0;
    for (;;) {
        ssize_t n = read(port->fd, out + have, count - have);
        if (n > 0) {
            have += static_cast<uint32_t>(n);
            lastByte = plat_monotonic_ms();
            if (have == count) {
                break;
            }
            continue;
        }
        // With VMIN and VTIME 0 an empty tty reads as 0 bytes rather than EAGAIN; a hang-up shows
        // in poll's answer below.
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            NoteFailure(port, errno);
            *got = have;
            return -1;
        }
        if (immediate) {
            break;
        }
        int wait = RemainingMs(deadline);
        if (have > 0 && t.readInterval != 0 && t.readInterval != kMaxDword) {
            int gap = RemainingMs(lastByte + t.readInterval);
            if (gap < wait) {
                wait = gap;
            }
        }
        if (wait == 0) {
            break;
        }
        struct pollfd p = {port->fd, POLLIN, 0};
        int ready = poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR) {
            *got = have;
            return -1;
        }
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            // Hung up (the device went away, or the far end of a pseudo-terminal closed): the read above
            // found nothing and poll answers at once from now on, so waiting longer delivers nothing.
            if (p.revents & (POLLHUP | POLLERR)) {
                NoteFailure(port, EIO);
            }
            break;
        }
    }
    *got = have;
    return 0;
}

int plat_port_write(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written) {
    *written = 0;
    if (!ValidPort(handle)) {
        return -1;
    }
    PosixPort *port = ToPort(handle);
    if (port->isNull) {
        *written = count;
        return 0;
    }
    const PortTimeouts &t = port->timeouts;
    uint64_t bound = static_cast<uint64_t>(t.writeTotalMultiplier) * count + t.writeTotalConstant;
    if (bound == 0) {
        uint32_t baud = port->baudRate == 0 ? 9600 : port->baudRate;
        bound = kUnboundedWriteMs + static_cast<uint64_t>(count) * 11u * 2000u / baud;
    }
    uint64_t deadline = plat_monotonic_ms() + bound;
    if (port->softRtsToggle) {
        ModemLine(port->fd, TIOCM_RTS, 1);
    }
    const unsigned char *in = static_cast<const unsigned char *>(buffer);
    uint32_t sent = 0;
    int rc = 0;
    while (sent < count) {
        ssize_t n = write(port->fd, in + sent, count - sent);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            NoteFailure(port, errno);
            rc = -1;
            break;
        }
        int wait = RemainingMs(deadline);
        if (wait == 0) {
            break; // write time-out: report what went out, as WriteFile does
        }
        struct pollfd p = {port->fd, POLLOUT, 0};
        if (poll(&p, 1, wait) < 0 && errno != EINTR) {
            rc = -1;
            break;
        }
    }
    if (port->softRtsToggle) {
        int e = errno;
        DrainOutput(port, deadline);
        ModemLine(port->fd, TIOCM_RTS, 0);
        errno = e;
    }
    *written = sent;
    return rc;
}
