// Which status-line messages a screen reader is told to speak. The line shows every message;
// speech gets the outcomes of the operator's actions and the changes of phase, so a running
// scope, a programming run's pages or a wait's repeated text never flood the listener. Pure:
// the caller passes the time and says the returned texts.
#pragma once

#include <map>
#include <string>

class OutcomeSpeech {
  public:
    // A waiting text ("... ") is said only once it has stood this long: most waits end sooner,
    // and their outcome is what matters.
    static constexpr double kWaitSpeakSec = 2.0;
    // A message held back as more of the same phase is said once the line has stayed on it this
    // long (the last page of a programming run, a second time-out in a row is not).
    static constexpr double kSettleSec = 1.0;
    // A phase seen this recently is not said again unless the operator acted since.
    static constexpr double kPhaseQuietSec = 10.0;

    // The operator pressed, toggled or chose something: the next outcome is said even when it
    // repeats the last one.
    void operatorActed() { acted_ = true; }
    // A new message on the line at `now` (seconds); returns what to say now, or "".
    std::string written(const std::string& text, double now);
    // When the message on the line is to be said unless another replaces it first; < 0: never.
    double dueAt() const { return dueAt_; }
    // At or after dueAt(): what to say now, or "".
    std::string due(double now);

    // Messages that announce a wait: they end in "..." and report no failure.
    static bool IsWaiting(const std::string& text);
    // The message with its figures left out: page numbers, counts and ports change within a
    // phase, the words do not.
    static std::string PhaseOf(const std::string& text);

  private:
    std::string say(const std::string& text);

    std::string current_;
    bool currentWaiting_ = false;
    double dueAt_ = -1;
    bool acted_ = false;
    std::string lastSaid_;
    std::map<std::string, double> seen_; // phase -> last time written, pruned as it ages
};
