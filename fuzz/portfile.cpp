// The port file reader on any content: the port is always 0..255, and it is the number the
// file's first word begins with, read by the C library's own conversion rather than by the
// reader's code: leading zeros and one plus sign change nothing; no digits, or a number above
// 255, give port 1.
#include "app/app.h"
#include "check.h"

#include <cctype>
#include <charconv>
#include <string>

namespace {
int ExpectedPort(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    if (at < text.size() && text[at] == '+') {
        ++at;
    }
    unsigned long long value = 0;
    const char* first = text.data() + at;
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (end == first || ec != std::errc() || value > 255) {
        return 1;
    }
    return static_cast<int>(value);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static InputFile file;
    file.write(data, size);
    const int port = ReadPortFile(file.path().c_str());
    FUZZ_CHECK(port >= 0 && port <= 255);
    FUZZ_CHECK(port == ExpectedPort(std::string(reinterpret_cast<const char*>(data), size)));
    return 0;
}
