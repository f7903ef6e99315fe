// kesta-host run as an integrator runs it: against the station simulator on a pseudo-terminal, in a
// scratch directory, as a separate process that loads libkesta.so itself.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "run_program.h"
#include "support/driver_fixture.h"
#include "tools/console/demo.h"
#include "tools/console/gatefile.h"

using kesta::sim::ObjectSpec;
using testing::HasSubstr;
using testing::MatchesRegex;

namespace {

class Console : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(f.ok()) << f.error();
        unsetenv("KESTA_TRACE");
        unsetenv("KESTA_TRACE_PERIOD");
        kesta::sim::Station &plc = f.station(2);
        plc.addObject(ObjectSpec::Scalar("pump_on", kesta::sim::kTypeBool, 1));
        plc.addObject(ObjectSpec::Scalar("speed", kesta::sim::kTypeInt16, -1500));
        plc.addObject(ObjectSpec::Scalar("counter", kesta::sim::kTypeInt32, -100000));
        plc.addObject(ObjectSpec::Scalar("setpoint", kesta::sim::kTypeUint16, 50000));
        plc.addObject(ObjectSpec::Scalar("total", kesta::sim::kTypeUint32, 4000000000.0));
        plc.addObject(ObjectSpec::Scalar("temperature", kesta::sim::kTypeFloat, 21.5));
        plc.addObject(ObjectSpec::Array("table", kesta::sim::kTypeUint16, 4, {10, 20, 30, 40}));
        plc.addSampleStructure("alarms");
        plc.queueRecord("alarms", kesta::sim::MessageRecord(26, 12, 2001, 14, 30, 45, 5, 7, true));
        ASSERT_TRUE(f.StartLine()) << f.error();
    }

    std::string WriteGates(const std::string &text) {
        const std::string path = f.dir() + "/plant.gates";
        std::ofstream(path) << text;
        return path;
    }

    std::vector<std::string> Args(std::vector<std::string> extra) {
        std::vector<std::string> args{KESTA_HOST_EXE, "--port", f.sim().portName(), "--driver",
                                      std::to_string(f.driverNumber())};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // CSV rows by address.
    static std::map<std::string, std::vector<std::string>> Rows(const std::string &csv) {
        std::map<std::string, std::vector<std::string>> rows;
        const std::vector<std::string> lines = Lines(csv);
        for (size_t i = 1; i < lines.size(); ++i) {
            const std::vector<std::string> fields = SplitCsv(lines[i]);
            if (!fields.empty())
                rows[fields[0]] = fields;
        }
        return rows;
    }

    DriverFixture f;
};

enum Column { kAddress, kKind, kType, kElements, kValue, kResult, kLastGood, kErrors, kNote };

