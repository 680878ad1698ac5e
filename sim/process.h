// Starts zel-sensor-sim as a child process and talks to its pseudo-terminal with plain
// termios, for end-to-end tests and benchmarks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelsim {

class SimProcess {
  public:
    // Starts the binary and reads the terminal path from its first output line (waits up
    // to `startTimeout` seconds). Check ok() afterwards.
    SimProcess(const std::string& binary, const std::vector<std::string>& args,
               double startTimeout = 10.0);
    ~SimProcess(); // kills a still-running child
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ok() const { return !ptyPath_.empty(); }
    const std::string& ptyPath() const { return ptyPath_; }
    pid_t pid() const { return pid_; }

    // Opens `path` (default: the terminal) in raw mode, 19200 8N1; -1 on failure.
    int openPort(const std::string& path = {}) const;
    void signal(int sig) const;
    // Exit status, or -1 if still running after `timeout` seconds (or killed by a signal).
    int wait(double timeout);
    // What the child wrote to stderr (read after it exited).
    std::string stderrText();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::string ptyPath_;
};

double monotonicSeconds();
bool writeAll(int fd, const std::uint8_t* data, std::size_t n);
// Reads until `n` bytes arrived or `timeout` seconds passed; returns what came.
std::vector<std::uint8_t> readBytes(int fd, std::size_t n, double timeout);
// Connects to "host:port" on this machine's loopback (the simulator's --tcp address); -1 on
// failure.
int connectLoopback(const std::string& address);
// A command frame: 00 55, order, second word, 15 data words, all big-endian.
std::array<std::uint8_t, 36> makeFrame(std::uint16_t order, std::uint16_t second = 0,
                                       const std::vector<std::uint16_t>& words = {});

} // namespace zelsim
