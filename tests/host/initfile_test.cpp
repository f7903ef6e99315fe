// The initialisation file, one row per case: the file's bytes, the messages in order, the settings.
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/initfile.h"
#include "host_test_util.h"
#include "serial/transport.h"
#include "support/hostlog.h"

namespace {

const uint32_t kDriver = 7;
const std::string kName = "KESTA07.INT";

const std::string kOpening = "KESTA> Opening init file KESTA07.INT";
const std::string kOpened = "KESTA> Init file KESTA07.INT opened";
const std::string kMasterMissing =
    "KESTA> InitFile() Could not find parameter MASTER_ADDRESS in Init file KESTA07.INT....";
const std::string kMasterDefault = "KESTA> InitFile() ....Using default: MASTER_ADDRESS=1";
const std::string kSlavesMissing =
    "KESTA> InitFile() Could not find parameter NUM_OF_SLAVES in Init file KESTA07.INT....";
const std::string kSlavesDefault = "KESTA> InitFile() ....Using default: NUM_OF_SLAVES=1";
const std::string kFlushMissing =
    "KESTA> InitFile() Could not find parameter FLUSH_BUFFER in Init file KESTA07.INT....";
const std::string kFlushDefault = "KESTA> InitFile() ....Using default: FLUSH_BUFFER=0 (No flushing before each send)";

std::string Master(const std::string &v) { return "KESTA> InitFile() Master Address set to " + v; }
std::string MasterRange(const std::string &v) {
    return "KESTA> InitFile() Incorrect value " + v + " for parameter MASTER_ADDR (Range:0-255)...";
}
std::string Slaves(const std::string &v) { return "KESTA> InitFile() Number of slaves to be connected:" + v; }
std::string SlavesRange(const std::string &v) {
    return "KESTA> InitFile() Incorrect value " + v + " for parameter NUM_OF_SLAVES (Range:0-255)...";
}
const std::string kNoFlush = "KESTA> InitFile() Buffer set to no flush.";
const std::string kFlush = "KESTA> InitFile() Buffer set to flush before each send.";
std::string FlushRange(const std::string &v) {
    return "KESTA> InitFile() Incorrect value " + v + " for parameter FLUSH_BUFFER (Range:0/1)...";
}
std::string Ewt(const std::string &v) { return "KESTA> InitFile() EWT_DELAY_BETWEEN_RECORDS= " + v; }
const std::string kEwtOne = "KESTA> InitFile() reading 1 EWT record at a time";
std::string Skip(const std::string &text, int line) {
    return "KESTA> InitFile() Skipping unrecognized line " + text + " (Line number:" + std::to_string(line) +
           ") in Init file KESTA07.INT";
}

struct Row {
    const char *name;
    std::string file;
    std::vector<std::string> messages; // after "Opening" and "opened", all at level 32
    unsigned master, slaves, flush, ewtDelay;
};

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

std::vector<std::string> Then(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<std::string> kAllMissing = {kMasterMissing, kMasterDefault, kSlavesMissing,
                                              kSlavesDefault, kFlushMissing,  kFlushDefault};
const std::vector<std::string> kSlavesFlushMissing = {kSlavesMissing, kSlavesDefault, kFlushMissing, kFlushDefault};
const std::vector<std::string> kMasterFlushMissing = {kMasterMissing, kMasterDefault, kFlushMissing, kFlushDefault};
const std::vector<std::string> kMasterSlavesMissing = {kMasterMissing, kMasterDefault, kSlavesMissing, kSlavesDefault};

const std::string kAllKeys = "MASTER_ADDRESS = 5\nNUM_OF_SLAVES = 3\nFLUSH_BUFFER = 1\n";
const std::vector<std::string> kAllKeysMessages = {Master("5"), Slaves("3"), kFlush};

const std::vector<Row> kRows = {
    {"EmptyFile", "", kAllMissing, 1, 1, 0, 0},
    {"AllKeys",
     kAllKeys + "EWT_DELAY_BETWEEN_RECORDS = 250\n",
     {Master("5"), Slaves("3"), kFlush, Ewt("250")},
     5,
     3,
     1,
     250},
    {"MasterAbove255", "MASTER_ADDRESS = 256\n", Then({MasterRange("256"), kMasterDefault}, kSlavesFlushMissing), 1, 1,
     0, 0},
    {"MasterZero", "MASTER_ADDRESS = 0\n", Then({Master("0")}, kSlavesFlushMissing), 0, 1, 0, 0},
    {"MasterNegative", "MASTER_ADDRESS = -1\n", Then({MasterRange("4294967295"), kMasterDefault}, kSlavesFlushMissing),
     1, 1, 0, 0},
    {"MasterBeyond32Bits", "MASTER_ADDRESS = 4294967297\n",
     Then({MasterRange("4294967295"), kMasterDefault}, kSlavesFlushMissing), 1, 1, 0, 0},
    {"MasterPlusSign", "MASTER_ADDRESS = +7\n", Then({Master("7")}, kSlavesFlushMissing), 7, 1, 0, 0},
    {"MasterHexReadsItsZero", "MASTER_ADDRESS = 0x10\n", Then({Master("0")}, kSlavesFlushMissing), 0, 1, 0, 0},
    {"MasterTrailingComment", "MASTER_ADDRESS = 7 ; the line's own station\n", Then({Master("7")}, kSlavesFlushMissing),
     7, 1, 0, 0},
    {"NoBlanks", "MASTER_ADDRESS=9\n", Then({Master("9")}, kSlavesFlushMissing), 9, 1, 0, 0},
    {"ManyBlanksAndTabs", "MASTER_ADDRESS \t  =\t\t 12\n", Then({Master("12")}, kSlavesFlushMissing), 12, 1, 0, 0},
    {"Indented", " MASTER_ADDRESS = 5\n", Then({Skip(" MASTER_ADDRESS = 5", 1)}, kAllMissing), 1, 1, 0, 0},
    {"LowerCaseKey", "master_address = 5\n", Then({Skip("master_address = 5", 1)}, kAllMissing), 1, 1, 0, 0},
    {"KeyWithoutNumber", "MASTER_ADDRESS =\nMASTER_ADDRESS = x\nMASTER_ADDRESS 5\n",
     Then({Skip("MASTER_ADDRESS =", 1), Skip("MASTER_ADDRESS = x", 2), Skip("MASTER_ADDRESS 5", 3)}, kAllMissing), 1, 1,
     0, 0},
    {"SlavesZero", "NUM_OF_SLAVES = 0\n", Then({Slaves("0")}, kMasterFlushMissing), 1, 0, 0, 0},
    {"SlavesAbove255",
     "NUM_OF_SLAVES = 256\n",
     {SlavesRange("256"), kMasterMissing, kMasterDefault, kSlavesDefault, kFlushMissing, kFlushDefault},
     1,
     1,
     0,
     0},
    {"FlushZero", "FLUSH_BUFFER = 0\n", Then({kNoFlush}, kMasterSlavesMissing), 1, 1, 0, 0},
    {"FlushTwo", "FLUSH_BUFFER = 2\n", Then({FlushRange("2")}, Then(kMasterSlavesMissing, {kFlushDefault})), 1, 1, 0,
     0},
    {"EwtZeroAlone", kAllKeys + "EWT_DELAY_BETWEEN_RECORDS = 0\n", Then(kAllKeysMessages, {kEwtOne}), 5, 3, 1, 0},
    {"EwtZeroKeepsEarlierDelay", kAllKeys + "EWT_DELAY_BETWEEN_RECORDS = 100\nEWT_DELAY_BETWEEN_RECORDS = 0\n",
     Then(kAllKeysMessages, {Ewt("100"), kEwtOne}), 5, 3, 1, 100},
    {"EwtBeyond32Bits", kAllKeys + "EWT_DELAY_BETWEEN_RECORDS = 99999999999999999999999\n",
     Then(kAllKeysMessages, {Ewt("4294967295")}), 5, 3, 1, 4294967295u},
    {"RejectedAfterAcceptedKeepsValue", "MASTER_ADDRESS = 5\nMASTER_ADDRESS = 300\n",
     Then({Master("5"), MasterRange("300"), kMasterDefault}, kSlavesFlushMissing), 5, 1, 0, 0},
    {"AcceptedAfterRejected", "MASTER_ADDRESS = 300\nMASTER_ADDRESS = 6\n",
     Then({MasterRange("300"), Master("6")}, kSlavesFlushMissing), 6, 1, 0, 0},
    {"CommentsAndEmptyLinesCount", ";comment\n\nBAD\n", Then({Skip("BAD", 3)}, kAllMissing), 1, 1, 0, 0},
    {"LastLineWithoutEnd", "FOO=1", Then({Skip("FOO=", 1)}, kAllMissing), 1, 1, 0, 0},
    {"LongLineIsSeveralPieces", std::string(300, 'X') + "\nBAD\n",
     Then({Skip(std::string(254, 'X'), 1), Skip(std::string(45, 'X'), 2), Skip("BAD", 3)}, kAllMissing), 1, 1, 0, 0},
    {"KeyAfterAPieceBoundary", std::string(255, 'X') + "MASTER_ADDRESS = 4\n",
     Then({Skip(std::string(254, 'X'), 1), Master("4")}, kSlavesFlushMissing), 4, 1, 0, 0},
    // Windows text-mode reading on every build: CR LF is a line end, a lone CR is text, Ctrl-Z ends.
    {"CrLfLines", "MASTER_ADDRESS = 5\r\n\r\nBAD\r\n", Then({Master("5"), Skip("BAD", 3)}, kSlavesFlushMissing), 5, 1,
     0, 0},
    {"LoneCarriageReturn", "BAD\rX\n", Then({Skip("BAD\rX", 1)}, kAllMissing), 1, 1, 0, 0},
    {"CtrlZEndsTheFile", "MASTER_ADDRESS = 5\n\x1aNUM_OF_SLAVES = 3\n", Then({Master("5")}, kSlavesFlushMissing), 5, 1,
     0, 0},
    // NUL bytes: the text of a piece ends at the first one.
    {"NulAfterNumber", std::string("MASTER_ADDRESS = 5\0junk\n", 24), Then({Master("5")}, kSlavesFlushMissing), 5, 1, 0,
     0},
    {"NulInsideText", std::string("AB\0CD\n", 6), Then({Skip("A", 1)}, kAllMissing), 1, 1, 0, 0},
    {"NulFirst", std::string("\0MASTER_ADDRESS = 5\n", 20), Then({Skip("", 1)}, kAllMissing), 1, 1, 0, 0},
    {"BinaryBytes", "\xff\xfe\x01\x7f\n", Then({Skip("\xff\xfe\x01\x7f", 1)}, kAllMissing), 1, 1, 0, 0},
};

template <typename P> class InitFileTest : public ::testing::TestWithParam<P> {
protected:
    void SetUp() override {
        ASSERT_NE(hostlog::Attach(TALRUN_SO_PATH), nullptr);
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_EQ(getcwd(cwd_, sizeof cwd_), cwd_);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        // Values the file must replace: defaults come first, ewtDelay only from the file.
        memset(&settings_, 0xCD, sizeof settings_);
        settings_.ewtDelay = 0;
        settings_.options = DefaultLineOptions();
        hostlog::Clear();
    }
    void TearDown() override { ASSERT_EQ(chdir(cwd_), 0); }

    static std::vector<std::string> Texts(int *wrongLevels) {
        std::vector<std::string> texts;
        for (const LoggedMessage &m : hostlog::Messages()) {
            *wrongLevels += m.level != 32;
            texts.push_back(m.text);
        }
        return texts;
    }

    TempDir dir_;
    char cwd_[4096];
    InitSettings settings_;
};
class InitFile : public InitFileTest<Row> {};

TEST_P(InitFile, Reads) {
    const Row &row = GetParam();
    dir_.Write(kName, row.file);
    ::InitFile(kDriver, &settings_);
    int wrongLevels = 0;
    EXPECT_EQ(Texts(&wrongLevels), Then({kOpening, kOpened}, row.messages));
    EXPECT_EQ(wrongLevels, 0);
    EXPECT_EQ(uint32_t{settings_.masterAddress}, row.master);
    EXPECT_EQ(uint32_t{settings_.numSlaves}, row.slaves);
    EXPECT_EQ(uint32_t{settings_.flushBeforeSend}, row.flush);
    EXPECT_EQ(settings_.ewtDelay, row.ewtDelay);
}

INSTANTIATE_TEST_SUITE_P(Lines, InitFile, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &row) { return std::string(row.param.name); });

// The keys of a line that heals itself: each logs only when it appears, accepted with its value or
// refused with its range (the setting then stays as it was); none is missing when absent.
struct HealingRow {
    const char *name;
    std::string file;
    std::vector<std::string> messages; // after "Opening", "opened" and before the four keys' reports
    uint32_t limit, pause, relookup, reopen;
};

void PrintTo(const HealingRow &row, std::ostream *out) { *out << row.name; }

std::string Set(const char *key, const char *value) {
    return std::string("KESTA> InitFile() ") + key + " set to " + value;
}
std::string Refused(const char *key, const char *value, const char *range) {
    return std::string("KESTA> InitFile() Incorrect value ") + value + " for parameter " + key + " (Range:" + range +
           ")...";
}

const uint32_t kPause = SILENT_STATION_PAUSE_DEFAULT;

const std::vector<HealingRow> kHealingRows = {
    {"Absent", "", {}, 0, kPause, 0, 0},
    {"LimitFive", "SILENT_STATION_LIMIT = 5\n", {Set("SILENT_STATION_LIMIT", "5")}, 5, kPause, 0, 0},
    {"LimitZeroIsOff", "SILENT_STATION_LIMIT = 0\n", {Set("SILENT_STATION_LIMIT", "0")}, 0, kPause, 0, 0},
    {"LimitHighest", "SILENT_STATION_LIMIT = 255\n", {Set("SILENT_STATION_LIMIT", "255")}, 255, kPause, 0, 0},
    {"LimitAbove255",
     "SILENT_STATION_LIMIT = 256\n",
     {Refused("SILENT_STATION_LIMIT", "256", "0-255")},
     0,
     kPause,
     0,
     0},
    {"LimitNegative",
     "SILENT_STATION_LIMIT = -1\n",
     {Refused("SILENT_STATION_LIMIT", "4294967295", "0-255")},
     0,
     kPause,
     0,
     0},
    {"PauseLowest", "SILENT_STATION_PAUSE = 100\n", {Set("SILENT_STATION_PAUSE", "100")}, 0, 100, 0, 0},
    {"PauseHighest", "SILENT_STATION_PAUSE = 3600000\n", {Set("SILENT_STATION_PAUSE", "3600000")}, 0, 3600000, 0, 0},
    {"PauseBelow100",
     "SILENT_STATION_PAUSE = 99\n",
     {Refused("SILENT_STATION_PAUSE", "99", "100-3600000")},
     0,
     kPause,
     0,
     0},
    {"PauseZeroIsNoOff",
     "SILENT_STATION_PAUSE = 0\n",
     {Refused("SILENT_STATION_PAUSE", "0", "100-3600000")},
     0,
     kPause,
     0,
     0},
    {"PauseAbove",
     "SILENT_STATION_PAUSE = 3600001\n",
     {Refused("SILENT_STATION_PAUSE", "3600001", "100-3600000")},
     0,
     kPause,
     0,
     0},
    {"RelookupOn", "RELOOKUP_ON_ERROR = 1\n", {Set("RELOOKUP_ON_ERROR", "1")}, 0, kPause, 1, 0},
    {"RelookupOff", "RELOOKUP_ON_ERROR = 0\n", {Set("RELOOKUP_ON_ERROR", "0")}, 0, kPause, 0, 0},
    {"RelookupTwo", "RELOOKUP_ON_ERROR = 2\n", {Refused("RELOOKUP_ON_ERROR", "2", "0/1")}, 0, kPause, 0, 0},
    {"ReopenOff", "PORT_REOPEN_INTERVAL = 0\n", {Set("PORT_REOPEN_INTERVAL", "0")}, 0, kPause, 0, 0},
    {"ReopenLowest", "PORT_REOPEN_INTERVAL = 100\n", {Set("PORT_REOPEN_INTERVAL", "100")}, 0, kPause, 0, 100},
    {"ReopenHighest",
     "PORT_REOPEN_INTERVAL = 3600000\n",
     {Set("PORT_REOPEN_INTERVAL", "3600000")},
     0,
     kPause,
     0,
     3600000},
    {"ReopenBelow100",
     "PORT_REOPEN_INTERVAL = 50\n",
     {Refused("PORT_REOPEN_INTERVAL", "50", "0/100-3600000")},
     0,
     kPause,
     0,
     0},
    {"ReopenAbove",
     "PORT_REOPEN_INTERVAL = 3600001\n",
     {Refused("PORT_REOPEN_INTERVAL", "3600001", "0/100-3600000")},
     0,
     kPause,
     0,
     0},
    {"RefusedKeepsTheEarlierValue",
     "SILENT_STATION_LIMIT = 3\nSILENT_STATION_LIMIT = 300\n",
     {Set("SILENT_STATION_LIMIT", "3"), Refused("SILENT_STATION_LIMIT", "300", "0-255")},
     3,
     kPause,
     0,
     0},
    {"AllFour",
     "SILENT_STATION_LIMIT = 2\nSILENT_STATION_PAUSE = 500\nRELOOKUP_ON_ERROR = 1\nPORT_REOPEN_INTERVAL = 1000\n",
     {Set("SILENT_STATION_LIMIT", "2"), Set("SILENT_STATION_PAUSE", "500"), Set("RELOOKUP_ON_ERROR", "1"),
      Set("PORT_REOPEN_INTERVAL", "1000")},
     2,
     500,
     1,
     1000},
    {"IndentedIsSkipped", " RELOOKUP_ON_ERROR = 1\n", {Skip(" RELOOKUP_ON_ERROR = 1", 4)}, 0, kPause, 0, 0},
};

class InitFileHealing : public InitFileTest<HealingRow> {};

TEST_P(InitFileHealing, Reads) {
    const HealingRow &row = GetParam();
    dir_.Write(kName, kAllKeys + row.file);
    ::InitFile(kDriver, &settings_);
    int wrongLevels = 0;
    EXPECT_EQ(Texts(&wrongLevels), Then(Then({kOpening, kOpened}, kAllKeysMessages), row.messages));
    EXPECT_EQ(wrongLevels, 0);
    EXPECT_EQ(settings_.options.silentStationLimit, row.limit);
    EXPECT_EQ(settings_.options.silentStationPause, row.pause);
    EXPECT_EQ(settings_.options.relookupOnError, row.relookup);
    EXPECT_EQ(settings_.options.portReopenInterval, row.reopen);
}

INSTANTIATE_TEST_SUITE_P(Keys, InitFileHealing, ::testing::ValuesIn(kHealingRows),
                         [](const ::testing::TestParamInfo<HealingRow> &row) { return std::string(row.param.name); });

TEST_F(InitFile, MissingFileUsesDefaults) {
    settings_.ewtDelay = 77; // not the file's to reset
    ::InitFile(kDriver, &settings_);
    int wrongLevels = 0;
    EXPECT_EQ(Texts(&wrongLevels),
              (std::vector<std::string>{kOpening, "KESTA> Initialisation file KESTA07.INT not found-using default:",
                                        "KESTA> MASTER_ADDRESS    set to 1", "KESTA> FLUSH_BUFFER      set to 0",
                                        "KESTA> NUM_OF_SLAVES     set to 1"}));
    EXPECT_EQ(wrongLevels, 0);
    EXPECT_EQ(uint32_t{settings_.masterAddress}, 1u);
    EXPECT_EQ(uint32_t{settings_.numSlaves}, 1u);
    EXPECT_EQ(uint32_t{settings_.flushBeforeSend}, 0u);
    EXPECT_EQ(settings_.ewtDelay, 77u);
}

TEST_F(InitFile, NameCarriesTheDriverNumber) {
    ::InitFile(123, &settings_);
    ::InitFile(3, &settings_);
    const std::vector<LoggedMessage> messages = hostlog::Messages();
    ASSERT_EQ(messages.size(), 10u);
    EXPECT_EQ(messages[0].text, "KESTA> Opening init file KESTA123.INT");
    EXPECT_EQ(messages[5].text, "KESTA> Opening init file KESTA03.INT");
}

// Ten megabytes of noise (no Ctrl-Z) and a good line at the very end: every piece is read and
// reported, none stops the reading, and the last line still counts.
TEST_F(InitFile, LargeBinaryFileIsReadToTheEnd) {
    std::string noise(10 * 1024 * 1024, '\0');
    uint32_t seed = 12345;
    for (char &c : noise) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
        if (c == '\x1a') {
            c = 'z';
        }
    }
    dir_.Write(kName, noise + "\nMASTER_ADDRESS = 9\n");
    const auto start = std::chrono::steady_clock::now();
    ::InitFile(kDriver, &settings_);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    const std::vector<LoggedMessage> messages = hostlog::Messages();
    ASSERT_GT(messages.size(), 40000u); // at most 255 bytes a piece
    EXPECT_EQ(messages[messages.size() - 5].text, Master("9"));
    EXPECT_EQ(messages.back().text, kFlushDefault);
    EXPECT_EQ(uint32_t{settings_.masterAddress}, 9u);
}