TEST_F(Console, CsvSnapshotOfEveryKindOfGate) {
    const std::string gates = WriteGates("# every kind of gate\n"
                                         "002pump_on      DIGITAL\n"
                                         "002speed        SIGNED16\n"
                                         "002counter      SIGNED32\n"
                                         "002setpoint     UNSIGNED16\n"
                                         "002total        UNSIGNED32\n"
                                         "002temperature  FLOAT\n"
                                         "002table        UNSIGNED16 block 4\n"
                                         "002table[2]     UNSIGNED16\n"
                                         "002_Malarms     UNSIGNED32\n"
                                         "002_M005_007    DIGITAL\n");
    const ProgramResult r = RunProgram(Args({"--gates", gates, "--once", "--csv"}));
    EXPECT_EQ(0, r.status) << r.out << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("address,kind,type,elements,value,result,last_good,errors,note", lines[0]);
    auto rows = Rows(r.out);
    ASSERT_EQ(10u, rows.size()) << r.out;
    const struct {
        const char *address, *kind, *type, *elements, *value;
    } expected[] = {
        {"002pump_on", "single", "DIGITAL", "1", "1"},           {"002speed", "single", "SIGNED16", "1", "-1500"},
        {"002counter", "single", "SIGNED32", "1", "-100000"},    {"002setpoint", "single", "UNSIGNED16", "1", "50000"},
        {"002total", "single", "UNSIGNED32", "1", "4000000000"}, {"002temperature", "single", "FLOAT", "1", "21.5"},
        {"002table", "block", "UNSIGNED16", "4", "10 20 30 40"}, {"002table[2]", "single", "UNSIGNED16", "1", "30"},
        {"002_Malarms", "sample", "UNSIGNED32", "1", "1"},       {"002_M005_007", "timestamp", "DIGITAL", "1", "1"},
    };
    for (const auto &e : expected) {
        SCOPED_TRACE(e.address);
        const std::vector<std::string> &row = rows[e.address];
        ASSERT_EQ(9u, row.size());
        EXPECT_EQ(e.kind, row[kKind]);
        EXPECT_EQ(e.type, row[kType]);
        EXPECT_EQ(e.elements, row[kElements]);
        EXPECT_EQ(e.value, row[kValue]);
        EXPECT_EQ("0", row[kResult]);
        EXPECT_THAT(row[kLastGood], MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
        EXPECT_EQ("0", row[kErrors]);
    }
    // The record reached its time-stamp gate with its own date and time.
    EXPECT_EQ("record of 2001-12-26 14:30:45 (1 record)", rows["002_M005_007"][kNote]);
    EXPECT_EQ(1u, f.station(2).acknowledgedRecords("alarms"));
}

TEST_F(Console, FailedGatesSayWhyAndMakeTheExitStatusOne) {
    const std::string gates = WriteGates("002speed   SIGNED16\n"
                                         "002nosuch  SIGNED16\n"
                                         "002speed[1] SIGNED16 block 2\n"
                                         "002counter UNSIGNED16\n"
                                         "002_M005_007 DIGITAL\n");
    const ProgramResult r = RunProgram(Args({"--gates", gates, "--once", "--csv"}));
    EXPECT_EQ(1, r.status) << r.out << r.err;
    auto rows = Rows(r.out);
    ASSERT_EQ(5u, rows.size()) << r.out;
    EXPECT_EQ("0", rows["002speed"][kResult]);
    EXPECT_EQ("1", rows["002nosuch"][kResult]);
    EXPECT_EQ("Parse() object name nosuch not defined in PLC rc=172 (PLC lookup status 2: object not known)",
              rows["002nosuch"][kNote]);
    EXPECT_EQ("1", rows["002speed[1]"][kResult]);
    EXPECT_EQ("Parse()'[Index]' not allowed for block", rows["002speed[1]"][kNote]);
    EXPECT_EQ("1", rows["002counter"][kResult]);
    EXPECT_EQ("SingleParse() gate 002counter, mem. type 4 must be SIGNED 32", rows["002counter"][kNote]);
    // A time-stamp gate that has not received a record yet is no failure.
    EXPECT_EQ("0", rows["002_M005_007"][kResult]);
    EXPECT_EQ("no record yet", rows["002_M005_007"][kNote]);
    // The driver's messages go to standard error beside the CSV.
    EXPECT_THAT(r.err, HasSubstr("KESTA> Parse() object name nosuch not defined in PLC rc=172"));
}

TEST_F(Console, ReadFailuresCountErrorsWithTheErrCodeAndItsMeaning) {
    const std::string gates = WriteGates("002speed SIGNED16\n");
    // The lookup is answered, then the station falls silent for the read and its three repetitions.
    kesta::sim::FaultScript script;
    std::string error;
    ASSERT_TRUE(kesta::sim::ParseFaultScript("ok*2,silence*8", &script, &error)) << error;
    f.station(2).setFaults(script);
    const ProgramResult r = RunProgram(Args({"--gates", gates, "--once", "--csv", "--verbose"}));
    EXPECT_EQ(1, r.status) << r.out << r.err;
    auto rows = Rows(r.out);
    EXPECT_EQ("2", rows["002speed"][kResult]);
    EXPECT_EQ("1", rows["002speed"][kErrors]);
    EXPECT_EQ("", rows["002speed"][kLastGood]);
    EXPECT_EQ("DoRead() read, ErrCode: 10 (no reply after 3 retransmissions)", rows["002speed"][kNote]);
    EXPECT_THAT(r.err, HasSubstr(" 8 KESTA> SingleRead(), rc= 2")); // level 8 shown with --verbose
}

TEST_F(Console, TextSnapshotWithRecordsCountersAndTheDriversLog) {
    const std::string gates = WriteGates("002speed SIGNED16\n002_Malarms UNSIGNED32\n002_M005_007 DIGITAL\n");
    const ProgramResult r = RunProgram(Args({"--gates", gates, "--once"}));
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("kesta-host  B&R Net2000 | " + f.sim().portName() + " 57600 8O1 | driver"));
    EXPECT_THAT(r.out, MatchesRegex("(.|\n)*ADDRESS +KIND +TYPE +VALUE +RESULT +LAST GOOD +ERRORS +NOTE\n(.|\n)*"));
    EXPECT_THAT(r.out, MatchesRegex("(.|\n)*\n002speed +single +SIGNED16 +-1500 +0 ok +[0-9:]{8} +0\n(.|\n)*"));
    EXPECT_THAT(r.out, MatchesRegex("(.|\n)*EWT records, newest first:\n  [0-9:]{8}  002_M005_007 = 1   record of "
                                    "2001-12-26 14:30:45\n(.|\n)*"));
    // Connect, three lookups (speed, alarms, alarms.toggle), the read, the record and its acknowledgement.
    EXPECT_THAT(r.out, MatchesRegex("(.|\n)*\nlink: requests 7, failed 0 \\| frames out/in 7/7 \\|(.|\n)*"));
    EXPECT_THAT(r.out, HasSubstr("driver log (level 32):\n"));
    EXPECT_THAT(r.out, HasSubstr(" 32 KESTA> ColdStart() dsf opened successfully!\n"));
    EXPECT_THAT(r.out, testing::Not(HasSubstr("KESTA> version compiled"))); // level 8 without --verbose
}

