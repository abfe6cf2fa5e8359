// In-memory behaviour of the profile parser and editor.
#include "lvprofile/Profile.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using lvprofile::Profile;
using namespace std::string_literals;

namespace {

struct ReadCase {
    const char* name;
    std::string bytes;
    const char* section;
    const char* key;
    std::string expected; // "<fallback>" when the lookup must give the fallback
};

std::vector<ReadCase> ReadCases() {
    return {
        {"SectionAndKeyIgnoreCase", "[General]\r\nSetup=a.exe\r\n", "gENERAL", "SETUP", "a.exe"},
        {"ValueTrimmed", "[s]\r\nk =  \t v v \t \r\n", "s", "k", "v v"},
        {"DoubleQuotesRemoved", "[s]\r\nk=\" x \"\r\n", "s", "k", " x "},
        {"SingleQuotesRemoved", "[s]\r\nk='x'\r\n", "s", "k", "x"},
        {"OnlyOnePairOfQuotesRemoved", "[s]\r\nk=\"\"x\"\"\r\n", "s", "k", "\"x\""},
        {"QuotesAfterTrimRemoved", "[s]\r\nk=  'a b'  \r\n", "s", "k", "a b"},
        {"MismatchedQuotesKept", "[s]\r\nk=\"x'\r\n", "s", "k", "\"x'"},
        {"LoneQuoteKept", "[s]\r\nk=\"\r\n", "s", "k", "\""},
        {"EmptyQuotesGiveEmpty", "[s]\r\nk=''\r\n", "s", "k", ""},
        {"InnerQuotesKept", "[s]\r\nk=a\"b\"c\r\n", "s", "k", "a\"b\"c"},
        {"MissingSection", "[s]\r\nk=v\r\n", "t", "k", "<fallback>"},
        {"MissingKey", "[s]\r\nk=v\r\n", "s", "j", "<fallback>"},
        {"EmptyFile", "", "s", "k", "<fallback>"},
        {"EmptyValueIsPresent", "[s]\r\nk=\r\n", "s", "k", ""},
        {"BlankValueIsPresent", "[s]\r\nk=   \r\n", "s", "k", ""},
        {"BlanksAroundSectionName", "[ \tSec  ]\r\nk=v\r\n", "sec", "k", "v"},
        {"BlanksBeforeSectionLine", "  \t[s]\r\nk=v\r\n", "s", "k", "v"},
        {"CallerBlanksIgnored", "[Sec]\r\nkey=v\r\n", "  Sec\t", " key ", "v"},
        {"BlanksAroundKey", "[s]\r\n  \tkey \t= v\r\n", "s", "key", "v"},
        {"InnerBlankInKeyKept", "[s]\r\nmy key=v\r\n", "s", "my key", "v"},
        {"CrOnlyLineEnds", "[s]\rk=1\rj=2\r", "s", "j", "2"},
        {"LfOnlyLineEnds", "[s]\nk=1\nj=2\n", "s", "j", "2"},
        {"MixedLineEnds", "[a]\r\nx=1\r[s]\nk=1\r\nj=2", "s", "j", "2"},
        {"CrCrLfIsTwoLineEnds", "[s]\r\r\nk=v\r\r\n", "s", "k", "v"},
        {"LineWithoutEqualsIgnored", "[s]\r\nk\r\nk=v\r\n", "s", "k", "v"},
        {"LineWithoutEqualsIsNoKey", "[s]\r\nk\r\n", "s", "k", "<fallback>"},
        {"FirstDuplicateSectionWins", "[s]\r\nk=1\r\n[S]\r\nk=2\r\nj=3\r\n", "s", "k", "1"},
        {"LaterDuplicateSectionUnread", "[s]\r\nk=1\r\n[S]\r\nk=2\r\nj=3\r\n", "s", "j",
         "<fallback>"},
        {"FirstDuplicateKeyWins", "[s]\r\nk=1\r\nK=2\r\n", "s", "k", "1"},
        {"ValueHoldsEquals", "[s]\r\nk=a=b\r\n", "s", "k", "a=b"},
        {"CommentLineIsNoKey", "[s]\r\n;k=v\r\n", "s", ";k", "<fallback>"},
        {"KeyBeforeFirstSectionIgnored", "k=v\r\n[s]\r\n", "s", "k", "<fallback>"},
        {"EmptyKeyIgnored", "[s]\r\n=v\r\n", "s", "", "<fallback>"},
        {"UnclosedHeaderIsNoSection", "[s]\r\n[t\r\nk=v\r\n", "t", "k", "<fallback>"},
        {"UnclosedHeaderKeepsSection", "[s]\r\n[t\r\nk=v\r\n", "s", "k", "v"},
        {"SectionNameUpToLastBracket", "[a]b]\r\nk=v\r\n", "a]b", "k", "v"},
        {"TextAfterBracketIgnored", "[s] ; note\r\nk=v\r\n", "s", "k", "v"},
        {"EmptySectionName", "[]\r\nk=v\r\n", "", "k", "v"},
        {"Utf8BomSkipped", "\xEF\xBB\xBF[s]\r\nk=v\r\n", "s", "k", "v"},
        {"NulBytesAreData", "[s]\r\nk=a\0b\r\n"s, "s", "k", "a\0b"s},
        {"HighBytesAreData", "[\xC4s]\r\nk=\xE9t\xE9\r\n", "\xC4s", "k", "\xE9t\xE9"},
        {"HighBytesNotFolded", "[\xC4s]\r\nk=v\r\n", "\xE4s", "k", "<fallback>"},
    };
}

class ProfileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, GivesExactValue) {
    const ReadCase& c = GetParam();
    Profile p(c.bytes);
    EXPECT_EQ(p.GetString(c.section, c.key, "<fallback>"), c.expected);
    if (c.expected == "<fallback>")
        EXPECT_FALSE(p.Value(c.section, c.key).has_value());
    else
        EXPECT_EQ(p.Value(c.section, c.key), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileRead, ::testing::ValuesIn(ReadCases()),
                         [](const auto& tpi) { return std::string(tpi.param.name); });

TEST(ProfileBuffer, ValueCutTo1023Bytes) {
    std::string value(2000, 'x');
    value[1022] = 'y';
    Profile p("[s]\r\nk=" + value + "\r\n");
    std::string got = p.GetString("s", "k", "");
    ASSERT_EQ(got.size(), 1023u);
    EXPECT_EQ(got.back(), 'y');
    EXPECT_EQ(p.Value("s", "k")->size(), 2000u);
}

TEST(ProfileBuffer, QuotesRemovedBeforeCut) {
    Profile p("[s]\r\nk=\"" + std::string(1023, 'x') + "\"\r\n");
    EXPECT_EQ(p.GetString("s", "k", ""), std::string(1023, 'x'));
}

TEST(ProfileBuffer, SmallBufferKeepsSizeMinusOne) {
    Profile p("[s]\r\nk=abcdef\r\n");
    EXPECT_EQ(p.GetString("s", "k", "", 4), "abc");
    EXPECT_EQ(p.GetString("s", "k", "", 1), "");
    EXPECT_EQ(p.GetString("s", "k", "", 0), "");
    EXPECT_EQ(p.GetString("s", "missing", "fallback", 5), "fall");
}

TEST(ProfileListing, SectionNamesInFileOrderOnce) {
    Profile p("[b]\r\nx=1\r\n[ a ]\r\n[B]\r\n[c\r\n[c]\r\n[A]\r\n");
    EXPECT_EQ(p.SectionNames(), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_TRUE(p.HasSection("C"));
    EXPECT_FALSE(p.HasSection("d"));
}

TEST(ProfileListing, NoSections) {
    EXPECT_TRUE(Profile("").SectionNames().empty());
    EXPECT_TRUE(Profile("k=v\r\n;[x]\r\n").SectionNames().empty());
}

TEST(ProfileListing, KeyNamesOfFirstSectionInOrderOnce) {
    Profile p("[s]\r\nb=1\r\nnokey\r\n;c=2\r\n A =3\r\nB=4\r\n[t]\r\nz=1\r\n[S]\r\nq=1\r\n");
    EXPECT_EQ(p.KeyNames("S"), (std::vector<std::string>{"b", "A"}));
    EXPECT_EQ(p.KeyNames("t"), (std::vector<std::string>{"z"}));
    EXPECT_TRUE(p.KeyNames("missing").empty());
}

struct WriteCase {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    std::string value;
    std::string after;
};

std::vector<WriteCase> WriteCases() {
    return {
        {"CreatesSectionInEmptyProfile", "", "s", "k", "v", "[s]\r\nk=v\r\n"},
        {"AppendsSectionAfterLastLine", "[a]\r\nx=1", "s", "k", "v",
         "[a]\r\nx=1\r\n[s]\r\nk=v\r\n"},
        {"AppendsSectionToLfFile", "[a]\nx=1\n", "s", "k", "v", "[a]\nx=1\n[s]\r\nk=v\r\n"},
        {"ReplacesValueInPlace", "[s]\r\nk = old  \r\nz=1\r\n", "s", "k", "new",
         "[s]\r\nk = new\r\nz=1\r\n"},
        {"ReplacesQuotedValue", "[s]\r\nk=\"old\"\r\n", "s", "k", "new", "[s]\r\nk=new\r\n"},
        {"ReplacesEmptyValue", "[s]\nk=\nz=1\n", "s", "k", "v", "[s]\nk=v\nz=1\n"},
        {"ReplacesFirstDuplicateKeyOnly", "[s]\nk=1\nK=2\n", "s", "k", "new", "[s]\nk=new\nK=2\n"},
        {"WritesIntoFirstDuplicateSection", "[s]\na=1\n[S]\nk=2\n", "s", "k", "v",
         "[s]\na=1\nk=v\r\n[S]\nk=2\n"},
        {"AddsKeyAfterLastKeyOfSection", "[s]\r\na=1\r\n\r\n; next\r\n[t]\r\nb=2\r\n", "s", "k",
         "v", "[s]\r\na=1\r\nk=v\r\n\r\n; next\r\n[t]\r\nb=2\r\n"},
        {"AddsKeyAfterHeaderOfEmptySection", "[s]\n[t]\n", "s", "k", "v", "[s]\nk=v\r\n[t]\n"},
        {"AddsKeyAfterLineWithoutLineEnd", "[s]\na=1", "s", "k", "v", "[s]\na=1\r\nk=v\r\n"},
        {"AddsKeyAfterHeaderWithoutLineEnd", "[s]", "s", "k", "v", "[s]\r\nk=v\r\n"},
        {"AddsKeyToCrOnlyFile", "[s]\ra=1\r", "s", "k", "v", "[s]\ra=1\rk=v\r\n"},
        {"KeepsSpellingOfExistingNames", "[Sec]\nKey=1\n", "SEC", "key", "2", "[Sec]\nKey=2\n"},
        {"QuotesValueWithOuterBlanks", "", "s", "k", " v ", "[s]\r\nk=\" v \"\r\n"},
        {"QuotesValueInQuotes", "", "s", "k", "'x'", "[s]\r\nk=\"'x'\"\r\n"},
        {"EmptyValue", "[s]\r\nk=1\r\n", "s", "k", "", "[s]\r\nk=\r\n"},
        {"TrimsNames", "", " s\t", " k ", "v", "[s]\r\nk=v\r\n"},
        {"KeepsBomAndComments", "\xEF\xBB\xBF; top\n[s]\n; c\nk=1 ; not a comment\n", "s", "k", "2",
         "\xEF\xBB\xBF; top\n[s]\n; c\nk=2\n"},
        {"IgnoresKeysBeforeFirstSection", "k=1\n", "s", "k", "v", "k=1\n[s]\r\nk=v\r\n"},
    };
}

class ProfileWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWrite, ChangesOnlyTheKey) {
    const WriteCase& c = GetParam();
    Profile p(c.before);
    std::string error = "untouched";
    ASSERT_TRUE(p.SetValue(c.section, c.key, c.value, &error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(p.Bytes(), c.after);
    EXPECT_EQ(p.Value(c.section, c.key), c.value);
    EXPECT_EQ(Profile(p.Bytes()).Value(c.section, c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileWrite, ::testing::ValuesIn(WriteCases()),
                         [](const auto& tpi) { return std::string(tpi.param.name); });

struct RefusedCase {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
    const char* error;
};

class ProfileRefusedWrite : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(ProfileRefusedWrite, LeavesProfileAlone) {
    const RefusedCase& c = GetParam();
    Profile p("[s]\r\nk=1\r\n");
    std::string error;
    EXPECT_FALSE(p.SetValue(c.section, c.key, c.value, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(p.Bytes(), "[s]\r\nk=1\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRefusedWrite,
    ::testing::Values(
        RefusedCase{"EmptySection", " ", "k", "v", "The section name is empty"},
        RefusedCase{"EmptyKey", "s", "\t", "v", "The key name is empty"},
        RefusedCase{"SectionWithLineBreak", "s\r\n[x", "k", "v",
                    "A section name cannot hold a line break"},
        RefusedCase{"KeyWithLineBreak", "s", "k\nj", "v", "A key name cannot hold a line break"},
        RefusedCase{"KeyWithEquals", "s", "a=b", "v", "A key name cannot hold \"=\""},
        RefusedCase{"KeyLikeSection", "s", "[k]", "v",
                    "A key name cannot start with \"[\" or \";\""},
        RefusedCase{"KeyLikeComment", "s", ";k", "v",
                    "A key name cannot start with \"[\" or \";\""},
        RefusedCase{"ValueWithLf", "s", "k", "a\nb=c", "A value cannot hold a line break"},
        RefusedCase{"ValueWithCr", "s", "k", "a\r[x]", "A value cannot hold a line break"}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

TEST(ProfileDelete, KeyRemovedWithAllItsLines) {
    Profile p("[s]\nk=1\nj=2\r\nK=3\n[t]\nk=4\n[S]\nk=5\n");
    ASSERT_TRUE(p.DeleteKey("s", "k"));
    EXPECT_EQ(p.Bytes(), "[s]\nj=2\r\n[t]\nk=4\n[S]\n");
    EXPECT_FALSE(p.Value("s", "k").has_value());
    EXPECT_EQ(p.Value("t", "k"), "4");
}

TEST(ProfileDelete, SectionRemovedWithItsLines) {
    Profile p("[a]\nx=1\n[s]\nk=1\n; c\n[b]\ny=2\n[S]\nz=3");
    ASSERT_TRUE(p.DeleteSection(" S "));
    EXPECT_EQ(p.Bytes(), "[a]\nx=1\n[b]\ny=2\n");
    EXPECT_EQ(p.SectionNames(), (std::vector<std::string>{"a", "b"}));
}

TEST(ProfileDelete, MissingNamesChangeNothing) {
    Profile p("[s]\nk=1\n");
    EXPECT_TRUE(p.DeleteKey("s", "j"));
    EXPECT_TRUE(p.DeleteKey("t", "k"));
    EXPECT_TRUE(p.DeleteSection("t"));
    EXPECT_EQ(p.Bytes(), "[s]\nk=1\n");
    std::string error;
    EXPECT_FALSE(p.DeleteKey("s", " ", &error));
    EXPECT_EQ(error, "The key name is empty");
}

TEST(ProfileRobustness, BinaryGarbageNeverBreaks) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(1 + rng() % 4096, '\0');
        for (char& c : bytes) {
            unsigned r = rng() % 16;
            c = r == 0   ? '['
                : r == 1 ? ']'
                : r == 2 ? '='
                : r == 3 ? '\r'
                : r == 4 ? '\n'
                         : static_cast<char>(rng());
        }
        Profile p(bytes);
        for (const std::string& s : p.SectionNames()) {
            EXPECT_TRUE(p.HasSection(s));
            for (const std::string& k : p.KeyNames(s))
                EXPECT_TRUE(p.Value(s, k).has_value());
        }
        std::string error;
        if (p.SetValue("Setup", "x64Setup", "a b", &error)) {
            EXPECT_EQ(Profile(p.Bytes()).Value("setup", "X64SETUP"), "a b");
        }
    }
}

TEST(ProfileRobustness, HundredThousandSections) {
    std::string bytes;
    for (int i = 0; i < 100000; ++i)
        bytes += "[S" + std::to_string(i) + "]\r\nk=" + std::to_string(i) + "\r\n";
    Profile p(bytes);
    auto names = p.SectionNames();
    ASSERT_EQ(names.size(), 100000u);
    EXPECT_EQ(names.front(), "S0");
    EXPECT_EQ(names.back(), "S99999");
    EXPECT_EQ(p.GetString("s99999", "K", ""), "99999");
    EXPECT_EQ(p.GetString("s50000", "K", ""), "50000");
}

TEST(ProfileRobustness, MegabyteLine) {
    std::string big(1 << 20, 'v');
    Profile p("[s]\r\nk=" + big + "\r\nj=" + big);
    EXPECT_EQ(p.GetString("s", "k", ""), std::string(1023, 'v'));
    EXPECT_EQ(p.Value("s", "j")->size(), big.size());
    ASSERT_TRUE(p.SetValue("s", "j", "short"));
    EXPECT_EQ(p.Bytes().size(), 4 + 1 + 2 + (1u << 20) + 2 + 7);
}

TEST(ProfileRobustness, ManyLinesWithoutEquals) {
    std::string bytes = "[s]\n";
    for (int i = 0; i < 500000; ++i)
        bytes += "x\n";
    bytes += "k=v\n";
    Profile p(bytes);
    EXPECT_EQ(p.GetString("s", "k", ""), "v");
    EXPECT_EQ(p.KeyNames("s"), std::vector<std::string>{"k"});
}

TEST(ProfileRobustness, TwoThousandKeysAllFound) {
    std::string bytes = "[LANGUGAE]\r\n";
    for (int i = 0; i < 2000; ++i)
        bytes += std::to_string(13000 + i) + "=text " + std::to_string(i) + "\r\n";
    Profile p(bytes);
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(p.GetString("langugae", std::to_string(13000 + i), ""),
                  "text " + std::to_string(i));
    EXPECT_EQ(p.GetString("langugae", "15000", "fb"), "fb");
}

TEST(ProfileRobustness, OversizedBufferIsEmpty) {
    Profile p("[s]\r\nk=v\r\n" + std::string(lvprofile::kMaxProfileBytes, 'x'));
    EXPECT_TRUE(p.TooLarge());
    EXPECT_EQ(p.GetString("s", "k", "fb"), "fb");
    std::string error;
    EXPECT_FALSE(p.SetValue("s", "k", "w", &error));
    EXPECT_EQ(error, "The profile is larger than 16777216 bytes");
}

} // namespace
