#include "cli/session.h"

#include "app/places.h"
#include "host/clock.h"
#include "host/console.h"
#include "host/host.h"
#include "link/sensor.h"
#include "serial/serial.h"
#include "store/textfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {
// The one session the system's callbacks (Ctrl-C, a lost port) reach.
Session* g_session = nullptr;

void OnPortLost(int) {
    if (g_session) {
        g_session->lost = true;
    }
}

void OnInterrupt() {
    if (g_session) {
        g_session->interrupted = true;
    }
}

std::string Now() {
    std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", std::localtime(&t));
    return buf;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}
} // namespace

void StartSession(Session& s) {
    g_session = &s;
    InstallTerminationHandler(OnInterrupt);
    InitExchange();
    SetPortLossHandler(OnPortLost);
    std::copy_n(StartBlock0(), kBlockWordCount, s.block0.begin());
}

bool ChoosePort(Session& s) {
    for (const auto& [n, dev] : s.opts.bindings) {
        BindComPort(n, dev);
    }
    PlaceInputs where;
    where.exeDir = GetExecutableDir();
    where.configHome = Env("XDG_CONFIG_HOME");
    where.home = Env("HOME");
    com = ReadPortFile(ChoosePlaces(where).portFile.c_str());
    if (s.opts.port >= 0) {
        com = s.opts.port;
    }
    if (!s.opts.device.empty()) {
        BindComPort(com, s.opts.device);
    }
    if (s.opts.simulate) {
        bool ok = true;
        std::vector<std::string> simArgs = SplitArgs(s.opts.simArgs, ok);
        std::string simError = ok ? "" : "--sim-args has an unmatched quote";
        std::string device = ok ? StartSimulator(where.exeDir + "/zel-sensor-sim", simArgs,
                                                 kSimStartLimitSec, simError)
                                : "";
        if (device.empty()) {
            s.io.fail("simulated sensor not started: " + simError);
            return false;
        }
        BindComPort(com, device);
    }
    return true;
}

void Wait(Session& s, double seconds) {
    double t0 = Timer();
    while (Timer() - t0 < seconds && !s.interrupted) {
        ProcessSystemEvents();
    }
}

std::string PortName(int port) {
    return "COM" + std::to_string(port) + " " + ComDeviceName(port);
}

bool OpenPort(Session& s) {
    int r = OpenLine(com);
    if (r < 0) {
        // The reason names the device itself; the address is said once.
        std::string why = ComOpenFailureReason(com);
        if (const std::string device = ComDeviceName(com) + ": "; why.rfind(device, 0) == 0) {
            why.erase(0, device.size());
        }
        s.io.fail(std::string(ComOpenErrorText(r)) + ": " + PortName(com) +
                  (why.empty() ? "" : ": " + why));
        return false;
    }
    s.portOpen = true;
    return true;
}

void ClosePort(Session& s) {
    if (s.portOpen) {
        CloseCom(com);
        s.portOpen = false;
    }
    ClearPortLost();
    s.lost = false;
}

std::string LineCheckText(const ExchangeResult& r) {
    if (r.outcome == Outcome::PortLost) {
        return PortLostText();
    }
    if (r.outcome == Outcome::Timeout || r.outcome == Outcome::NotWritten) {
        return "Timeout-RS-232...";
    }
    return "read error - not sync byte 0xAA!";
}

std::string BlockReadText(const ExchangeResult& r) {
    if (r.ok()) {
        return "Parameter-frame received! - Line Ok!";
    }
    if (r.outcome == Outcome::PortLost) {
        return PortLostText();
    }
    return "Timeout-RS-232...";
}

std::string CommandText(const ExchangeResult& r) {
    return r.outcome == Outcome::PortLost ? PortLostText() : "Timeout RS-232!!";
}

bool Identify(Session& s) {
    ExchangeResult hw = ReadHardwareType(com, s.block0.data());
    if (hw.reply.kind == REPLY_STANDARD) {
        s.hardware = HardwareTypeOf(hw);
    }
    s.hardwareRead = hw.ok();
    FirmwareResult fw = ReadFirmware(com, s.block0.data(), s.hardware);
    bool fwOk = fw.outcome == Outcome::Answered;
    s.log.identified = hw.ok() || fwOk;
    s.log.firmware = fwOk ? Latin1ToUtf8(fw.text) : "";
    return hw.ok() && fwOk;
}

bool Connect(Session& s, bool identify) {
    if (!s.portOpen && !OpenPort(s)) {
        return false;
    }
    ExchangeResult r = LineCheck(com, s.block0.data());
    if (!r.ok()) {
        s.io.fail(LineCheckText(r), r);
        return false;
    }
    if (identify && !s.opts.logFile.empty()) {
        Identify(s);
    }
    return true;
}

bool LostReported(Session& s) {
    if (s.lost) {
        s.io.fail(PortLostText());
        return true;
    }
    return false;
}

void LogOperation(Session& s, const std::string& outcome) {
    if (s.opts.logFile.empty()) {
        return;
    }
    Json j;
    j.add("time", Now()).add("port", com).add("device", ComDeviceName(com));
    j.raw("hardware", s.log.identified && s.hardwareRead ? std::to_string(s.hardware) : "null");
    j.raw("firmware", s.log.identified ? Json::quote(s.log.firmware) : "null");
    j.add("command", s.opts.command).add("outcome", outcome);
    std::string pages = "[";
    for (std::size_t i = 0; i < s.log.failedPages.size(); ++i) {
        pages += i ? "," : "";
        pages += std::to_string(s.log.failedPages[i]);
    }
    j.raw("failed_pages", pages + "]");
    const std::string line = j.str() + "\n";
    errno = 0;
    std::string why;
    FILE* f = OpenOutputFile(s.opts.logFile, true, why);
    bool ok = f && std::fputs(line.c_str(), f) != EOF;
    int err = errno;
    if (f && std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        Error("cannot append to " + s.opts.logFile + ": " +
              (f ? std::strerror(err ? err : EIO) : why));
        s.log.failed = true;
    }
}

int Done(Session& s, int code) {
    LogOperation(s, code == kExitOk ? "ok" : code == kExitFile ? "file error" : "failed");
    return code;
}
