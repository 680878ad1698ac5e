#include "telnet_codec.h"

#include <algorithm>
#include <cstring>

using namespace telnet;

namespace {
bool Supported(unsigned char option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}
} // namespace

TelnetCodec::TelnetCodec(bool telnetOn, std::size_t inputLimit)
    : telnet_(telnetOn), inputLimit_(inputLimit) {}

void TelnetCodec::data(char c) {
    if (in_.size() < inputLimit_) {
        in_.push_back(c);
    } else {
        ++discarded_;
    }
}

void TelnetCodec::feed(const char* bytes, std::size_t size) {
    if (broken()) {
        return;
    }
    if (!telnet_) {
        const std::size_t room = inputLimit_ - std::min(inputLimit_, in_.size());
        const std::size_t kept = std::min(room, size);
        in_.append(bytes, kept);
        discarded_ += static_cast<long long>(size - kept);
        return;
    }
    for (std::size_t i = 0; i < size && !broken(); ++i) {
        const char ch = bytes[i];
        const auto c = static_cast<unsigned char>(ch);
        switch (state_) {
        case Parse::Data: {
            if (c == kIac) {
                state_ = Parse::Iac;
                break;
            }
            // A run of data up to the next IAC is taken at once.
            const void* iac = std::memchr(bytes + i, kIac, size - i);
            const std::size_t end =
                iac ? static_cast<std::size_t>(static_cast<const char*>(iac) - bytes) : size;
            const std::size_t room = inputLimit_ - std::min(inputLimit_, in_.size());
            const std::size_t kept = std::min(room, end - i);
            in_.append(bytes + i, kept);
            discarded_ += static_cast<long long>(end - i - kept);
            i = end - 1;
            break;
        }
        case Parse::Iac:
            if (c == kIac) {
                data(ch);
                state_ = Parse::Data;
            } else if (c == kWill || c == kWont || c == kDo || c == kDont) {
                verb_ = c;
                state_ = Parse::Option;
            } else if (c == kSb) {
                sub_.clear();
                state_ = Parse::Sub;
            } else {
                state_ = Parse::Data; // NOP, GA and the like carry nothing for us
            }
            break;
        case Parse::Option:
            onOption(verb_, c);
            state_ = Parse::Data;
            break;
        case Parse::Sub:
        case Parse::SubIac:
            if (state_ == Parse::Sub && c == kIac) {
                state_ = Parse::SubIac;
                break;
            }
            if (state_ == Parse::SubIac && c == kSe) {
                onSubnegotiation();
                state_ = Parse::Data;
                break;
            }
            // A byte of the value (IAC IAC inside a value is one IAC).
            state_ = Parse::Sub;
            if (sub_.size() >= kTelnetMaxSubnegotiation) {
                broken_ = "the server sent a Telnet subnegotiation longer than " +
                          std::to_string(kTelnetMaxSubnegotiation) + " bytes";
                sub_.clear();
                break;
            }
            sub_.push_back(ch);
            break;
        }
    }
}

std::size_t TelnetCodec::take(char* out, std::size_t count) {
    const std::size_t n = std::min(count, in_.size());
    if (n > 0) {
        std::memcpy(out, in_.data(), n);
        in_.erase(0, n);
    }
    return n;
}

std::string TelnetCodec::takeOutgoing() {
    std::string out;
    out.swap(out_);
    return out;
}

std::string TelnetCodec::encodeData(const char* bytes, std::size_t size) const {
    if (!telnet_) {
        return std::string(bytes, size);
    }
    std::string out;
    out.reserve(size + 8);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(bytes[i]);
        if (static_cast<unsigned char>(bytes[i]) == kIac) {
            out.push_back(bytes[i]);
        }
    }
    return out;
}

void TelnetCodec::send(std::initializer_list<unsigned char> bytes) {
    for (unsigned char b : bytes) {
        out_.push_back(static_cast<char>(b));
    }
}

void TelnetCodec::askOption(unsigned char verb, unsigned char option) {
    OptionState& st = verb == kWill ? us_[option] : him_[option];
    st.asked = true;
    send({kIac, verb, option});
}

void TelnetCodec::sendComPort(unsigned char command, const std::string& value) {
    send({kIac, kSb, kOptComPort, command});
    out_ += encodeData(value.data(), value.size());
    send({kIac, kSe});
}

void TelnetCodec::expectSetting(unsigned char command, const std::string& value) {
    want_.push_back({command, value});
}

bool TelnetCodec::comPortOn() const {
    return us_[kOptComPort].on || him_[kOptComPort].on;
}

bool TelnetCodec::sendSettingsWhenReady() {
    if (settingsSent_ || !comPortOn()) {
        return false;
    }
    for (const Setting& w : want_) {
        sendComPort(w.command, w.value);
    }
    settingsSent_ = true;
    return true;
}

bool TelnetCodec::allSettingsAnswered() const {
    return settingsSent_ &&
           std::all_of(want_.begin(), want_.end(), [](const Setting& w) { return w.answered; });
}

bool TelnetCodec::settingRefused(unsigned char& command, std::string& wanted,
                                 std::string& answered) const {
    for (const Setting& w : want_) {
        if (w.answered && w.answer != w.value) {
            command = w.command;
            wanted = w.value;
            answered = w.answer;
            return true;
        }
    }
    return false;
}

// The server's WILL/WONT (about itself) or DO/DONT (about us), after RFC 1143 without the
// queue: an option we asked for is switched by the answer, not answered again; one we refused
// is refused once, so a peer repeating its request gets no stream of refusals.
void TelnetCodec::onOption(unsigned char verb, unsigned char option) {
    const bool positive = verb == kWill || verb == kDo;
    const bool aboutUs = verb == kDo || verb == kDont;
    OptionState& st = aboutUs ? us_[option] : him_[option];
    const unsigned char yes = aboutUs ? kWill : kDo;
    const unsigned char no = aboutUs ? kWont : kDont;
    if (st.asked) {
        st.asked = false;
        st.on = positive;
        if (!positive && option == kOptComPort && !him_[kOptComPort].on) {
            comPortRefused_ = true;
        }
        return;
    }
    if (positive && !st.on) {
        if (st.refused) {
            return;
        }
        st.on = Supported(option);
        st.refused = !st.on;
        send({kIac, st.on ? yes : no, option});
    } else if (!positive && st.on) {
        st.on = false;
        send({kIac, no, option});
    }
}

void TelnetCodec::onSubnegotiation() {
    if (sub_.size() < 2 || static_cast<unsigned char>(sub_[0]) != kOptComPort) {
        return;
    }
    const auto code = static_cast<unsigned char>(sub_[1]);
    for (Setting& w : want_) {
        if (!w.answered && code == w.command + kServerReply) {
            w.answered = true;
            w.answer = sub_.substr(2);
            break;
        }
    }
    // Modem and line state notifications and purge confirmations need nothing from us.
}
