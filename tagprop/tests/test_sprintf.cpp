// The formatter: escapes, directives, missing and bad parameters.
#include <tessel/clsTessel.h>

#include <gtest/gtest.h>

namespace {

using tessel::Variant;

struct Case {
    const char* what;
    std::string text;
    std::vector<Variant> params;
    std::string result;
};

TEST(Sprintf, FormatsDirectivesAndEscapes) {
    const Case cases[] = {
        {"text parameter", "Can't connect to %s!", {"COM1"}, "Can't connect to COM1!"},
        {"hex with width pads", "%4X", {255}, "00FF"},
        {"hex with width cuts", "%2x", {4660}, "34"},
        {"hex lower case", "%x", {255}, "ff"},
        {"hex of negative number is 32-bit", "%X", {-1}, "FFFFFFFF"},
        {"hex of numeric text", "%X", {"26"}, "1A"},
        {"fixed width and precision", "%03.2f", {3.14159}, "003.14"},
        {"rounding half away", "%1.2f", {2.675}, "2.68"},
        {"rounding carries", "%1.1d", {9.96}, "10.0"},
        {"negative fixed", "%2.1f", {-1.25}, "-01.3"},
        {"width without precision rounds", "%2d", {7.6}, "08"},
        {"number wider than width", "%2d", {12345}, "12345"},
        {"general form double", "%d", {3.14159}, "3.14159"},
        {"general form integer", "COM%d is removed!", {3}, "COM3 is removed!"},
        {"general form of text number", "%d", {"42"}, "42"},
        {"d i f alike", "%i/%f", {1, 2}, "1/2"},
        {"character", "%c", {"Xyz"}, "X"},
        {"character of UTF-8 text",
         "%c!",
         {"\xC3\xA4"
          "b"},
         "\xC3\xA4!"},
        {"width on s has no effect", "[%9s]", {"ab"}, "[ab]"},
        {"upper-case S", "%S", {"ab"}, "ab"},
        {"boolean as text", "%s", {true}, "True"},
        {"no parameter left", "%d", {}, "%d"},
        {"second directive without parameter", "%s and %5.1f", {"a"}, "a and %5.1f"},
        {"unknown letter", "%q", {1}, "%q"},
        {"unknown letter keeps parameter", "%3q%s", {"a"}, "%3qa"},
        {"percent at end", "100%", {1}, "100%"},
        {"percent before blank", "5% off %s", {"now"}, "5% off now"},
        {"percent dot is no directive", "%.2f", {1.5}, "%.2f"},
        {"double percent", "%%%s", {"x"}, "%x"},
        {"second dot ignored", "%1.0.2f", {1}, "1.00"},
        {"spinner in progress text",
         "Upload Record...%s\\nPlease wait!!!",
         {"|"},
         "Upload Record...|\r\nPlease wait!!!"},
        {"newline escape", "a\\nb", {}, "a\r\nb"},
        {"upper-case N", "a\\Nb", {}, "a\r\nb"},
        {"return tab backspace", "\\r\\t\\b", {}, "\r\t\b"},
        {"f gives a line feed", "\\f", {}, "\n"},
        {"backslash", "C:\\\\Temp", {}, "C:\\Temp"},
        {"decimal code", "\\65", {}, "A"},
        {"three digits at most", "\\0651", {}, "A1"},
        {"code above 127 as UTF-8", "\\196", {}, "\xC3\x84"},
        {"unknown escape", "\\q", {}, "\\q"},
        {"backslash at end", "a\\", {}, "a\\"},
        {"escape and directive order", "%s\\n%s", {"a", "b"}, "a\r\nb"},
        {"no directives", "plain text", {"unused"}, "plain text"},
        {"empty text", "", {1}, ""},
    };
    clsTessel t;
    for (const auto& c : cases)
        EXPECT_EQ(t.sprintf(c.text, c.params), c.result) << c.what;
}

TEST(Sprintf, FaultReturnsTextBuiltSoFar) {
    const Case cases[] = {
        {"non-numeric for d", "a %s b %d c", {"x", "y"}, "a x b "},
        {"non-numeric for x", "id=%X;", {"zz"}, "id="},
        {"code above 255", "ok\\999rest %s", {"x"}, "ok"},
        {"hex out of 32-bit range", "v=%X", {1e12}, "v="},
        {"object for s", "o=%s", {Variant(tessel::PropertyHostPtr())}, "o="},
    };
    clsTessel t;
    for (const auto& c : cases)
        EXPECT_EQ(t.sprintf(c.text, c.params), c.result) << c.what;
}

TEST(Sprintf, VariadicFormTakesParametersInOrder) {
    clsTessel t;
    EXPECT_EQ(t.sprintf("%s:%d:%s", "a", 2, std::string("c")), "a:2:c");
    EXPECT_EQ(t.sprintf("Check in %dbps", 9600), "Check in 9600bps");
}

TEST(Sprintf, HugeWidthIsBounded) {
    clsTessel t;
    const std::string s = t.sprintf("%99999999999d", 1);
    EXPECT_EQ(s, std::string(254, '0') + "1");
}

} // namespace

namespace {

TEST(Sprintf, ParameterVectorIsTheParameterList) {
    clsTessel t;
    std::vector<tessel::Variant> params{"a", 2};
    EXPECT_EQ(t.sprintf("%s%d", params), "a2");
}

} // namespace
