// scan: every port on offer probed with the line check at once; a sensor that answers is
// identified.
#include "cli/commands.h"
#include "link/frames.h"
#include "link/sensor.h"
#include "serial/serial.h"

#include <cstdio>
#include <cstring>
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
    const int inUse = com;
    std::vector<ComPortChoice> ports = ListComPorts(inUse);
    std::vector<int> numbers;
    for (const auto& p : ports) {
        numbers.push_back(p.number);
    }
    // The line check's frame, built once and written to every port at once: silent ports cost
    // one reply time-out together, not one each.
    FillTxBuf(ORDER_LINE_CHECK, 0, s.block0.data());
    char frame[kFrameLen];
    std::memcpy(frame, szWriteBuf, kFrameLen);
    com = -1; // no port is in use while they are probed
    std::vector<ScanRow> rows;
    for (const auto& p : ports) {
        rows.push_back(ScanRow{p, false, "", "", "Timeout-RS-232..."});
    }
    // A port that answers is identified at once, while the silent ones run out their time-out.
    auto identify = [&](std::size_t i) {
        ScanRow& row = rows[i];
        const int n = ports[i].number;
        row.answers = true;
        row.status = "Echo Check - Line Ok!";
        com = n;
        if (OpenLine(n) == 0) {
            ExchangeResult hw = ReadHardwareType(n, s.block0.data());
            std::uint16_t type = hw.reply.kind == REPLY_STANDARD ? HardwareTypeOf(hw) : 0;
            if (hw.ok()) {
                row.hardware = std::to_string(type);
            }
            FirmwareResult fw = ReadFirmware(n, s.block0.data(), type);
            if (fw.outcome == Outcome::Answered) {
                row.firmware = Latin1ToUtf8(fw.text);
            }
            CloseCom(n);
        }
        ClearPortLost();
        com = -1;
    };
    // Network ports connect side by side; a failure's reason is kept for the second look below.
    StartComOpens(numbers);
    std::vector<int> answered = ProbeLines(numbers, frame, identify);

    for (std::size_t i = 0; i < ports.size(); ++i) {
        ScanRow& row = rows[i];
        int n = ports[i].number;
        com = n;
        if (!row.answers && answered[i] < 0) {
            // It did not take the frame: say why it does not open, if it does not.
            int r = OpenLine(n);
            if (r < 0) {
                row.status = ComOpenErrorText(r);
            } else {
                CloseCom(n);
            }
        }
        ClearPortLost();
    }
    EndComOpens();
    com = inUse;

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
