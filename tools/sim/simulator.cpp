// The simulator's line: pseudo-terminal or device, the thread that reads frames and writes the
// stations' answers (paced, echoed, delayed, split), the traffic log and the waits of tests.
// Every wait here has a deadline or looks at the stop flag at least every 20 ms.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "tools/sim/codec.h"
#include "tools/sim/station.h"
#include "tools/termios_speed.h"

namespace kesta::sim {

namespace {

constexpr auto kPollSlice = std::chrono::milliseconds(20);
constexpr auto kInterCharacterGap = std::chrono::milliseconds(500); // a partial frame is dropped
constexpr auto kWriteStall = std::chrono::milliseconds(2000);       // nobody reads: give up
constexpr auto kSpinStretch = std::chrono::microseconds(200);       // wire timing: waited on the CPU

bool MakeRaw(int fd, uint32_t baud) {
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (const speed_t s = StandardSpeed(baud)) {
        cfsetispeed(&t, s);
        cfsetospeed(&t, s);
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

std::string Errno(const std::string &what) { return what + ": " + std::strerror(errno); }

// A changed behaviour must not be hidden by an answer kept for a repeated frame (a master that
// restarts sends the very frame it began with last time). Values and records do not count: a
// repeated toggle write carried out twice would acknowledge a record nobody has read.
void ForgetLastAnswer(StationState &s) {
    s.lastFrame.clear();
    s.lastAnswer.clear();
}

} // namespace

// ---- Station ------------------------------------------------------------------------------------

Station::Station(Simulator *sim, uint8_t address)
    : sim_(sim), address_(address), st_(std::make_unique<StationState>()) {
    InitStation(*st_, address);
}

Station::~Station() = default;

uint16_t Station::addObject(const ObjectSpec &objectSpec, std::string *error) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    return AddObject(*st_, objectSpec, error);
}

uint16_t Station::addSampleStructure(const std::string &name, uint8_t kind, uint16_t dataType, std::string *error) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    return AddSample(*st_, name, kind, dataType, error);
}

uint16_t Station::handle(const std::string &name) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    uint16_t h = 0;
    View v;
    return ResolveName(*st_, name, &h, &v) ? h : 0;
}

bool Station::read(const std::string &name, std::vector<uint8_t> *bytes) const {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    StationState &s = *st_;
    uint16_t h;
    View v;
    if (!ResolveName(s, name, &h, &v))
        return false;
    const uint8_t *p = s.objects[v.object].bytes.data() + v.offset;
    bytes->assign(p, p + v.length);
    return true;
}

std::vector<uint8_t> Station::bytes(const std::string &name) const {
    std::vector<uint8_t> b;
    read(name, &b);
    return b;
}

bool Station::write(const std::string &name, const std::vector<uint8_t> &bytes, uint32_t offset) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    StationState &s = *st_;
    uint16_t h;
    View v;
    if (!ResolveName(s, name, &h, &v) || offset > v.length || bytes.size() > v.length - offset)
        return false;
    std::copy(bytes.begin(), bytes.end(), s.objects[v.object].bytes.begin() + v.offset + offset);
    AfterWrite(s, v.object);
    return true;
}

bool Station::setValue(const std::string &name, double value, uint32_t index) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    StationState &s = *st_;
    uint16_t h;
    View v;
    if (!ResolveName(s, name, &h, &v) || v.elementLength == 0)
        return false;
    const uint64_t at = uint64_t(index) * v.elementLength;
    if (at + v.elementLength > v.length)
        return false;
    uint8_t buf[8];
    if (v.elementLength > sizeof buf || !EncodeValue(v.dataType, v.elementLength, value, buf))
        return false;
    std::copy(buf, buf + v.elementLength, s.objects[v.object].bytes.begin() + v.offset + at);
    AfterWrite(s, v.object);
    return true;
}

