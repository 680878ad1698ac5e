#include "rfc2217.h"

namespace zelsim {

namespace {

constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                       kSe = 240;
constexpr std::uint8_t kOptBinary = 0, kOptSuppressGoAhead = 3, kOptComPort = 44;
constexpr std::uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                       kSetControl = 5, kNotifyLineState = 6, kNotifyModemState = 7,
                       kFlowSuspend = 8, kFlowResume = 9, kPurgeData = 12;
constexpr std::uint8_t kServerReply = 100;

bool Supported(std::uint8_t opt) {
    return opt == kOptBinary || opt == kOptSuppressGoAhead || opt == kOptComPort;
}

void Subnegotiate(std::uint8_t code, const std::vector<std::uint8_t>& value,
                  std::vector<std::uint8_t>& out) {
    out.insert(out.end(), {kIac, kSb, kOptComPort, code});
    Rfc2217Server::escape(value.data(), value.size(), out);
    out.insert(out.end(), {kIac, kSe});
}

} // namespace

void Rfc2217Server::escape(const std::uint8_t* data, std::size_t n,
                           std::vector<std::uint8_t>& out) {
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac) {
            out.push_back(kIac);
        }
    }
}

std::vector<std::uint8_t> Rfc2217Server::feed(const std::uint8_t* data, std::size_t n,
                                              std::vector<std::uint8_t>& answers) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = data[i];
        switch (state_) {
        case Parse::Data:
            if (c == kIac) {
                state_ = Parse::Iac;
            } else {
                out.push_back(c);
            }
            break;
        case Parse::Iac:
            if (c == kIac) {
                out.push_back(c);
                state_ = Parse::Data;
            } else if (c == kWill || c == kWont || c == kDo || c == kDont) {
                verb_ = c;
                state_ = Parse::Option;
            } else if (c == kSb) {
                sub_.clear();
                state_ = Parse::Sub;
            } else {
                state_ = Parse::Data;
            }
            break;
        case Parse::Option:
            option(verb_, c, answers);
            state_ = Parse::Data;
            break;
        case Parse::Sub:
            if (c == kIac) {
                state_ = Parse::SubIac;
            } else {
                keepSub(c);
            }
            break;
        case Parse::SubIac:
            if (c == kSe) {
                if (sub_.size() <= kMaxSubnegotiation) {
                    subnegotiation(answers);
                }
                state_ = Parse::Data;
            } else {
                keepSub(c);
                state_ = Parse::Sub;
            }
            break;
        }
    }
    return out;
}

// A subnegotiation past any RFC 2217 message's length is kept no further and, once ended,
// ignored: a client that never ends one costs no memory.
void Rfc2217Server::keepSub(std::uint8_t c) {
    if (sub_.size() <= kMaxSubnegotiation) {
        sub_.push_back(c);
    }
}

// Agrees to binary, suppress-go-ahead and COM-PORT-OPTION either way, refuses the rest once,
// and answers only a change of state, so two sides never loop and a client repeating its
// requests gets no stream of refusals.
void Rfc2217Server::option(std::uint8_t verb, std::uint8_t opt,
                           std::vector<std::uint8_t>& answers) {
    const bool aboutUs = verb == kDo || verb == kDont;
    const bool positive = verb == kWill || verb == kDo;
    bool& on = aboutUs ? us_[opt] : them_[opt];
    bool& refused = aboutUs ? usRefused_[opt] : themRefused_[opt];
    if (positive && !on) {
        if (refused) {
            return;
        }
        on = Supported(opt);
        refused = !on;
        answers.insert(answers.end(),
                       {kIac, aboutUs ? (on ? kWill : kWont) : (on ? kDo : kDont), opt});
    } else if (!positive && on) {
        on = false;
        answers.insert(answers.end(), {kIac, aboutUs ? kWont : kDont, opt});
    }
}

void Rfc2217Server::subnegotiation(std::vector<std::uint8_t>& answers) {
    if (sub_.size() < 2 || sub_[0] != kOptComPort) {
        return;
    }
    const std::uint8_t code = sub_[1];
    std::vector<std::uint8_t> value(sub_.begin() + 2, sub_.end());
    const std::uint8_t v = value.empty() ? 0 : value[0];
    switch (code) {
    case kSetBaudRate:
        if (value.size() == 4) {
            std::uint32_t baud = 0;
            for (std::uint8_t b : value) {
                baud = baud << 8 | b;
            }
            if (baud != 0) {
                requested_.baud = baud;
            } else {
                // A request of 0 only asks for the current rate.
                baud = requested_.baud ? requested_.baud : lineBaud_;
                value = {static_cast<std::uint8_t>(baud >> 24),
                         static_cast<std::uint8_t>(baud >> 16),
                         static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
            }
        }
        break;
    case kSetDataSize:
        requested_.dataBits = v ? v : requested_.dataBits;
        value = {static_cast<std::uint8_t>(requested_.dataBits ? requested_.dataBits : 8)};
        break;
    case kSetParity:
        requested_.parity = v ? v : requested_.parity;
        value = {static_cast<std::uint8_t>(requested_.parity ? requested_.parity : 1)};
        break;
    case kSetStopSize:
        requested_.stopBits = v ? v : requested_.stopBits;
        value = {static_cast<std::uint8_t>(requested_.stopBits ? requested_.stopBits : 1)};
        break;
    case kSetControl:
        if (v == 0) {
            value = {static_cast<std::uint8_t>(requested_.control ? requested_.control : 1)};
        } else if (v <= 3) {
            requested_.control = v;
        }
        break;
    case kNotifyLineState:
    case kNotifyModemState:
        value = {0}; // a simulated line: no errors, no modem lines
        break;
    case kFlowSuspend:
    case kFlowResume:
        return; // nothing is held back on a simulated line
    case kPurgeData:
        ++purges_;
        break;
    default:
        break; // the masks: taken as asked
    }
    Subnegotiate(static_cast<std::uint8_t>(code + kServerReply), value, answers);
}

} // namespace zelsim
