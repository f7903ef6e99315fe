// Binds the reference runtime's test API by dlopen from the very library the driver loads.
#include "support/hostlog.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

TalrunRefApi api;
bool attached = false;

template <typename T> bool Bind(void *library, const char *name, T *slot) {
    *slot = reinterpret_cast<T>(dlsym(library, name));
    return *slot != nullptr;
}

} // namespace

namespace hostlog {

const TalrunRefApi *Attach(const char *talrunPath) {
    setenv("KESTA_TALRUN", talrunPath, 1);
    if (attached) {
        return &api;
    }
    void *library = dlopen(talrunPath, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        fprintf(stderr, "hostlog: %s\n", dlerror());
        return nullptr;
    }
    api.library = library;
    bool ok =
        Bind(library, "talref_message_count", &api.message_count) && Bind(library, "talref_message", &api.message) &&
        Bind(library, "talref_clear_messages", &api.clear_messages) && Bind(library, "talref_log_to", &api.log_to) &&
        Bind(library, "talref_load_gates", &api.load_gates) && Bind(library, "talref_define_gate", &api.define_gate) &&
        Bind(library, "talref_clear_gates", &api.clear_gates) && Bind(library, "talref_gate_value", &api.gate_value) &&
        Bind(library, "talref_cooked_double", &api.cooked_double) &&
        Bind(library, "talref_last_lookup", &api.last_lookup) &&
        Bind(library, "talref_print_gates", &api.print_gates) && Bind(library, "talref_fail_put", &api.fail_put);
    if (!ok) {
        fprintf(stderr, "hostlog: %s lacks the talref API\n", talrunPath);
        return nullptr;
    }
    const char *log = getenv("TALRUN_LOG");
    if (log == nullptr || log[0] == '\0') {
        api.log_to("");
    }
    attached = true;
    return &api;
}

std::vector<LoggedMessage> Messages() {
    std::vector<LoggedMessage> messages;
    if (!attached) {
        return messages;
    }
    const size_t count = api.message_count();
    messages.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        int level = 0;
        const int length = api.message(i, &level, nullptr, 0);
        if (length < 0) {
            break;
        }
        std::string text(static_cast<size_t>(length) + 1, '\0');
        api.message(i, &level, &text[0], text.size());
        text.resize(static_cast<size_t>(length));
        messages.push_back(LoggedMessage{level, text});
    }
    return messages;
}

void Clear() {
    if (attached) {
        api.clear_messages();
    }
}

} // namespace hostlog
