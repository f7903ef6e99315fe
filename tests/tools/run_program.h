// Runs one of the project's programs as a child process with its output captured, for the tests of
// the tools: they are tried the way an integrator runs them.
#pragma once

#include <string>
#include <vector>

#include "tools/sim/sim.h"

struct ProgramResult {
    int status = -1; // exit status; -1 when it did not end by itself in time (it is then killed)
    std::string out, err;
};

ProgramResult RunProgram(const std::vector<std::string> &argv, int timeoutSeconds = 60);

std::string ReadFile(const std::string &path);
std::vector<std::string> Lines(const std::string &text);
std::vector<std::string> SplitCsv(const std::string &line); // one CSV record, quotes honoured

// Waits until the simulator's traffic log has not grown for a while: the record of the last answer
// may be written just after the driver has read the answer itself.
std::vector<kesta::sim::TrafficRecord> SettledTraffic(kesta::sim::Simulator &sim);
