// The window's two ways into the shown form of a text agree.
#include <QString>
#include <gtest/gtest.h>
#include <string>

#include "shown_text.h"

namespace {

// A text that arrives as a QString shows as the same text arriving as
// UTF-8 bytes, wherever a character needs an escape or is near one.
TEST(ShownText, AQStringShowsAsItsUtf8Bytes) {
    const std::string texts[] = {
        "/usr/bin/plain",
        "a\tb\nc\x7f-\x1b[0m",
        "\xc2\x9bK\xc2\x85\xc2\xa0",                    // C1 controls, then no-break space
        "x\xe2\x80\xa8y\xe2\x80\xa9z",                  // line and paragraph separators
        "\xe2\x80\xae\xe2\x81\xa6\xd8\x9c\xe2\x80\x8d", // reordering, and a joiner
        "\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\xef\xbf\xbf", // 4-byte forms, U+FFFF
        "C:\\dir\\x41\\u202e",                          // backslashes stay
    };
    for (const std::string& text : texts)
        EXPECT_EQ(ShownText(QString::fromUtf8(text)), QString::fromStdString(ShownText(text)))
            << ShownText(text);
}

// A QString may hold half a surrogate pair; what shows is still a whole text.
TEST(ShownText, AHalfSurrogateInAQStringShowsAsAWholeText) {
    QString text = QStringLiteral("a");
    text += QChar(0xd800);
    text += QStringLiteral("\n");
    QString shown = ShownText(text);
    EXPECT_TRUE(shown.isValidUtf16());
    EXPECT_FALSE(shown.contains(QChar('\n')));
    EXPECT_TRUE(shown.startsWith(QStringLiteral("a")));
    EXPECT_TRUE(shown.endsWith(QStringLiteral("\\n")));
}

} // namespace
