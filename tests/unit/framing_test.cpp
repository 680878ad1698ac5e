// Where a reply frame starts in the bytes from the line, decided from the bytes alone.
#include "link/framing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Words(std::initializer_list<unsigned> words) {
    Bytes b(kFrameLen, 0);
    std::size_t i = 0;
    for (unsigned w : words) {
        b[i] = static_cast<std::uint8_t>(w >> 8);
        b[i + 1] = static_cast<std::uint8_t>(w);
        i += 2;
    }
    return b;
}

Bytes First36(const Bytes& b) {
    return Bytes(b.begin(), b.begin() + kFrameLen);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Feeds `bytes` and runs the framer as the receiver does: junk dropped, a frame taken. The line
// is quiet afterwards when `settled`. Returns the frame (empty when none) and the bytes before it.
struct Framed {
    Bytes frame;
    int droppedBefore = 0;
    FrameStep::Kind last = FrameStep::NeedBytes;
};
Framed Feed(Framer& f, const Bytes& bytes, const Awaited& a, bool settled) {
    f.append(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
    Framed o;
    for (;;) {
        FrameStep s = f.decide(a, false);
        if (s.kind == FrameStep::Settle && settled) {
            s = f.decide(a, true);
        }
        o.last = s.kind;
        if (s.kind == FrameStep::Junk) {
            o.droppedBefore += s.at;
            f.drop(s.at);
            continue;
        }
        if (s.kind == FrameStep::Take) {
            char frame[kFrameLen];
            o.droppedBefore += f.take(s, a, frame);
            o.frame.assign(frame, frame + kFrameLen);
        }
        return o;
    }
}

const Bytes kData = Words({0x0055, 8, 512, 498, 1, 2});
const Bytes kDataNext = Words({0x0055, 8, 600, 601, 0, 0});
const Bytes kHardware = Words({0x0055, 10, 0, 0, 0, 400});
const Bytes kGetReply = Words({0x0055, 2, 0, 500, 700, 512});
const Bytes kCrLf = {0x0D, 0x0A};

// A framer that has learnt 00 55 from a hardware reply, as the start-up does.
Framer Learnt() {
    Framer f;
    Feed(f, kHardware, Awaited{ORDER_HARDWARE, false}, false);
    return f;
}

TEST(Framing, PlacesRepliesByTheirMarkersAndTheLearntSyncWord) {
    struct Case {
        const char* what;
        bool learnt;
        Awaited awaited;
        Bytes bytes;
        bool settled;
        Bytes expect; // empty: no frame
        int before;
    };
    const Case cases[] = {
        // No evidence at all: the first 36 bytes, whatever they hold.
        {"no evidence: first 36",
         false,
         {ORDER_GET_RAM},
         Cat({kGetReply, kCrLf}),
         false,
         kGetReply,
         0},
        {"no evidence: noise is the frame's head",
         false,
         {ORDER_GET_RAM},
         Cat({{0x13, 0x37}, Words({0x1234, 2, 0, 9})}),
         true,
         First36(Cat({{0x13, 0x37}, Words({0x1234, 2, 0, 9})})),
         0},
        {"00 55 inside a reply, nothing learnt",
         false,
         {ORDER_GET_RAM},
         Words({0x1234, 2, 0, 500, 0x0055, 0x00AA}),
         true,
         Words({0x1234, 2, 0, 500, 0x0055, 0x00AA}),
         0},
        // The data reply's 8 places the frame even before the sync word is known.
        {"data marker after noise",
         false,
         {ORDER_DATA},
         Cat({{0x00, 0x08, 0x00}, kData}),
         false,
         kData,
         3},
        {"hardware echo after noise",
         false,
         {ORDER_HARDWARE},
         Cat({{0xEE, 0xEE}, kHardware}),
         false,
         kHardware,
         2},
        {"line check 00 AA first",
         false,
         {ORDER_LINE_CHECK},
         Cat({{0x12}, Words({0x00AA, 5, 0})}),
         false,
         Words({0x00AA, 5, 0}),
         1},
        {"line check 00 AA second",
         false,
         {ORDER_LINE_CHECK},
         Cat({{0x01, 0x02}, Words({0x1234, 0x00AA})}),
         false,
         Words({0x1234, 0x00AA}),
         2},
        // The learnt sync word places replies that carry no marker.
        {"GET after 00 00 00 02",
         true,
         {ORDER_GET_RAM},
         Cat({{0, 0, 0, 2}, kGetReply}),
         false,
         kGetReply,
         4},
        {"GET with a trailer", true, {ORDER_GET_RAM}, Cat({kGetReply, kCrLf}), false, kGetReply, 0},
        {"GET echoing 0",
         true,
         {ORDER_GET_RAM},
         Words({0x0055, 0, 0, 500, 9}),
         false,
         Words({0x0055, 0, 0, 500, 9}),
         0},
        // Noise that looks like a frame start: the later frame inside decides.
        {"sync-looking noise before a GET reply",
         true,
         {ORDER_GET_RAM},
         Cat({{0x00, 0x55, 0x00, 0x02}, kGetReply}),
         false,
         kGetReply,
         4},
        {"00 55 00 08 before a data reply",
         true,
         {ORDER_DATA},
         Cat({{0x00, 0x55, 0x00, 0x08}, kData}),
         false,
         kData,
         4},
        {"a whole reply, then nothing: taken once the line is quiet",
         true,
         {ORDER_DATA},
         Cat({{0x00, 0x55, 0x00, 0x08}, Bytes(kData.begin(), kData.end() - 4)}),
         true,
         Cat({{0x00, 0x55, 0x00, 0x08}, Bytes(kData.begin(), kData.end() - 4)}),
         0},
        // Junk is never a frame once the sync word is known.
        {"junk without the sync word", true, {ORDER_GET_RAM}, Bytes(50, 0x41), true, {}, 47},
        {"junk while the scope streams", true, {ORDER_DATA, true}, Bytes(80, 0x08), true, {}, 77},
        // The scope's data reply lands while a command awaits its own.
        {"data reply during a GET",
         true,
         {ORDER_GET_RAM, true},
         Cat({{0x08}, kData}),
         false,
         kData,
         1},
        // A sensor whose sync is 12 34 or 00 00 is placed as one with 00 55.
        {"sync 12 34 by the data marker",
         false,
         {ORDER_DATA},
         Cat({{0x55}, Words({0x1234, 8, 1, 2})}),
         false,
         Words({0x1234, 8, 1, 2}),
         1},
        {"sync 00 00 by the data marker",
         false,
         {ORDER_DATA},
         Cat({{0x01}, Words({0x0000, 8, 3, 4})}),
         false,
         Words({0x0000, 8, 3, 4}),
         1},
    };
    for (const Case& c : cases) {
        Framer f = c.learnt ? Learnt() : Framer{};
        const Framed o = Feed(f, c.bytes, c.awaited, c.settled);
        EXPECT_EQ(o.frame, c.expect) << c.what;
        EXPECT_EQ(o.droppedBefore, c.before) << c.what;
    }
}

TEST(Framing, BytesInPiecesWaitForTheWholeFrame) {
    Framer f = Learnt();
    const Awaited a{ORDER_DATA, true};
    // Noise, then the data reply cut in two.
    const Bytes all = Cat({{0x00, 0x55, 0x00, 0x08}, kData});
    Framed o = Feed(f, Bytes(all.begin(), all.begin() + 36), a, false);
    EXPECT_TRUE(o.frame.empty());
    EXPECT_EQ(o.last, FrameStep::Settle);
    o = Feed(f, Bytes(all.begin() + 36, all.end()), a, false);
    EXPECT_EQ(o.frame, kData);
    // Two replies back to back: one frame each.
    f.clear();
    o = Feed(f, Cat({kData, kDataNext}), a, false);
    EXPECT_EQ(o.frame, kData);
    o = Feed(f, {}, a, false);
    EXPECT_EQ(o.frame, kDataNext);
}

TEST(Framing, TheSyncWordIsLearntOnlyFromAFrameAMarkerPlaced) {
    Framer f;
    Feed(f, Words({0x1234, 2, 0}), Awaited{ORDER_GET_RAM}, false);
    EXPECT_FALSE(f.sync());
    Feed(f, Words({0x00AA, 5, 0}), Awaited{ORDER_LINE_CHECK}, false);
    EXPECT_FALSE(f.sync()); // 00 AA stands where the sync word would
    Feed(f, Words({0x0102, 0x00AA}), Awaited{ORDER_LINE_CHECK}, false);
    EXPECT_FALSE(f.sync()); // "01 02" may be noise before "00 AA"
    Feed(f, Words({0x0102, ORDER_HARDWARE}), Awaited{ORDER_HARDWARE}, false);
    EXPECT_EQ(f.sync(), std::optional<std::uint16_t>(0x0102));
    // Another sensor on the line: its marker with another sync word is taken once the line is
    // quiet, and its word learnt.
    Framed o = Feed(f, Words({0x0055, 8, 1}), Awaited{ORDER_DATA}, false);
    EXPECT_TRUE(o.frame.empty());
    o = Feed(f, {}, Awaited{ORDER_DATA}, true);
    EXPECT_EQ(o.frame, Words({0x0055, 8, 1}));
    EXPECT_EQ(f.sync(), std::optional<std::uint16_t>(0x0055));
    f.forgetSync();
    EXPECT_FALSE(f.sync());
}

TEST(Framing, AFloodIsBoundedAndNeverAFrame) {
    Framer f = Learnt();
    const Bytes flood(3 * Framer::kCapacity, 0xEE);
    const int over =
        f.append(reinterpret_cast<const char*>(flood.data()), static_cast<int>(flood.size()));
    EXPECT_EQ(over, 2 * Framer::kCapacity);
    EXPECT_EQ(f.size(), Framer::kCapacity);
    const Framed o = Feed(f, {}, Awaited{ORDER_GET_RAM}, true);
    EXPECT_TRUE(o.frame.empty());
    EXPECT_LE(f.size(), 3);
}

} // namespace
