// The port file reader on any content: the port is always 0..255, and a number is read by its
// value whatever leading zeros or plus sign it carries.
#include "app/app.h"
#include "check.h"

#include <string_view>

namespace {
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The port the file names: the digits at the start of its first token (after one plus sign);
// 1 without digits or above 255.
int ExpectedPort(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && IsSpace(text[start])) {
        ++start;
    }
    std::string_view tok = text.substr(start);
    if (!tok.empty() && tok[0] == '+') {
        tok.remove_prefix(1);
    }
    std::size_t digits = 0;
    while (digits < tok.size() && tok[digits] >= '0' && tok[digits] <= '9') {
        ++digits;
    }
    std::uint64_t n = 0;
    if (digits == 0 || !DecimalValue(tok.substr(0, digits), 255, n)) {
        return 1;
    }
    return static_cast<int>(n);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static InputFile file;
    file.write(data, size);
    int port = ReadPortFile(file.path().c_str());
    FUZZ_CHECK(port >= 0 && port <= 255);
    std::string_view text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(port == ExpectedPort(text));
    return 0;
}
