// Test helper around the reference host runtime (libtalrun.so): points the driver at it through
// KESTA_TALRUN, loads the same library here and reads back the messages err received, with levels.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/talrun/talrun_ref.h"

struct LoggedMessage {
    int level;
    std::string text;
};

inline bool operator==(const LoggedMessage &a, const LoggedMessage &b) {
    return a.level == b.level && a.text == b.text;
}

inline void PrintTo(const LoggedMessage &m, std::ostream *out) { *out << m.level << " \"" << m.text << '"'; }

// The runtime's own test API, bound from the loaded library.
struct TalrunRefApi {
    decltype(&talref_message_count) message_count;
    decltype(&talref_message) message;
    decltype(&talref_clear_messages) clear_messages;
    decltype(&talref_log_to) log_to;
    decltype(&talref_load_gates) load_gates;
    decltype(&talref_define_gate) define_gate;
    decltype(&talref_clear_gates) clear_gates;
    decltype(&talref_gate_value) gate_value;
    decltype(&talref_cooked_double) cooked_double;
    decltype(&talref_last_lookup) last_lookup;
    decltype(&talref_print_gates) print_gates;
    decltype(&talref_fail_put) fail_put;
    void *library;
};

namespace hostlog {

// Sets KESTA_TALRUN to the runtime's path (the driver binds it on its first message, so call this
// before) and loads the runtime. Unless TALRUN_LOG is set, the runtime is told not to write messages
// out; they are only kept. Returns the API, or nullptr when the library cannot be loaded.
const TalrunRefApi *Attach(const char *talrunPath);

std::vector<LoggedMessage> Messages(); // everything logged since the last Clear
void Clear();

} // namespace hostlog
