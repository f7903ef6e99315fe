// Rendering of the console's table, records, counters and log as plain lines.
#include "tools/console/view.h"

#include <algorithm>
#include <cstdio>

namespace kesta::console {

namespace {

std::string Cut(const std::string &text, size_t width) {
    if (text.size() <= width)
        return text;
    if (width <= 2)
        return text.substr(0, width);
    return text.substr(0, width - 2) + "..";
}

std::string Pad(const std::string &text, size_t width) {
    std::string s = Cut(text, width);
    s.resize(width, ' ');
    return s;
}

std::string TypeText(const Gate &gate) {
    std::string s = HostTypeName(gate.entry.hostType);
    if (gate.entry.block)
        s += "[" + std::to_string(gate.entry.length) + "]";
    return s;
}

std::string LastGood(const Gate &gate) { return gate.lastGood == 0 ? "-" : LocalTime(gate.lastGood, false); }

} // namespace

std::string ResultText(const Gate &gate) {
    if (!gate.parsed)
        return "-";
    if (gate.parseResult != 0)
        return "parse " + std::to_string(gate.parseResult);
    if (gate.role == GateRole::TimeStamp)
        return "parsed";
    if (!gate.hasResult)
        return "-";
    switch (gate.lastResult) {
    case 0: return "0 ok";
    case 1: return "1 refused";
    case 2: return "2 failed";
    default: return std::to_string(gate.lastResult);
    }
}

std::vector<std::string> TableLines(const Session &session, size_t width) {
    struct Row {
        std::string cells[7];
    };
    std::vector<Row> rows;
    rows.push_back(Row{{"ADDRESS", "KIND", "TYPE", "VALUE", "RESULT", "LAST GOOD", "ERRORS"}});
    std::vector<std::string> notes{"NOTE"};
    for (const auto &g : session.gates) {
        const Gate &gate = *g;
        rows.push_back(Row{{gate.entry.address, gate.kindName(), TypeText(gate), gate.hasValue ? gate.valueShort : "-",
                            ResultText(gate), LastGood(gate), std::to_string(gate.errors)}});
        notes.push_back(gate.note);
    }
    size_t w[7] = {};
    for (const Row &row : rows)
        for (size_t i = 0; i < 7; ++i)
            w[i] = std::max(w[i], row.cells[i].size());
    w[0] = std::min<size_t>(w[0], 32);
    size_t fixed = 0;
    for (size_t i = 0; i < 7; ++i)
        fixed += w[i] + 2;
    size_t noteWidth = 0;
    for (const std::string &n : notes)
        noteWidth = std::max(noteWidth, n.size());
    if (width != 0) {
        // Notes give way first, then values, down to what still says something.
        if (fixed + noteWidth > width)
            noteWidth = width > fixed ? width - fixed : 0;
        if (fixed > width) {
            const size_t over = fixed - width;
            w[3] = w[3] > over + 12 ? w[3] - over : std::min<size_t>(w[3], 12);
        }
    }
    std::vector<std::string> lines;
    for (size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (size_t i = 0; i < 7; ++i) {
            const bool right = i == 6;
            std::string cell = Cut(rows[r].cells[i], w[i]);
            if (right)
                cell = std::string(w[i] - cell.size(), ' ') + cell;
            line += Pad(cell, w[i]) + "  ";
        }
        if (noteWidth != 0)
            line += Cut(notes[r], noteWidth);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(width != 0 ? Cut(line, width) : line);
    }
    return lines;
}

std::string CsvField(const std::string &text) {
    if (text.find_first_of(",\"\n") == std::string::npos)
        return text;
    std::string s = "\"";
    for (char c : text) {
        if (c == '"')
            s += '"';
        s += c;
    }
    return s + "\"";
}

std::string Csv(const Session &session) {
    std::string out = "address,kind,type,elements,value,result,last_good,errors,note\n";
    for (const auto &g : session.gates) {
        const Gate &gate = *g;
        std::string result;
        if (gate.parsed && (gate.parseResult != 0 || gate.role == GateRole::TimeStamp))
            result = std::to_string(gate.parseResult);
        else if (gate.hasResult)
            result = std::to_string(gate.lastResult);
        const std::string fields[] = {gate.entry.address,
                                      gate.kindName(),
                                      HostTypeName(gate.entry.hostType),
                                      std::to_string(gate.entry.block ? gate.entry.length : 1),
                                      gate.hasValue ? gate.value : "",
                                      result,
                                      gate.lastGood == 0 ? "" : LocalTime(gate.lastGood, true),
                                      std::to_string(gate.errors),
                                      gate.note};
        for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
            out += (i == 0 ? "" : ",") + CsvField(fields[i]);
        out += "\n";
    }
    return out;
}

std::vector<std::string> RecordLines(const Session &session, size_t count) {
    std::vector<std::string> lines;
    for (auto it = session.records.rbegin(); it != session.records.rend() && lines.size() < count; ++it) {
        std::string line = LocalTime(it->arrived, false) + "  " + it->address + " = " + it->value + "   record of " +
                           LocalTime(static_cast<time_t>(it->recordTime), true);
        if (it->count > 1)
            line += "  (last of " + std::to_string(it->count) + " records)";
        lines.push_back(line);
    }
    return lines;
}

std::string CountersLine(const TraceTail &c) {
    if (!c.any())
        return "link: no counters from the driver yet";
    auto v = [&c](const char *key) { return static_cast<unsigned long long>(c.value(key)); };
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "link: requests %llu, failed %llu | frames out/in %llu/%llu | bytes out/in %llu/%llu | "
                  "retransmissions %llu | echo mismatches %llu | link errors address/header/sequence/data "
                  "%llu/%llu/%llu/%llu",
                  v("requests"), v("failed"), v("framesOut"), v("framesIn"), v("bytesOut"), v("bytesIn"),
                  v("retransmissions"), v("echoMismatches"), v("link65291"), v("link65292"), v("link65293"),
                  v("link65294"));
    std::string line = buf;
    auto failed = c.values().find("failedByCode");
    if (failed != c.values().end() && failed->second != "-")
        line += " | failed by ErrCode:count " + failed->second;
    const std::string &stamp = c.stamp();
    const size_t t = stamp.find('T');
    line += "  (at " + (t == std::string::npos ? stamp : stamp.substr(t + 1, 8)) + ")";
    return line;
}

std::vector<std::string> LogLines(const Session &session, size_t count) {
    std::vector<std::string> lines;
    const size_t from = session.log.size() > count ? session.log.size() - count : 0;
    for (size_t i = from; i < session.log.size(); ++i) {
        const LogEntry &e = session.log[i];
        lines.push_back(LocalTime(e.when, false) + " " + std::to_string(e.level) + " " + e.text);
    }
    return lines;
}

} // namespace kesta::console
