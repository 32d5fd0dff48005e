#include <gtest/gtest.h>

#include "support/test_support.h"
#include "system/text.h"

namespace {

// "中文字" in the two narrow encodings, spelled as bytes so the test does not depend on the compiler's
// execution character set.
const std::string kUtf8 = "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97";
const std::string kGbk = "\xD6\xD0\xCE\xC4\xD7\xD6";
const std::wstring kWide = L"\u4E2D\u6587\u5B57";

TEST(TextConversion, ChineseRoundTripsThroughTheAnsiCodePage) {
    std::string ansi = Utf8ToAnsi(kUtf8);
#ifdef _WIN32
    // Wine runs with LC_ALL=zh_CN.UTF-8, which gives it the rooms' ANSI code page 936.
    EXPECT_EQ(ansi, kGbk);
#else
    EXPECT_EQ(ansi, kUtf8);  // narrow text is UTF-8 on Linux
#endif
    EXPECT_EQ(AnsiToUtf8(ansi), kUtf8);
    EXPECT_EQ(AnsiToWide(ansi), kWide);
    EXPECT_EQ(WideToAnsi(kWide), ansi);
}

TEST(TextConversion, WideToGbkIsAlwaysCodePage936) {
    EXPECT_EQ(WideToGbk(kWide), kGbk);
    EXPECT_EQ(WideToGbk(L"PC-07"), "PC-07");
    EXPECT_EQ(WideToGbk(L""), "");
    // A character GBK lacks must not end or empty the text.
    std::string mixed = WideToGbk(std::wstring(L"A") + wchar_t(0x0E01) + L"B");
    ASSERT_GE(mixed.size(), 3u);
    EXPECT_EQ(mixed.front(), 'A');
    EXPECT_EQ(mixed.back(), 'B');
}

// Titles and notes never pass through the PC's ANSI code page. The run under another code page (the ctest
// "other_code_page", Wine with an English locale) first shows that its code page really lacks Chinese.
TEST(TextConversion, TitlesAndNotesSkipTheAnsiCodePage) {
    if (tavrel::test::EnvText("TAVREL_OTHER_CODE_PAGE") == "1") {
        EXPECT_NE(Utf8ToAnsi(kUtf8), kGbk);
    }
    EXPECT_EQ(Utf8ToWide(kUtf8), kWide);
    EXPECT_EQ(WideToUtf8(kWide), kUtf8);
    EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(LiteralToWide("提示信息"), L"\u63D0\u793A\u4FE1\u606F");  // in 936 on Windows, UTF-8 on Linux
}

TEST(TextConversion, NarrowInputEndsAtItsFirstNul) {
    std::string withNul("ab\0cd", 5);
    EXPECT_EQ(Utf8ToAnsi(withNul), "ab");
    EXPECT_EQ(AnsiToUtf8(withNul), "ab");
    EXPECT_EQ(AnsiToWide(withNul), L"ab");
}

TEST(TextConversion, EmptyStaysEmpty) {
    EXPECT_EQ(Utf8ToAnsi(""), "");
    EXPECT_EQ(AnsiToUtf8(""), "");
    EXPECT_EQ(AnsiToWide(""), L"");
    EXPECT_EQ(WideToAnsi(L""), "");
}

TEST(TextConversion, InvalidUtf8NeverThrowsOrHangs) {
    std::string bad = "ok\xC3\x28\xFF\xFE" "end";
    std::string ansi = Utf8ToAnsi(bad);
    EXPECT_EQ(ansi.substr(0, 2), "ok");
    std::wstring wide = AnsiToWide(std::string("x\xFFy"));
    ASSERT_FALSE(wide.empty());
    EXPECT_EQ(wide.front(), L'x');
    EXPECT_EQ(wide.back(), L'y');
}

struct IntCase {
    const char* text;
    int value;
};

TEST(DecimalText, TextToIntReadsAsAStreamDoes) {
    const IntCase cases[] = {
        {"12", 12},         {"  12", 12},      {"\t\n7", 7},       {"+5", 5},        {"-17", -17},
        {"12abc", 12},      {"abc", 0},        {"", 0},            {" ", 0},         {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},      {"2147483648", 0},  {"99999999999", 0}, {"007", 7},
        {"1 2", 1},         {"-", 0},          {"3.9", 3},
    };
    for (const IntCase& c : cases) EXPECT_EQ(TextToInt(c.text), c.value) << "text: \"" << c.text << "\"";
}

TEST(DecimalText, IntToTextHasNoGroupingOrPadding) {
    EXPECT_EQ(IntToText(0), "0");
    EXPECT_EQ(IntToText(12), "12");
    EXPECT_EQ(IntToText(-3), "-3");
    EXPECT_EQ(IntToText(1000000), "1000000");
    EXPECT_EQ(IntToText(-2147483647 - 1), "-2147483648");
}

TEST(Trim, OnlyBlanksAreRemoved) {
    EXPECT_EQ(TrimSpaces("  a b  "), "a b");
    EXPECT_EQ(TrimSpaces("    "), "");
    EXPECT_EQ(TrimSpaces(""), "");
    EXPECT_EQ(TrimSpaces("\tx\n"), "\tx\n");
    EXPECT_EQ(TrimSpaces(" \tx\t "), "\tx\t");
}

TEST(Paths, NativePathUsesThisPlatformsSeparator) {
#ifdef _WIN32
    EXPECT_EQ(NativePath("..\\Temp\\Tavrel_Setup.exe"), "..\\Temp\\Tavrel_Setup.exe");
#else
    EXPECT_EQ(NativePath("..\\Temp\\Tavrel_Setup.exe"), "../Temp/Tavrel_Setup.exe");
#endif
    EXPECT_EQ(ToUpperAscii("ab12cD"), "AB12CD");
    EXPECT_EQ(ToLowerAscii("AB12cD"), "ab12cd");
}

}  // namespace
