#include "link/traffic.h"

#include "host/clock.h"
#include "link/exchange.h"
#include "store/textfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
std::vector<TrafficEntry> g_ring; // used as a ring once full
std::size_t g_capacity = 0;
std::size_t g_next = 0; // where the next entry goes once the ring is full
double g_origin = 0;
bool g_started = false;
double g_lastTxAt = -1;
int g_lastTxOrder = -1;
TrafficListener g_listener = nullptr;

std::FILE* g_trace = nullptr;
std::string g_tracePath;
std::string g_traceError;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) {
            out += ' ';
        }
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
    return out;
}

unsigned Word(const std::vector<std::uint8_t>& b, std::size_t at) {
    return at + 1 < b.size() ? (static_cast<unsigned>(b[at]) << 8 | b[at + 1]) : 0;
}

void WriteTrace(const std::string& line) {
    if (!g_trace) {
        return;
    }
    if (std::fputs(line.c_str(), g_trace) < 0 || std::fputc('\n', g_trace) == EOF ||
        std::fflush(g_trace) != 0) {
        g_traceError = g_tracePath + ": trace not written (" + std::strerror(errno) + ")";
        std::fclose(g_trace);
        g_trace = nullptr;
    }
}

void Record(TrafficEntry e) {
    if (g_trace) {
        WriteTrace(FormatTrafficLine(e, g_origin));
    }
    if (g_listener) {
        g_listener(e);
    }
    if (g_ring.size() < g_capacity) {
        g_ring.push_back(std::move(e));
    } else if (g_capacity > 0) {
        g_ring[g_next] = std::move(e);
        g_next = (g_next + 1) % g_capacity;
    }
}

void OnDrop(const char* bytes, int count, const char* reason, double at) {
    TrafficEntry e;
    e.at = at;
    e.dropped = reason;
    e.droppedCount = count;
    const int shown = std::min(count, kDropShown);
    e.bytes.assign(reinterpret_cast<const std::uint8_t*>(bytes),
                   reinterpret_cast<const std::uint8_t*>(bytes) + shown);
    Record(std::move(e));
}

void OnFrame(bool sent, const char* bytes, int count, double at) {
    TrafficEntry e;
    e.at = at;
    e.sent = sent;
    e.bytes.assign(reinterpret_cast<const std::uint8_t*>(bytes),
                   reinterpret_cast<const std::uint8_t*>(bytes) + count);
    if (sent) {
        g_lastTxAt = at;
        g_lastTxOrder = count >= 4 ? static_cast<int>(Word(e.bytes, 2)) : -1;
    } else if (g_lastTxAt >= 0) {
        e.sinceRequest = at - g_lastTxAt;
        e.requestOrder = g_lastTxOrder;
    }
    Record(std::move(e));
}
} // namespace

std::string OrderName(int order) {
    switch (order) {
    case ORDER_SEND_RAM:
        return "SEND RAM";
    case ORDER_GET_RAM:
        return "GET RAM";
    case ORDER_SEND_EEPROM:
        return "SEND EEPROM";
    case ORDER_GET_EEPROM:
        return "GET EEPROM";
    case ORDER_LINE_CHECK:
        return "LINE CHECK";
    case ORDER_TEACH:
        return "TEACH";
    case ORDER_FIRMWARE:
        return "FIRMWARE";
    case ORDER_DATA:
        return "DATA";
    case ORDER_HARDWARE:
        return "HARDWARE";
    case ORDER_REFRESH_A:
        return "REFRESH CHA";
    case ORDER_REFRESH_B:
        return "REFRESH CHB";
    case ORDER_RESET:
        return "RESET";
    case ORDER_INFO_BLOCK:
        return "INFO BLOCK";
    case ORDER_CALIB_HEADER:
        return "CALIB HEADER";
    case ORDER_FLASH_ERASE:
        return "ERASE PAGE";
    case ORDER_FLASH_WRITE:
        return "WRITE FLASH";
    default:
        return "ORDER " + std::to_string(order);
    }
}

