#include "calib/calib.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Header(const std::string& h1 = "7", const std::string& label = "H1") {
    return "[HEADER]\n" + label + "\t" + h1 + "\nH2\t8\nH3\t1.5\nH4\t9\nH5\t10\n";
}

// The values 0, 1, ... n-1 in file order, with one of them replaced if asked.
std::string Table(int n = 1024, int at = -1, const std::string& value = "") {
    std::string t = "[XFLASH]\n";
    for (int i = 0; i < n; ++i) {
        t += (i == at ? value : std::to_string(i)) + "\n";
    }
    return t;
}

} // namespace

TEST(CalibH3, TruncatesTimes1024KeepingLow16Bits) {
    EXPECT_EQ(H3FromReal(1.5), 1536);
    EXPECT_EQ(H3FromReal(0.3), 307);
    EXPECT_EQ(H3FromReal(63.999), 65534);
    EXPECT_EQ(H3FromReal(64.0), 0);
    EXPECT_EQ(H3FromReal(-0.5), 65024);
    EXPECT_EQ(H3FromReal(-0.0009), 0); // toward zero, not down
    EXPECT_EQ(H3FromReal(1e300), 0);   // far beyond any integer type, still no overflow
    EXPECT_DOUBLE_EQ(H3ToReal(65024), 63.5);
}

TEST(CalibParse, TableIsListedLastEntryFirstAndTheRestIgnored) {
    CalibFileContent c;
    ASSERT_TRUE(ParseCalibrationText(Header() + Table() + "99999999 junk\n", c));
    EXPECT_EQ(c.table[0], 1023);
    EXPECT_EQ(c.table[1023], 0);
    EXPECT_EQ(c.h1, 7);
    EXPECT_DOUBLE_EQ(c.h3, 1.5);
    EXPECT_EQ(c.h5, 10);
    // Without a header the table section must be the second word.
    ASSERT_TRUE(ParseCalibrationText("comment\n" + Table(), c));
    EXPECT_FALSE(c.hasHeader);
}

TEST(CalibParse, RejectsShortTablesMisplacedSectionsAndValuesWiderThan16Bits) {
    const std::string cases[] = {
        Header() + Table(1023),
        Header() + Table(1024, 500, "12abc"),
        Header() + Table(1024, 3, "65536"),
        Header() + Table(1024, 3, "-1"),
        Header("100000000000000000000000000") + Table(),
        Header("-3") + Table(),
        Table(), // its second word is the first table value
        Header(),
    };
    for (const auto& text : cases) {
        CalibFileContent c;
        EXPECT_FALSE(ParseCalibrationText(text, c)) << text.substr(0, 80);
    }
    CalibFileContent c;
    EXPECT_TRUE(ParseCalibrationText(Header("65535") + Table(1024, 3, "65535"), c));
}

TEST(CalibParse, LabelsAndSectionWordsOfAnyLength) {
    std::string longWord(5000, 'L');
    std::string text = Header("7", longWord) + Table();
    text.replace(text.find("[HEADER]"), 8, "[HEADER]" + longWord);
    text.replace(text.find("[XFLASH]"), 8, "[XFLASH]" + longWord);
    CalibFileContent c;
    ASSERT_TRUE(ParseCalibrationText(text, c));
    EXPECT_EQ(c.h1, 7);
    EXPECT_EQ(c.table[0], 1023);
}

TEST(CalibParse, LeadingZerosAndAPlusSignKeepAValue) {
    const std::string zeros(70, '0');
    std::string text = "[HEADER]\nH1\t+0007\nH2\t" + zeros + "8\nH3\t" + zeros + "1.5\nH4\t-" +
                       zeros + "\nH5\t+" + zeros + "10\n" + Table(1024, 1023, zeros + "65535");
    CalibFileContent c;
    ASSERT_TRUE(ParseCalibrationText(text, c));
    EXPECT_EQ(c.h1, 7);
    EXPECT_EQ(c.h2, 8);
    EXPECT_DOUBLE_EQ(c.h3, 1.5);
    EXPECT_EQ(c.h4, 0);
    EXPECT_EQ(c.h5, 10);
    EXPECT_EQ(c.table[0], 65535);
    // Zeros in front do not make a wide value fit.
    EXPECT_FALSE(ParseCalibrationText(Header() + Table(1024, 5, zeros + "65536"), c));
}

TEST(CalibParse, EveryRefusalSaysWhereAndWhy) {
    // Header lines 1-6, "[XFLASH]" on line 7, table value i on line 8 + i.
    EXPECT_EQ(CalibFileProblem(Header() + Table(1023)), "line 1031: only 1023 table values");
    EXPECT_EQ(CalibFileProblem(Header() + Table(1024, 500, "12abc")),
              "line 508: \"12abc\" is not a 16-bit table value");
    EXPECT_EQ(CalibFileProblem(Header() + Table(1024, 3, "-1")),
              "line 11: \"-1\" is not a 16-bit table value");
    EXPECT_EQ(CalibFileProblem(Header("100000000000000000000000000") + Table()),
              "line 2: header value \"10000000000000000000...\" does not fit in 16 bits");
    EXPECT_EQ(CalibFileProblem(Header()), "line 7: no [XFLASH] section");
    EXPECT_EQ(CalibFileProblem("[HEADER]\nH1 1\nH2 2\nH3 3\nH4 4\nH5 5\n[TABLE]\n" + Table()),
              "line 7: [XFLASH] expected, not \"[TABLE]\"");
    EXPECT_EQ(CalibFileProblem(""), "line 1: no [XFLASH] section");
    // What the parser takes has no problem.
    EXPECT_EQ(CalibFileProblem(Header("65535") + Table(1024, 3, "65535")), "");
    EXPECT_EQ(CalibFileProblem("comment\n" + Table()), "");
}
