// The calibration file parser on any text, against an independent reading of the format: the
// same files are refused, accepted values are the file's (by value, within 16 bits), and a
// refused file loads nothing.
#include "calib/calib.h"
#include "check.h"
#include "testkit/testing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> Tokens(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    for (;;) {
        while (pos < text.size() && IsSpace(text[pos])) {
            ++pos;
        }
        if (pos >= text.size()) {
            return out;
        }
        std::size_t start = pos;
        while (pos < text.size() && !IsSpace(text[pos])) {
            ++pos;
        }
        out.push_back(text.substr(start, pos - start));
    }
}

enum class Field { Value, Unreadable, TooWide };

// An optional sign and decimal digits, read by value; negative only as zero.
Field Word(std::string_view tok, std::uint16_t& value) {
    bool negative = false;
    if (!tok.empty() && (tok[0] == '+' || tok[0] == '-')) {
        negative = tok[0] == '-';
        tok.remove_prefix(1);
    }
    if (tok.empty() || !AllDigits(tok)) {
        return Field::Unreadable;
    }
    std::uint64_t v = 0;
    if (!DecimalValue(tok, 0xFFFF, v) || (negative && v != 0)) {
        return Field::TooWide;
    }
    value = static_cast<std::uint16_t>(v);
    return Field::Value;
}

// A plain decimal real ([sign] digits [. digits]) whose digits after leading zeros fit the
// reader's 64 characters; those must read as strtod reads them.
bool PlainReal(std::string_view tok, double& value) {
    std::string_view t = tok;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        t.remove_prefix(1);
    }
    std::size_t dot = t.find('.');
    std::string_view whole = t.substr(0, dot);
    std::string_view frac = dot == std::string_view::npos ? std::string_view() : t.substr(dot + 1);
    if (whole.empty() || !AllDigits(whole) || !AllDigits(frac)) {
        return false;
    }
    std::size_t first = std::min(whole.find_first_not_of('0'), whole.size() - 1);
    if (t.size() - first > 60) {
        return false;
    }
    value = std::strtod(std::string(tok).c_str(), nullptr);
    return std::isfinite(value);
}

struct Expected {
    bool accept = false;
    bool hasHeader = false;
    bool read[4] = {};
    std::uint16_t h[4] = {};
    bool h3Plain = false;
    double h3 = 0;
    std::uint16_t table[kCalibTableWords] = {};
};

void Expect(std::string_view text, Expected& e) {
    std::vector<std::string_view> tok = Tokens(text);
    std::size_t at = 0;
    auto next = [&]() { return at < tok.size() ? tok[at++] : std::string_view(); };
    auto header = [&](int k) {
        next(); // the label
        switch (Word(next(), e.h[k])) {
        case Field::Value:
            e.read[k] = true;
            return true;
        case Field::Unreadable:
            return true;
        case Field::TooWide:
            return false;
        }
        return false;
    };
    e.hasHeader = next().starts_with("[HEADER]");
    if (e.hasHeader) {
        if (!header(0) || !header(1)) {
            return;
        }
        next();
        e.h3Plain = PlainReal(next(), e.h3);
        if (!header(2) || !header(3)) {
            return;
        }
    }
    if (!next().starts_with("[XFLASH]")) {
        return;
    }
    for (int k = 0; k < kCalibTableWords; ++k) {
        std::uint16_t v = 0;
        if (Word(next(), v) != Field::Value) {
            return;
        }
        e.table[kCalibTableWords - 1 - k] = v;
    }
    e.accept = true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    static Expected e;
    e = Expected{};
    Expect(text, e);

    static CalibFileContent c;
    c = CalibFileContent{};
    bool ok = ParseCalibrationText(text, c);
    FUZZ_CHECK(ok == e.accept);
    if (ok) {
        FUZZ_CHECK(c.hasHeader == e.hasHeader);
        FUZZ_CHECK(std::equal(std::begin(c.table), std::end(c.table), e.table));
        if (c.hasHeader) {
            const bool read[] = {c.h1Read, c.h2Read, c.h4Read, c.h5Read};
            const std::uint16_t h[] = {c.h1, c.h2, c.h4, c.h5};
            for (int k = 0; k < 4; ++k) {
                FUZZ_CHECK(read[k] == e.read[k]);
                FUZZ_CHECK(!read[k] || h[k] == e.h[k]);
            }
            FUZZ_CHECK(!e.h3Plain || c.h3 == e.h3);
        }
    }

    // Loading the same text as channel A's file: a refusal stores nothing.
    static InputFile file;
    file.write(data, size);
    for (int i = 0; i < kCalibTableWords; ++i) {
        linArrayA[i] = static_cast<std::uint16_t>(0xC000 + i);
    }
    for (int i = 0; i < 18; ++i) {
        calibration[i] = static_cast<std::uint16_t>(0x3C00 + i);
    }
    std::uint16_t table[kCalibTableWords], header[18];
    std::copy(std::begin(linArrayA), std::end(linArrayA), table);
    std::copy(std::begin(calibration), std::end(calibration), header);
    QueueFileSelectAnswer(file.path());
    static char path[260];
    int loaded = ReadCalibrationDataFromFileCHA(path);
    ClearFileSelectCalls();
    FUZZ_CHECK(loaded == (e.accept ? 1 : 0));
    if (loaded) {
        FUZZ_CHECK(std::equal(std::begin(linArrayA), std::end(linArrayA), e.table));
    } else {
        FUZZ_CHECK(std::equal(std::begin(linArrayA), std::end(linArrayA), table));
        FUZZ_CHECK(std::equal(std::begin(calibration), std::end(calibration), header));
    }
    return 0;
}
