// Probing ports for a sensor, each port on its own link, so that neither the port in use nor
// the routines' globals take part: a probed port's replies, counts and loss stay its own.
#include "link/port_link.h"
#include "link/sensor.h"

#include "host/clock.h"
#include "serial/serial.h"

#include <algorithm>
#include <utility>

namespace {
// A probe is no traffic of the port in use: its link is quiet while it runs.
struct QuietLink {
    explicit QuietLink(Link& l) : link(l) {
        link.setFrameTap(nullptr);
        link.setDropTap(nullptr);
    }
    ~QuietLink() { ApplyLinkDefaults(link); }
    Link& link;
};

// Whether the port is open already (the port in use): it is not probed.
bool OpenAlready(int port) {
    return GetInQLen(port) >= 0;
}

// The ports being probed (those not open already): a loss among them is theirs alone.
class ProbingLinks {
  public:
    explicit ProbingLinks(const std::vector<int>& ports) {
        for (int port : ports) {
            if (!OpenAlready(port)) {
                Link& link = LinkOf(port);
                before_.emplace_back(&link, link.probing());
                link.setProbing(true);
            }
        }
    }
    ~ProbingLinks() {
        for (auto it = before_.rbegin(); it != before_.rend(); ++it) {
            it->first->setProbing(it->second);
        }
    }

  private:
    std::vector<std::pair<Link*, bool>> before_;
};
} // namespace

std::vector<int> ProbeLines(const std::vector<int>& ports, const std::uint16_t* words,
                            const std::function<void(std::size_t)>& onAnswer) {
    char frame[kFrameLen];
    BuildFrame(frame, ORDER_LINE_CHECK, 0, words);
    std::vector<int> answered(ports.size(), -1);
    const ProbingLinks probing(ports);
    std::vector<std::size_t> waiting; // indexes of the ports written to and not yet decided
    // Each port gets its reply time-out from its own write: a network port that takes its
    // time-out to fail to connect does not add a second one to the ports opened before it.
    std::vector<double> writtenAt(ports.size(), 0.0);
    // Ports still connecting are opened once they are ready, not in turn: one that never
    // connects holds back none of the others. The reply stays in the input queue (no receiver).
    auto openAndWrite = [&](std::size_t i) {
        QuietLink quiet(LinkOf(ports[i]));
        Link& link = quiet.link;
        if (link.open(false) < 0) {
            return;
        }
        if (link.write(frame) == kFrameLen) {
            writtenAt[i] = Timer();
            waiting.push_back(i);
            answered[i] = 0;
        } else {
            link.close();
        }
    };
    std::vector<std::size_t> toOpen;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (!OpenAlready(ports[i])) {
            toOpen.push_back(i);
        }
    }
    while (!toOpen.empty()) {
        bool opened = false;
        for (std::size_t k = 0; k < toOpen.size();) {
            if (ComOpenPending(ports[toOpen[k]]) && !(toOpen.size() == 1 && k == 0)) {
                ++k;
                continue;
            }
            const std::size_t i = toOpen[k];
            toOpen.erase(toOpen.begin() + static_cast<long>(k));
            openAndWrite(i);
            opened = true;
        }
        if (!opened) {
            ProcessSystemEventsUntil(Timer() + 0.01);
        }
    }
    auto gone = [&](std::size_t i) { return LinkOf(ports[i]).lost() || ComPortLost(ports[i]); };
    // A port is decided as soon as its reply's bytes are in (or it went away): the caller may
    // go on with it while the silent ones run out their time.
    auto decide = [&](std::size_t i) {
        QuietLink quiet(LinkOf(ports[i]));
        Link& link = quiet.link;
        const bool ok = !gone(i) && GetInQLen(ports[i]) >= kFrameLen &&
                        link.readRaw(kFrameLen, 0) == kFrameLen &&
                        IsLineCheckReply(DecodeReply(link.raw()));
        answered[i] = ok ? 1 : 0;
        link.close();
        if (ok && onAnswer) {
            onAnswer(i);
        }
    };
    while (!waiting.empty()) {
        double last = 0;
        for (std::size_t k = 0; k < waiting.size();) {
            const std::size_t i = waiting[k];
            if (gone(i) || GetInQLen(ports[i]) >= kFrameLen) {
                waiting.erase(waiting.begin() + static_cast<long>(k));
                decide(i);
            } else if (Timer() - writtenAt[i] > TIMEOUT) {
                waiting.erase(waiting.begin() + static_cast<long>(k));
                LinkOf(ports[i]).close(); // silent: no reply within the time-out
            } else {
                last = std::max(last, writtenAt[i]);
                ++k;
            }
        }
        if (waiting.empty()) {
            break;
        }
        ProcessSystemEventsUntil(last + TIMEOUT + 0.0005);
    }
    return answered;
}

std::vector<PortProbe> ProbePorts(const std::vector<int>& ports, const std::uint16_t* words) {
    std::vector<PortProbe> probes(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        probes[i].port = ports[i];
    }
    // A port that answers is identified at once, on its own link, while the silent ones run out
    // their time-out.
    auto identify = [&](std::size_t i) {
        PortProbe& p = probes[i];
        Link& link = LinkOf(p.port);
        if (link.open() != 0) {
            return;
        }
        p.identified = true;
        p.hardware = ReadHardwareType(p.port, words);
        const std::uint16_t type =
            p.hardware.reply.kind == REPLY_STANDARD ? HardwareTypeOf(p.hardware) : 0;
        p.firmware = ReadFirmware(p.port, words, type);
        link.close();
    };
    const ProbingLinks probing(ports);
    // Network ports connect side by side; a failure's reason is kept for the second look below.
    StartComOpens(ports);
    const std::vector<int> answered = ProbeLines(ports, words, identify);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        PortProbe& p = probes[i];
        p.lineCheck = answered[i];
        if (answered[i] < 0 && !OpenAlready(p.port)) {
            // It did not take the frame: say why it does not open, if it does not.
            Link& link = LinkOf(p.port);
            p.openResult = std::min(link.open(false), 0);
            if (p.openResult == 0) {
                link.close();
            }
        }
        LinkOf(p.port).clearLost();
    }
    EndComOpens();
    return probes;
}

PortProbe ProbePort(int port, const std::uint16_t* words) {
    return ProbePorts({port}, words).front();
}
