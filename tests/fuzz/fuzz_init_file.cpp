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

    InitSettings settings;
    memset(&settings, 0xCD, sizeof settings); // InitFile must set the three defaults whatever was there
    settings.ewtDelay = 0;
    settings.options = DefaultLineOptions();
    fuzzhost::Clear();
    InitFile(0, &settings);
    scratch.Leave();

    FuzzCheck(settings.flushBeforeSend == 0 || settings.flushBeforeSend == 1);
    if (!Mentions(data, size, "MASTER_ADDRESS")) {
        FuzzCheck(settings.masterAddress == 1);
    }
    if (!Mentions(data, size, "NUM_OF_SLAVES")) {
        FuzzCheck(settings.numSlaves == 1);
    }
    if (!Mentions(data, size, "FLUSH_BUFFER")) {
        FuzzCheck(settings.flushBeforeSend == 0);
    }
    if (!Mentions(data, size, "EWT_DELAY_BETWEEN_RECORDS")) {
        FuzzCheck(settings.ewtDelay == 0);
    }
    // A key beyond the four changes its option only from a line that names it, and only within range.
    const LineOptions defaults = DefaultLineOptions();
    if (!Mentions(data, size, "READ_GROUP_MS")) {
        FuzzCheck(settings.options.readGroupMs == defaults.readGroupMs);
    }
    FuzzCheck(settings.options.readGroupMs <= 60000);
    FuzzCheck(settings.options.silentStationLimit <= 255);
    FuzzCheck(settings.options.silentStationPause >= 100 && settings.options.silentStationPause <= 3600000);
    FuzzCheck(settings.options.relookupOnError <= 1);
    FuzzCheck(settings.options.portReopenInterval == 0 ||
              (settings.options.portReopenInterval >= 100 && settings.options.portReopenInterval <= 3600000));
    // Opening, opened, and at least one report line per key that was not accepted.
    FuzzCheck(fuzzhost::g_messages >= 2);
    return 0;
}
