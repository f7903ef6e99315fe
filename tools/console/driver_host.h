// kesta-host's host side: loads libkesta.so as a host does (dlopen, dlsym "KviMain") with the
// reference host runtime libtalrun.so bound to it through KESTA_TALRUN, allocates the instance block
// the driver asks for, and keeps the runtime's captured messages and stored gate values in reach.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kesta.h"
#include "tools/talrun/talrun_ref.h"

namespace kesta::console {

struct RuntimeApi {
    decltype(&talref_message_count) messageCount = nullptr;
    decltype(&talref_message) message = nullptr;
    decltype(&talref_clear_messages) clearMessages = nullptr;
    decltype(&talref_log_to) logTo = nullptr;
    decltype(&talref_define_gate) defineGate = nullptr;
    decltype(&talref_gate_value) gateValue = nullptr;
    decltype(&talref_cooked_double) cookedDouble = nullptr;
};

struct DriverMessage {
    int level = 0;
    std::string text;
};

// The file a library is taken from: the path given, else the one beside this program, else the one
// of the build, else the bare name for the loader's search.
std::string FindLibrary(const std::string &given, const char *fileName, const char *buildPath);

class DriverHost {
public:
    DriverHost() = default;
    ~DriverHost();
    DriverHost(const DriverHost &) = delete;
    DriverHost &operator=(const DriverHost &) = delete;

    // Binds the runtime first (KESTA_TALRUN points the driver at the same file), then the driver.
    bool load(const std::string &driverPath, const std::string &runtimePath, std::string *error);

    uint32_t driverNumber = 1;
    uint32_t call(uint32_t functionCode, void *argRecord);
    DriverInstance *instance() { return reinterpret_cast<DriverInstance *>(block_.data()); }
    // Code 14, then an instance block of the size it reports, zeroed.
    bool info(std::string *protocol, std::string *banner);

    const RuntimeApi &runtime() const { return api_; }
    // Messages err received since the last call. The runtime's store is emptied each time, so a console
    // that runs for days never reaches the runtime's limit of kept messages.
    std::vector<DriverMessage> newMessages();

private:
    void *driver_ = nullptr;
    void *runtimeLibrary_ = nullptr;
    uint32_t (*kviMain_)(DriverCall *) = nullptr;
    RuntimeApi api_;
    size_t seen_ = 0;
    std::vector<uint64_t> block_ = std::vector<uint64_t>((sizeof(DriverInstance) + 7) / 8, 0);
};

} // namespace kesta::console