double Station::value(const std::string &name, uint32_t index) const {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    StationState &s = *st_;
    uint16_t h;
    View v;
    if (!ResolveName(s, name, &h, &v) || v.elementLength == 0)
        return NAN;
    const uint64_t at = uint64_t(index) * v.elementLength;
    if (at + v.elementLength > v.length)
        return NAN;
    return DecodeValue(v.dataType, s.objects[v.object].bytes.data() + v.offset + at, v.elementLength);
}

bool Station::queueRecord(const std::string &structure, const SampleRecord &record) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    auto it = st_->byName.find(structure);
    return it != st_->byName.end() && QueueRecord(*st_, it->second, record, nullptr);
}

size_t Station::pendingRecords(const std::string &structure) const {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    const ObjectState *o = FindObject(*st_, structure);
    return o ? o->queue.size() + (o->showing ? 1 : 0) : 0;
}

uint64_t Station::acknowledgedRecords(const std::string &structure) const {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    const ObjectState *o = FindObject(*st_, structure);
    return o ? o->acknowledged : 0;
}

bool Station::generateRecords(const std::string &structure, RecordKind kind, std::chrono::milliseconds period,
                              uint8_t first, uint8_t secondNumber) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    auto it = st_->byName.find(structure);
    if (it == st_->byName.end() || !st_->objects[it->second].sample || period.count() <= 0)
        return false;
    Generator g;
    g.object = it->second;
    g.kind = kind;
    g.period = period;
    g.due = std::chrono::steady_clock::now() + period;
    g.first = first;
    g.secondNumber = secondNumber;
    st_->generators.push_back(g);
    return true;
}

void Station::setConnectObjects(const ConnectObjects &objects) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    ForgetLastAnswer(*st_);
    SetConnectObjects(*st_, objects);
}

ConnectObjects Station::connectObjects() const {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    return GetConnectObjects(*st_);
}

void Station::setUnknownStatus(uint8_t status) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    ForgetLastAnswer(*st_);
    st_->unknownStatus = status;
}

void Station::setLookupStatus(const std::string &name, uint8_t status) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    ForgetLastAnswer(*st_);
    st_->forcedStatus[name] = status;
}

void Station::setErrorFlags(uint8_t flags) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    ForgetLastAnswer(*st_);
    st_->errorFlags = flags;
}

void Station::setAckMode(AckMode mode) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    ForgetLastAnswer(*st_);
    st_->ackMode = mode;
}

void Station::setExtraData(const std::vector<uint8_t> &afterRead, const std::vector<uint8_t> &afterWrite) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    ForgetLastAnswer(*st_);
    st_->extraRead = afterRead;
    st_->extraWrite = afterWrite;
}

void Station::setRefuseSegments(bool refuse) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    st_->refuseSegments = refuse;
}

void Station::setStrictItemMode(bool strict) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    ForgetLastAnswer(*st_);
    st_->strictItemMode = strict;
}

void Station::setTurnaround(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    st_->turnaround = delay;
}

void Station::setTextReply(const std::string &text, uint16_t status, const std::vector<uint8_t> &data) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    ForgetLastAnswer(*st_);
    st_->textReplies[text] = {status, data};
}

void Station::setFaults(const FaultScript &script) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    SetFaults(*st_, script);
}

void Station::addFault(const Fault &step) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    st_->script.steps.push_back(step);
}

StationStats Station::stats() const {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    return st_->stats;
}

void Station::switchOff() {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    SwitchOff(*st_, std::chrono::steady_clock::time_point::max());
}

void Station::switchOn() {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    SwitchOn(*st_);
}

bool Station::switchedOn() const {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    return !st_->off || std::chrono::steady_clock::now() >= st_->offUntil;
}

void Station::restart() {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    Restart(*st_);
}

bool Station::dropObject(const std::string &name) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    return DropObject(*st_, name);
}

bool Station::resizeObject(const std::string &name, uint32_t count) {
    std::lock_guard<std::mutex> lk(sim_->mu_);
    return ResizeObject(*st_, name, count);
}

