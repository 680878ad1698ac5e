// The history file: ids, bounds, damaged files set aside whole, and which entries belong to a
// sensor's visit.
#include "params/history.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class HistoryFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("zelhist-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = (dir / "history.json").string();
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
        fs::remove_all(dir, ec);
    }
    static HistoryRecord entry(std::uint16_t first, const char* direction = "got") {
        HistoryRecord r;
        r.port = 1;
        r.device = "/dev/ttyS0";
        r.direction = direction;
        r.memory = "ram";
        r.words[0] = first;
        r.words[14] = 65535;
        return r;
    }
    std::vector<fs::path> setAside() const {
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().filename().string().rfind("history.json.damaged-", 0) == 0) {
                out.push_back(e.path());
            }
        }
        return out;
    }
    fs::path dir;
    std::string path;
};

TEST_F(HistoryFileTest, IdsIncreaseTheNewestAreKeptAndEveryFieldReadsBack) {
    for (std::uint16_t i = 1; i <= 5; ++i) {
        HistoryFile h = AppendHistory(path, entry(i), 3);
        ASSERT_TRUE(h.error.empty()) << h.error;
    }
    HistoryRecord saved = entry(6, "saved");
    saved.memory = "file";
    saved.file = "/tmp/a \"b\".cfg";
    saved.firmware = "V2.0 \xC2\xB5";
    saved.hardware = 400;
    saved.block = 0;
    ASSERT_TRUE(AppendHistory(path, saved, 3).error.empty());

    HistoryFile h = ReadHistory(path);
    ASSERT_TRUE(h.error.empty() && h.notice.empty()) << h.error << h.notice;
    ASSERT_EQ(h.records.size(), 3u);
    EXPECT_EQ(h.records[0].id, 4);
    EXPECT_EQ(h.records[2].id, 6);
    EXPECT_EQ(h.nextId, 7);
    const HistoryRecord& r = h.records[2];
    EXPECT_EQ(r.words[0], 6);
    EXPECT_EQ(r.words[14], 65535);
    EXPECT_EQ(r.file, saved.file);
    EXPECT_EQ(r.firmware, saved.firmware);
    EXPECT_EQ(r.hardware, 400);
    EXPECT_EQ(h.records[0].hardware, -1);
    EXPECT_GT(r.unixTime, 0);
    EXPECT_FALSE(r.time.empty());
    // Ids are never reused, not even for the ones dropped.
    EXPECT_EQ(AppendHistory(path, entry(7), 3).records.back().id, 7);
}

TEST_F(HistoryFileTest, ADamagedFileIsSetAsideWholeAndANewHistoryStarts) {
    ASSERT_TRUE(AppendHistory(path, entry(1), 10).error.empty());
    const std::string good = Slurp(path);
    const std::string versionOne = "\"version\":1";
    std::string future = good;
    future.replace(future.find(versionOne), versionOne.size(), "\"version\":2");
    std::string outOfRange = good;
    outOfRange.replace(outOfRange.find("65535"), 5, "65536");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"cut short", good.substr(0, good.size() / 2)},
        {"not JSON", "this is not a history\n"},
        {"later version", future},
        {"word out of range", outOfRange},
        {"empty", ""},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        for (const auto& p : setAside()) {
            fs::remove(p);
        }
        std::ofstream(path, std::ios::trunc) << text;
        HistoryFile h = AppendHistory(path, entry(9), 10);
        EXPECT_TRUE(h.error.empty()) << h.error;
        EXPECT_NE(h.notice.find("set aside as history.json.damaged-"), std::string::npos)
            << h.notice;
        EXPECT_EQ(h.notice.find('\n'), std::string::npos);
        auto aside = setAside();
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(Slurp(aside[0]), text);
        // The new history holds the new entry alone, and reads clean.
        HistoryFile again = ReadHistory(path);
        EXPECT_TRUE(again.notice.empty());
        ASSERT_EQ(again.records.size(), 1u);
        EXPECT_EQ(again.records[0].words[0], 9);
        // Ids go on above every id the set-aside file shows (it held id 1), so an id named
        // before never means another set.
        EXPECT_EQ(again.records[0].id, what == "not JSON" || what == "empty" ? 1 : 2);
    }
}

TEST(HistoryModel, AVisitIsThisSensorsEntriesBackToTheFirstLongPause) {
    auto at = [](std::int64_t t, const char* device, int hw, const char* fw,
                 const char* memory = "ram") {
        HistoryRecord r;
        r.unixTime = t;
        r.device = device;
        r.hardware = hw;
        r.firmware = fw;
        r.memory = memory;
        return r;
    };
    const std::vector<HistoryRecord> all = {
        at(1000, "/dev/a", 0, "V1"),         // before the pause
        at(5000, "/dev/a", 0, "V1"),         // the visit starts
        at(5100, "/dev/b", 0, "V1"),         // another port
        at(5200, "/dev/a", -1, ""),          // got before the identity was read
        at(5300, "/dev/a", 100, "V1"),       // another sensor on the same port
        at(5400, "/dev/a", 0, "V1", "file"), // a file's set
        at(5500, "/dev/a", 0, "V1"),
    };
    SensorIdentity s{1, "/dev/a", 0, "V1"};
    auto visit = SensorVisit(all, s, 30 * 60);
    ASSERT_EQ(visit.size(), 3u);
    EXPECT_EQ(visit[0].unixTime, 5000);
    EXPECT_EQ(visit[1].unixTime, 5200);
    EXPECT_EQ(visit[2].unixTime, 5500);
    EXPECT_EQ(SensorEntriesSince(all, s, 1001).size(), 3u);
    EXPECT_EQ(SensorEntriesSince(all, s, 0).size(), 4u);
}

} // namespace

namespace {
// A history whose next id is `next`, with no entries.
std::string EmptyHistory(long long next) {
    return "{\"format\":\"zel-vavod history\",\"version\":1,\"next_id\":" + std::to_string(next) +
           ",\"entries\":[\n]}\n";
}
} // namespace

TEST_F(HistoryFileTest, TheLastIdIsGivenAndNoneBeyondItIsWritten) {
    // One id left: given, and the file reads clean after.
    std::ofstream(path) << EmptyHistory(kMaxHistoryId - 1);
    HistoryFile h = AppendHistory(path, entry(1), 10);
    ASSERT_TRUE(h.error.empty()) << h.error;
    EXPECT_EQ(h.records.back().id, kMaxHistoryId - 1);
    HistoryFile again = ReadHistory(path);
    EXPECT_TRUE(again.notice.empty() && again.error.empty()) << again.notice << again.error;
    // None left: refused before anything is written, and the file is not set aside later.
    const std::string before = Slurp(path);
    HistoryFile full = AppendHistory(path, entry(2), 10);
    EXPECT_NE(full.error.find("ids are used up"), std::string::npos) << full.error;
    EXPECT_EQ(Slurp(path), before);
    EXPECT_TRUE(setAside().empty());
}

TEST_F(HistoryFileTest, AHistoryThatIsNoFileIsRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    HistoryFile h = ReadHistory(path);
    EXPECT_NE(h.error.find("not a regular file"), std::string::npos) << h.error;
    HistoryFile a = AppendHistory(path, entry(1), 10);
    EXPECT_FALSE(a.error.empty());
    EXPECT_TRUE(fs::is_fifo(path)); // nothing replaced it
    EXPECT_FALSE(fs::exists(path + ".lock"));
}
