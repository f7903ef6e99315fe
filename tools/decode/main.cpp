// net2000-decode: prints every frame of a Net2000 line capture decoded, one line each. Reads hex text
// captures (the driver's KESTA_TRACE file, the simulator's --hex file, hand-made lines), pcapng
// captures (KESTA_PCAPNG, net2000-sim --pcapng), raw bytes from a file, or a serial line live, and
// writes any of them as pcapng for Wireshark.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tools/decode/decode.h"
#include "tools/decode/pcapng.h"
#include "tools/termios_speed.h"

using namespace kesta::decode;

namespace {

volatile sig_atomic_t stopRequested = 0;
void OnSignal(int) { stopRequested = 1; }

const char kUsage[] =
    "usage: net2000-decode [options] [FILE ...]\n"
    "\n"
    "Prints each Net2000 frame of a line capture decoded: direction, addresses, frame type, sequence,\n"
    "checksum verdict, and for each complete message its counter, code, items, names and values.\n"
    "\n"
    "FILE   a hex capture: one chunk a line, \"[TIME] [M|S|E] HEX ...\", '#' comments (the driver's\n"
    "       KESTA_TRACE file, net2000-sim --hex); a pcapng capture (KESTA_PCAPNG, net2000-sim\n"
    "       --pcapng; link type 147); raw line bytes; or a serial device, read live.\n"
    "       Without FILE, or with '-', standard input is read as hex text.\n"
    "\n"
    "options:\n"
    "  --raw             FILE holds raw line bytes (found out by itself for binary files)\n"
    "  --hex             FILE holds hex text even if it does not look like it\n"
    "  --bytes           print each frame's bytes under its line\n"
    "  --no-summary      no counts at the end\n"
    "  --pcapng OUT      also write what is read as a pcapng capture to OUT, one packet per frame\n"
    "  --quiet           print nothing decoded (with --pcapng: convert only)\n"
    "  --fields          pcapng input: one normalised line per packet (N DIR frame SRC DST TYPE SEQ\n"
    "                    DCS [repeat] [#COUNTER CODE [h=HANDLES] [error=E/RESULT]]), as the Wireshark\n"
    "                    dissector's test compares them\n"
    "  --baud N          a device's speed (default 57600)\n"
    "  --parity P        a device's parity: none, odd (default), even, mark, space\n"
    "\n"
    "Directions: M the master (the driver) wrote the bytes, S they came from the line, E the echo of\n"
    "an RS485 converter; a lower-case m or s was inferred from the frame type.\n";

struct Options {
    bool raw = false, hex = false, bytes = false, summary = true, quiet = false, fields = false;
    std::string pcapng;
    unsigned baud = 57600;
    int parity = 1;
    std::vector<std::string> files;
};

CaptureToPcapng *converter = nullptr; // --pcapng

void Print(const std::vector<Event> &events, const Options &options) {
    FormatOptions format;
    format.bytes = options.bytes;
    for (const Event &e : events)
        if (!options.quiet)
            std::printf("%s\n", FormatEvent(e, format).c_str());
}

void Flush(Decoder &decoder, const Options &options) {
    Print(decoder.take(), options);
    std::fflush(stdout);
}

void Feed(Decoder &decoder, const Chunk &chunk) {
    decoder.feedChunk(chunk);
    if (converter != nullptr)
        converter->feedChunk(chunk);
}

bool IsPcapng(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    uint8_t head[4] = {0, 0, 0, 0};
    in.read(reinterpret_cast<char *>(head), sizeof head);
    return LooksLikePcapng(head, static_cast<size_t>(in.gcount()));
}

std::string LocalTime(uint64_t micros) {
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    struct tm local;
    localtime_r(&seconds, &local);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06u", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<unsigned>(micros % 1000000));
    return buf;
}

bool DecodePcapng(const std::string &path, Decoder &decoder, const Options &options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "net2000-decode: cannot open %s\n", path.c_str());
        return false;
    }
    PcapngReader reader(in);
    PcapngPacket packet;
    while (!stopRequested && reader.next(&packet)) {
        Chunk chunk;
        chunk.micros = static_cast<int64_t>(packet.micros);
        chunk.time = LocalTime(packet.micros);
        chunk.direction = packet.direction;
        chunk.bytes = packet.bytes;
        decoder.feedPacket(chunk);
        if (converter != nullptr)
            converter->feedChunk(chunk);
        const std::vector<Event> events = decoder.take();
        if (options.fields)
            std::printf("%s\n", FormatFields(packet.number, packet, events).c_str());
        else
            Print(events, options);
    }
    std::fflush(stdout);
    if (reader.otherPackets() != 0)
        std::fprintf(stderr, "net2000-decode: %s: %llu packets of other link types passed over\n", path.c_str(),
                     static_cast<unsigned long long>(reader.otherPackets()));
    if (!reader.error().empty()) {
        std::fprintf(stderr, "net2000-decode: %s: %s\n", path.c_str(), reader.error().c_str());
        return false;
    }
    return true;
}