TEST_F(Console, BadGateFileLinesAreAllReportedAndNothingGoesOnTheLine) {
    const std::string gates = WriteGates("002speed SIGNED16\n002x WORD\n002y\n");
    const ProgramResult r = RunProgram(Args({"--gates", gates, "--once"}));
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_THAT(r.err, HasSubstr(gates + ":2: unknown host type 'WORD'"));
    EXPECT_THAT(r.err, HasSubstr(gates + ":3: a gate line is ADDRESS TYPE [single | block LENGTH]"));
    EXPECT_EQ(0u, f.sim().lineStats().bytesIn);
}

TEST_F(Console, WriteCommandWritesAndReadsBack) {
    const std::string gates = WriteGates("002speed SIGNED16\n002table UNSIGNED16 block 4\n");
    ProgramResult r = RunProgram(
        Args({"--gates", gates, "write", "002speed", "-77", "002table[1]", "21", "002temperature:FLOAT", "-3.5"}));
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("002speed := -77: written, reads back -77\n"
              "002table[1] := 21: written, reads back 21\n"
              "002temperature := -3.5: written, reads back -3.5\n",
              r.out);
    EXPECT_EQ(-77, f.station(2).value("speed"));
    EXPECT_EQ(21, f.station(2).value("table", 1));
    EXPECT_EQ(-3.5, f.station(2).value("temperature"));

    r = RunProgram(Args({"write", "002speed:SIGNED16", "40000", "002setpoint", "1"}));
    EXPECT_EQ(1, r.status);
    EXPECT_THAT(r.out, HasSubstr("002speed: '40000' is not a SIGNED16 number\n"));
    EXPECT_THAT(r.out, HasSubstr("002setpoint is not in the gate list: give its host type, 002setpoint:UNSIGNED16"));
    EXPECT_EQ(-77, f.station(2).value("speed"));
}