std::string DescribeTraffic(const TrafficEntry& e) {
    const auto& b = e.bytes;
    char text[160];
    if (e.sent) {
        if (b.size() < 6) {
            return "cut command (" + std::to_string(b.size()) + " bytes)";
        }
        const int order = static_cast<int>(Word(b, 2));
        const unsigned second = Word(b, 4);
        switch (order) {
        case ORDER_GET_RAM:
        case ORDER_GET_EEPROM:
            std::snprintf(text, sizeof text, "%s block %u", OrderName(order).c_str(), second);
            break;
        case ORDER_TEACH:
            std::snprintf(text, sizeof text, "TEACH %s", second == 0 ? "CHA" : "CHB");
            break;
        case ORDER_FLASH_ERASE:
        case ORDER_FLASH_WRITE:
        case ORDER_CALIB_HEADER:
        case ORDER_INFO_BLOCK:
            std::snprintf(text, sizeof text, "%s at 0x%04X", OrderName(order).c_str(), second);
            break;
        default:
            std::snprintf(text, sizeof text, "%s", OrderName(order).c_str());
            break;
        }
        return text;
    }
    std::string what;
    if (e.dropped) {
        std::snprintf(text, sizeof text, "dropped, %d %s%s", e.droppedCount, e.dropped,
                      e.droppedCount > static_cast<int>(b.size()) ? " (first ones shown)" : "");
        return text;
    }
    if (b.size() != 36) {
        what = "raw reply, " + std::to_string(b.size()) + " bytes";
    } else if (Word(b, 2) == ORDER_DATA) {
        std::snprintf(text, sizeof text, "data: raw A %u, raw B %u, inputs %u, outputs %u",
                      Word(b, 4), Word(b, 6), Word(b, 8), Word(b, 10));
        what = text;
    } else {
        std::snprintf(text, sizeof text, "standard reply, echo %u (%s), second word 0x%04X",
                      Word(b, 2), OrderName(static_cast<int>(Word(b, 2))).c_str(), Word(b, 4));
        what = text;
    }
    if (e.sinceRequest >= 0) {
        std::snprintf(text, sizeof text, ", %.1f ms after %s", e.sinceRequest * 1000.0,
                      OrderName(e.requestOrder).c_str());
        what += text;
    }
    return what;
}

std::string FormatTrafficLine(const TrafficEntry& e, double origin) {
    char head[32];
    std::snprintf(head, sizeof head, "%12.6f %s ", e.at - origin, e.sent ? "TX" : "RX");
    return head + Hex(e.bytes) + " | " + DescribeTraffic(e);
}

void StartTraffic(std::size_t capacity) {
    if (!g_started) {
        g_started = true;
        g_origin = Timer();
    }
    g_capacity = capacity;
    SetFrameTap(&OnFrame);
    SetDropTap(&OnDrop);
}

const std::vector<TrafficEntry>& TrafficEntries(std::size_t& firstIndex) {
    firstIndex = g_ring.size() < g_capacity ? 0 : g_next;
    return g_ring;
}

double TrafficOrigin() {
    return g_origin;
}

void ClearTraffic() {
    g_ring.clear();
    g_next = 0;
}

void SetTrafficListener(TrafficListener listener) {
    g_listener = listener;
}

bool StartTrace(const std::string& path, std::string& error) {
    StopTrace();
    std::string why;
    std::FILE* f =
        OpenOutputFile(path, false, why); // a FIFO nobody reads is refused, not waited on
    if (!f) {
        error = path + ": cannot be written (" + why + ")";
        return false;
    }
    g_trace = f;
    g_tracePath = path;
    g_traceError.clear();
    StartTraffic(g_capacity > 0 ? g_capacity : 10000);
    WriteTrace("# time_s dir bytes | meaning");
    if (!g_trace) {
        error = g_traceError;
        return false;
    }
    return true;
}

void StopTrace() {
    if (g_trace) {
        if (std::fclose(g_trace) != 0 && g_traceError.empty()) {
            g_traceError = g_tracePath + ": trace not written (" + std::strerror(errno) + ")";
        }
        g_trace = nullptr;
    }
}

const std::string& TraceError() {
    return g_traceError;
}
