#include "cli.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace zelsim {

namespace {

bool toLong(const std::string& s, long lo, long hi, long& v) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    v = std::strtol(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && v >= lo && v <= hi;
}

// A decimal number, or hexadecimal with 0x.
bool toNumber(const std::string& s, long lo, long hi, long& v) {
    if (s.empty() || s[0] == '-' || s[0] == '+') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    v = std::strtol(s.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && v >= lo && v <= hi;
}

bool toDouble(const std::string& s, double lo, double hi, double& v) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(v) && v >= lo && v <= hi;
}

bool toOrderList(const std::string& s, std::set<int>& out) {
    std::size_t pos = 0;
    while (pos <= s.size()) {
        const std::size_t comma = s.find(',', pos);
        const std::string item = s.substr(pos, comma == std::string::npos ? comma : comma - pos);
        long v = 0;
        if (!toLong(item, 0, 0xFFFF, v)) {
            return false;
        }
        out.insert(static_cast<int>(v));
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    return !out.empty();
}

// HOST:PORT, HOST possibly an IPv6 address in brackets; PORT 0..65535.
bool toHostPort(const std::string& s, std::string& host, int& port) {
    std::size_t colon = std::string::npos;
    if (!s.empty() && s[0] == '[') {
        const std::size_t close = s.find(']');
        if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') {
            return false;
        }
        host = s.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = s.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        host = s.substr(0, colon);
    }
    long l = 0;
    if (host.empty() || !toLong(s.substr(colon + 1), 0, 65535, l)) {
        return false;
    }
    port = static_cast<int>(l);
    return true;
}

} // namespace

