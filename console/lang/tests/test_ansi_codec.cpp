// The ANSI code page converter: default windows-1252, switching, unmappable characters.
#include "LangTestSupport.h"
#include <gtest/gtest.h>
#include <lvlang/AnsiCodec.h>

using lvlang::AnsiCodec;

namespace {

struct CodePageGuard {
    QString old = AnsiCodec::codePage();
    ~CodePageGuard() { AnsiCodec::setCodePage(old); }
};

TEST(AnsiCodec, DefaultIsWindows1252) {
    EXPECT_EQ(AnsiCodec::codePage(), "windows-1252");
    EXPECT_EQ(AnsiCodec::toUnicode(QByteArray("\x80\xE4\xDF\x41", 4)), QString::fromUtf8("€äßA"));
    EXPECT_EQ(AnsiCodec::fromUnicode(QString::fromUtf8("Öl €5")), QByteArray("\xD6l \x80"
                                                                             "5"));
}

TEST(AnsiCodec, UnmappableCharactersBecomeQuestionMarks) {
    EXPECT_EQ(AnsiCodec::fromUnicode(QString::fromUtf8("a\u0416b\u65E5")), QByteArray("a?b?"));
    EXPECT_FALSE(AnsiCodec::canEncode(QString::fromUtf8("\u0416")));
    EXPECT_TRUE(AnsiCodec::canEncode(QString::fromUtf8("Größe")));
    // canEncode must not leave the converter stopping at unmappable characters.
    EXPECT_EQ(AnsiCodec::fromUnicode(QString::fromUtf8("\u0416")), QByteArray("?"));
}

TEST(AnsiCodec, EmptyInAndOut) {
    EXPECT_EQ(AnsiCodec::toUnicode(QByteArray()), QString());
    EXPECT_EQ(AnsiCodec::fromUnicode(QString()), QByteArray());
}

TEST(AnsiCodec, Utf8StringForms) {
    EXPECT_EQ(AnsiCodec::toUtf8(std::string("\xE9t\xE9", 3)), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(AnsiCodec::fromUtf8("\xC3\xA9t\xC3\xA9"), std::string("\xE9t\xE9", 3));
}

TEST(AnsiCodec, SwitchesCodePage) {
    CodePageGuard g;
    ASSERT_TRUE(AnsiCodec::setCodePage("windows-1251"));
    EXPECT_EQ(AnsiCodec::toUnicode(QByteArray("\xC0\xE1", 2)), QString::fromUtf8("Аб"));
    EXPECT_EQ(AnsiCodec::fromUnicode(QString::fromUtf8("Ж")), QByteArray("\xC6"));
    ASSERT_TRUE(AnsiCodec::setCodePage("UTF-8"));
    EXPECT_EQ(AnsiCodec::toUnicode("\xC3\xA4"), QString::fromUtf8("ä"));
}

TEST(AnsiCodec, UnknownCodePageKeepsTheOldOne) {
    CodePageGuard g;
    const QString before = AnsiCodec::codePage();
    QString err;
    EXPECT_FALSE(AnsiCodec::setCodePage("no-such-page", &err));
    EXPECT_EQ(err, "Unknown code page \"no-such-page\"");
    EXPECT_FALSE(AnsiCodec::setCodePage(""));
    EXPECT_EQ(AnsiCodec::codePage(), before);
}

} // namespace

namespace {

// The bytes windows-1252 leaves undefined read as the replacement character, not as
// invisible C1 controls; the other bytes of 0x80..0x9F keep their letters.
TEST(AnsiCodec, UndefinedBytesBecomeReplacementCharacters) {
    CodePageGuard g;
    ASSERT_TRUE(AnsiCodec::setCodePage("windows-1252"));
    EXPECT_EQ(AnsiCodec::toUnicode(QByteArray("A\x81\x8D\x8F\x90\x9D"
                                              "B",
                                              7)),
              QString::fromUtf8("A\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDB"));
    EXPECT_EQ(AnsiCodec::toUnicode(QByteArray("\x80\x8A\x9F", 3)), QString::fromUtf8("€ŠŸ"));
    EXPECT_EQ(AnsiCodec::toUtf8(std::string("\x81", 1)), "\xEF\xBF\xBD");
    // The same under another name of the code page, and for windows-1251's one gap (0x98).
    ASSERT_TRUE(AnsiCodec::setCodePage("cp1252"));
    EXPECT_EQ(AnsiCodec::toUnicode(QByteArray("\x90", 1)), QString(QChar(0xFFFD)));
    ASSERT_TRUE(AnsiCodec::setCodePage("windows-1251"));
    EXPECT_EQ(AnsiCodec::toUnicode(QByteArray("\x98\xC0", 2)), QString::fromUtf8("\uFFFDА"));
    // A code page that defines C1 controls keeps them.
    ASSERT_TRUE(AnsiCodec::setCodePage("ISO-8859-1"));
    EXPECT_EQ(AnsiCodec::toUnicode(QByteArray("\x81", 1)), QString(QChar(0x81)));
}

} // namespace
