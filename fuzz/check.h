// What every fuzz target shares: an invariant check that stops the run, and a file that holds
// the current input without touching the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// libFuzzer records an abort as a finding, with the input that caused it.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// An in-memory file behind a path, rewritten with each input.
class InputFile {
  public:
    InputFile();
    void write(const std::uint8_t* data, std::size_t size);
    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

// The value of a decimal digit string of any length; false when it is above `max`.
bool DecimalValue(std::string_view digits, std::uint64_t max, std::uint64_t& value);
bool AllDigits(std::string_view s);