TEST_F(Console, TraceOptionKeepsTheDriversFrameTrace) {
    const std::string gates = WriteGates("002speed SIGNED16\n");
    const std::string trace = f.dir() + "/line.trace";
    const ProgramResult r = RunProgram(Args({"--gates", gates, "--once", "--trace", trace}));
    EXPECT_EQ(0, r.status) << r.err;
    const std::string text = ReadFile(trace);
    EXPECT_THAT(text, HasSubstr(" open /SA=1/RC=3/TT=200/TE=200/TQ=200\n"));
    EXPECT_THAT(text, MatchesRegex("(.|\n)*\n[-0-9T:.]+ M 02 (.|\n)*"));
    EXPECT_THAT(text, MatchesRegex("(.|\n)*\n[-0-9T:.]+ S 02 (.|\n)*"));
    EXPECT_THAT(text, HasSubstr(" counters EndKvi requests=3 failed=0 "));
}

TEST_F(Console, SimulateRunsTheDemonstrationWithNothingAttached) {
    const ProgramResult r =
        RunProgram({KESTA_HOST_EXE, "--simulate", "--once", "--csv", "--driver", std::to_string(f.driverNumber())});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    auto rows = Rows(r.out);
    std::vector<kesta::console::GateEntry> demo;
    std::vector<std::string> errors;
    ASSERT_TRUE(kesta::console::ParseGateText(kesta::console::kDemoGates, "demo", &demo, &errors));
    EXPECT_EQ(demo.size(), rows.size());
    for (const kesta::console::GateEntry &gate : demo) {
        SCOPED_TRACE(gate.address);
        ASSERT_EQ(1u, rows.count(gate.address));
        EXPECT_EQ("0", rows[gate.address][kResult]);
    }
    EXPECT_EQ("10 20 30 40 50 60 70 80 90 100", rows["002table"][kValue]);
    EXPECT_EQ("21.5", rows["002temperature"][kValue]);
    EXPECT_EQ("record of 2001-12-26 14:30:45 (1 record)", rows["002_M005_007"][kNote]);
}

TEST_F(Console, LiveOnATerminalTakesAWriteAtThePromptAndQuits) {
    const std::string gates = WriteGates("002speed SIGNED16\n");
    const std::vector<std::string> args = Args({"--gates", gates, "--interval", "200ms"});
    int terminal = -1;
    struct winsize size = {30, 120, 0, 0};
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string screen;
    auto readFor = [&](std::chrono::milliseconds span, const std::string &until) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            struct pollfd p = {terminal, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buf[4096];
                const ssize_t n = read(terminal, buf, sizeof buf);
                if (n <= 0)
                    return;
                screen.append(buf, static_cast<size_t>(n));
                if (!until.empty() && screen.find(until) != std::string::npos)
                    return;
            }
        }
    };
    readFor(std::chrono::seconds(20), "-1500");
    EXPECT_THAT(screen, HasSubstr("\x1b[?1049h")); // its own screen, given back at the end
    const std::string command = "w 002speed 123\r";
    ASSERT_EQ(static_cast<ssize_t>(command.size()), write(terminal, command.data(), command.size()));
    readFor(std::chrono::seconds(20), "002speed := 123: written, reads back 123");
    EXPECT_THAT(screen, HasSubstr("002speed := 123: written, reads back 123"));
    EXPECT_EQ(123, f.station(2).value("speed"));
    ASSERT_EQ(2, write(terminal, "q\r", 2));
    readFor(std::chrono::seconds(20), ""); // to the end: the counters follow once the screen is given back
    int status = -1;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        usleep(50000);
    if (!WIFEXITED(status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const size_t back = screen.find("\x1b[?1049l");
    ASSERT_NE(std::string::npos, back);
    EXPECT_THAT(screen.substr(back), HasSubstr("link: requests"));
}

} // namespace
