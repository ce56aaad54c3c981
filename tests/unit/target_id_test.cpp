#include "pipe_edition/target_id.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct ParseCase {
    const char* name;
    std::wstring text;
    DWORD id;
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << c.name;
}

class ParseTargetIdTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTargetIdTest, ReadsBase16Into32Bits)
{
    EXPECT_EQ(ParseTargetId(GetParam().text.c_str()), GetParam().id);
}

const ParseCase kParseCases[] = {
    {"LowerCase", L"1a", 0x1A},
    {"UpperCase", L"1A", 0x1A},
    {"LeadingZeros", L"00001A2B", 0x1A2B},
    {"MoreLeadingZerosThan32BitsHold", L"0000000000000000001a", 0x1A},
    {"EightDigits", L"abcdef12", 0xABCDEF12},
    {"EightFs", L"ffffffff", 0xFFFFFFFF},
    {"NineDigitsOverflow", L"123456789", 0xFFFFFFFF},
    {"OneBeyond32Bits", L"100000000", 0xFFFFFFFF},
    {"OverflowIgnoresTheSign", L"-123456789", 0xFFFFFFFF},
    {"OverflowWithPrefix", L"0x1ffffffff", 0xFFFFFFFF},
    {"MinusOne", L"-1", 0xFFFFFFFF},
    {"MinusEightFs", L"-ffffffff", 0x1},
    {"MinusWithPrefix", L"-0x10", 0xFFFFFFF0},
    {"MinusZero", L"-0", 0},
    {"Plus", L"+1a", 0x1A},
    {"PlusAlone", L"+", 0},
    {"MinusAlone", L"-", 0},
    {"TwoSigns", L"+-1", 0},
    {"BlankAfterSign", L"- 1", 0},
    {"Empty", L"", 0},
    {"NoDigit", L"zz", 0},
    {"LetterBeyondF", L"g1", 0},
    {"PrefixLower", L"0x1a", 0x1A},
    {"PrefixUpper", L"0X1A", 0x1A},
    {"PrefixAloneIsTheDigitZero", L"0x", 0},
    {"PrefixThenNonDigit", L"0xg", 0},
    {"PrefixThenZeroDigit", L"0x01a", 0x1A},
    {"PrefixThenBlank", L"0x 1", 0},
    {"PrefixTwice", L"0x0x1", 0},
    {"PrefixWithoutZero", L"x1", 0},
    {"StopsAtFirstNonDigit", L"1a2bxyz", 0x1A2B},
    {"LeadingBlank", L" 1A", 0x1A},
    {"LeadingTab", L"\t1a", 0x1A},
    {"AllAsciiWhiteSpace", L" \t\n\v\f\r-2", 0xFFFFFFFE},
    // Only the ASCII digits and letters count, and only ASCII white space
    // is skipped: the rule is the same on every runtime and in every locale.
    {"NoBreakSpaceIsNoWhiteSpace", L"\u00A01a", 0},
    {"LatinLetterStops", L"1a\u00E9", 0x1A},
    {"ByteFfIsNoDigit", L"\u00FF", 0},
    {"FullwidthDigitIsNoDigit", L"\uFF11", 0},
    {"ArabicIndicDigitIsNoDigit", L"\u0661", 0},
};

INSTANTIATE_TEST_SUITE_P(Text, ParseTargetIdTest, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct ArgumentCase {
    const char* name;
    const char* argument;
    std::wstring widened;
    DWORD id; // read back as the program reads the interface argument
};

void PrintTo(const ArgumentCase& c, std::ostream* os)
{
    *os << c.name;
}

class TargetIdArgumentTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(TargetIdArgumentTest, WidensEightBytesAtMost)
{
    const ArgumentCase& c = GetParam();
    TargetIdText text;
    for (WCHAR& ch : text)
        ch = L'#';

    WidenTargetIdArgument(c.argument, text);

    EXPECT_EQ(std::wstring(text), c.widened);
    EXPECT_EQ(text[c.widened.size()], L'\0');
    EXPECT_EQ(ParseTargetId(text), c.id);
}

const ArgumentCase kArgumentCases[] = {
    {"Short", "1a", L"1a", 0x1A},
    {"Empty", "", L"", 0},
    {"EightDigits", "abcdef12", L"abcdef12", 0xABCDEF12},
    {"NinthDigitIgnored", "abcdef123", L"abcdef12", 0xABCDEF12},
    {"NineDigitsKeepTheFirstEight", "123456789", L"12345678", 0x12345678},
    {"PrefixCountsAgainstTheEight", "0xabcdef12", L"0xabcdef", 0xABCDEF},
    {"LeadingBlank", " 1A", L" 1A", 0x1A},
    {"MinusOne", "-1", L"-1", 0xFFFFFFFF},
    {"NoDigit", "zz", L"zz", 0},
    {"DashAlone", "-", L"-", 0},
    {"DoubleDash", "--", L"--", 0},
    // Each byte becomes the character of the same value, never a negative
    // one where char is signed.
    {"BytesAbove7F", "\xE9\xA0\xFF", std::wstring{wchar_t(0xE9), wchar_t(0xA0), wchar_t(0xFF)}, 0},
    {"EighthByteAbove7F", "1234567\x80zz", std::wstring(L"1234567") + wchar_t(0x80), 0x1234567},
};

INSTANTIATE_TEST_SUITE_P(CommandLine, TargetIdArgumentTest, ::testing::ValuesIn(kArgumentCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct FormatCase {
    DWORD id;
    std::wstring text;
};

void PrintTo(const FormatCase& c, std::ostream* os)
{
    *os << std::hex << c.id;
}

class FormatTargetIdTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTargetIdTest, LowerCaseWithoutLeadingZeros)
{
    TargetIdText text;
    for (WCHAR& ch : text)
        ch = L'#';
    FormatTargetId(GetParam().id, text);
    EXPECT_EQ(std::wstring(text), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Ids, FormatTargetIdTest,
                         ::testing::Values(FormatCase{0, L"0"}, FormatCase{0x1A, L"1a"},
                                           FormatCase{0x1A2B, L"1a2b"}, FormatCase{0x10, L"10"},
                                           FormatCase{0xABCDEF12, L"abcdef12"},
                                           FormatCase{0x23456789, L"23456789"},
                                           FormatCase{0xFFFFFFFF, L"ffffffff"},
                                           FormatCase{0x80000000, L"80000000"}));

TEST(TargetIdText, FormattedIdsReadBackUnchanged)
{
    for (const DWORD id : {0u, 1u, 0xFu, 0x1A2Bu, 0x7FFFFFFFu, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        TargetIdText text;
        FormatTargetId(id, text);
        EXPECT_EQ(ParseTargetId(text), id);
    }
}

} // namespace
