// info: the start-up exchange's requests, as the window makes them when a port is picked.
#include "cli/blocks.h"
#include "cli/commands.h"
#include "host/clock.h"
#include "link/sensor.h"
#include "params/block_ops.h"
#include "serial/serial.h"

#include <string>

int CmdInfo(Session& s) {
    if (!Connect(s, false)) {
        return kExitFailed;
    }
    const std::string line = "Echo Check - Line Ok!";
    // The start-up exchange's steps, with its pauses.
    Delay(kStartupPauseSec);
    ExchangeResult hwr = ReadHardwareType(com, s.block0.data());
    if (hwr.reply.kind == REPLY_STANDARD) {
        s.hardware = HardwareTypeOf(hwr);
    }
    s.hardwareRead = hwr.ok();
    if (!hwr.ok()) {
        s.io.fail("Error reading HARDWARE-info!", hwr);
    }
    Delay(kStartupPauseSec);
    bool ok0 = GetBlock(s, kMemoryRam, 0);
    Delay(kStartupPauseSec);
    bool ok1 = GetBlock(s, kMemoryRam, 1);
    Delay(kStartupPauseSec);
    FirmwareResult fwr = ReadFirmware(com, s.block1.data(), s.hardware);
    bool fw = fwr.outcome == Outcome::Answered;
    std::string firmware = fw ? Latin1ToUtf8(fwr.text) : "";
    if (!fw) {
        s.io.fail("Error reading firmware-info!");
    }
    s.log.identified = true;
    s.log.firmware = firmware;
    if (s.opts.json) {
        Json j;
        j.add("command", "info").add("port", com).add("device", ComDeviceName(com));
        // What was not read is null: 0 is a real hardware type, "" a real firmware text.
        j.add("line", line).raw("hardware", s.hardwareRead ? std::to_string(s.hardware) : "null");
        if (fw) {
            j.add("firmware", firmware);
        } else {
            j.raw("firmware", "null");
        }
        j.raw("block0", ok0 ? BlockJson(s.block0, 0) : "null");
        j.raw("block1", ok1 ? BlockJson(s.block1, 1) : "null");
        s.io.result(j);
    } else {
        s.io.out("Port:          " + PortName(com) + "\n");
        s.io.out("Line:          " + line + "\n");
        s.io.out("Hardware type: " + (s.hardwareRead ? std::to_string(s.hardware) : "(not read)") +
                 "\n");
        s.io.out("Firmware:      " + (fw ? firmware : "(not read)") + "\n");
        if (ok0) {
            PrintBlock(s, s.block0, 0, "Block 0 (RAM):");
        }
        if (ok1) {
            PrintBlock(s, s.block1, 1, "Block 1 (RAM):");
        }
    }
    return hwr.ok() && ok0 && ok1 && fw ? kExitOk : kExitFailed;
}