bool LooksBinary(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    char buf[512];
    in.read(buf, sizeof buf);
    const std::streamsize n = in.gcount();
    for (std::streamsize i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(buf[i]);
        if ((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c >= 0x80)
            return true;
    }
    return false;
}

bool DecodeText(std::istream &in, Decoder &decoder, const Options &options) {
    std::string line;
    while (!stopRequested && std::getline(in, line)) {
        decoder.feedLine(line);
        if (converter != nullptr)
            converter->feedLine(line);
        Flush(decoder, options);
    }
    return true;
}

bool DecodeRawFile(const std::string &path, Decoder &decoder, const Options &options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "net2000-decode: cannot open %s\n", path.c_str());
        return false;
    }
    Chunk chunk;
    std::vector<char> buf(4096);
    while (!stopRequested && in.read(buf.data(), static_cast<std::streamsize>(buf.size())), in.gcount() > 0) {
        chunk.bytes.assign(buf.begin(), buf.begin() + in.gcount());
        Feed(decoder, chunk);
        Flush(decoder, options);
    }
    return true;
}

std::string Now() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm local;
    localtime_r(&seconds, &local);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

bool DecodeDevice(const std::string &path, Decoder &decoder, const Options &options) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "net2000-decode: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB);
        if (options.parity != 0) {
            tio.c_cflag |= PARENB;
            if (options.parity == 1 || options.parity == 3)
                tio.c_cflag |= PARODD;
#ifdef CMSPAR
            if (options.parity >= 3)
                tio.c_cflag |= CMSPAR;
#endif
        }
        const speed_t speed = StandardSpeed(options.baud);
        if (speed != 0) {
            cfsetispeed(&tio, speed);
            cfsetospeed(&tio, speed);
        } else {
            std::fprintf(stderr, "net2000-decode: %u baud is not a standard rate; the device keeps its own\n",
                         options.baud);
        }
        tcsetattr(fd, TCSANOW, &tio);
    }
    std::fprintf(stderr, "net2000-decode: listening on %s; Ctrl-C ends\n", path.c_str());
    uint8_t buf[1024];
    while (!stopRequested) {
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        Chunk chunk;
        chunk.time = Now();
        chunk.micros = static_cast<int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
        chunk.bytes.assign(buf, buf + n);
        Feed(decoder, chunk);
        Flush(decoder, options);
    }
    close(fd);
    return true;
}

bool ParseParity(const std::string &text, int *parity) {
    static const char *names[] = {"none", "odd", "even", "mark", "space"};
    for (int i = 0; i < 5; ++i)
        if (text == names[i]) {
            *parity = i;
            return true;
        }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char *name) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "net2000-decode: %s wants a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--hex") {
            options.hex = true;
        } else if (arg == "--bytes") {
            options.bytes = true;
        } else if (arg == "--no-summary") {
            options.summary = false;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--fields") {
            options.fields = true;
            options.summary = false;
        } else if (arg == "--pcapng") {
            options.pcapng = value("--pcapng");
        } else if (arg == "--baud") {
            options.baud = static_cast<unsigned>(std::strtoul(value("--baud").c_str(), nullptr, 10));
        } else if (arg == "--parity") {
            if (!ParseParity(value("--parity"), &options.parity)) {
                std::fprintf(stderr, "net2000-decode: parity is none, odd, even, mark or space\n");
                return 2;
            }
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            std::fprintf(stderr, "net2000-decode: unknown option %s\n\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            options.files.push_back(arg);
        }
    }
    if (options.files.empty())
        options.files.push_back("-");

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::ofstream pcapngFile;
    std::unique_ptr<CaptureToPcapng> pcapng;
    if (!options.pcapng.empty()) {
        pcapngFile.open(options.pcapng, std::ios::binary | std::ios::trunc);
        if (!pcapngFile) {
            std::fprintf(stderr, "net2000-decode: cannot write %s\n", options.pcapng.c_str());
            return 2;
        }
        const std::string name = options.files.size() == 1 ? options.files[0] : std::string("line");
        pcapng = std::make_unique<CaptureToPcapng>(pcapngFile, name, "Net2000 line, converted by net2000-decode");
        converter = pcapng.get();
    }
    if (options.quiet)
        options.summary = false;

    Decoder decoder;
    bool ok = true;
    for (const std::string &path : options.files) {
        if (path == "-") {
            ok = DecodeText(std::cin, decoder, options) && ok;
            continue;
        }
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            std::fprintf(stderr, "net2000-decode: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
            ok = false;
            continue;
        }
        if (S_ISCHR(st.st_mode)) {
            ok = DecodeDevice(path, decoder, options) && ok;
        } else if (!options.raw && !options.hex && IsPcapng(path)) {
            ok = DecodePcapng(path, decoder, options) && ok;
        } else if (options.raw || (!options.hex && LooksBinary(path))) {
            ok = DecodeRawFile(path, decoder, options) && ok;
        } else {
            std::ifstream in(path);
            if (!in) {
                std::fprintf(stderr, "net2000-decode: cannot open %s\n", path.c_str());
                ok = false;
                continue;
            }
            ok = DecodeText(in, decoder, options) && ok;
        }
    }
    decoder.finish();
    if (!options.fields)
        Flush(decoder, options);
    if (converter != nullptr) {
        converter->finish();
        pcapngFile.flush();
        if (!converter->ok()) {
            std::fprintf(stderr, "net2000-decode: writing %s failed\n", options.pcapng.c_str());
            ok = false;
        }
    }
    if (options.summary)
        std::printf("--\n%s\n", FormatStats(decoder.stats()).c_str());
    return ok ? 0 : 1;
}
