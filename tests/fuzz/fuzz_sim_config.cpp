// Fuzz target: any text as the station simulator's configuration. Loading either succeeds with at
// least one station or fails with a "SOURCE:LINE: why" message; it never crashes, hangs or takes
// memory without bound, whatever the counts, values, hex strings and fault scripts say.
#include <stdint.h>

#include <string>

#include "fuzz_input.h"
#include "tools/sim/sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    kesta::sim::Simulator sim;
    std::string error;
    const bool loaded = kesta::sim::LoadConfigText(text, "fuzz.cfg", sim, &error);
    if (loaded) {
        FuzzCheck(!sim.stationAddresses().empty());
    } else {
        FuzzCheck(error.rfind("fuzz.cfg:", 0) == 0);
    }
    return 0;
}
