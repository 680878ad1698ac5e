#include "calib/flash_ops.h"

#include "store/textfile.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace {

constexpr std::string_view kHeaderWord = "[HEADER]";
constexpr std::string_view kTableWord = "[XFLASH]";
constexpr int kCalibTableWords = kCalibWords;

// What an integer field held.
enum class IntField { Value, Unreadable, TooWide };

// A decimal integer must fit one unsigned 16-bit word: a wrapped value would program a wrong
// word. Anything that is not a decimal integer at all is unreadable.
IntField ReadWord(std::string_view token, std::uint16_t& value) {
    bool negative = false;
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
        negative = token[0] == '-';
        token.remove_prefix(1);
    }
    if (token.empty() ||
        !std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return IntField::Unreadable;
    }
    std::size_t first = token.find_first_not_of('0');
    if (first == std::string_view::npos) {
        value = 0; // "-0" is still zero
        return IntField::Value;
    }
    std::uint64_t v = 0;
    if (negative || !ParseUnsigned(token.substr(first), 0xFFFF, v)) {
        return IntField::TooWide;
    }
    value = static_cast<std::uint16_t>(v);
    return IntField::Value;
}

// One header line: a label of any length (discarded) and an integer value.
bool ReadIntLine(TokenReader& in, bool& read, std::uint16_t& value) {
    in.next();
    switch (ReadWord(in.next(), value)) {
    case IntField::Value:
        read = true;
        return true;
    case IntField::Unreadable:
        read = false;
        return true;
    case IntField::TooWide:
        return false;
    }
    return false;
}

} // namespace

bool ParseCalibrationText(std::string_view text, CalibFileContent& out) {
    TokenReader in(text);
    std::string_view word = in.next();
    out.hasHeader = word.starts_with(kHeaderWord);
    if (out.hasHeader) {
        if (!ReadIntLine(in, out.h1Read, out.h1) || !ReadIntLine(in, out.h2Read, out.h2)) {
            return false;
        }
        in.next();
        double r = 0.0;
        out.h3 = ParseReal(in.next(), r) ? r : 0.0;
        if (!ReadIntLine(in, out.h4Read, out.h4) || !ReadIntLine(in, out.h5Read, out.h5)) {
            return false;
        }
    }
    // The table section must follow, whether or not a header came first.
    if (!in.next().starts_with(kTableWord)) {
        return false;
    }
    for (int k = 0; k < kCalibTableWords; ++k) {
        std::uint16_t v = 0;
        if (ReadWord(in.next(), v) != IntField::Value) {
            return false;
        }
        // The file lists the table from its last entry to its first.
        out.table[kCalibTableWords - 1 - k] = v;
    }
    return true; // anything after the last table value is ignored
}

std::string CalibFileProblem(std::string_view text) {
    CalibFileContent content;
    if (ParseCalibrationText(text, content)) {
        return "";
    }
    // The parser's walk again, this time keeping where each token stands.
    std::size_t pos = 0, at = 0;
    auto next = [&] {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
            ++pos;
        }
        at = pos;
        while (pos < text.size() && !std::isspace(static_cast<unsigned char>(text[pos]))) {
            ++pos;
        }
        return text.substr(at, pos - at);
    };
    auto lineNo = [&](std::size_t p) {
        return 1 + std::count(text.begin(), text.begin() + p, '\n');
    };
    auto line = [&](std::size_t p) { return "line " + std::to_string(lineNo(p)); };
    auto quoted = [](std::string_view tok) {
        return "\"" + std::string(tok.substr(0, 20)) + (tok.size() > 20 ? "...\"" : "\"");
    };
    std::string_view word = next();
    if (word.starts_with(kHeaderWord)) {
        for (int i = 0; i < 5; ++i) {
            next();
            std::string_view value = next();
            std::uint16_t w = 0;
            if (i != 2 && ReadWord(value, w) == IntField::TooWide) {
                return line(at) + ": header value " + quoted(value) + " does not fit in 16 bits";
            }
        }
        word = next();
    }
    if (!word.starts_with(kTableWord)) {
        return line(at) + (word.empty() ? ": no [XFLASH] section"
                                        : ": [XFLASH] expected, not " + quoted(word));
    }
    for (int k = 0; k < kCalibTableWords; ++k) {
        std::size_t end = pos;
        std::string_view value = next();
        std::uint16_t w = 0;
        if (value.empty()) {
            return "line " + std::to_string(lineNo(end) + 1) + ": only " + std::to_string(k) +
                   " table values";
        }
        if (ReadWord(value, w) != IntField::Value) {
            return line(at) + ": " + quoted(value) + " is not a 16-bit table value";
        }
    }
    return "not a calibration file";
}
