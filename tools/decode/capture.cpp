// Capture lines: "[TIME] [DIR] HEX ..." and '#' comments, as the driver's trace and the station
// simulator write them.
#include <cctype>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "tools/common/line_text.h"
#include "tools/decode/decode.h"

namespace kesta::decode {

namespace {

using tools::HexDigit;

bool HexWord(const std::string &word) {
    if (word.empty() || word.size() % 2 != 0)
        return false;
    for (char c : word)
        if (HexDigit(c) < 0)
            return false;
    return true;
}

bool TimeWord(const std::string &word) {
    return word.find(':') != std::string::npos || word.find('.') != std::string::npos;
}

} // namespace

LineKind ParseCaptureLine(const std::string &line, Chunk *chunk, std::string *why) {
    *chunk = Chunk();
    size_t start = 0;
    while (start < line.size() && std::isspace(static_cast<unsigned char>(line[start])))
        ++start;
    if (start == line.size())
        return LineKind::Empty;
    if (line[start] == '#')
        return LineKind::Comment;

    std::istringstream words(line.substr(start));
    std::string word;
    bool first = true;
    while (words >> word) {
        if (first && TimeWord(word) && !HexWord(word)) {
            chunk->time = word;
            chunk->micros = CaptureTimeMicros(word);
            first = false;
            continue;
        }
        first = false;
        if (chunk->bytes.empty() && chunk->direction == '?' && word.size() == 1) {
            const char d = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
            if (d == 'M' || d == 'S' || d == 'E') {
                chunk->direction = d;
                continue;
            }
        }
        if (!HexWord(word)) {
            if (why != nullptr)
                *why = "'" + word + "' is not a hex byte";
            return LineKind::Bad;
        }
        for (size_t i = 0; i < word.size(); i += 2)
            chunk->bytes.push_back(static_cast<uint8_t>(HexDigit(word[i]) * 16 + HexDigit(word[i + 1])));
    }
    return LineKind::Bytes;
}

int64_t CaptureTimeMicros(const std::string &time) {
    // The fraction: up to six digits after the last '.', as microseconds.
    int64_t fraction = 0;
    std::string whole = time;
    const size_t dot = time.rfind('.');
    if (dot != std::string::npos) {
        whole = time.substr(0, dot);
        int64_t scale = 100000;
        for (size_t i = dot + 1; i < time.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(time[i])))
                return -1;
            if (scale > 0) {
                fraction += (time[i] - '0') * scale;
                scale /= 10;
            }
        }
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    if (std::sscanf(whole.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second, &used) ==
            6 &&
        static_cast<size_t>(used) == whole.size()) {
        struct tm local = {};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        const time_t t = std::mktime(&local);
        return t == static_cast<time_t>(-1) ? -1 : static_cast<int64_t>(t) * 1000000 + fraction;
    }
    if (std::sscanf(whole.c_str(), "%2d:%2d:%2d%n", &hour, &minute, &second, &used) == 3 &&
        static_cast<size_t>(used) == whole.size())
        return (static_cast<int64_t>(hour) * 3600 + minute * 60 + second) * 1000000 + fraction;
    if (whole.empty() || whole.size() > 12)
        return -1;
    for (char c : whole)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return -1;
    return std::stoll(whole) * 1000000 + fraction;
}

std::string Hex(const uint8_t *bytes, size_t n) { return tools::HexText(bytes, n); }

} // namespace kesta::decode
