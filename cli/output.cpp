#include "cli/output.h"

#include "host/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void Error(const std::string& line) {
    std::fprintf(stderr, "zel-vavod-cli: %s\n", line.c_str());
}

std::string WriteError(const std::string& name, int err) {
    return name + ": cannot be written (" + std::strerror(err) + ")";
}

void Output::out(const std::string& text) {
    if (stdoutErrno_ == 0 && std::fputs(text.c_str(), stdout) == EOF) {
        stdoutErrno_ = errno ? errno : EIO;
    }
}

bool Output::flushStdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (stdoutErrno_ == 0) {
            stdoutErrno_ = errno ? errno : EIO;
        }
    }
    return stdoutErrno_ == 0;
}

void Output::stdoutFailed(int err) {
    stdoutErrno_ = err;
}

void Output::result(const Json& j) {
    out(j.str() + "\n");
    flushStdout();
}

void Output::note(const std::string& line) const {
    if (!quiet) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void Output::fail(const std::string& message) {
    Error(message);
    keepFailure(message);
}

void Output::keepFailure(const std::string& message) {
    if (!failure_.set) {
        failure_.set = true;
        failure_.message = message;
    }
}

void Output::fail(const std::string& message, const ExchangeResult& r) {
    bool first = !failure_.set;
    fail(message);
    if (first) {
        failure_.exchanged = true;
        failure_.outcome = r.outcome;
        failure_.order = r.order;
        failure_.address = r.address;
    }
}

std::string Output::failureJson(const std::string& command) const {
    Json j;
    j.add("command", command).add("ok", false).add("error", failure_.message);
    if (failure_.exchanged) {
        j.add("outcome", OutcomeName(failure_.outcome)).add("order", failure_.order);
        j.add("address", failure_.address);
    }
    return j.str();
}

// ---- JSON ----

std::string Json::quote(const std::string& s) {
    return JsonString(s);
}

void Json::key(const std::string& k) {
    if (!body_.empty()) {
        body_ += ",";
    }
    body_ += quote(k) + ":";
}

Json& Json::add(const std::string& k, const std::string& value) {
    key(k);
    body_ += quote(value);
    return *this;
}

Json& Json::add(const std::string& k, long long value) {
    key(k);
    body_ += std::to_string(value);
    return *this;
}

Json& Json::add(const std::string& k, double value) {
    key(k);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", value);
    body_ += buf;
    return *this;
}

Json& Json::add(const std::string& k, bool value) {
    key(k);
    body_ += value ? "true" : "false";
    return *this;
}

Json& Json::raw(const std::string& k, const std::string& json) {
    key(k);
    body_ += json;
    return *this;
}
