// Fuzz target: parameter strings into dsf_configure and values into dsf_parse_value. The text lives
// in a buffer of exactly its length plus the NUL, so reading past the string shows under ASan.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "dsf/dsf_internal.h"
#include "fuzz_input.h"

namespace {

void *Alloc(uint32_t size) { return malloc(size); }
void Release(void *block, uint32_t) { free(block); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';
    DsfInstance *dsf = nullptr;
    if (dsf_create(2, Alloc, Release, &dsf) == 0) {
        uint16_t rx = 0;
        uint16_t tx = 0;
        FuzzCheck(dsf_configure(dsf, text, &rx, &tx) == 0 && rx == DSF_MAX_FRAME && tx == DSF_MAX_FRAME);
        FuzzCheck(dsf->stations[1].stationAddress == 127); // only the first entry takes DA
    }
    dsf_destroy(dsf);
    const size_t starts = size < 64 ? size : 64;
    for (size_t i = 0; i < starts; ++i) {
        const int32_t value = dsf_parse_value(text + i);
        FuzzCheck(value == -1 || text[i] != '\0');
    }
    free(text);
    return 0;
}
