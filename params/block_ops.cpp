#include "params/block_ops.h"

#include "store/textfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
// The GET's wait: the time is tested after each pass; a reply of the last pass still counts.
constexpr ReplyWait kGetWait{kAnyReply, false, LastPass::ReportsLateReply, TIMEOUT,
                             "Timeout-RS-232..."};

constexpr WordInfo kBlock0Words[15] = {
    {"setting0", "Setting 0 (word 0)"},
    {"referenceA", "Reference CHA"},
    {"referenceB", "Reference CHB"},
    {"toleranceA", "Tolerance CHA"},
    {"toleranceB", "Tolerance CHB"},
    {"setting5", "Setting 5 (word 5)"},
    {"flag0+flag1", "Flags (word 6)"},
    {"", ""},
    {"setting8", "Setting 8 (word 8)"},
    {"setting9", "Setting 9 (word 9)"},
    {"", ""},
    {"", ""},
    {"", ""},
    {"", ""},
    {"", ""},
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
} // namespace

ExchangeResult ReadBlock(int port, int memory, std::uint32_t block, const std::uint16_t* sent,
                         const std::function<void()>& written) {
    const int order = memory == kMemoryEeprom ? ORDER_GET_EEPROM : ORDER_GET_RAM;
    FlushQueues(port);
    return Exchange(port, order, static_cast<int>(block & 0xFFFF), sent, kGetWait,
                    ReplyExpect::Standard, written);
}

ExchangeResult WriteBlock(int port, int memory, const std::uint16_t* words) {
    const int order = memory == kMemoryEeprom ? ORDER_SEND_EEPROM : ORDER_SEND_RAM;
    return SendOnly(port, order, 0, words);
}

const WordInfo& Block0Word(int index) {
    static constexpr WordInfo kNone{"", ""};
    return index >= 0 && index < 15 ? kBlock0Words[index] : kNone;
}

std::string ParamFileLoad::message() const {
    if (line == 0) {
        return path + ": " + reason;
    }
    return path + ":" + std::to_string(line) + ": " + reason;
}

ParamFileLoad LoadParamFile(const std::string& path) {
    ParamFileLoad r;
    r.path = path;
    std::string text;
    errno = 0;
    if (!ReadWholeFile(path, text)) {
        r.reason = std::string("cannot be read (") +
                   (errno ? std::strerror(errno) : "not a regular file or too large") + ")";
        return r;
    }
    int line = 1, found = 0;
    std::size_t i = 0;
    while (found < kParamFileWords) {
        while (i < text.size() && IsSpace(text[i])) {
            line += text[i] == '\n';
            ++i;
        }
        if (i >= text.size()) {
            r.line = line;
            r.reason = std::to_string(found) + " numbers, a parameter file holds 16";
            return r;
        }
        std::size_t end = i;
        while (end < text.size() && !IsSpace(text[end])) {
            ++end;
        }
        std::string_view tok(text.data() + i, end - i);
        std::string_view digits = tok;
        // A plus sign does not change a number's meaning.
        if (!digits.empty() && digits[0] == '+') {
            digits.remove_prefix(1);
        }
        std::uint64_t v = 0;
        if (!ParseUnsigned(digits, 0xFFFFFFFFull, v)) {
            r.line = line;
            std::string shown(tok.substr(0, 20));
            r.reason =
                "\"" + shown + (tok.size() > 20 ? "...\"" : "\"") + " is not a parameter word";
            return r;
        }
        r.words[static_cast<std::size_t>(found++)] = static_cast<std::uint16_t>(v & 0xFFFF);
        i = end;
    }
    r.ok = true;
    return r;
}

bool SaveParamFile(const std::string& path, const std::uint16_t* words16, std::string& error) {
    std::uint32_t values[kParamFileWords];
    for (int i = 0; i < kParamFileWords; ++i) {
        values[i] = words16[i];
    }
    return ArrayToFileU32(path, values, kParamFileWords, 5, &error) == 0;
}
