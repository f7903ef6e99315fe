// Reading the initialisation file: one piece of at most 255 characters at a time, each matched against
// four "KEY = %u" patterns under the scanning rules of the C library. Bad input is reported and skipped;
// reading always goes on to the end of the file.
#include "host/initfile.h"

#include <stdio.h>
#include <string.h>

#include "platform/talrun.h"

namespace {

enum { INIT_LINE_SIZE = 256, CTRL_Z = 0x1A, SETTING_MAX = 255 };

enum KeyStatus { KEY_NOT_FOUND, KEY_ACCEPTED, KEY_REJECTED };

// The file is read as a Windows text-mode stream delivers it, on every platform: CR LF arrives as LF
// and Ctrl-Z ends the file (DOS editors left one at the end). Files written on either system therefore
// read the same way under both builds.
struct TextStream {
    FILE *file;
    bool ended;
};

int NextChar(TextStream *stream) {
    if (stream->ended) {
        return EOF;
    }
    int c = getc(stream->file);
    if (c == EOF || c == CTRL_Z) {
        stream->ended = true;
        return EOF;
    }
    if (c == '\r') {
        int next = getc(stream->file);
        if (next == '\n') {
            return '\n';
        }
        if (next != EOF) {
            ungetc(next, stream->file);
        }
    }
    return c;
}

// One piece as fgets takes it into a 256-character buffer: up to and including the line end, or 255
// characters, whichever comes first. NUL bytes are stored like any other; the text ends at the first.
bool ReadPiece(TextStream *stream, char (&line)[INIT_LINE_SIZE]) {
    size_t count = 0;
    while (count < INIT_LINE_SIZE - 1) {
        int c = NextChar(stream);
        if (c == EOF) {
            break;
        }
        line[count++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    line[count] = '\0';
    return count > 0;
}

bool IsScanSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

const char *SkipSpace(const char *p) {
    while (IsScanSpace(*p)) {
        ++p;
    }
    return p;
}

// Matches "KEY = %u" at the start of the line as sscanf does: each blank of the pattern matches any run
// of white space, also none; %u takes an optional sign and decimal digits and ignores what follows. A
// minus sign negates modulo 2^32, and a number beyond 32 bits reads as 4294967295, as strtoul does with
// a 32-bit unsigned long; so the result never depends on the C library of the build.
bool ScanSetting(const char *line, const char *key, uint32_t *value) {
    const size_t keyLength = strlen(key);
    if (strncmp(line, key, keyLength) != 0) {
        return false;
    }
    const char *p = SkipSpace(line + keyLength);
    if (*p != '=') {
        return false;
    }
    p = SkipSpace(p + 1);
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (!overflow) {
            magnitude = magnitude * 10u + static_cast<uint64_t>(*p - '0');
            overflow = magnitude > 0xFFFFFFFFu;
        }
    }
    if (overflow) {
        *value = 0xFFFFFFFFu;
    } else {
        const uint32_t v = static_cast<uint32_t>(magnitude);
        *value = negative ? 0u - v : v;
    }
    return true;
}

// Keys beyond the four: each is off by default, and says something only when a line of the file names
// it, accepted with its value or refused with its range, the setting then left as it was.
struct OptionalKey {
    const char *key;
    uint32_t LineOptions::*field;
    uint32_t min; // accepted: min to max, and 0 as well where zeroMeansOff
    uint32_t max;
    bool zeroMeansOff;
    const char *range; // as the refusal shows it
};

const OptionalKey kOptionalKeys[] = {
    {"READ_GROUP_MS", &LineOptions::readGroupMs, 0, 60000, true, "0-60000"},
    {"SILENT_STATION_LIMIT", &LineOptions::silentStationLimit, 0, 255, true, "0-255"},
    {"SILENT_STATION_PAUSE", &LineOptions::silentStationPause, 100, 3600000, false, "100-3600000"},
    {"RELOOKUP_ON_ERROR", &LineOptions::relookupOnError, 0, 1, true, "0/1"},
    {"PORT_REOPEN_INTERVAL", &LineOptions::portReopenInterval, 100, 3600000, true, "0/100-3600000"},
};

bool ApplyOptionalKey(LineOptions *options, const char *line) {
    for (const OptionalKey &k : kOptionalKeys) {
        uint32_t value = 0;
        if (!ScanSetting(line, k.key, &value)) {
            continue;
        }
        if ((value >= k.min && value <= k.max) || (value == 0 && k.zeroMeansOff)) {
            options->*k.field = value;
            err(LOG_ERROR, "KESTA> InitFile() %s set to %u", k.key, value);
        } else {
            err(LOG_ERROR, "KESTA> InitFile() Incorrect value %u for parameter %s (Range:%s)...", value, k.key,
                k.range);
        }
        return true;
    }
    return false;
}

struct Settings {
    InitSettings *values;
    const char *fileName;
    KeyStatus masterAddress;
    KeyStatus numSlaves;
    KeyStatus flushBuffer;
};

// Acts on one piece that is neither a comment nor empty.
void ApplyLine(Settings *settings, const char *line, uint32_t lineNumber) {
    uint32_t value = 0;
    if (ScanSetting(line, "MASTER_ADDRESS", &value)) {
        // Above 255 also covers values that read as negative when taken as signed 32-bit numbers.
        if (value > SETTING_MAX) {
            err(LOG_ERROR, "KESTA> InitFile() Incorrect value %u for parameter MASTER_ADDR (Range:0-255)...", value);
            settings->masterAddress = KEY_REJECTED;
        } else {
            settings->values->masterAddress = static_cast<uint8_t>(value);
            err(LOG_ERROR, "KESTA> InitFile() Master Address set to %u", value);
            settings->masterAddress = KEY_ACCEPTED;
        }
    } else if (ScanSetting(line, "NUM_OF_SLAVES", &value)) {
        if (value > SETTING_MAX) {
            err(LOG_ERROR, "KESTA> InitFile() Incorrect value %u for parameter NUM_OF_SLAVES (Range:0-255)...", value);
            settings->numSlaves = KEY_REJECTED;
        } else {
            settings->values->numSlaves = static_cast<uint8_t>(value);
            err(LOG_ERROR, "KESTA> InitFile() Number of slaves to be connected:%d", static_cast<int>(value));
            settings->numSlaves = KEY_ACCEPTED;
        }
    } else if (ScanSetting(line, "FLUSH_BUFFER", &value)) {
        if (value == 0) {
            settings->values->flushBeforeSend = 0;
            err(LOG_ERROR, "KESTA> InitFile() Buffer set to no flush.");
            settings->flushBuffer = KEY_ACCEPTED;
        } else if (value == 1) {
            settings->values->flushBeforeSend = 1;
            err(LOG_ERROR, "KESTA> InitFile() Buffer set to flush before each send.");
            settings->flushBuffer = KEY_ACCEPTED;
        } else {
            err(LOG_ERROR, "KESTA> InitFile() Incorrect value %u for parameter FLUSH_BUFFER (Range:0/1)...", value);
            settings->flushBuffer = KEY_REJECTED;
        }
    } else if (ScanSetting(line, "EWT_DELAY_BETWEEN_RECORDS", &value)) {
        if (value != 0) {
            err(LOG_ERROR, "KESTA> InitFile() EWT_DELAY_BETWEEN_RECORDS= %u", value);
            settings->values->ewtDelay = value;
        } else {
            err(LOG_ERROR, "KESTA> InitFile() reading 1 EWT record at a time");
        }
    } else if (!ApplyOptionalKey(&settings->values->options, line)) {
        // The text less its last character, normally the line end. A piece whose text is empty (it
        // starts with a NUL byte) has no character to drop: it shows as empty.
        char shown[INIT_LINE_SIZE];
        const size_t length = strlen(line);
        const size_t kept = length > 0 ? length - 1 : 0;
        memcpy(shown, line, kept);
        shown[kept] = '\0';
        err(LOG_ERROR, "KESTA> InitFile() Skipping unrecognized line %s (Line number:%d) in Init file %s", shown,
            static_cast<int>(lineNumber), settings->fileName);
    }
}

void ReportKeys(const Settings &settings) {
    if (settings.masterAddress == KEY_NOT_FOUND) {
        err(LOG_ERROR, "KESTA> InitFile() Could not find parameter MASTER_ADDRESS in Init file %s....",
            settings.fileName);
    }
    if (settings.masterAddress != KEY_ACCEPTED) {
        err(LOG_ERROR, "KESTA> InitFile() ....Using default: MASTER_ADDRESS=1");
    }
    if (settings.numSlaves == KEY_NOT_FOUND) {
        err(LOG_ERROR, "KESTA> InitFile() Could not find parameter NUM_OF_SLAVES in Init file %s....",
            settings.fileName);
    }
    if (settings.numSlaves != KEY_ACCEPTED) {
        err(LOG_ERROR, "KESTA> InitFile() ....Using default: NUM_OF_SLAVES=1");
    }
    if (settings.flushBuffer == KEY_NOT_FOUND) {
        err(LOG_ERROR, "KESTA> InitFile() Could not find parameter FLUSH_BUFFER in Init file %s....",
            settings.fileName);
    }
    if (settings.flushBuffer != KEY_ACCEPTED) {
        err(LOG_ERROR, "KESTA> InitFile() ....Using default: FLUSH_BUFFER=0 (No flushing before each send)");
    }
}

} // namespace

void InitFile(uint32_t driverNumber, InitSettings *values) {
    char fileName[32];
    snprintf(fileName, sizeof fileName, "KESTA%02d.INT", static_cast<int>(driverNumber));
    err(LOG_ERROR, "KESTA> Opening init file %s", fileName);

    FILE *file = fopen(fileName, "rb");
    values->masterAddress = 1;
    values->flushBeforeSend = 0;
    values->numSlaves = 1;
    if (file == nullptr) {
        err(LOG_ERROR, "KESTA> Initialisation file %s not found-using default:", fileName);
        err(LOG_ERROR, "KESTA> MASTER_ADDRESS    set to 1");
        err(LOG_ERROR, "KESTA> FLUSH_BUFFER      set to 0");
        err(LOG_ERROR, "KESTA> NUM_OF_SLAVES     set to 1");
        return;
    }
    err(LOG_ERROR, "KESTA> Init file %s opened", fileName);

    Settings settings = {values, fileName, KEY_NOT_FOUND, KEY_NOT_FOUND, KEY_NOT_FOUND};
    TextStream stream = {file, false};
    char line[INIT_LINE_SIZE];
    uint32_t lineNumber = 0;
    while (ReadPiece(&stream, line)) {
        ++lineNumber;
        if (line[0] == ';' || line[0] == '\n') {
            continue;
        }
        ApplyLine(&settings, line, lineNumber);
    }
    ReportKeys(settings);
    fclose(file);
}
