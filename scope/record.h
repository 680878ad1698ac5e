// Recording the live scope to a CSV file, in the rows of scope/scope_csv.h (the window's Record
// switch and the command-line tool's scope command write the same rows).
#pragma once

#include "core/state.h"
#include "scope/scope_csv.h"

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

// The sample PlotRAWValues just took, stamped with t.
ScopeSample CurrentScopeSample(double t);

// Appends to a file through a buffer of bounded size. Data reaches the file when the buffer is
// full or on flush(); a file that would grow beyond its limit, or any failed write, ends the
// writer with a reason, and later writes are dropped.
class BoundedFileWriter {
  public:
    static constexpr std::size_t kBufferBytes = 64 * 1024;
    explicit BoundedFileWriter(std::size_t maxFileBytes = std::size_t{1} << 30)
        : maxFile_(maxFileBytes) {}
    ~BoundedFileWriter() { close(); }
    BoundedFileWriter(const BoundedFileWriter&) = delete;
    BoundedFileWriter& operator=(const BoundedFileWriter&) = delete;

    // Creates or truncates path.
    bool open(const std::string& path);
    bool write(std::string_view data);
    bool flush();
    // Flushes and closes; false when anything failed since open.
    bool close();
    bool isOpen() const { return file_ != nullptr; }
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    std::size_t bytesWritten() const { return written_; }

  private:
    void fail(const std::string& why);
    std::FILE* file_ = nullptr;
    std::string buffer_;
    std::string error_;
    std::size_t written_ = 0; // bytes accepted so far, buffered or not
    std::size_t maxFile_;
};

// "scope-2026-12-09_14-03-22.csv" for that local time.
std::string DefaultRecordName(std::time_t when);

// Opens path and writes the header; false (with a status-line message) when it cannot.
bool StartRecording(const std::string& path);
// Appends the current sample at t seconds since Run, flushing at least once a second; a failed
// write ends the recording with a status-line message.
void RecordSample(double t);
// Flushes and closes the file; `announce` says on the status line what it holds. Safe when not
// recording. A failure always shows.
void StopRecording(bool announce = true);
bool Recording();
long RecordedSamples();
const std::string& RecordPath();

// The Record switch: on, every run records to a new file in the program directory; switched on
// during a run, recording starts at once; off closes the file.
ZEL_CALLBACK(CC_TOGGRecord);
// Called when a run starts and ends. The end leaves the status line alone (it may report why the
// run ended) and returns what was recorded ("12 samples to /dir/scope-...csv"), or "".
void RecordRunStarted();
std::string RecordRunEnded();