// ---- Simulator ----------------------------------------------------------------------------------

Simulator::Simulator() : t0_(std::chrono::steady_clock::now()) {}

Simulator::~Simulator() {
    stop();
    if (fd_ >= 0)
        close(fd_);
    if (holdFd_ >= 0)
        close(holdFd_);
    if (!linkPath_.empty())
        unlink(linkPath_.c_str());
}

Station &Simulator::addStation(uint8_t address) {
    std::lock_guard<std::mutex> lk(mu_);
    auto &slot = stations_[address];
    if (!slot)
        slot.reset(new Station(this, address));
    return *slot;
}

Station *Simulator::station(uint8_t address) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = stations_.find(address);
    return it == stations_.end() ? nullptr : it->second.get();
}

std::vector<uint8_t> Simulator::stationAddresses() const {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<uint8_t> a;
    for (const auto &s : stations_)
        a.push_back(s.first);
    return a;
}

bool Simulator::createPty(std::string *error) {
    if (fd_ >= 0 || running()) {
        *error = "the simulator has a line already";
        return false;
    }
    if (!openPty(error))
        return false;
    isPty_ = true;
    return true;
}

bool Simulator::openPty(std::string *error) {
    const int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) {
        *error = Errno("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        *error = Errno("pseudo-terminal set-up");
        close(m);
        return false;
    }
    // Keep the slave open ourselves: the line then stays up while the driver closes and reopens.
    const int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (s < 0) {
        *error = Errno(std::string("open ") + name);
        close(m);
        return false;
    }
    if (!MakeRaw(s, 0)) {
        *error = Errno(std::string("raw mode on ") + name);
        close(s);
        close(m);
        return false;
    }
    MakeRaw(m, 0);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    fd_ = m;
    holdFd_ = s;
    std::lock_guard<std::mutex> lk(deviceMu_);
    devicePath_ = name;
    return true;
}

std::string Simulator::devicePath() const {
    std::lock_guard<std::mutex> lk(deviceMu_);
    return devicePath_;
}

