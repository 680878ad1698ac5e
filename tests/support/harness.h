// Test fixture for the routines: both panels loaded offscreen, the globals at their start
// values, port 1 backed by an in-memory device, and a virtual clock so time-outs cost no real
// time. `useSensor()` puts the simulated sensor's engine behind the device.
#pragma once

#include "engine.h"
#include "process.h"
#include "serial/memserial.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class RoutineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The simulated sensor answers every write, with replies paced at `baud` (0: at once).
    void useSensor(zelsim::Options opts = {}, int baud = 19200);
    // Opens port 1 and installs the receive callback, without the start-up exchange.
    void openLink();

    // A 36-byte frame from up to 18 big-endian words (missing words are 0).
    static std::vector<std::uint8_t> frame(std::initializer_list<unsigned> words);
    // Queues bytes to arrive `delay` seconds from now.
    void reply(const std::vector<std::uint8_t>& bytes, double delay = 0.01);
    // Runs the event pump for `seconds` of clock time.
    void pump(double seconds);

    std::vector<std::string> statusHistory() const;
    std::string status() const;
    std::vector<std::vector<std::uint8_t>> writes() const { return dev.writes; }
    // Word at byte offset `at` of write number `i`.
    unsigned writtenWord(std::size_t i, int at) const;

    MemorySerialDevice dev;
    std::unique_ptr<zelsim::Engine> sensor;
    std::string tempDir;

  private:
    double lineFree_ = 0; // when the sensor's side of the line is next idle
};

// Path of a fresh temporary directory (removed by the fixture).
std::string MakeTempDir();

// zel-vavod-cli run from outside: its exit code (-2 when it had to be killed after `timeout`
// seconds), its output and how long it took.
struct CliRun {
    int code = -1;
    std::string out, err;
    double seconds = 0;
};
CliRun RunCli(const std::vector<std::string>& args, const std::string& dir, double timeout = 60);
// The same in two steps, for a run that is signalled or runs alongside: the child's pid, then
// its exit code as RunCli gives it.
int SpawnCli(const std::vector<std::string>& args, const std::string& out, const std::string& err);
int ReapCli(int pid, double timeout);

// End-to-end fixture: the same panels and routines, the real clock and the real serial
// service, with port 1 bound to a running zel-sensor-sim's pseudo-terminal.
class SimLinkTest : public RoutineTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the simulator with these options (plus --log into the temp dir) and binds port 1.
    void startSim(std::vector<std::string> args = {});
    // The simulator's log lines so far.
    std::vector<std::string> simLog() const;
    std::unique_ptr<zelsim::SimProcess> sim;
    std::string logPath;
};