bool parseCommandLine(const std::vector<std::string>& args, CommandLine& cl, std::string& err) {
    Options& o = cl.options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        auto flag = [&]() {
            if (inlineValue) {
                err = name + " takes no value";
                return false;
            }
            return true;
        };
        auto take = [&]() {
            if (inlineValue) {
                return true;
            }
            if (i + 1 >= args.size()) {
                err = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto bad = [&](const char* what) {
            err = name + ": '" + value + "' is not " + what;
            return false;
        };
        long l = 0;
        double d = 0;

        if (name == "--help" || name == "-h") {
            if (!flag()) {
                return false;
            }
            cl.help = true;
        } else if (name == "--version") {
            if (!flag()) {
                return false;
            }
            cl.version = true;
        } else if (name == "--ack-sends") {
            if (!flag()) {
                return false;
            }
            o.ackSends = true;
        } else if (name == "--rfc2217") {
            if (!flag()) {
                return false;
            }
            cl.rfc2217 = true;
        } else if (name == "--tcp") {
            if (!take()) {
                return false;
            }
            if (!toHostPort(value, cl.tcpHost, cl.tcpPort)) {
                return bad("HOST:PORT with PORT 0..65535");
            }
        } else if (name == "--split") {
            if (!flag()) {
                return false;
            }
            o.split = true;
        } else if (name == "--wrong-echo") {
            if (!flag()) {
                return false;
            }
            o.wrongEcho = true;
        } else if (name == "--echo") {
            if (!take()) {
                return false;
            }
            using Echo = Options::Echo;
            if (value == "order") {
                o.echo = Echo::Order;
            } else if (value == "zero") {
                o.echo = Echo::Zero;
            } else if (value == "order+1") {
                o.echo = Echo::OrderPlusOne;
            } else if (value == "second") {
                o.echo = Echo::Second;
            } else {
                return bad("order, zero, order+1 or second");
            }
        } else if (name == "--sync") {
            if (!take()) {
                return false;
            }
            if (!toNumber(value, 0, 0xFFFF, l)) {
                return bad("a word 0..65535 (or 0x0000..0xFFFF)");
            }
            o.sync = static_cast<std::uint16_t>(l);
        } else if (name == "--trailer") {
            if (!take()) {
                return false;
            }
            o.trailer.clear();
            if (value.size() % 2 != 0 || value.size() > 2 * 64) {
                return bad("hex bytes (at most 64), e.g. 0D0A");
            }
            for (std::size_t k = 0; k < value.size(); k += 2) {
                long byte = 0;
                const std::string digits = value.substr(k, 2);
                if (!std::isxdigit(static_cast<unsigned char>(digits[0])) ||
                    !std::isxdigit(static_cast<unsigned char>(digits[1])) ||
                    !toNumber("0x" + digits, 0, 255, byte)) {
                    return bad("hex bytes (at most 64), e.g. 0D0A");
                }
                o.trailer.push_back(static_cast<std::uint8_t>(byte));
            }
        } else if (name == "--lookalike-noise") {
            if (!take()) {
                return false;
            }
            if (!toDouble(value, 0, 1, d)) {
                return bad("a probability 0..1");
            }
            o.lookalikeNoise = d;
        } else if (name == "--eeprom-word") {
            if (!take()) {
                return false;
            }
            const auto eq = value.find('=');
            long word = 0, v = 0;
            if (eq == std::string::npos || !toLong(value.substr(0, eq), 0, 14, word) ||
                !toNumber(value.substr(eq + 1), 0, 0xFFFF, v)) {
                return bad("N=VALUE with N 0..14 and VALUE 0..65535");
            }
            o.eepromWords.emplace_back(static_cast<int>(word), static_cast<std::uint16_t>(v));
        } else if (name == "--hw") {
            if (!take()) {
                return false;
            }
            if (!toLong(value, 0, 0xFFFF, l)) {
                return bad("a hardware type 0..65535");
            }
            o.hw = static_cast<int>(l);
        } else if (name == "--firmware") {
            if (!take()) {
                return false;
            }
            o.firmware = value;
        } else if (name == "--drop" || name == "--noise") {
            if (!take()) {
                return false;
            }
            if (!toDouble(value, 0, 1, d)) {
                return bad("a probability 0..1");
            }
            (name == "--drop" ? o.drop : o.noise) = d;
        } else if (name == "--extra") {
            if (!take()) {
                return false;
            }
            if (!toLong(value, 0, 4096, l)) {
                return bad("a byte count 0..4096");
            }
            o.extra = static_cast<int>(l);
        } else if (name == "--silent") {
            if (!take()) {
                return false;
            }
            o.silent.clear();
            if (!toOrderList(value, o.silent)) {
                return bad("a comma-separated list of order codes");
            }
        } else if (name == "--unplug-after") {
            if (!take()) {
                return false;
            }
            if (!toLong(value, 0, 1000000000L, l)) {
                return bad("a frame count");
            }
            o.unplugAfter = l;
        } else if (name == "--seed") {
            if (!take()) {
                return false;
            }
            if (!toLong(value, 0, 0xFFFFFFFFL, l)) {
                return bad("a seed 0..4294967295");
            }
            o.seed = static_cast<std::uint32_t>(l);
        } else if (name == "--baud") {
            if (!take()) {
                return false;
            }
            if (!toLong(value, 0, 4000000, l)) {
                return bad("a baud rate (0 for unpaced)");
            }
            o.baud = static_cast<int>(l);
        } else if (name == "--fifo") {
            if (!take()) {
                return false;
            }
            if (!toLong(value, 1, 64, l)) {
                return bad("a group size from 1 to 64");
            }
            o.fifo = static_cast<int>(l);
        } else if (name == "--latency") {
            if (!take()) {
                return false;
            }
            if (!toDouble(value, 0, 10000, d)) {
                return bad("a latency in ms 0..10000");
            }
            o.latencyMs = d;
        } else if (name == "--state" || name == "--flash-dump" || name == "--log" ||
                   name == "--link") {
            if (!take()) {
                return false;
            }
            if (value.empty()) {
                return bad("a path");
            }
            (name == "--state"        ? cl.stateFile
             : name == "--flash-dump" ? cl.flashDumpFile
             : name == "--log"        ? cl.logFile
                                      : cl.linkPath) = value;
        } else {
            err = "unknown option '" + args[i] + "' (see --help)";
            return false;
        }
    }
    if (cl.rfc2217 && cl.tcpPort < 0) {
        err = "--rfc2217 needs --tcp HOST:PORT";
        return false;
    }
    if (cl.tcpPort >= 0 && !cl.linkPath.empty()) {
        err = "--link names a terminal; it cannot go with --tcp";
        return false;
    }
    return true;
}

const char* usageText() {
    return R"(Usage: zel-sensor-sim [OPTIONS]
Plays a ZEL-A-2X sensor on a pseudo-terminal (or, with --tcp, on a network port). Prints
the terminal's path (or the address, tcp://HOST:PORT or rfc2217://HOST:PORT) as the first
line of standard output, then serves until SIGINT or SIGTERM.

Sensor:
  --hw N             hardware type answered to order 10 (the real ones: 0, 100, 400)
  --firmware TEXT    firmware text answered to order 7 (default V2.0)
  --state FILE       EEPROM and programmed X-FLASH: loaded if FILE exists, saved at exit
  --flash-dump FILE  X-FLASH dump written at exit and on SIGUSR1
Line:
  --baud N           pace both directions at N baud, 10 bits a byte (default 19200; 0 = unpaced)
  --fifo N           deliver reply bytes in groups of N, as a UART's receive FIFO does (default 1)
  --latency MS       pause before each reply (default 2)
  --link PATH        symlink PATH to the terminal (an existing symlink is replaced)
  --tcp HOST:PORT    serve one client at a time on a TCP port instead of a terminal (PORT 0:
                     a free one; the address printed names the port taken)
  --rfc2217          with --tcp: speak RFC 2217 (Telnet COM-PORT-OPTION) as a terminal server
                     does; the line settings a client asks for are confirmed, pacing stays --baud
  --log FILE         frame log, one line per event: SECONDS TAG HEX-BYTES
Faults (random ones repeat for the same --seed):
  --ack-sends        answer orders 1 and 3 (normally unanswered) with a standard reply
  --drop P           a frame is lost with probability P: neither acted on nor answered
  --split            replies come in two pieces: 20 bytes, a 30 ms pause, the rest
  --noise P          with probability P, 1..8 random bytes precede a reply
  --extra N          N bytes 0xEE follow every reply
  --wrong-echo       standard replies carry order+1 in bytes 2-3 (line-check byte 0-1 kept)
  --echo MODE        bytes 2-3 of standard replies but the hardware reply's: order (default),
                     zero, order+1 or second (the request's second word)
  --sync WORD        the first word of every reply but the line check's (default 85, 0x55)
  --trailer HEX      these bytes follow every reply in the same write (e.g. 0D0A)
  --lookalike-noise P  with probability P, 1 to 8 bytes that look like frame starts
                     (00 55, 00 08, 00 02, 00 AA, ...) precede a reply
  --eeprom-word N=V  EEPROM block 0 word N (0-14) is V at power-up (RAM is loaded from it)
  --silent LIST      ignore these orders, e.g. 5,10
  --unplug-after N   answer N frames, then the line goes away (with --tcp: the connection
                     is closed) and the simulator exits
  --seed N           seed of the fault generator (default 1)
Other:
  --help, --version

Orders: 1/3 store block 0 in RAM/EEPROM; 2/4 read block (second word 0: block 0, else 1)
from RAM/EEPROM; 5 line check (first word 0x00AA); 6 teach (second word 0: A, else B);
7 firmware (72 raw bytes); 8 live data; 10 hardware type in data word 2; 11/12 refresh;
13 reset (RAM := EEPROM); 20 info block (second word 0x00AA); 23 calibration header to
page 1; 180 erase page; 182 write words; 64 block read (128 raw bytes: 64 words of the
data memory from the second word on, wrapping at 256; word a = a<<8 | (255-a)).
Any other order gets a standard reply echoing order, second word and data words.

Resynchronisation: a frame starts at 00 55; bytes before it are discarded, and a partial
frame followed by more than 50 ms of silence is discarded, so garbage never wedges the line.
Exit status: 0 after a signal or an unplug, 1 if saving failed, 2 for bad options.
)";
}

std::string servedAddress(const CommandLine& cl, int port) {
    const bool v6 = cl.tcpHost.find(':') != std::string::npos;
    return std::string(cl.rfc2217 ? "rfc2217://" : "tcp://") + (v6 ? "[" : "") + cl.tcpHost +
           (v6 ? "]" : "") + ":" + std::to_string(port);
}

} // namespace zelsim
