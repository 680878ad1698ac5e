#include "check.h"

#include <sys/mman.h>
#include <unistd.h>

InputFile::InputFile() {
    fd_ = ::memfd_create("zel-fuzz-input", 0);
    FUZZ_CHECK(fd_ >= 0);
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

void InputFile::write(const std::uint8_t* data, std::size_t size) {
    FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
}

bool AllDigits(std::string_view s) {
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool DecimalValue(std::string_view digits, std::uint64_t max, std::uint64_t& value) {
    // Digit by digit, so no length limit of a library parser gets in the way.
    std::uint64_t v = 0;
    for (char c : digits) {
        std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (d > max || v > (max - d) / 10) {
            return false;
        }
        v = v * 10 + d;
    }
    value = v;
    return true;
}
