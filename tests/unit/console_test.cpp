// JSON strings as the command-line tool writes them: always valid JSON, whatever the bytes.
#include "host/console.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <string>

namespace {
// What a JSON reader makes of the literal.
QString ReadBack(const std::string& literal) {
    QJsonParseError error{};
    QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromStdString("[" + literal + "]"), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << literal;
    return doc.array().at(0).toString();
}
} // namespace

TEST(JsonString, EveryTextReadsBackAsItWas) {
    EXPECT_EQ(JsonString("V2.0"), "\"V2.0\"");
    for (const std::string& text : {std::string("a \"quoted\" \\ path"),
                                    std::string("tab\tnew\nline"), std::string("\x01\x1f\x7f", 3),
                                    std::string("25 \xC2\xB0"
                                                "C")}) {
        EXPECT_EQ(ReadBack(JsonString(text)), QString::fromUtf8(text.data(), text.size())) << text;
    }
    // Bytes that are no UTF-8 (a Latin-1 file name) still give valid JSON.
    EXPECT_EQ(ReadBack(JsonString("caf\xE9.cfg")), QString::fromUtf8("caf\xEF\xBF\xBD.cfg"));
}
