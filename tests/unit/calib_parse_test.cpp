#include "calib.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Header(const std::string& h1 = "7", const std::string& h3 = "1.5",
                   const std::string& label = "H1") {
    return "[HEADER]\n" + label + "\t" + h1 + "\nH2\t8\nH3\t" + h3 + "\nH4\t9\nH5\t10\n";
}

// A table section with `values` listed in file order.
std::string Table(const std::vector<std::string>& values) {
    std::string t = "[XFLASH]\n";
    for (const auto& v : values) {
        t += v + "\n";
    }
    return t;
}

std::vector<std::string> Counting(int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i) {
        v.push_back(std::to_string(i));
    }
    return v;
}

} // namespace

TEST(CalibH3, TruncatesTimes1024KeepingLow16Bits) {
    EXPECT_EQ(H3FromReal(1.5), 1536);
    EXPECT_EQ(H3FromReal(0.3), 307);
    EXPECT_EQ(H3FromReal(63.999), 65534);
    EXPECT_EQ(H3FromReal(64.0), 0);
    EXPECT_EQ(H3FromReal(65.0), 1024);
    EXPECT_EQ(H3FromReal(-0.5), 65024);
    EXPECT_EQ(H3FromReal(-0.0009), 0); // toward zero, not down
    EXPECT_EQ(H3FromReal(1e300), 0);   // far beyond any integer type: still no overflow
    EXPECT_DOUBLE_EQ(H3ToReal(65024), 63.5);
    EXPECT_DOUBLE_EQ(H3ToReal(307), 0.2998046875);
}

TEST(CalibParse, TableIsListedLastEntryFirstAndExtraValuesAreIgnored) {
    std::vector<std::string> values = Counting(1024);
    values.push_back("99999999"); // a 1025th value, too wide for a word: ignored all the same
    values.push_back("garbage");
    CalibFileContent c;
    ASSERT_TRUE(ParseCalibrationText(Header() + Table(values), c));
    EXPECT_EQ(c.table[0], 1023);
    EXPECT_EQ(c.table[1], 1022);
    EXPECT_EQ(c.table[1023], 0);
    EXPECT_TRUE(c.hasHeader);
    EXPECT_EQ(c.h1, 7);
    EXPECT_EQ(c.h2, 8);
    EXPECT_DOUBLE_EQ(c.h3, 1.5);
    EXPECT_EQ(c.h4, 9);
    EXPECT_EQ(c.h5, 10);
}

TEST(CalibParse, ShortOrBrokenTablesFail) {
    CalibFileContent c;
    EXPECT_FALSE(ParseCalibrationText(Header() + Table(Counting(1023)), c));
    std::vector<std::string> broken = Counting(1024);
    broken[500] = "12abc";
    EXPECT_FALSE(ParseCalibrationText(Header() + Table(broken), c));
    EXPECT_FALSE(ParseCalibrationText(Header(), c)); // no table section at all
    EXPECT_FALSE(ParseCalibrationText("", c));
}

TEST(CalibParse, ValuesThatDoNotFitSixteenBitsFail) {
    CalibFileContent c;
    std::vector<std::string> values = Counting(1024);
    values[3] = "65535";
    EXPECT_TRUE(ParseCalibrationText(Header() + Table(values), c));
    EXPECT_EQ(c.table[1020], 65535);
    for (const char* wide : {"65536", "-1", "100000000000000000000000000"}) {
        values[3] = wide;
        EXPECT_FALSE(ParseCalibrationText(Header() + Table(values), c)) << "table value " << wide;
        EXPECT_FALSE(ParseCalibrationText(Header(wide) + Table(Counting(1024)), c))
            << "header value " << wide;
    }
}

TEST(CalibParse, SectionWordsMustComeInOrder) {
    CalibFileContent c;
    // Straight into the table: the second word is then the first value, so this fails.
    EXPECT_FALSE(ParseCalibrationText(Table(Counting(1024)), c));
    // Any other first word skips the header; the table section must be the second word.
    ASSERT_TRUE(ParseCalibrationText("comment\n" + Table(Counting(1024)), c));
    EXPECT_FALSE(c.hasHeader);
    // Recognised by their first eight characters.
    std::string text = Header() + Table(Counting(1024));
    text.replace(text.find("[HEADER]"), 8, "[HEADER]-v2");
    text.replace(text.find("[XFLASH]"), 8, "[XFLASH]-linear");
    EXPECT_TRUE(ParseCalibrationText(text, c));
}

TEST(CalibParse, LongLabelsAndSectionWordsAreReadSafely) {
    CalibFileContent c;
    std::string longWord(5000, 'L');
    ASSERT_TRUE(ParseCalibrationText(Header("7", "1.5", longWord) + Table(Counting(1024)), c));
    EXPECT_EQ(c.h1, 7);
    std::string text = "[HEADER]" + longWord + "\n" + Header().substr(9) + "[XFLASH]" + longWord +
                       "\n" + Table(Counting(1024)).substr(9);
    ASSERT_TRUE(ParseCalibrationText(text, c));
    EXPECT_EQ(c.h5, 10);
    EXPECT_EQ(c.table[0], 1023);
}

TEST(CalibParse, UnreadableHeaderValuesAreSkippedNotFatal) {
    CalibFileContent c;
    ASSERT_TRUE(ParseCalibrationText(Header("seven", "1,5") + Table(Counting(1024)), c));
    EXPECT_FALSE(c.h1Read);
    EXPECT_TRUE(c.h2Read);
    EXPECT_DOUBLE_EQ(c.h3, 0.0);
}
