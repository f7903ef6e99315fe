// Capture lines: "[TIME] [DIR] HEX ..." and '#' comments, as the driver's trace and the station
// simulator write them.
#include <cctype>
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

std::string Hex(const uint8_t *bytes, size_t n) { return tools::HexText(bytes, n); }

} // namespace kesta::decode