bool Simulator::relink(std::string *error) {
    if (linkPath_.empty())
        return true;
    // A new link beside the old one, renamed over it: a reader of the name never finds it missing.
    const std::string fresh = linkPath_ + ".new";
    unlink(fresh.c_str());
    if (symlink(devicePath().c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), linkPath_.c_str()) != 0) {
        *error = Errno("link " + linkPath_);
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

bool Simulator::linkPty(const std::string &path, std::string *error) {
    if (!isPty_) {
        *error = "only a pseudo-terminal line is linked";
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = path + " exists and is not a symbolic link; not replaced";
        return false;
    }
    linkPath_ = path;
    return relink(error);
}

void Simulator::closeLine() {
    if (fd_ >= 0)
        close(fd_); // the driver's descriptor on the slave is hung up
    if (holdFd_ >= 0)
        close(holdFd_);
    fd_ = -1;
    holdFd_ = -1;
    if (!linkPath_.empty())
        unlink(linkPath_.c_str()); // the device's name is gone with it
}

void Simulator::unplug(std::chrono::milliseconds downFor) {
    if (!isPty_)
        return;
    if (running()) {
        // Carried out by the line thread, which owns the line's descriptors; gone when this returns.
        unplugAsk_ = downFor.count();
        waitUntil([&] { return !plugged() || !running(); }, kWriteStall);
        return;
    }
    if (!unplugged_) {
        closeLine();
        std::lock_guard<std::mutex> lk(deviceMu_);
        unplugged_ = true;
        plugAt_ = downFor.count() > 0 ? std::chrono::steady_clock::now() + downFor
                                      : std::chrono::steady_clock::time_point::max();
    }
}

void Simulator::plug() {
    if (running()) {
        plugAsk_ = true;
        waitUntil([&] { return plugged() || !running(); }, kWriteStall);
        return;
    }
    std::string error;
    if (unplugged_ && openPty(&error) && relink(&error)) {
        std::lock_guard<std::mutex> lk(deviceMu_);
        unplugged_ = false;
        ++replugs_;
        pluggedAt_ = std::chrono::steady_clock::now();
    }
}

bool Simulator::plugged() const {
    std::lock_guard<std::mutex> lk(deviceMu_);
    return !unplugged_;
}

uint64_t Simulator::replugs() const {
    std::lock_guard<std::mutex> lk(deviceMu_);
    return replugs_;
}

std::chrono::steady_clock::time_point Simulator::pluggedAt() const {
    std::lock_guard<std::mutex> lk(deviceMu_);
    return pluggedAt_;
}

void Simulator::serveUnplug() {
    const auto now = std::chrono::steady_clock::now();
    const int64_t ask = unplugAsk_.exchange(-1);
    bool changed = false;
    if (ask >= 0 && !unplugged_) {
        closeLine();
        {
            std::lock_guard<std::mutex> lk(deviceMu_);
            unplugged_ = true;
        }
        plugAt_ = ask > 0 ? now + std::chrono::milliseconds(ask) : std::chrono::steady_clock::time_point::max();
        changed = true;
    }
    if (plugAsk_.exchange(false) && unplugged_)
        plugAt_ = now;
    if (unplugged_ && now >= plugAt_) {
        std::string error;
        if (openPty(&error) && relink(&error)) {
            std::lock_guard<std::mutex> lk(deviceMu_);
            unplugged_ = false;
            ++replugs_;
            pluggedAt_ = std::chrono::steady_clock::now();
        } else {
            plugAt_ = now + kPollSlice; // try again shortly
        }
        changed = true;
    }
    if (changed)
        notify();
}

bool Simulator::attach(const std::string &device, std::string *error) {
    if (fd_ >= 0 || running()) {
        *error = "the simulator has a line already";
        return false;
    }
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = Errno("open " + device);
        return false;
    }
    if (isatty(fd) && !MakeRaw(fd, baud_)) {
        *error = Errno("raw mode on " + device);
        close(fd);
        return false;
    }
    fd_ = fd;
    devicePath_ = device;
    return true;
}

std::string Simulator::portName() const {
    return devicePath_.compare(0, 5, "/dev/") == 0 ? devicePath_.substr(5) : devicePath_;
}

void Simulator::setBaud(uint32_t baud) {
    baud_ = baud;
    if (fd_ >= 0 && holdFd_ < 0 && isatty(fd_))
        MakeRaw(fd_, baud);
}

void Simulator::setEcho(bool echo) { echo_ = echo; }

void Simulator::setWireTiming(bool on) { wireTiming_ = on; }

void Simulator::inject(const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> lk(mu_);
    inject_.insert(inject_.end(), bytes.begin(), bytes.end());
}

void Simulator::writeInjected() {
    std::vector<uint8_t> bytes;
    {
        std::lock_guard<std::mutex> lk(mu_);
        bytes.swap(inject_);
    }
    if (bytes.empty())
        return;
    capture('S', bytes.data(), bytes.size());
    if (writeLine(bytes.data(), bytes.size(), false)) {
        std::lock_guard<std::mutex> lk(logMu_);
        line_.bytesInjected += bytes.size();
    }
    notify();
}

bool Simulator::start(std::string *error) {
    if (running())
        return true;
    if (fd_ < 0) {
        *error = "no line: call createPty() or attach() first";
        return false;
    }
    stop_ = false;
    t0_ = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto &s : stations_)
            for (Generator &g : s.second->st_->generators)
                g.due = t0_ + g.period;
    }
    thread_ = std::thread(&Simulator::run, this);
    return true;
}

void Simulator::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void Simulator::setLog(FILE *out) {
    std::lock_guard<std::mutex> lk(logMu_);
    log_ = out;
}

