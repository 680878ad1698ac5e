// What the tool writes: results on stdout (every write checked) as text or JSON, notes and
// errors on stderr, and the first failure, which --json tells as an object of its own.
#pragma once

#include "cli/cli.h"
#include "link/exchange.h"

#include <string>

// A JSON object written field by field, in the order given (the fields' order is part of the
// output's promise, which a QJsonObject, sorting its keys, would not keep). Strings are escaped
// by Qt's JSON writer (JsonString).
class Json {
  public:
    Json& add(const std::string& key, const std::string& value);
    Json& add(const std::string& key, const char* value) { return add(key, std::string(value)); }
    Json& add(const std::string& key, long long value);
    Json& add(const std::string& key, int value) { return add(key, static_cast<long long>(value)); }
    Json& add(const std::string& key, unsigned value) {
        return add(key, static_cast<long long>(value));
    }
    Json& add(const std::string& key, double value);
    Json& add(const std::string& key, bool value);
    Json& raw(const std::string& key, const std::string& json);
    std::string str() const { return "{" + body_ + "}"; }
    static std::string quote(const std::string& s);

  private:
    void key(const std::string& k);
    std::string body_;
};

// "zel-vavod-cli: LINE" on stderr.
void Error(const std::string& line);
// "NAME: cannot be written (REASON)"
std::string WriteError(const std::string& name, int err);

class Output {
  public:
    // No progress or informational lines (--quiet).
    bool quiet = false;

    // Everything for stdout goes through here, so that a write that fails is noticed.
    void out(const std::string& text);
    // Flushes stdout; false (and the reason kept) when what was written did not get out.
    bool flushStdout();
    // A write to stdout made elsewhere (the scope's rows) that failed with `err`.
    void stdoutFailed(int err);
    int stdoutErrno() const { return stdoutErrno_; }
    // One result as a JSON line on stdout.
    void result(const Json& j);
    // An informational line on stderr, unless quiet.
    void note(const std::string& line) const;

    // Tells what went wrong; the first failure is kept for the JSON failure object, with the
    // exchange behind it when there is one.
    void fail(const std::string& message);
    void fail(const std::string& message, const ExchangeResult& r);
    // A refusal of the command line, already told: kept, not printed again.
    void keepFailure(const std::string& message);
    bool failed() const { return failure_.set; }
    // {"command":..,"ok":false,"error":..[,"outcome":..,"order":..,"address":..]}
    std::string failureJson(const std::string& command) const;

  private:
    int stdoutErrno_ = 0;
    struct Failure {
        bool set = false;
        std::string message;
        bool exchanged = false; // an exchange's result stands behind it
        Outcome outcome = Outcome::Answered;
        int order = 0;
        unsigned address = 0;
    } failure_;
};
