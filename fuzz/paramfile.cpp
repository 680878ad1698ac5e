// The parameter file reader on any content: a refused file changes neither the record nor pp;
// an accepted one puts the file's first 16 numbers, by value and cut to 16 bits, into pp and
// block 0 of the record.
#include "check.h"
#include "params/params.h"
#include "params/record.h"
#include "testkit/testing.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <vector>

namespace {
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The first 16 numbers of the text, or false when the file is to be refused.
bool ExpectedValues(std::string_view text, std::uint32_t (&out)[16]) {
    std::size_t pos = 0;
    for (auto& v : out) {
        while (pos < text.size() && IsSpace(text[pos])) {
            ++pos;
        }
        std::size_t start = pos;
        while (pos < text.size() && !IsSpace(text[pos])) {
            ++pos;
        }
        std::string_view tok = text.substr(start, pos - start);
        if (!tok.empty() && tok[0] == '+') {
            tok.remove_prefix(1);
        }
        std::uint64_t n = 0;
        if (tok.empty() || !AllDigits(tok) || !DecimalValue(tok, 0xFFFFFFFFull, n)) {
            return false;
        }
        v = static_cast<std::uint32_t>(n);
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Loaded sets go to the user's history: not from a fuzzer. A place that cannot be written
    // keeps the user's history out of it and costs no disk writes per run.
    ::setenv("XDG_DATA_HOME", "/dev/null/zel-fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static InputFile file;
    file.write(data, size);
    // A recognisable record, so a change shows.
    for (int i = 0; i < kRecordWords; ++i) {
        parameter[i] = static_cast<std::uint16_t>(0xA500 + i);
    }
    for (int i = 0; i < 16; ++i) {
        pp[i] = static_cast<std::uint16_t>(0x5A00 + i);
    }
    std::uint16_t rec[kRecordWords], img[16];
    std::copy(std::begin(parameter), std::end(parameter), rec);
    std::copy(std::begin(pp), std::end(pp), img);

    QueueFileSelectAnswer(file.path());
    int loaded = ReadParaFromFile();
    ClearFileSelectCalls();

    std::uint32_t want[16];
    bool accept = ExpectedValues(std::string_view(reinterpret_cast<const char*>(data), size), want);
    FUZZ_CHECK(loaded == (accept ? 1 : 0));
    if (!loaded) {
        FUZZ_CHECK(std::equal(std::begin(parameter), std::end(parameter), rec));
        FUZZ_CHECK(std::equal(std::begin(pp), std::end(pp), img));
        return 0;
    }
    for (int i = 0; i < 16; ++i) {
        FUZZ_CHECK(pp[i] == (want[i] & 0xFFFF));
    }
    for (int i = 0; i < kRecordWords; ++i) {
        bool inBlock0 = i >= kBlock0 && i < kBlock0 + kBlockWords;
        FUZZ_CHECK(parameter[i] == (inBlock0 ? pp[i - kBlock0] : rec[i]));
    }
    return 0;
}
