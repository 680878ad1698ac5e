// The traffic on the line, frame by frame, as a serial monitor shows it: time, direction, the
// bytes in spaced hex, what they mean, and the response time since the request. Kept in a
// bounded ring (formatted only when someone looks) and, when asked, written to a trace file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TrafficEntry {
    double at = 0;     // Timer() seconds
    bool sent = false; // TX (command) or RX (reply)
    std::vector<std::uint8_t> bytes;
    double sinceRequest = -1; // RX: seconds since the last TX, -1 when none
    int requestOrder = -1;    // RX: the order of that TX
    // RX bytes that formed no frame: why they were dropped, and how many (only the first
    // kDropShown are kept).
    const char* dropped = nullptr;
    int droppedCount = 0;
};
inline constexpr int kDropShown = 64;

// The order's name as the traffic shows it ("GET RAM", "LINE CHECK", ...); "ORDER n" for others.
std::string OrderName(int order);
// One line: "  12.345678 TX 00 55 00 02 ... | GET RAM block 0" (time relative to `origin`).
std::string FormatTrafficLine(const TrafficEntry& e, double origin);
// What the bytes mean, without time and hex.
std::string DescribeTraffic(const TrafficEntry& e);

// Starts recording the traffic: the link's frame tap feeds the ring (at most `capacity`
// entries, the oldest dropped). Idempotent.
void StartTraffic(std::size_t capacity = 10000);
// The entries kept, oldest first, and the time the first line counts from.
const std::vector<TrafficEntry>& TrafficEntries(std::size_t& firstIndex);
double TrafficOrigin();
void ClearTraffic();

// Every entry as it passes, for a view that is open (nullptr when none).
using TrafficListener = void (*)(const TrafficEntry& e);
void SetTrafficListener(TrafficListener listener);

// Writes each entry's line to `path` as it passes (appending a header first). False with
// `error` set when the file cannot be opened. A write that fails later stops the trace and is
// reported once through TraceError(); the exchange itself goes on.
bool StartTrace(const std::string& path, std::string& error);
void StopTrace();
// "" while the trace is fine; else one line naming the file and the reason.
const std::string& TraceError();