void Simulator::setHexCapture(FILE *out) {
    std::lock_guard<std::mutex> lk(logMu_);
    hex_ = out;
    if (hex_) {
        std::fprintf(hex_, "# net2000-sim line capture: SECONDS DIR BYTES; DIR M master, S station, E echo\n");
        std::fflush(hex_);
    }
}

void Simulator::setTrafficLimit(size_t records) {
    std::lock_guard<std::mutex> lk(logMu_);
    trafficLimit_ = records;
    while (traffic_.size() > trafficLimit_)
        traffic_.pop_front();
}

std::vector<TrafficRecord> Simulator::traffic() const {
    std::lock_guard<std::mutex> lk(logMu_);
    return std::vector<TrafficRecord>(traffic_.begin(), traffic_.end());
}

void Simulator::clearTraffic() {
    std::lock_guard<std::mutex> lk(logMu_);
    traffic_.clear();
}

LineStats Simulator::lineStats() const {
    std::lock_guard<std::mutex> lk(logMu_);
    return line_;
}

bool Simulator::waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lk(evMu_);
    for (;;) {
        const uint64_t seen = events_;
        lk.unlock();
        if (pred())
            return true;
        lk.lock();
        if (!evCv_.wait_until(lk, deadline, [&] { return events_ != seen; })) {
            lk.unlock();
            return pred();
        }
    }
}

bool Simulator::waitForReplies(uint8_t address, uint64_t n, std::chrono::milliseconds timeout) {
    Station *s = station(address);
    return s && waitUntil([s, n] { return s->stats().replies >= n; }, timeout);
}

void Simulator::notify() {
    {
        std::lock_guard<std::mutex> lk(evMu_);
        ++events_;
    }
    evCv_.notify_all();
}

double Simulator::now() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count(); }

void Simulator::setCaptureObserver(std::function<void(char, const uint8_t *, size_t)> observer) {
    std::lock_guard<std::mutex> lk(logMu_);
    observer_ = std::move(observer);
}

void Simulator::capture(char direction, const uint8_t *bytes, size_t n) {
    std::lock_guard<std::mutex> lk(logMu_);
    if (observer_)
        observer_(direction, bytes, n);
    if (!hex_)
        return;
    std::fprintf(hex_, "%.6f %c %s\n", now(), direction, Hex(bytes, n).c_str());
    std::fflush(hex_);
}

void Simulator::addRecord(TrafficRecord record) {
    record.time = now();
    record.text = FormatRecord(record);
    std::lock_guard<std::mutex> lk(logMu_);
    if (log_) {
        std::fprintf(log_, "%s\n%14s%s\n", record.text.c_str(), "", Hex(record.raw).c_str());
        std::fflush(log_);
    }
    if (trafficLimit_ == 0)
        return;
    traffic_.push_back(std::move(record));
    while (traffic_.size() > trafficLimit_)
        traffic_.pop_front();
}

bool Simulator::sleepFor(std::chrono::milliseconds delay) {
    const auto end = std::chrono::steady_clock::now() + delay;
    for (;;) {
        if (stop_)
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kPollSlice));
    }
}

bool Simulator::sleepUntil(std::chrono::steady_clock::time_point when) {
    for (;;) {
        if (stop_)
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= when)
            return true;
        // With wire timing the last stretch is waited for on the CPU: a sleeping thread wakes tens of
        // microseconds late, a character time at 115200 baud is 95.
        if (wireTiming_ && when - now <= kSpinStretch)
            continue;
        std::this_thread::sleep_until(std::min<std::chrono::steady_clock::time_point>(
            wireTiming_ ? when - kSpinStretch : when, now + kPollSlice));
    }
}

