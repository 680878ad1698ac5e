// The traffic window's routine: the link's traffic ring formatted into lines when the window
// opens, then the frames that passed, taken a few times a second, and the loss of the port.
#include "app/app.h"
#include "core/panel_ids.h"
#include "core/timing.h"
#include "link/exchange.h"
#include "link/frames.h"
#include "link/traffic.h"
#include "runtime/ui.h"

#include <cstdio>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

namespace {
// The orders the filter offers, in the order of their codes.
constexpr int kOrders[] = {
    ORDER_SEND_RAM,   ORDER_GET_RAM,      ORDER_SEND_EEPROM, ORDER_GET_EEPROM,
    ORDER_LINE_CHECK, ORDER_TEACH,        ORDER_FIRMWARE,    ORDER_DATA,
    ORDER_HARDWARE,   ORDER_REFRESH_A,    ORDER_REFRESH_B,   ORDER_RESET,
    ORDER_INFO_BLOCK, ORDER_CALIB_HEADER, ORDER_FLASH_ERASE, ORDER_FLASH_WRITE};
constexpr int kOtherOrder = -2; // shown under "All" only

std::deque<TrafficEntry> g_pending; // passed since the window last took them
bool g_lostShown = false;

// A command by its order, a reply by the order it answers.
int KindOf(const TrafficEntry& e) {
    int order = e.requestOrder;
    if (e.sent) {
        order = e.bytes.size() >= 4 ? (e.bytes[2] << 8 | e.bytes[3]) : -1;
    }
    for (std::size_t i = 0; i < std::size(kOrders); ++i) {
        if (kOrders[i] == order) {
            return static_cast<int>(i);
        }
    }
    return kOtherOrder;
}

TrafficViewLine LineOf(const TrafficEntry& e) {
    return {FormatTrafficLine(e, TrafficOrigin()), KindOf(e)};
}

void OnEntry(const TrafficEntry& e) {
    g_pending.push_back(e);
    if (g_pending.size() > kTrafficViewLines) {
        g_pending.pop_front();
    }
}

void TakePending() {
    std::vector<TrafficViewLine> lines;
    lines.reserve(g_pending.size() + 1);
    for (const TrafficEntry& e : g_pending) {
        lines.push_back(LineOf(e));
    }
    g_pending.clear();
    const bool lost = PortLost();
    if (lost && !g_lostShown) {
        char head[32];
        std::snprintf(head, sizeof head, "%12.6f -- ", Timer() - TrafficOrigin());
        lines.push_back({head + std::string(PortLostText()), kTrafficNote});
    }
    g_lostShown = lost;
    if (!lines.empty()) {
        AppendTrafficViewLines(lines.data(), lines.size());
    }
}

void OnClosed() {
    SetTrafficListener(nullptr);
    g_pending.clear();
}
} // namespace

void ShowTrafficView() {
    if (TrafficViewIsOpen()) {
        OpenTrafficView(pA, nullptr, nullptr, 0, 0, 0, nullptr, nullptr); // raises it
        return;
    }
    StartTraffic(kTrafficViewLines);
    std::vector<std::string> names;
    for (int order : kOrders) {
        names.push_back(OrderName(order));
    }
    std::vector<const char*> kinds;
    for (const auto& n : names) {
        kinds.push_back(n.c_str());
    }
    if (OpenTrafficView(pA, "Traffic", kinds.data(), static_cast<int>(kinds.size()),
                        kTrafficViewLines, kTrafficViewPeriodSec, &TakePending, &OnClosed) < 0) {
        return;
    }
    std::size_t first = 0;
    const std::vector<TrafficEntry>& ring = TrafficEntries(first);
    std::vector<TrafficViewLine> lines;
    lines.reserve(ring.size());
    for (std::size_t i = 0; i < ring.size(); ++i) {
        lines.push_back(LineOf(ring[(first + i) % ring.size()]));
    }
    AppendTrafficViewLines(lines.data(), lines.size());
    g_pending.clear();
    g_lostShown = false;
    SetTrafficListener(&OnEntry);
    TakePending();
}

int CC_BTNTraffic(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        ShowTrafficView();
    }
    return 0;
}
