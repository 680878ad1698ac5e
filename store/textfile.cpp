#include "textfile.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#ifdef _WIN32
#include <QSaveFile>
#include <io.h>
#endif

bool ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    // Opened without waiting and checked on the open file: a FIFO or a device put where a file
    // is expected is refused, never waited on.
#ifdef _WIN32
    std::FILE* f = std::fopen(path.c_str(), "rb");
    const int fd = f ? _fileno(f) : -1;
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    std::FILE* f = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && !f) {
        ::close(fd);
    }
#endif
    if (!f) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kMaxTextFileBytes) {
        std::fclose(f);
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

#ifdef _WIN32
// QSaveFile writes a uniquely named temporary beside the target and replaces the target with
// the platform's replace call on commit, so saving over an existing file works there too.
bool WriteFileAtomic(const std::string& path, std::string_view data, std::string* error) {
    QSaveFile f(QString::fromStdString(path));
    f.setDirectWriteFallback(false);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(data.data(), static_cast<qint64>(data.size())) !=
            static_cast<qint64>(data.size()) ||
        !f.commit()) {
        if (error) {
            *error = f.errorString().toStdString();
        }
        f.cancelWriting();
        return false;
    }
    return true;
}
#else
namespace {
// All of `data` to `fd`, through interrupted and partial writes; false with errno set.
bool WriteAll(int fd, std::string_view data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The file a path names, following symbolic links (a link that points nowhere yet names the
// file it would create). Bounded, so a loop of links is refused.
bool ResolveTarget(std::string path, std::string& out) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            out = path;
            return true;
        }
        char buf[4096];
        ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
        if (n <= 0) {
            return false;
        }
        std::string link(buf, static_cast<std::size_t>(n));
        if (link[0] != '/') {
            auto slash = path.rfind('/');
            link = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
        path = link;
    }
    errno = ELOOP;
    return false;
}
// A terminal, /dev/null or a pipe someone reads named as the output: written as it is, there
// is nothing to replace. Opened without waiting, so a FIFO nobody reads is refused at once
// instead of holding the program; every write is checked (/dev/full: no space).
bool WriteToDevice(const std::string& path, std::string_view data, std::string* error) {
    auto fail = [&](const char* what, int fd = -1) {
        int saved = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        if (error) {
            *error = saved == ENXIO ? std::string("a FIFO nobody reads")
                                    : std::string(what) + ": " + std::strerror(saved);
        }
        return false;
    };
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return fail("cannot open");
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        errno = EINVAL;
        return fail("not a regular file", fd);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!WriteAll(fd, data)) {
        return fail("cannot write", fd);
    }
    if (::close(fd) != 0) {
        return fail("cannot close");
    }
    return true;
}
} // namespace

// A uniquely named temporary is created exclusively beside the target (nothing planted there
// can be followed), written, flushed to disk and renamed over the target; then the directory
// is synced so the rename itself survives a power cut. A link as target updates the file it
// points to.
bool WriteFileAtomic(const std::string& path, std::string_view data, std::string* error) {
    std::string tmp;
    auto fail = [&](const char* what, int fd = -1) {
        int saved = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        if (!tmp.empty()) {
            ::unlink(tmp.c_str());
        }
        if (error) {
            *error = std::string(what) + ": " + std::strerror(saved);
        }
        return false;
    };
    std::string target;
    if (path.empty() || !ResolveTarget(path, target)) {
        return fail("cannot resolve");
    }
    struct stat old {};
    bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && (S_ISCHR(old.st_mode) || S_ISFIFO(old.st_mode))) {
        return WriteToDevice(target, data, error);
    }
    if (exists && !S_ISREG(old.st_mode)) {
        errno = S_ISDIR(old.st_mode) ? EISDIR : EINVAL;
        return fail("not a regular file");
    }
    auto slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = dir + "/." + base + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data()); // O_CREAT | O_EXCL: never opens what is already there
    if (fd < 0) {
        return fail("cannot create");
    }
    tmp = name.data();
    // The new file keeps the old one's permissions; a new file gets the usual ones.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, exists ? (old.st_mode & 07777) : (0666 & ~mask));
    if (!WriteAll(fd, data)) {
        return fail("cannot write", fd);
    }
    if (::fsync(fd) != 0) {
        return fail("cannot flush", fd);
    }
    if (::close(fd) != 0) {
        return fail("cannot close");
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        return fail("cannot replace");
    }
    tmp.clear();
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}
#endif

bool WritePrivateTempFile(const std::string& dir, const std::string& suffix, std::string_view data,
                          std::string& path, std::string* error) {
    QTemporaryFile f(QDir(QString::fromStdString(dir)).absoluteFilePath(".zel-XXXXXX") +
                     QString::fromStdString(suffix));
    f.setAutoRemove(false);
    if (!f.open()) {
        if (error) {
            *error = f.errorString().toStdString();
        }
        return false;
    }
    path = f.fileName().toStdString();
    const bool ok = f.write(data.data(), static_cast<qint64>(data.size())) ==
                        static_cast<qint64>(data.size()) &&
                    f.flush();
    if (!ok) {
        if (error) {
            *error = f.errorString().toStdString();
        }
        f.remove();
        path.clear();
        return false;
    }
    f.close();
    return true;
}

std::FILE* OpenOutputFile(const std::string& path, bool append, std::string& error) {
#ifdef _WIN32
    std::FILE* f = std::fopen(path.c_str(), append ? "a" : "w");
    if (!f) {
        error = std::strerror(errno);
    }
    return f;
#else
    const int flags =
        O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        error = errno == ENXIO ? "a FIFO nobody reads" : std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        ::close(fd);
        error = "not a file";
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* f = ::fdopen(fd, append ? "a" : "w");
    if (!f) {
        error = std::strerror(errno);
        ::close(fd);
    }
    return f;
#endif
}

std::string AbsolutePath(const std::string& path) {
    return QFileInfo(QString::fromStdString(path)).absoluteFilePath().toStdString();
}

std::string FolderOf(const std::string& path) {
    return QFileInfo(QString::fromStdString(path)).absolutePath().toStdString();
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
    if (token.empty() || token[0] < '0' || token[0] > '9') {
        return false;
    }
    // Leading zeros never change a number's meaning, however many there are.
    std::size_t first = token.find_first_not_of('0');
    token.remove_prefix(first == std::string_view::npos ? token.size() - 1 : first);
    if (token.size() > 20) {
        return false;
    }
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(token.data(), token.data() + token.size(), v, 10);
    if (ec != std::errc() || p != token.data() + token.size() || v > max) {
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
    std::string_view t = token;
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        t.remove_prefix(1);
    }
    // Leading zeros never change a number's meaning: only what follows them counts to the limit.
    while (t.size() > 1 && t[0] == '0' && std::isdigit(static_cast<unsigned char>(t[1]))) {
        t.remove_prefix(1);
    }
    if (t.empty() || t.size() > 64 ||
        !(std::isdigit(static_cast<unsigned char>(t[0])) || t[0] == '.')) {
        return false;
    }
    double v = 0;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (ec != std::errc() || p != t.data() + t.size() || !std::isfinite(v)) {
        return false;
    }
    value = negative ? -v : v;
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
        // A plus sign does not change a number's meaning.
        if (tok[0] == '+') {
            tok.remove_prefix(1);
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