bool Simulator::writeLine(const uint8_t *bytes, size_t n, bool paced) {
    const uint32_t baud = baud_;
    const auto start = std::chrono::steady_clock::now();
    // 11 bits a character: start bit, 8 data bits, parity or a second stop bit, stop bit.
    const auto perChar = std::chrono::nanoseconds(baud ? 11000000000ull / baud : 0);
    // With wire timing a byte is there only once its last bit is: one character time after its start.
    const size_t lead = wireTiming_ ? 0 : 1;
    size_t sent = 0;
    auto lastProgress = start;
    while (sent < n) {
        if (stop_)
            return false;
        const auto now = std::chrono::steady_clock::now();
        size_t due = n;
        if (paced && baud) {
            due = std::min(n, static_cast<size_t>((now - start) / perChar) + lead);
            if (due <= sent) {
                if (!sleepUntil(start + perChar * static_cast<long>(sent + 1 - lead)))
                    return false;
                continue;
            }
        }
        const ssize_t w = ::write(fd_, bytes + sent, due - sent);
        if (w > 0) {
            sent += static_cast<size_t>(w);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
            std::lock_guard<std::mutex> lk(logMu_);
            ++line_.writeErrors;
            return false;
        }
        if (std::chrono::steady_clock::now() - lastProgress > kWriteStall) {
            std::lock_guard<std::mutex> lk(logMu_);
            ++line_.writeErrors;
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 20);
    }
    std::lock_guard<std::mutex> lk(logMu_);
    line_.bytesOut += n;
    return true;
}

void Simulator::handleBadFrame(const std::vector<uint8_t> &bytes, const char *why) {
    TrafficRecord r = DescribeFrame(bytes, Direction::FromMaster);
    r.valid = false;
    r.note = std::string(why) + " wrong: dropped";
    addRecord(std::move(r));
    notify();
}

void Simulator::handleFrame(const std::vector<uint8_t> &raw) {
    Frame f;
    if (!ParseFrame(raw, &f))
        return;
    TrafficRecord rx = DescribeFrame(raw, Direction::FromMaster);
    Answer answer;
    Station *station = nullptr;
    {
        std::lock_guard<std::mutex> lk(mu_);
        auto it = stations_.find(f.destination);
        if (it != stations_.end()) {
            station = it->second.get();
            HandleFrame(*station->st_, f, rx, answer);
        }
    }
    {
        std::lock_guard<std::mutex> lk(logMu_);
        ++line_.framesIn;
        if (!station)
            ++line_.foreignFrames;
    }
    if (!station)
        rx.note = "no station here with this address: ignored";
    addRecord(std::move(rx));
    if (answer.unplugMs >= 0)
        unplugAsk_ = answer.unplugMs; // carried out by the line thread once this frame is done

    // A real line hands the station the frame's last byte only after the whole frame has travelled.
    const bool arrived = !wireTiming_ || baud_ == 0 || answer.frames.empty() || sleepUntil(inputDone_);
    if (!answer.frames.empty() && arrived && sleepFor(answer.turnaround)) {
        uint64_t replies = 0;
        for (OutFrame &o : answer.frames) {
            if (!o.noise.empty()) {
                capture('S', o.noise.data(), o.noise.size());
                if (!writeLine(o.noise.data(), o.noise.size(), true))
                    break;
            }
            bool ok;
            if (o.splitAt) {
                capture('S', o.frame.data(), o.splitAt);
                ok = writeLine(o.frame.data(), o.splitAt, true) && sleepFor(std::chrono::milliseconds(o.pauseMs));
                if (ok) {
                    capture('S', o.frame.data() + o.splitAt, o.frame.size() - o.splitAt);
                    ok = writeLine(o.frame.data() + o.splitAt, o.frame.size() - o.splitAt, true);
                }
            } else {
                capture('S', o.frame.data(), o.frame.size());
                ok = writeLine(o.frame.data(), o.frame.size(), true);
            }
            if (!ok) {
                o.record.note += o.record.note.empty() ? "not written: line stalled or stopped"
                                                       : "; not written: line stalled or stopped";
                addRecord(std::move(o.record));
                break;
            }
            addRecord(std::move(o.record));
            if (o.completesReply)
                ++replies;
        }
        if (replies) {
            std::lock_guard<std::mutex> lk(mu_);
            station->st_->stats.replies += replies;
        }
    }
    notify();
}

