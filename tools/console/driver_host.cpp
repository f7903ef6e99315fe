// Loading the driver and the reference host runtime the way a host does, and the calls through
// KviMain.
#include "tools/console/driver_host.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace kesta::console {

namespace {

bool Exists(const std::string &path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

std::string ProgramDirectory() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return std::string();
    buf[n] = '\0';
    std::string path(buf);
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Absolute(const std::string &path) {
    if (path.find('/') == std::string::npos)
        return path; // a bare name stays one: the loader searches for it
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

template <typename T> bool Bind(void *library, const char *name, T *slot) {
    *slot = reinterpret_cast<T>(dlsym(library, name));
    return *slot != nullptr;
}

} // namespace

std::string FindLibrary(const std::string &given, const char *fileName, const char *buildPath) {
    if (!given.empty())
        return Absolute(given);
    const std::string beside = ProgramDirectory() + "/" + fileName;
    if (Exists(beside))
        return beside;
#ifdef KESTA_LIB_FROM_BIN
    // Installed (the package, or make install under any prefix): the libraries' own folder, found from
    // the program's, so an unpacked package works wherever it lies.
    const std::string installed = ProgramDirectory() + "/" KESTA_LIB_FROM_BIN "/" + fileName;
    if (Exists(installed))
        return installed;
#endif
    if (buildPath != nullptr && Exists(buildPath))
        return buildPath;
    return fileName;
}

DriverHost::~DriverHost() {
    // The libraries stay loaded: the driver keeps function pointers into the runtime until the end.
}

bool DriverHost::load(const std::string &driverPath, const std::string &runtimePath, std::string *error) {
    // The driver binds its runtime on its first message, from the path in KESTA_TALRUN.
    setenv("KESTA_TALRUN", runtimePath.c_str(), 1);
    runtimeLibrary_ = dlopen(runtimePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (runtimeLibrary_ == nullptr) {
        *error = std::string("host runtime not loaded: ") + dlerror();
        return false;
    }
    if (!(Bind(runtimeLibrary_, "talref_message_count", &api_.messageCount) &&
          Bind(runtimeLibrary_, "talref_message", &api_.message) &&
          Bind(runtimeLibrary_, "talref_clear_messages", &api_.clearMessages) &&
          Bind(runtimeLibrary_, "talref_log_to", &api_.logTo) &&
          Bind(runtimeLibrary_, "talref_define_gate", &api_.defineGate) &&
          Bind(runtimeLibrary_, "talref_gate_value", &api_.gateValue) &&
          Bind(runtimeLibrary_, "talref_cooked_double", &api_.cookedDouble))) {
        *error = runtimePath + " is not the reference host runtime (no talref_ functions)";
        return false;
    }
    api_.logTo(""); // the console shows the messages itself
    api_.clearMessages();
    seen_ = 0;

    driver_ = dlopen(driverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (driver_ == nullptr) {
        *error = std::string("driver not loaded: ") + dlerror();
        return false;
    }
    if (!Bind(driver_, "KviMain", &kviMain_)) {
        *error = driverPath + " exports no KviMain";
        return false;
    }
    return true;
}

uint32_t DriverHost::call(uint32_t functionCode, void *argRecord) {
    DriverCall call;
    std::memset(&call, 0, sizeof call);
    call.instance = instance();
    call.functionCode = functionCode;
    call.driverNumber = driverNumber;
    call.argRecord = argRecord;
    return kviMain_(&call);
}

bool DriverHost::info(std::string *protocol, std::string *banner) {
    DriverInfo info;
    std::memset(&info, 0, sizeof info);
    if (call(KVI_GET_INFO, &info) != 0)
        return false;
    const size_t size = info.instanceSize > sizeof(DriverInstance) ? info.instanceSize : sizeof(DriverInstance);
    block_.assign((size + 7) / 8, 0);
    *protocol = info.protocolName != nullptr ? info.protocolName : "";
    // The banner is a box in code page 437; its printable characters are its text.
    banner->clear();
    for (const char *p = info.banner; p != nullptr && *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7F)
            *banner += *p;
    }
    while (!banner->empty() && banner->front() == ' ')
        banner->erase(banner->begin());
    while (!banner->empty() && banner->back() == ' ')
        banner->pop_back();
    return true;
}

std::vector<DriverMessage> DriverHost::newMessages() {
    std::vector<DriverMessage> out;
    if (api_.messageCount == nullptr)
        return out;
    const size_t count = api_.messageCount();
    for (; seen_ < count; ++seen_) {
        DriverMessage m;
        const int length = api_.message(seen_, &m.level, nullptr, 0);
        if (length < 0)
            break;
        std::vector<char> text(static_cast<size_t>(length) + 1);
        api_.message(seen_, &m.level, text.data(), text.size());
        m.text = text.data();
        out.push_back(m);
    }
    // Everything runs on this thread, the driver's calls included: nothing can arrive in between.
    api_.clearMessages();
    seen_ = 0;
    return out;
}

} // namespace kesta::console