// READ_GROUP_MS: logged only when a line names it, accepted from 0 to 60000 into the line's options,
// refused beyond with its range, the value before it then kept; absent, it stays 0 (off).
struct ReadGroupRow {
    const char *name;
    std::string lines;                 // after the four keys
    std::vector<std::string> messages; // after theirs
    uint32_t readGroupMs;
};

void PrintTo(const ReadGroupRow &row, std::ostream *out) { *out << row.name; }

std::string ReadGroup(const std::string &v) { return "KESTA> InitFile() READ_GROUP_MS set to " + v; }
std::string ReadGroupRange(const std::string &v) {
    return "KESTA> InitFile() Incorrect value " + v + " for parameter READ_GROUP_MS (Range:0-60000)...";
}

const std::vector<ReadGroupRow> kReadGroupRows = {
    {"Absent", "", {}, 0},
    {"Accepted", "READ_GROUP_MS = 250\n", {ReadGroup("250")}, 250},
    {"ZeroIsOff", "READ_GROUP_MS = 0\n", {ReadGroup("0")}, 0},
    {"Highest", "READ_GROUP_MS = 60000\n", {ReadGroup("60000")}, 60000},
    {"AboveTheRange", "READ_GROUP_MS = 60001\n", {ReadGroupRange("60001")}, 0},
    {"RefusedKeepsTheValueBefore",
     "READ_GROUP_MS = 100\nREAD_GROUP_MS = 70000\n",
     {ReadGroup("100"), ReadGroupRange("70000")},
     100},
    {"NegativeReadsAsLarge", "READ_GROUP_MS = -1\n", {ReadGroupRange("4294967295")}, 0},
    {"LastLineCounts", "READ_GROUP_MS = 5\nREAD_GROUP_MS = 7\n", {ReadGroup("5"), ReadGroup("7")}, 7},
    {"LowerCaseIsNoKey", "read_group_ms = 5\n", {Skip("read_group_ms = 5", 4)}, 0},
};

class ReadGroupKey : public InitFileTest<ReadGroupRow> {};

TEST_P(ReadGroupKey, Reads) {
    const ReadGroupRow &row = GetParam();
    dir_.Write(kName, kAllKeys + row.lines);
    ::InitFile(kDriver, &settings_);
    int wrongLevels = 0;
    EXPECT_EQ(Texts(&wrongLevels), Then(Then({kOpening, kOpened}, kAllKeysMessages), row.messages));
    EXPECT_EQ(wrongLevels, 0);
    EXPECT_EQ(settings_.options.readGroupMs, row.readGroupMs);
}

INSTANTIATE_TEST_SUITE_P(Lines, ReadGroupKey, ::testing::ValuesIn(kReadGroupRows),
                         [](const ::testing::TestParamInfo<ReadGroupRow> &row) { return std::string(row.param.name); });

} // namespace
