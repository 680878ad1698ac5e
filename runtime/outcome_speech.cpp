#include "outcome_speech.h"

#include <algorithm>
#include <cctype>

namespace {
// A status message is at most one line; a longer text is judged by its start.
constexpr std::size_t kMaxJudged = 200;
// Phases remembered at once; more than this in the quiet window is itself a flood.
constexpr std::size_t kMaxPhases = 64;

std::string Trimmed(const std::string& text) {
    auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return {};
    }
    auto end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, std::min(end + 1 - begin, kMaxJudged));
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return s;
}
} // namespace

bool OutcomeSpeech::IsWaiting(const std::string& text) {
    const std::string t = Trimmed(text);
    if (t.size() < 3 || t.compare(t.size() - 3, 3, "...") != 0) {
        return false;
    }
    // "Timeout-RS-232..." ends like a wait but is an outcome.
    const std::string lower = Lower(t);
    return lower.find("timeout") == std::string::npos && lower.find("error") == std::string::npos;
}

std::string OutcomeSpeech::PhaseOf(const std::string& text) {
    std::string phase;
    for (char ch : Trimmed(text)) {
        if (std::isdigit(static_cast<unsigned char>(ch))) {
            if (phase.empty() || phase.back() != '#') {
                phase += '#';
            }
        } else if (ch != ' ' || phase.empty() || phase.back() != ' ') {
            phase += ch; // runs of blanks count once: "PAGE:  2" and "PAGE: 12" are one phase
        }
    }
    return phase;
}

std::string OutcomeSpeech::say(const std::string& text) {
    lastSaid_ = text;
    dueAt_ = -1;
    return text;
}

std::string OutcomeSpeech::written(const std::string& text, double now) {
    current_ = Trimmed(text);
    dueAt_ = -1;
    currentWaiting_ = false;
    if (current_.empty()) {
        return {};
    }
    for (auto it = seen_.begin(); it != seen_.end();) {
        it = now - it->second > kPhaseQuietSec ? seen_.erase(it) : std::next(it);
    }
    if (seen_.size() >= kMaxPhases) {
        seen_.clear();
    }
    const std::string phase = PhaseOf(current_);
    auto seen = seen_.find(phase);
    const bool recent = seen != seen_.end();
    seen_[phase] = now;

    if (IsWaiting(current_)) {
        currentWaiting_ = true;
        dueAt_ = now + kWaitSpeakSec;
        return {};
    }
    if (acted_ || !recent) {
        acted_ = false;
        return say(current_);
    }
    // More of a phase just heard: said only if the line stays on it (see kSettleSec).
    if (current_ != lastSaid_) {
        dueAt_ = now + kSettleSec;
    }
    return {};
}

std::string OutcomeSpeech::due(double now) {
    if (dueAt_ < 0 || now < dueAt_) {
        return {};
    }
    if (currentWaiting_ && current_ == lastSaid_) {
        dueAt_ = -1;
        return {};
    }
    return say(current_);
}
