// Small, strict, bounded readers and writers for the program's text files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Files larger than this are refused: every file the program reads is a few kilobytes.
inline constexpr std::size_t kMaxTextFileBytes = 4 * 1024 * 1024;

// Reads a whole file (regular files only, at most kMaxTextFileBytes). Returns false when it
// cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out);

// Writes data to path atomically: a temporary file beside it, flushed and renamed over the old
// one, so an interrupted or failed write keeps the last good file. Returns false on failure and
// leaves a reason in `error` when given.
bool WriteFileAtomic(const std::string& path, std::string_view data, std::string* error = nullptr);

// Writes data to a new file of a private, unguessable name in `dir` ending in `suffix`, created
// exclusively (nothing planted there is followed or overwritten), readable by the user alone.
// `path` is its absolute name; the caller removes it when done. False with a reason on failure.
bool WritePrivateTempFile(const std::string& dir, const std::string& suffix, std::string_view data,
                          std::string& path, std::string* error = nullptr);
// Opens an output file for a stream (a trace, a log, a recording): created or truncated, or
// appended to. A terminal, /dev/null or a FIFO that someone reads is taken as it is; a FIFO
// nobody reads, a directory or a socket is refused at once, never waited on. Null with a
// reason on failure.
std::FILE* OpenOutputFile(const std::string& path, bool append, std::string& error);
// The absolute form of a path (for a child process, which must not take a name for an option).
std::string AbsolutePath(const std::string& path);
// The folder a path's file is in, absolute.
std::string FolderOf(const std::string& path);

// Whitespace-separated tokens of a text, in order.
class TokenReader {
  public:
    explicit TokenReader(std::string_view text) : text_(text) {}
    // Next token, or empty when the text is exhausted.
    std::string_view next();
    bool atEnd();

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// Parses a token made only of decimal digits into an unsigned value not above `max`; any number
// of leading zeros is allowed.
bool ParseUnsigned(std::string_view token, std::uint64_t max, std::uint64_t& value);
// Parses a token made only of an optional sign and decimal digits, within [min, max].
bool ParseSigned(std::string_view token, std::int64_t min, std::int64_t max, std::int64_t& value);
// Parses a real number: optional sign, digits, optional fraction and exponent; finite only.
// Leading zeros are allowed in any number.
bool ParseReal(std::string_view token, double& value);

// Reads the first `count` whitespace-separated unsigned 32-bit numbers of a text file.
// A number may carry a plus sign and leading zeros. Returns 0, or a negative error (file
// unreadable, too few numbers, a token that is not an unsigned number, a number above
// 4294967295).
int FileToArrayU32(const std::string& path, std::uint32_t* values, std::size_t count);

// Writes values one per line, right-aligned in a field of `width` characters, atomically.
int ArrayToFileU32(const std::string& path, const std::uint32_t* values, std::size_t count,
                   int width, std::string* error = nullptr);

// Copies a text into a fixed buffer, truncating; always terminates.
void CopyText(char* dest, std::size_t size, std::string_view src);
template <std::size_t N> void CopyText(char (&dest)[N], std::string_view src) {
    CopyText(dest, N, src);
}
