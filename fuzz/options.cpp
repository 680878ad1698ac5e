// The command line parser on any arguments (the input split at NUL bytes): it never fails
// badly, and a refusal comes with a one-line reason.
#include "app/app.h"
#include "check.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"zel-vavod"};
    std::string cur;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    if (!cur.empty()) {
        args.push_back(cur);
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    Options opts;
    std::string error;
    bool ok = ParseOptions(static_cast<int>(args.size()), argv.data(), opts, error);
    if (!ok) {
        FUZZ_CHECK(!error.empty());
        for (char c : error) {
            unsigned char u = static_cast<unsigned char>(c);
            FUZZ_CHECK(u >= 0x20 && u != 0x7F); // one line, and nothing that moves the cursor
        }
    } else {
        for (const auto& [port, device] : opts.ports) {
            FUZZ_CHECK(port >= 0 && port <= 255 && !device.empty());
        }
    }
    return 0;
}
