// The bounded readers and the atomic writer.
#include "store/textfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {
std::string TempPath(const char* name) {
    auto dir = std::filesystem::temp_directory_path() / ("zeltf-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

void WriteRaw(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
} // namespace

TEST(TextFile, NumbersAreStrict) {
    std::uint64_t u = 0;
    EXPECT_TRUE(ParseUnsigned("65535", 65535, u));
    EXPECT_FALSE(ParseUnsigned("65536", 65535, u));
    EXPECT_FALSE(ParseUnsigned("-1", 65535, u));
    EXPECT_FALSE(ParseUnsigned("+1", 65535, u));
    EXPECT_FALSE(ParseUnsigned("12a", 65535, u));
    EXPECT_FALSE(ParseUnsigned("123456789012345678901234567890", ~0ull, u));
    std::int64_t s = 0;
    EXPECT_TRUE(ParseSigned("-32768", -32768, 32767, s));
    EXPECT_EQ(s, -32768);
    EXPECT_FALSE(ParseSigned("-", -10, 10, s));
    double r = 0;
    EXPECT_TRUE(ParseReal("-0.5", r));
    EXPECT_EQ(r, -0.5);
    EXPECT_TRUE(ParseReal("1.5e2", r));
    EXPECT_EQ(r, 150.0);
    EXPECT_FALSE(ParseReal("nan", r));
    EXPECT_FALSE(ParseReal("1e999", r));
    EXPECT_FALSE(ParseReal("1.5x", r));
}

TEST(TextFile, LeadingZerosAndAPlusSignKeepANumbersValue) {
    const std::string zeros(40, '0');
    std::uint64_t u = 0;
    EXPECT_TRUE(ParseUnsigned(zeros + "65535", 65535, u));
    EXPECT_EQ(u, 65535u);
    EXPECT_TRUE(ParseUnsigned(zeros, 0, u));
    EXPECT_EQ(u, 0u);
    EXPECT_FALSE(ParseUnsigned(zeros + "65536", 65535, u));
    double r = 0;
    EXPECT_TRUE(ParseReal("-" + zeros + "0.25", r));
    EXPECT_EQ(r, -0.25);
    EXPECT_TRUE(ParseReal("+" + zeros + "1.5e1", r));
    EXPECT_EQ(r, 15.0);
    EXPECT_FALSE(ParseReal("+-1", r));

    std::string path = TempPath("padded.txt");
    WriteRaw(path, "+1 " + zeros + "2 +0004294967295");
    std::uint32_t v[3] = {};
    ASSERT_EQ(FileToArrayU32(path, v, 3), 0);
    EXPECT_EQ(v[0], 1u);
    EXPECT_EQ(v[1], 2u);
    EXPECT_EQ(v[2], 4294967295u);
    for (const char* text : {"+ 2 3", "++1 2 3", "+-1 2 3", "1 2 +4294967296"}) {
        std::uint32_t w[3] = {7, 7, 7};
        WriteRaw(path, text);
        EXPECT_NE(FileToArrayU32(path, w, 3), 0) << text;
        EXPECT_EQ(w[0], 7u) << text;
    }
}

TEST(TextFile, ReadsTheFirstNumbersOfAnyLayout) {
    std::string path = TempPath("nums.txt");
    std::uint32_t v[3] = {7, 7, 7};
    WriteRaw(path, " 1\t2\r\n3 junk after");
    EXPECT_EQ(FileToArrayU32(path, v, 3), 0);
    EXPECT_EQ(v[2], 3u);

    // Every failure leaves the output untouched.
    const char* bad[] = {"1 2", "1 x 3", "1 -2 3", "1 2 99999999999", "", "\x01\xff\x02"};
    for (const char* text : bad) {
        std::uint32_t w[3] = {7, 7, 7};
        WriteRaw(path, text);
        EXPECT_NE(FileToArrayU32(path, w, 3), 0) << text;
        EXPECT_EQ(w[0], 7u) << text;
    }
    std::uint32_t w[3] = {7, 7, 7};
    EXPECT_NE(FileToArrayU32(std::filesystem::path(path).parent_path().string(), w, 3), 0);
    EXPECT_NE(FileToArrayU32(path + ".missing", w, 3), 0);
}

TEST(TextFile, AtomicWriteNeverLeavesAHalfFile) {
    std::string path = TempPath("atomic.cfg");
    std::string oldText(256 * 1024, 'A');
    ASSERT_TRUE(WriteFileAtomic(path, oldText));
    std::string newText(8 * 1024 * 1024, 'B');
    // Kill a writer at random points; the file must always be the old or the new one, whole.
    for (int round = 0; round < 5; ++round) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (;;) {
                WriteFileAtomic(path, newText);
                WriteFileAtomic(path, oldText);
            }
        }
        ::usleep(20000 + round * 7000);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        std::ifstream in(path, std::ios::binary);
        std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(got == oldText || got == newText) << "round " << round << ": " << got.size();
    }
    // A write into a missing directory fails and says why.
    std::string error;
    EXPECT_FALSE(WriteFileAtomic(path + ".d/none/x.cfg", "1", &error));
    EXPECT_FALSE(error.empty());
}

TEST(TextFile, SavesFollowTheTargetLinkButNoPlantedOne) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(TempPath("links")).parent_path() / "links";
    fs::remove_all(dir);
    fs::create_directories(dir);
    auto read = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    // A link planted where a fixed temporary name would be is never written through.
    fs::path target = dir / "para.cfg";
    fs::path victim = dir / "victim";
    WriteRaw(victim.string(), "keep");
    fs::create_symlink(victim, dir / "para.cfg.tmp~");
    ASSERT_TRUE(WriteFileAtomic(target.string(), "1\n"));
    ASSERT_TRUE(WriteFileAtomic(target.string(), "2\n")); // over an existing file, again
    EXPECT_EQ(read(victim), "keep");
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_EQ(read(target), "2\n");

    // Saving to a link updates the file it points to, and the link stays a link.
    fs::path real = dir / "real.cfg";
    WriteRaw(real.string(), "old");
    fs::create_symlink("real.cfg", dir / "alias.cfg");
    ASSERT_TRUE(WriteFileAtomic((dir / "alias.cfg").string(), "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "alias.cfg"));
    EXPECT_EQ(read(real), "new");

    // A save that fails leaves the old file and nothing beside it.
    fs::create_directory(dir / "sub");
    std::string error;
    EXPECT_FALSE(WriteFileAtomic((dir / "sub").string(), "x", &error));
    EXPECT_FALSE(error.empty());
    fs::create_symlink("loop.cfg", dir / "loop.cfg");
    EXPECT_FALSE(WriteFileAtomic((dir / "loop.cfg").string(), "x"));
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) {
        ++entries;
    }
    EXPECT_EQ(entries, 7); // para.cfg, its planted link, victim, real, alias, sub, loop
    fs::remove_all(dir);
}