void Simulator::tickGenerators() {
    const auto now = std::chrono::steady_clock::now();
    bool added = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto &entry : stations_) {
            StationState &s = *entry.second->st_;
            for (Generator &g : s.generators) {
                if (now < g.due)
                    continue;
                g.due += g.period;
                if (g.due < now)
                    g.due = now + g.period;
                const std::time_t t = std::time(nullptr);
                std::tm tm{};
                localtime_r(&t, &tm);
                ++g.serial;
                const SampleRecord r =
                    g.kind == RecordKind::Message
                        ? MessageRecord(tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                                        g.first, g.secondNumber, g.serial % 2)
                        : MeasurementRecord(tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                                            g.first, g.secondNumber, static_cast<uint16_t>(g.serial * 10));
                added |= QueueRecord(s, g.object, r, nullptr);
            }
        }
    }
    if (added)
        notify();
}

void Simulator::run() {
#if defined(__linux__)
    // Paced bytes are due every 95 us at 115200 baud: sleeps must end when asked, not up to the
    // default 50 us slack later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    FrameReceiver rx;
    uint8_t buf[4096];
    auto lastByte = std::chrono::steady_clock::now();
    inputDone_ = lastByte;
    while (!stop_) {
        serveUnplug();
        if (fd_ < 0) { // unplugged: nothing to hear until the device comes back
            rx.reset();
            sleepFor(kPollSlice);
            tickGenerators();
            continue;
        }
        pollfd p{fd_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(kPollSlice.count()));
        if (r < 0 && errno != EINTR) {
            sleepFor(kPollSlice);
            continue;
        }
        if (r > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                {
                    std::lock_guard<std::mutex> lk(logMu_);
                    line_.bytesIn += static_cast<uint64_t>(n);
                }
                capture('M', buf, static_cast<size_t>(n));
                if (echo_) {
                    capture('E', buf, static_cast<size_t>(n));
                    writeLine(buf, static_cast<size_t>(n), false);
                }
                lastByte = std::chrono::steady_clock::now();
                const uint32_t baud = baud_;
                const auto perChar = std::chrono::nanoseconds(baud ? 11000000000ull / baud : 0);
                if (inputDone_ < lastByte)
                    inputDone_ = lastByte; // the line was idle: these bytes start now
                for (ssize_t i = 0; i < n; ++i) {
                    inputDone_ += perChar; // byte i is in one character time after the one before
                    switch (rx.feed(buf[i])) {
                    case FrameReceiver::Event::Frame: handleFrame(rx.frame()); break;
                    case FrameReceiver::Event::BadHeader: {
                        std::lock_guard<std::mutex> lk(logMu_);
                        ++line_.badHeaders;
                    }
                        handleBadFrame(rx.dropped(), "header checksum");
                        break;
                    case FrameReceiver::Event::BadData: {
                        std::lock_guard<std::mutex> lk(logMu_);
                        ++line_.badData;
                    }
                        handleBadFrame(rx.frame(), "data checksum");
                        break;
                    case FrameReceiver::Event::None: break;
                    }
                }
            } else {
                sleepFor(kPollSlice); // no slave open (EIO) or end of file: the line is down
            }
        } else if (r > 0) {
            sleepFor(kPollSlice); // hang-up or error without data
        }
        if (!rx.idle() && std::chrono::steady_clock::now() - lastByte > kInterCharacterGap) {
            rx.reset();
            std::lock_guard<std::mutex> lk(logMu_);
            ++line_.droppedPartial;
        }
        tickGenerators();
        writeInjected();
    }
}

} // namespace kesta::sim
