#include "app/app.h"
#include "core/state.h"
#include "link/link.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"

#include <algorithm>
#include <string>

namespace {
int g_lostPort = 0;                      // shown as lost in the selector until it is back
std::vector<ComPortChoice> g_shownPorts; // what the selector lists now

bool SameList(const std::vector<ComPortChoice>& a, const std::vector<ComPortChoice>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) {
               return x.number == y.number && x.device == y.device;
           });
}
} // namespace

void ShowPortState(int port, bool lost) {
    g_lostPort = lost ? port : 0;
    FillPortSelector(com);
}

void FillPortSelector(int current) {
    std::vector<ComPortChoice> ports = ListComPorts(current);
    g_shownPorts = ports;
    std::vector<int> values;
    std::vector<std::string> labels;
    for (const auto& p : ports) {
        values.push_back(p.number);
        // An adapter is also shown by its stable name, the one that survives replugging.
        std::string stable = p.stableName.substr(p.stableName.find_last_of('/') + 1);
        labels.push_back("COM" + std::to_string(p.number) + "  " + p.device +
                         (stable.empty() || stable == p.device ? "" : "  " + stable) +
                         (p.number == g_lostPort ? "  (lost)" : ""));
    }
    std::vector<const char*> ptrs;
    for (const auto& l : labels) {
        ptrs.push_back(l.c_str());
    }
    SetRingItems(pA, MAIN_DROPDCOM, values.data(), ptrs.data(), values.size());
    SetCtrlVal(pA, MAIN_DROPDCOM, current);
}

void RefreshPortList() {
    // Rebuilding the list only when it changed leaves an opened list alone; the port in use
    // stays selected and is not reopened.
    if (!SameList(ListComPorts(com), g_shownPorts)) {
        FillPortSelector(com);
    }
}

void WatchPortList() {
    SetPeriodicCall(kPortListPeriodSec, &RefreshPortList);
}

namespace {
// The steps of a pick from the selector: the old port closed with a pause either side, then
// the new one opened with the start-up exchange.
void SwitchToPort(int port) {
    StopScope();
    Delay(kPortChangePauseSec);
    CloseCom(com);
    Delay(kPortChangePauseSec);
    com = port;
    ShowText("Init COM-Port ...");
    InitRS232(com);
}

bool g_finding = false; // a second press while ports are probed is ignored
} // namespace

std::string NoSensorText(const std::vector<int>& tried) {
    if (tried.empty()) {
        return "No sensor found (no port to try)";
    }
    // The status line holds 65 characters: as many ports as fit, then "...".
    for (std::size_t shown = tried.size();; --shown) {
        std::string text = "No sensor found (tried ";
        for (std::size_t i = 0; i < shown; ++i) {
            text += (i ? ", COM" : "COM") + std::to_string(tried[i]);
        }
        if (shown < tried.size()) {
            text += shown ? ", ..." : "...";
        }
        text += ")";
        if (text.size() < static_cast<std::size_t>(kStatusLen) || shown == 0) {
            return text;
        }
    }
}

int CC_BTNFindSensor(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT || g_finding) {
        return 0;
    }
    g_finding = true;
    // No other pick while ports are probed: a port picked now could be one of the probed ones.
    SetCtrlAttribute(pA, MAIN_DROPDCOM, ATTR_DIMMED, 1);
    SetCtrlAttribute(pA, MAIN_BTNFINDSENSOR, ATTR_DIMMED, 1);
    // A running scope ends first, its reply in flight landed, so the line check has the line.
    LetDataReplyLand();
    StopScope();
    ShowText("Looking for the sensor ...");

    std::vector<int> tried;
    int found = 0;
    if (!PortLost() && GetInQLen(com) >= 0) {
        tried.push_back(com);
        if (CheckComLine(com) == 1) {
            found = com;
        }
    }
    if (found == 0) {
        std::vector<int> others;
        for (const auto& p : ListComPorts(com)) {
            if (p.number != com) {
                others.push_back(p.number);
            }
        }
        std::vector<int> answered(others.size(), -1);
        ProbeLineCheck(others.data(), static_cast<int>(others.size()), answered.data());
        for (std::size_t i = 0; i < others.size(); ++i) {
            if (answered[i] >= 0) {
                tried.push_back(others[i]);
            }
            if (answered[i] == 1 && found == 0) {
                found = others[i];
            }
        }
    }
    if (found != 0) {
        SwitchToPort(found);
        FillPortSelector(com);
    } else {
        std::sort(tried.begin(), tried.end());
        SetStatus(NoSensorText(tried).c_str());
        ShowStatus();
    }
    SetCtrlAttribute(pA, MAIN_DROPDCOM, ATTR_DIMMED, 0);
    SetCtrlAttribute(pA, MAIN_BTNFINDSENSOR, ATTR_DIMMED, 0);
    g_finding = false;
    return 0;
}

int CC_DropDCom(int panel, int control, int event, void*, int, int) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    int picked = com;
    GetCtrlVal(panel, control, &picked);
    if (g_finding) {
        SetCtrlVal(panel, control, com); // a pick queued before the selector was dimmed
        return 0;
    }
    SwitchToPort(picked);
    return 0;
}
