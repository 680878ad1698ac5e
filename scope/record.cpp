#include "scope/record.h"

#include "core/panel_ids.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

ScopeSample CurrentScopeSample(double t) {
    ScopeSample s;
    s.t = t;
    s.rawA = adcCHA;
    s.rawB = adcCHB;
    s.inState = instate;
    s.outState = outstate;
    s.refA = refthdA;
    s.upA = upthdA;
    s.loA = lothdA;
    s.refB = refthdB;
    s.upB = upthdB;
    s.loB = lothdB;
    return s;
}

// ---- BoundedFileWriter ----

bool BoundedFileWriter::open(const std::string& path) {
    close();
    error_.clear();
    written_ = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error_ = std::strerror(errno);
        return false;
    }
    // The writer does its own buffering; a second buffer in stdio would only delay failures.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    buffer_.reserve(kBufferBytes);
    return true;
}

void BoundedFileWriter::fail(const std::string& why) {
    if (error_.empty()) {
        error_ = why;
    }
    buffer_.clear();
}

bool BoundedFileWriter::write(std::string_view data) {
    if (!file_ || failed()) {
        return false;
    }
    if (written_ + data.size() > maxFile_) {
        flush(); // what was taken still reaches the file
        fail("file size limit reached");
        return false;
    }
    if (buffer_.size() + data.size() > kBufferBytes && !flush()) {
        return false;
    }
    buffer_.append(data);
    written_ += data.size();
    return true;
}

bool BoundedFileWriter::flush() {
    if (!file_ || failed()) {
        return false;
    }
    if (buffer_.empty()) {
        return true;
    }
    errno = 0;
    std::size_t n = std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
    if (n != buffer_.size() || std::fflush(file_) != 0) {
        fail(errno != 0 ? std::strerror(errno) : "write failed");
        return false;
    }
    buffer_.clear();
    return true;
}

bool BoundedFileWriter::close() {
    if (!file_) {
        return !failed();
    }
    flush();
    if (std::fclose(file_) != 0) {
        fail(std::strerror(errno));
    }
    file_ = nullptr;
    buffer_.clear();
    buffer_.shrink_to_fit();
    return !failed();
}

// ---- Recording ----

namespace {
constexpr double kFlushEverySec = 1.0;

struct Recorder {
    BoundedFileWriter writer;
    std::string path;
    long samples = 0;
    double lastFlush = 0;
} g_rec;

// The switch itself says whether runs record: nothing outlives the panel.
bool Armed() {
    int on = 0;
    return GetCtrlVal(pA, MAIN_RECORDSW, &on) == 0 && on != 0;
}

void Say(const std::string& text) {
    ShowText(text.c_str());
}

// Ends a recording that failed: the switch goes off so the next run does not fail the same way.
void Abandon() {
    std::string why = g_rec.writer.error();
    g_rec.writer.close();
    SetCtrlVal(pA, MAIN_RECORDSW, 0);
    Say("Record failed: " + why + " (" + g_rec.path + ")");
}

std::string NewRecordPath() {
    char path[MAX_PATHNAME_LEN] = {};
    MakePathname(proj_dir, DefaultRecordName(std::time(nullptr)).c_str(), path);
    return path;
}
} // namespace

std::string DefaultRecordName(std::time_t when) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    char name[64];
    std::strftime(name, sizeof name, "scope-%Y-%m-%d_%H-%M-%S.csv", &local);
    return name;
}

bool StartRecording(const std::string& path) {
    StopRecording();
    g_rec.path = path;
    g_rec.samples = 0;
    g_rec.lastFlush = Timer();
    if (!g_rec.writer.open(path) || !g_rec.writer.write(kScopeCsvHeader) || !g_rec.writer.flush()) {
        Abandon();
        return false;
    }
    Say("Recording to " + path);
    return true;
}

void RecordSample(double t) {
    if (!g_rec.writer.isOpen()) {
        return;
    }
    char row[kScopeCsvRowMax];
    std::size_t n = FormatScopeCsvRow(CurrentScopeSample(t), row);
    bool ok = g_rec.writer.write(std::string_view(row, n));
    double now = Timer();
    if (ok && now - g_rec.lastFlush >= kFlushEverySec) {
        ok = g_rec.writer.flush();
        g_rec.lastFlush = now;
    }
    if (!ok) {
        Abandon();
        return;
    }
    ++g_rec.samples;
}

void StopRecording(bool announce) {
    if (!g_rec.writer.isOpen()) {
        return;
    }
    if (!g_rec.writer.close()) {
        Abandon();
        return;
    }
    if (announce) {
        Say("Recorded " + std::to_string(g_rec.samples) + " samples to " + g_rec.path);
    }
}

bool Recording() {
    return g_rec.writer.isOpen();
}

long RecordedSamples() {
    return g_rec.samples;
}

const std::string& RecordPath() {
    return g_rec.path;
}

void RecordRunStarted() {
    if (Armed()) {
        StartRecording(NewRecordPath());
    }
}

std::string RecordRunEnded() {
    if (!Recording()) {
        return "";
    }
    StopRecording(false);
    if (Recording() || g_rec.writer.failed()) {
        return "";
    }
    return std::to_string(g_rec.samples) + " samples to " + g_rec.path;
}

int CC_TOGGRecord(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    if (!Armed()) {
        StopRecording();
    } else if (stop_flag == 0 && !Recording()) {
        StartRecording(NewRecordPath());
    }
    return 0;
}
