// scan: every port on offer probed with the line check at once; a sensor that answers is
// identified.
#include "cli/commands.h"
#include "link/frames.h"
#include "link/sensor.h"
#include "serial/serial.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {
struct ScanRow {
    ComPortChoice port;
    bool answers = false;
    std::string hardware, firmware, status;
};
} // namespace

int CmdScan(Session& s) {
    std::vector<ComPortChoice> ports = ListComPorts(com);
    std::vector<int> numbers;
    for (const auto& p : ports) {
        numbers.push_back(p.number);
    }
    // Each port on its own link: the line check goes to all at once (silent ports cost one reply
    // time-out together), and a port that answers is identified while the others wait.
    std::vector<PortProbe> probes = ProbePorts(numbers, s.block0.data());
    std::vector<ScanRow> rows;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortProbe& p = probes[i];
        ScanRow row{ports[i], p.answers(), "", "", "Timeout-RS-232..."};
        if (p.answers()) {
            row.status = "Echo Check - Line Ok!";
            const std::uint16_t type =
                p.hardware.reply.kind == REPLY_STANDARD ? HardwareTypeOf(p.hardware) : 0;
            row.hardware = p.identified && p.hardware.ok() ? std::to_string(type) : "";
            row.firmware = p.identified && p.firmware.outcome == Outcome::Answered
                               ? Latin1ToUtf8(p.firmware.text)
                               : "";
        } else if (p.openResult < 0) {
            row.status = ComOpenErrorText(p.openResult);
        }
        rows.push_back(row);
    }

    int answering = 0;
    for (const auto& r : rows) {
        answering += r.answers;
        if (s.opts.json) {
            Json j;
            j.add("command", "scan").add("port", r.port.number).add("device", r.port.device);
            j.add("answers", r.answers);
            j.raw("hardware", r.hardware.empty() ? "null" : r.hardware);
            j.raw("firmware", r.firmware.empty() ? "null" : Json::quote(r.firmware));
            j.add("status", r.status);
            s.io.out(j.str() + "\n");
        } else {
            char line[512];
            std::snprintf(line, sizeof line, "COM%-3d %-24s %-10s %-6s %-20s %s\n", r.port.number,
                          r.port.device.c_str(), r.answers ? "answers" : "silent",
                          r.hardware.empty() ? "-" : r.hardware.c_str(),
                          r.firmware.empty() ? "-" : r.firmware.c_str(), r.status.c_str());
            s.io.out(line);
        }
    }
    return answering > 0 ? kExitOk : kExitFailed;
}
