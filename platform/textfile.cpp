#include "textfile.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef _WIN32
#include <io.h>
#endif

bool ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) > kMaxTextFileBytes) {
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        return false;
    }
    char buf[8192];
    bool ok = true;
    for (;;) {
        std::size_t n = std::fread(buf, 1, sizeof buf, f);
        out.append(buf, n);
        if (out.size() > kMaxTextFileBytes) {
            ok = false;
            break;
        }
        if (n < sizeof buf) {
            ok = !std::ferror(f);
            break;
        }
    }
    std::fclose(f);
    return ok;
}

bool WriteFileAtomic(const std::string& path, std::string_view data, std::string* error) {
    auto fail = [&](const char* what) {
        if (error) {
            *error = std::string(what) + ": " + std::strerror(errno);
        }
        return false;
    };
    std::string tmp = path + ".tmp~";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return fail("cannot create");
    }
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int saved = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = saved;
            return fail("cannot write");
        }
        done += static_cast<std::size_t>(n);
    }
#ifndef _WIN32
    if (::fsync(fd) != 0) {
        int saved = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        errno = saved;
        return fail("cannot flush");
    }
#endif
    if (::close(fd) != 0) {
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return fail("cannot close");
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return fail("cannot replace");
    }
    return true;
}

static bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view TokenReader::next() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) {
        ++pos_;
    }
    std::size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) {
        ++pos_;
    }
    return text_.substr(start, pos_ - start);
}

bool TokenReader::atEnd() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) {
        ++pos_;
    }
    return pos_ >= text_.size();
}

bool ParseUnsigned(std::string_view token, std::uint64_t max, std::uint64_t& value) {
    if (token.empty() || token.size() > 20) {
        return false;
    }
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(token.data(), token.data() + token.size(), v, 10);
    if (ec != std::errc() || p != token.data() + token.size() || v > max) {
        return false;
    }
    if (token[0] < '0' || token[0] > '9') {
        return false;
    }
    value = v;
    return true;
}

bool ParseSigned(std::string_view token, std::int64_t min, std::int64_t max, std::int64_t& value) {
    if (token.empty() || token.size() > 21) {
        return false;
    }
    std::string_view digits = token;
    if (digits[0] == '+') {
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return false;
    }
    std::int64_t v = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 10);
    if (ec != std::errc() || p != digits.data() + digits.size() || v < min || v > max) {
        return false;
    }
    value = v;
    return true;
}

bool ParseReal(std::string_view token, double& value) {
    if (token.empty() || token.size() > 64) {
        return false;
    }
    std::string_view t = token;
    if (t[0] == '+') {
        t.remove_prefix(1);
    }
    if (t.empty() ||
        !(std::isdigit(static_cast<unsigned char>(t[0])) || t[0] == '-' || t[0] == '.')) {
        return false;
    }
    double v = 0;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (ec != std::errc() || p != t.data() + t.size() || !std::isfinite(v)) {
        return false;
    }
    value = v;
    return true;
}

int FileToArrayU32(const std::string& path, std::uint32_t* values, std::size_t count) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
        return -1;
    }
    TokenReader tokens(text);
    std::vector<std::uint32_t> read;
    read.reserve(count);
    while (read.size() < count) {
        std::string_view tok = tokens.next();
        if (tok.empty()) {
            return -2;
        }
        std::uint64_t v = 0;
        if (!ParseUnsigned(tok, 0xFFFFFFFFull, v)) {
            return -3;
        }
        read.push_back(static_cast<std::uint32_t>(v));
    }
    std::copy(read.begin(), read.end(), values);
    return 0;
}

int ArrayToFileU32(const std::string& path, const std::uint32_t* values, std::size_t count,
                   int width, std::string* error) {
    std::string text;
    char line[32];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "%*u\n", width, static_cast<unsigned>(values[i]));
        text += line;
    }
    return WriteFileAtomic(path, text, error) ? 0 : -1;
}

void CopyText(char* dest, std::size_t size, std::string_view src) {
    if (size == 0) {
        return;
    }
    std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
    std::memcpy(dest, src.data(), n);
    dest[n] = '\0';
}
