#include "clean_text.h"

std::string CleanName(std::string_view text, std::size_t max) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && out.size() < max;) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u >= 0x20 && u < 0x7F) {
            out += text[i++];
            continue;
        }
        // A whole UTF-8 sequence of a character at U+00A0 or above stays.
        const std::size_t len = u >= 0xF0 && u < 0xF5 ? 4 : u >= 0xE0 ? 3 : u >= 0xC2 ? 2 : 0;
        bool whole = len > 0 && u < 0xF5 && i + len <= text.size();
        for (std::size_t k = 1; whole && k < len; ++k) {
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        // C1 controls (U+0080..U+009F), CSI among them, are one character to replace.
        const bool c1 =
            whole && len == 2 && u == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (whole && !c1 && out.size() + len <= max) {
            out.append(text.substr(i, len));
        } else {
            out += '?';
        }
        i += whole ? len : 1;
    }
    return out;
}
