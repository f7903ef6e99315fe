// What kesta-host shows: the gate table (text fitted to a width, or CSV), the EWT records as they
// arrived, the link counters and the driver's log.
#pragma once

#include <string>
#include <vector>

#include "tools/console/session.h"

namespace kesta::console {

// Header and one row per gate. width 0: no limit (snapshots); otherwise notes and values are cut.
std::vector<std::string> TableLines(const Session &session, size_t width);
std::string Csv(const Session &session);
std::vector<std::string> RecordLines(const Session &session, size_t count); // newest first
std::string CountersLine(const TraceTail &counters);
std::vector<std::string> LogLines(const Session &session, size_t count); // the last ones, oldest first
std::string ResultText(const Gate &gate);
std::string CsvField(const std::string &text);

} // namespace kesta::console
