// Fuzz target: any bytes as the initialisation file KESTA00.INT, read by InitFile from a scratch
// current directory exactly as a cold start reads it. Nothing in the file may stop the reading or
// leave a setting outside its range, and a key that the file never names keeps its default.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fuzz_host_stubs.h"
#include "host/initfile.h"
#include "serial/transport.h"

namespace {

const char kFileName[] = "KESTA00.INT";

// The file is read by its relative name: the target steps into a directory of its own around each
// read and back again, so that the fuzzer's own relative paths keep working.
struct ScratchDirectory {
    std::string dir;
    std::string home;
    ScratchDirectory() {
        const char *base = getenv("TMPDIR");
        dir = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kesta-fuzz-XXXXXX";
        char cwd[4096];
        FuzzCheck(mkdtemp(&dir[0]) != nullptr && getcwd(cwd, sizeof cwd) != nullptr);
        home = cwd;
    }
    void Enter() const { FuzzCheck(chdir(dir.c_str()) == 0); }
    void Leave() const { FuzzCheck(chdir(home.c_str()) == 0); }
};

bool Mentions(const uint8_t *data, size_t size, const char *key) {
    return memmem(data, size, key, strlen(key)) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const ScratchDirectory scratch;
    scratch.Enter();
    // A fresh file each time: rewriting one in place makes some file systems flush it on close.
    unlink(kFileName);
    FILE *file = fopen(kFileName, "wb");
    FuzzCheck(file != nullptr && fwrite(data, 1, size, file) == size && fclose(file) == 0);

    DriverInstance instance;
    memset(&instance, 0, sizeof instance);
    flushBeforeSend = 7; // InitFile must set both whatever they were
    numSlaves = 7;
    fuzzhost::Clear();
    InitFile(&instance, 0);
    scratch.Leave();

    FuzzCheck(flushBeforeSend == 0 || flushBeforeSend == 1);
    if (!Mentions(data, size, "MASTER_ADDRESS")) {
        FuzzCheck(instance.masterAddress == 1);
    }
    if (!Mentions(data, size, "NUM_OF_SLAVES")) {
        FuzzCheck(numSlaves == 1);
    }
    if (!Mentions(data, size, "FLUSH_BUFFER")) {
        FuzzCheck(flushBeforeSend == 0);
    }
    if (!Mentions(data, size, "EWT_DELAY_BETWEEN_RECORDS")) {
        FuzzCheck(instance.ewtDelay == 0);
    }
    // Opening, opened, and at least one report line per key that was not accepted.
    FuzzCheck(fuzzhost::g_messages >= 2);
    return 0;
}
