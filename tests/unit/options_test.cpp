#include "pipe_edition/options.h"
#include "pipe_edition/program.h"
#include "pipe_edition/target_id.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using ::testing::ExitedWithCode;

constexpr DWORD GS = OPT_GIVEN_SHORT;
constexpr DWORD GSA = OPT_GIVEN_SHORT_ARGUMENT;
constexpr DWORD GL = OPT_GIVEN_LONG;
constexpr DWORD GLA = OPT_GIVEN_LONG_ARGUMENT;

// An argument vector as the runtime hands it over: "prog", the words, a
// null element. The strings stay put while the parser rewrites the array.
struct Words {
    explicit Words(std::vector<std::string> words) : text(std::move(words))
    {
        text.insert(text.begin(), "prog");
        for (std::string& word : text)
            argv.push_back(word.data());
        argv.push_back(nullptr);
    }
    std::vector<std::string> text;
    std::vector<char*> argv;
};

// A string field as text for comparisons, null shown apart from "".
std::string Text(const char* s)
{
    return s == nullptr ? "(null)" : "\"" + std::string(s) + "\"";
}

// What a row must hold after ParseOptions; flags are the declared bits
// plus `given`.
struct RowAfter {
    DWORD count;
    DWORD given;
    const char* argument;
};

void ExpectRow(const OptionSpec& row, DWORD declared, const RowAfter& after, const char* what)
{
    EXPECT_EQ(row.count, after.count) << what;
    EXPECT_EQ(row.flags, declared | after.given) << what;
    EXPECT_EQ(Text(row.argument), Text(after.argument)) << what;
}

struct EndAfter {
    char shortName;
    const char* longName;
    DWORD count;
    DWORD given;
    const char* argument;
};

void ExpectEndRow(const OptionSpec& row, DWORD declared, const EndAfter& after)
{
    EXPECT_EQ(row.shortName, after.shortName);
    EXPECT_EQ(Text(row.longName), Text(after.longName));
    ExpectRow(row, declared, RowAfter{after.count, after.given, after.argument}, "end row");
}

void ExpectOperands(const Words& words, DWORD result, const std::vector<std::string>& operands)
{
    ASSERT_EQ(result, operands.size() + 1);
    EXPECT_EQ(words.argv[0], words.text[0].c_str());
    for (size_t i = 0; i < operands.size(); ++i)
        EXPECT_EQ(Text(words.argv[i + 1]), Text(operands[i].c_str())) << "operand " << i;
    EXPECT_EQ(words.argv[result], nullptr);
}

// The whole stderr text of a death, on a runtime that writes "\n" as it is
// or as "\r\n"; every character that either regex flavour treats
// specially is escaped.
std::string WholeLine(const std::string& line)
{
    std::string regex = "^";
    for (const char ch : line) {
        if (std::string("\\.^$*+?()[]{}|").find(ch) != std::string::npos)
            regex += '\\';
        regex += ch;
    }
    // The line end goes in as the characters themselves: POSIX regular
    // expressions know no \r or \n escape.
    return regex + "\r?\n$";
}

// The program's own table, as its entry point builds it.
struct ProgramTable {
    OptionSpec rows[4] = {
        {'h', "help", OPT_NO_ARGUMENT, 0, nullptr},
        {'V', "version", OPT_NO_ARGUMENT, 0, nullptr},
        {'i', "interface", OPT_REQUIRES_ARGUMENT, 0, nullptr},
        {0, nullptr, OPT_END, 0, nullptr},
    };
};

constexpr DWORD kNoTarget = 0xDEAD0000; // no -i: the targets come from discovery

struct ProgramCase {
    const char* name;
    std::vector<std::string> words;
    RowAfter help, version, interfaceRow;
    EndAfter end;
    std::vector<std::string> operands;
    const char* message; // after "prog: ", without the line end; null: accepted
    DWORD targetId;      // for an accepted command line
};

const RowAfter kNone = {0, 0, nullptr};
const EndAfter kNoEnd = {0, nullptr, 0, 0, nullptr};

RowAfter Once(DWORD given, const char* argument = nullptr)
{
    return RowAfter{1, given, argument};
}

void PrintTo(const ProgramCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProgramTableTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramTableTest, RecordsJudgesAndReadsTheTarget)
{
    const ProgramCase& c = GetParam();
    Words words(c.words);
    ProgramTable table;

    const DWORD result = ParseOptions(words.argv.data(), table.rows);

    ExpectOperands(words, result, c.operands);
    ExpectRow(table.rows[0], OPT_NO_ARGUMENT, c.help, "help row");
    ExpectRow(table.rows[1], OPT_NO_ARGUMENT, c.version, "version row");
    ExpectRow(table.rows[2], OPT_REQUIRES_ARGUMENT, c.interfaceRow, "interface row");
    ExpectEndRow(table.rows[3], OPT_END, c.end);

    if (c.message == nullptr) {
        const OptionSpec* row = nullptr;
        EXPECT_EQ(JudgeOptions(table.rows, &row), 0);
        CheckOptions("prog", table.rows); // returns: nothing to report
        if (c.targetId == kNoTarget) {
            EXPECT_EQ(table.rows[2].count, 0u);
        } else {
            ASSERT_EQ(table.rows[2].count, 1u);
            ASSERT_NE(table.rows[2].argument, nullptr);
            TargetIdText idText;
            WidenTargetIdArgument(table.rows[2].argument, idText);
            EXPECT_EQ(ParseTargetId(idText), c.targetId);
        }
        return;
    }

    const std::string line = std::string("prog: ") + c.message;
    EXPECT_EXIT(CheckOptions("prog", table.rows), ExitedWithCode(1), WholeLine(line));
    // The program itself, with its own table, stops there the same way.
    Words again(c.words);
    EXPECT_EXIT(PipeEditionMain(static_cast<int>(again.argv.size() - 1), again.argv.data()),
                ExitedWithCode(1), WholeLine(line));
}

// clang-format off
const ProgramCase kProgramCases[] = {
    {"Nothing", {}, kNone, kNone, kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"ShortHelp", {"-h"}, Once(GS), kNone, kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"LongHelp", {"--help"}, Once(GL), kNone, kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"ShortVersion", {"-V"}, kNone, Once(GS), kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"LongVersion", {"--version"}, kNone, Once(GL), kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"Cluster", {"-hV"}, Once(GS), Once(GS), kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"LongInUpperCase", {"--HELP"}, Once(GL), kNone, kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"LongPrefix", {"--ver"}, kNone, Once(GL), kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"LongPrefixInUpperCase", {"--V"}, kNone, Once(GL), kNone, kNoEnd, {}, nullptr, kNoTarget},
    {"ShortNextWord", {"-i", "1a"}, kNone, kNone, Once(GSA, "1a"), kNoEnd, {}, nullptr, 0x1A},
    {"ShortSameWord", {"-i1a"}, kNone, kNone, Once(GSA, "1a"), kNoEnd, {}, nullptr, 0x1A},
    {"ClusterThenArgument", {"-hi", "1a"}, Once(GS), kNone, Once(GSA, "1a"), kNoEnd, {}, nullptr, 0x1A},
    {"LongEquals", {"--interface=1a"}, kNone, kNone, Once(GLA, "1a"), kNoEnd, {}, nullptr, 0x1A},
    {"LongNextWord", {"--interface", "1a"}, kNone, kNone, Once(GLA, "1a"), kNoEnd, {}, nullptr, 0x1A},
    {"LongPrefixEquals", {"--int=1a"}, kNone, kNone, Once(GLA, "1a"), kNoEnd, {}, nullptr, 0x1A},
    {"OneLetterPrefix", {"--i", "1a"}, kNone, kNone, Once(GLA, "1a"), kNoEnd, {}, nullptr, 0x1A},
    {"LongUpperCaseEquals", {"--INTERFACE=1a"}, kNone, kNone, Once(GLA, "1a"), kNoEnd, {}, nullptr, 0x1A},
    {"RestOfClusterIsTheArgument", {"-ih"}, kNone, kNone, Once(GSA, "h"), kNoEnd, {}, nullptr, 0},
    {"DashWordIsTheArgument", {"-i", "-x"}, kNone, kNone, Once(GSA, "-x"), kNoEnd, {}, nullptr, 0},
    {"DoubleDashIsTheArgument", {"-i", "--"}, kNone, kNone, Once(GSA, "--"), kNoEnd, {}, nullptr, 0},
    {"DashIsTheArgument", {"-i", "-"}, kNone, kNone, Once(GSA, "-"), kNoEnd, {}, nullptr, 0},
    {"EmptyNextWordIsTheArgument", {"-i", ""}, kNone, kNone, Once(GSA, ""), kNoEnd, {}, nullptr, 0},
    {"ShortWithoutArgument", {"-i"}, kNone, kNone, Once(GS), kNoEnd, {},
     "option -i requires an option-argument", 0},
    {"LongWithoutArgument", {"--interface"}, kNone, kNone, Once(GL), kNoEnd, {},
     "option --interface requires an option-argument", 0},
    {"LongEmptyArgument", {"--interface="}, kNone, kNone, Once(GLA, ""), kNoEnd, {}, nullptr, 0},
    {"LongMinusOne", {"--interface=-1"}, kNone, kNone, Once(GLA, "-1"), kNoEnd, {}, nullptr, 0xFFFFFFFF},
    {"ArgumentToNoArgumentOption", {"--help=1"}, Once(GLA, "1"), kNone, kNone, kNoEnd, {},
     "option --help must not have an option-argument", 0},
    {"UnknownShort", {"-x"}, kNone, kNone, kNone, {'x', nullptr, 1, GS, nullptr}, {},
     "unrecognised option -x", 0},
    {"UnknownShortWithRest", {"-x5"}, kNone, kNone, kNone, {'x', nullptr, 1, GSA, "5"}, {},
     "unrecognised option -x", 0},
    {"UnknownShortInCluster", {"-hx"}, Once(GS), kNone, kNone, {'x', nullptr, 1, GS, nullptr}, {},
     "unrecognised option -x", 0},
    {"UnknownAfterUnknownNotRead", {"-xh"}, kNone, kNone, kNone, {'x', nullptr, 1, GSA, "h"}, {},
     "unrecognised option -x", 0},
    {"ShortLetterCaseMatters", {"-v"}, kNone, kNone, kNone, {'v', nullptr, 1, GS, nullptr}, {},
     "unrecognised option -v", 0},
    {"ShortLetterCaseMattersToo", {"-H"}, kNone, kNone, kNone, {'H', nullptr, 1, GS, nullptr}, {},
     "unrecognised option -H", 0},
    {"UnknownLong", {"--x=1"}, kNone, kNone, kNone, {0, "x=1", 1, GLA, "1"}, {},
     "unrecognised option --x=1", 0},
    {"EmptyNameIsAmbiguous", {"--=x"}, kNone, kNone, kNone, {0, "=x", 1, GLA, "x"}, {},
     "unrecognised option --=x", 0},
    {"UnknownShortBeforeLongAfter", {"--zz", "-q"}, kNone, kNone, kNone, {'q', "zz", 2, GL | GS, nullptr}, {},
     "unrecognised option -q", 0},
    {"UnknownShortBeforeLongBefore", {"-q", "--zz"}, kNone, kNone, kNone, {'q', "zz", 2, GS | GL, nullptr}, {},
     "unrecognised option -q", 0},
    {"FirstUnknownOfEachKindKept", {"--zz", "-q", "--yy", "-r"}, kNone, kNone, kNone,
     {'q', "zz", 4, GL | GS, nullptr}, {}, "unrecognised option -q", 0},
    {"UnknownBeforeProblemOfKnownOption", {"-i", "1", "-i", "2", "--zz"}, kNone, kNone,
     {2, GSA, "2"}, {0, "zz", 1, GL, nullptr}, {}, "unrecognised option --zz", 0},
    {"DashInCluster", {"-h-"}, Once(GS), kNone, kNone, {'-', nullptr, 1, GS, nullptr}, {},
     "unrecognised option --", 0},
    {"InterfaceTwiceShort", {"-i", "1", "-i", "2"}, kNone, kNone, {2, GSA, "2"}, kNoEnd, {},
     "option -i/--interface may not be repeated", 0},
    {"InterfaceTwiceMixed", {"--interface=1", "-i", "2"}, kNone, kNone, {2, GLA | GSA, "2"}, kNoEnd, {},
     "option -i/--interface may not be repeated", 0},
    {"HelpTwice", {"-h", "-h"}, {2, GS, nullptr}, kNone, kNone, kNoEnd, {},
     "option -h/--help may not be repeated", 0},
    {"HelpTwiceInCluster", {"-hh"}, {2, GS, nullptr}, kNone, kNone, kNoEnd, {},
     "option -h/--help may not be repeated", 0},
    {"HelpLongThenShort", {"--help", "-h"}, {2, GL | GS, nullptr}, kNone, kNone, kNoEnd, {},
     "option -h/--help may not be repeated", 0},
    {"MissingArgumentBeforeRepeat", {"-h", "-h", "--interface"}, {2, GS, nullptr}, kNone, Once(GL),
     kNoEnd, {}, "option -h/--help may not be repeated", 0},
    {"EndOfOptions", {"--", "-i", "3"}, kNone, kNone, kNone, kNoEnd, {"-i", "3"}, nullptr, kNoTarget},
    {"OperandsAroundOption", {"a", "-i", "3", "b"}, kNone, kNone, Once(GSA, "3"), kNoEnd, {"a", "b"},
     nullptr, 3},
    {"DashAloneIsOperand", {"-", "-h", "--", "--", "-x"}, Once(GS), kNone, kNone, kNoEnd,
     {"-", "--", "-x"}, nullptr, kNoTarget},
    {"EightDigits", {"-i", "abcdef12"}, kNone, kNone, Once(GSA, "abcdef12"), kNoEnd, {}, nullptr, 0xABCDEF12},
    {"NinthDigitIgnored", {"-i", "abcdef123"}, kNone, kNone, Once(GSA, "abcdef123"), kNoEnd, {}, nullptr,
     0xABCDEF12},
    {"PrefixCountsAgainstEight", {"-i", "0xabcdef12"}, kNone, kNone, Once(GSA, "0xabcdef12"), kNoEnd, {},
     nullptr, 0xABCDEF},
    {"LeadingBlank", {"-i", " 1A"}, kNone, kNone, Once(GSA, " 1A"), kNoEnd, {}, nullptr, 0x1A},
    {"MinusOne", {"-i", "-1"}, kNone, kNone, Once(GSA, "-1"), kNoEnd, {}, nullptr, 0xFFFFFFFF},
    {"NoHexDigit", {"-i", "zz"}, kNone, kNone, Once(GSA, "zz"), kNoEnd, {}, nullptr, 0},
    {"LeadingZeros", {"-i", "00001A2B"}, kNone, kNone, Once(GSA, "00001A2B"), kNoEnd, {}, nullptr, 0x1A2B},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Words, ProgramTableTest, ::testing::ValuesIn(kProgramCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Tables the program does not have: declared flags it never uses, rows
// without one of the forms, names that share a prefix.
constexpr DWORD NO = OPT_NO_ARGUMENT;
constexpr DWORD REQ = OPT_REQUIRES_ARGUMENT;
constexpr DWORD REFUSE = OPT_REFUSE_DASH_ARGUMENT;
constexpr DWORD REP = OPT_REPEATABLE;

struct Row {
    char shortName;
    const char* longName;
    DWORD flags;
};

struct OtherCase {
    const char* name;
    std::vector<Row> rows; // before the end row
    std::vector<std::string> words;
    std::vector<RowAfter> after; // one per row
    EndAfter end;
    std::vector<std::string> operands;
    const char* message; // after "prog: "; null: accepted
};

void PrintTo(const OtherCase& c, std::ostream* os)
{
    *os << c.name;
}

class OtherTableTest : public ::testing::TestWithParam<OtherCase> {};

TEST_P(OtherTableTest, RecordsAndJudges)
{
    const OtherCase& c = GetParam();
    std::vector<OptionSpec> table;
    table.reserve(c.rows.size() + 1);
    for (const Row& row : c.rows)
        table.push_back(OptionSpec{row.shortName, row.longName, row.flags, 0, nullptr});
    table.push_back(OptionSpec{0, nullptr, OPT_END, 0, nullptr});
    ASSERT_EQ(c.after.size(), c.rows.size());
    Words words(c.words);

    const DWORD result = ParseOptions(words.argv.data(), table.data());

    ExpectOperands(words, result, c.operands);
    for (size_t i = 0; i < c.rows.size(); ++i)
        ExpectRow(table[i], c.rows[i].flags, c.after[i], ("row " + std::to_string(i)).c_str());
    ExpectEndRow(table.back(), OPT_END, c.end);

    if (c.message == nullptr) {
        const OptionSpec* row = nullptr;
        EXPECT_EQ(JudgeOptions(table.data(), &row), 0);
        CheckOptions("prog", table.data());
    } else {
        EXPECT_EXIT(CheckOptions("prog", table.data()), ExitedWithCode(1),
                    WholeLine(std::string("prog: ") + c.message));
    }
}

// clang-format off
const OtherCase kOtherCases[] = {
    // Either case of every ASCII letter, the last one too.
    {"LongNameCaseFoldedToZ", {{'z', "zone", NO}}, {"--ZONE"}, {Once(GL)}, kNoEnd, {}, nullptr},
    // A refused word is read as an option word.
    {"RefusedDashWordIsAnOption", {{'o', "output", REQ | REFUSE}, {'v', "verbose", NO}}, {"-o", "-v"},
     {Once(GS), Once(GS)}, kNoEnd, {}, "option -o requires an option-argument"},
    {"RefusedAfterLongForm", {{'o', "output", REQ | REFUSE}, {'v', "verbose", NO}}, {"--output", "-v"},
     {Once(GL), Once(GS)}, kNoEnd, {}, "option --output requires an option-argument"},
    {"RefusedWordCanBeUnknown", {{'o', "output", REQ | REFUSE}}, {"-o", "-z"},
     {Once(GS)}, {'z', nullptr, 1, GS, nullptr}, {}, "unrecognised option -z"},
    {"RefusedDoubleDashEndsOptions", {{'o', "output", REQ | REFUSE}, {'v', "verbose", NO}},
     {"-o", "--", "-v"}, {Once(GS), kNone}, kNoEnd, {"-v"}, "option -o requires an option-argument"},
    {"DashAloneIsNotRefused", {{'o', "output", REQ | REFUSE}}, {"-o", "-"},
     {Once(GSA, "-")}, kNoEnd, {}, nullptr},
    {"PlainWordIsNotRefused", {{'o', "output", REQ | REFUSE}}, {"--output", "x"},
     {Once(GLA, "x")}, kNoEnd, {}, nullptr},
    {"SameWordArgumentIsNotRefused", {{'o', "output", REQ | REFUSE}}, {"-o-v", "--output=-v"},
     {{2, GSA | GLA, "-v"}, }, kNoEnd, {}, "option -o/--output may not be repeated"},
    {"RefuseWithoutRequiredArgumentDoesNothing", {{'c', "color", REFUSE}}, {"-c", "-x"},
     {Once(GS)}, {'x', nullptr, 1, GS, nullptr}, {}, "unrecognised option -x"},
    // Optional arguments: in the same word only, never the next word.
    {"OptionalShortNone", {{'c', "color", 0}}, {"-c", "auto"}, {Once(GS)}, kNoEnd, {"auto"}, nullptr},
    {"OptionalShortGiven", {{'c', "color", 0}}, {"-cauto"}, {Once(GSA, "auto")}, kNoEnd, {}, nullptr},
    {"OptionalLongNone", {{'c', "color", 0}}, {"--color", "auto"}, {Once(GL)}, kNoEnd, {"auto"}, nullptr},
    {"OptionalLongGiven", {{'c', "color", 0}}, {"--col=auto"}, {Once(GLA, "auto")}, kNoEnd, {}, nullptr},
    {"OptionalLongEmpty", {{'c', "color", 0}}, {"--color="}, {Once(GLA, "")}, kNoEnd, {}, nullptr},
    {"OptionalTakesRestOfCluster", {{'c', "color", 0}, {'v', "verbose", NO}}, {"-cv"},
     {Once(GSA, "v"), kNone}, kNoEnd, {}, nullptr},
    {"LastOccurrenceWithoutArgument", {{'c', "color", REP}}, {"-cx", "--color"},
     {{2, GSA | GL, nullptr}}, kNoEnd, {}, nullptr},
    // OPT_REPEATABLE.
    {"Repeatable", {{'v', "verbose", NO | REP}}, {"-vvv", "--verbose", "--VERB"},
     {{5, GS | GL, nullptr}}, kNoEnd, {}, nullptr},
    {"RepeatableArgumentIsTheLast", {{'D', "define", REQ | REP}}, {"-Da", "--define", "b", "-D", "c"},
     {{3, GSA | GLA, "c"}}, kNoEnd, {}, nullptr},
    {"RepeatIsReportedInRowOrder", {{'a', "all", NO}, {'b', "bare", NO}}, {"-b", "-b", "-a", "-a"},
     {{2, GS, nullptr}, {2, GS, nullptr}}, kNoEnd, {}, "option -a/--all may not be repeated"},
    // Rows without one of the forms.
    {"LongOnlyRepeated", {{0, "long-only", NO}}, {"--long-only", "--long"},
     {{2, GL, nullptr}}, kNoEnd, {}, "option --long-only may not be repeated"},
    {"ShortOnlyRepeated", {{'s', nullptr, NO}}, {"-ss"}, {{2, GS, nullptr}}, kNoEnd, {},
     "option -s may not be repeated"},
    {"ShortOnlyHasNoLongForm", {{'s', nullptr, NO}}, {"--s"}, {kNone}, {0, "s", 1, GL, nullptr}, {},
     "unrecognised option --s"},
    {"UnnamedRowIsNeverMatched", {{0, nullptr, NO}, {'n', "name", NO}}, {"-n", "--name"},
     {kNone, {2, GS | GL, nullptr}}, kNoEnd, {}, "option -n/--name may not be repeated"},
    // Prefixes and exact matches.
    {"TwoPrefixesAreAmbiguous", {{'a', "verbose", NO}, {'b', "version", NO}}, {"--ver"},
     {kNone, kNone}, {0, "ver", 1, GL, nullptr}, {}, "unrecognised option --ver"},
    {"ExactWinsAfterPrefix", {{'a', "verbose", NO}, {'b', "verb", NO}, {'c', "verbatim", NO}}, {"--verb"},
     {kNone, Once(GL), kNone}, kNoEnd, {}, nullptr},
    {"ExactWinsRegardlessOfCase", {{'a', "verbose", NO}, {'b', "verb", NO}}, {"--VeRb=1"},
     {kNone, Once(GLA, "1")}, kNoEnd, {}, "option --verb must not have an option-argument"},
    {"LongerPrefixIsUnique", {{'a', "verbose", NO}, {'b', "verb", NO}}, {"--verbo"},
     {Once(GL), kNone}, kNoEnd, {}, nullptr},
    {"FirstOfTwoExactNamesWins", {{'a', "same", NO}, {'b', "same", NO}}, {"--same"},
     {Once(GL), kNone}, kNoEnd, {}, nullptr},
    {"NameLongerThanEveryRow", {{'a', "verb", NO}}, {"--verbose"},
     {kNone}, {0, "verbose", 1, GL, nullptr}, {}, "unrecognised option --verbose"},
    {"EmptyNameMatchesALoneRow", {{'a', "all", 0}}, {"--=x"}, {Once(GLA, "x")}, kNoEnd, {}, nullptr},
    {"FirstShortLetterWins", {{'a', "one", NO}, {'a', "two", REQ}}, {"-a"},
     {Once(GS), kNone}, kNoEnd, {}, nullptr},
    {"NonAsciiLetterMatchesExactly", {{'\xE9', "\xC3\xA9t\xC3\xA9", NO}}, {"-\xE9", "--\xC3\x89T\xC3\x89"},
     {Once(GS)}, {0, "\xC3\x89T\xC3\x89", 1, GL, nullptr}, {}, "unrecognised option --\xC3\x89T\xC3\x89"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Tables, OtherTableTest, ::testing::ValuesIn(kOtherCases),
                         [](const auto& info) { return std::string(info.param.name); });

// CheckOptions' tests on tables filled by hand, some in states that
// ParseOptions never leaves (message 4 among them).
struct JudgeCase {
    const char* name;
    std::vector<OptionSpec> rows; // before the end row
    OptionSpec end;
    int message;
    size_t row; // index of the row named; rows.size() for the end row
    const char* line;
};

void PrintTo(const JudgeCase& c, std::ostream* os)
{
    *os << c.name;
}

class JudgeTest : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(JudgeTest, ReportsTheFirstProblem)
{
    const JudgeCase& c = GetParam();
    std::vector<OptionSpec> table = c.rows;
    table.push_back(c.end);

    const OptionSpec* row = nullptr;
    EXPECT_EQ(JudgeOptions(table.data(), &row), c.message);
    if (c.message == 0) {
        EXPECT_EQ(row, nullptr);
        CheckOptions("prog", table.data());
        return;
    }
    EXPECT_EQ(row, &table[c.row]);

    char buffer[128];
    const int length = FormatOptionMessage(buffer, sizeof(buffer), "prog", c.message, row);
    EXPECT_EQ(std::string(buffer), c.line);
    EXPECT_EQ(length, static_cast<int>(std::string(c.line).size()));

    std::string line = c.line;
    line.pop_back(); // WholeLine adds the line end for either runtime
    EXPECT_EXIT(CheckOptions("prog", table.data()), ExitedWithCode(1), WholeLine(line));
}

const OptionSpec kEnd = {0, nullptr, OPT_END, 0, nullptr};
const OptionSpec kEndShort = {'q', "zz", OPT_END, 2, nullptr};
const OptionSpec kEndLong = {0, "zz", OPT_END, 1, nullptr};

OptionSpec Filled(char shortName, const char* longName, DWORD flags, DWORD count)
{
    return OptionSpec{shortName, longName, flags, count, nullptr};
}

// One row holding every problem: the tests come in a fixed order.
const DWORD kAllProblems = REQ | NO | GS | GSA | GL | GLA;

const JudgeCase kJudgeCases[] = {
    {"NoProblem", {Filled('a', "all", NO | GS, 1)}, kEnd, 0, 0, ""},
    {"MessageFourFromHandFilledRow",
     {Filled('n', "none", NO | GSA, 1)},
     kEnd,
     4,
     0,
     "prog: option -n must not have an option-argument\n"},
    {"UnknownShortFirst",
     {Filled('a', "all", kAllProblems, 2)},
     kEndShort,
     1,
     1,
     "prog: unrecognised option -q\n"},
    {"UnknownLongNext",
     {Filled('a', "all", kAllProblems, 2)},
     kEndLong,
     2,
     1,
     "prog: unrecognised option --zz\n"},
    {"TestThreeFirst",
     {Filled('a', "all", kAllProblems, 2)},
     kEnd,
     3,
     0,
     "prog: option -a requires an option-argument\n"},
    {"ThenTestFour",
     {Filled('a', "all", kAllProblems & ~GS, 2)},
     kEnd,
     4,
     0,
     "prog: option -a must not have an option-argument\n"},
    {"ThenTestFive",
     {Filled('a', "all", kAllProblems & ~(GS | GSA), 2)},
     kEnd,
     5,
     0,
     "prog: option --all requires an option-argument\n"},
    {"ThenTestSix",
     {Filled('a', "all", NO | GLA, 2)},
     kEnd,
     6,
     0,
     "prog: option --all must not have an option-argument\n"},
    {"ThenTestSeven",
     {Filled('a', "all", NO | GL, 2)},
     kEnd,
     7,
     0,
     "prog: option -a/--all may not be repeated\n"},
    {"BothBitsNeeded", {Filled('a', "all", GS | GSA | GL | GLA, 1)}, kEnd, 0, 0, ""},
    {"RowOrderBeforeTestOrder",
     {Filled('a', "all", NO | GL, 2), Filled('b', "bare", kAllProblems, 1)},
     kEnd,
     7,
     0,
     "prog: option -a/--all may not be repeated\n"},
    {"RepeatableIsNoProblem",
     {Filled('a', "all", NO | REP | GS, 9), Filled('b', "bare", REQ | GL, 1)},
     kEnd,
     5,
     1,
     "prog: option --bare requires an option-argument\n"},
    // Forms a hand-filled row lacks never turn into a terminator or a
    // null pointer in the message.
    {"MissingLetterShownAsQuestionMark",
     {Filled(0, "all", REQ | GS, 1)},
     kEnd,
     3,
     0,
     "prog: option -? requires an option-argument\n"},
    {"MissingNameShownEmpty",
     {Filled('a', nullptr, REQ | GL, 1)},
     kEnd,
     5,
     0,
     "prog: option -- requires an option-argument\n"},
    {"UnnamedRowRepeated",
     {Filled(0, nullptr, NO, 2)},
     kEnd,
     7,
     0,
     "prog: option may not be repeated\n"},
};

INSTANTIATE_TEST_SUITE_P(Tables, JudgeTest, ::testing::ValuesIn(kJudgeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseOptions, ClearsWhatAnEarlierRunLeftInCountsAndNames)
{
    OptionSpec table[] = {
        {'a', "all", NO, 7, "stale"},
        {'q', "zz", OPT_END, 3, "stale"},
    };
    Words words({"x"});

    EXPECT_EQ(ParseOptions(words.argv.data(), table), 2u);

    ExpectRow(table[0], NO, kNone, "row");
    ExpectEndRow(table[1], OPT_END, kNoEnd);
    EXPECT_EQ(table[0].shortName, 'a');
    EXPECT_EQ(Text(table[0].longName), Text("all"));
}

TEST(ParseOptions, ArgumentsPointIntoTheWordsUnchanged)
{
    ProgramTable table;
    Words equals({"--interface=1a"});
    ParseOptions(equals.argv.data(), table.rows);
    EXPECT_EQ(table.rows[2].argument, equals.text[1].c_str() + 12);
    EXPECT_EQ(equals.text[1], "--interface=1a");

    Words next({"op", "-i", "2b"});
    ParseOptions(next.argv.data(), table.rows);
    EXPECT_EQ(table.rows[2].argument, next.text[3].c_str());
}

TEST(ParseOptions, EmptyArgumentVector)
{
    ProgramTable table;
    char* argv[] = {nullptr};

    EXPECT_EQ(ParseOptions(argv, table.rows), 0u);

    EXPECT_EQ(argv[0], nullptr);
    const OptionSpec* row = nullptr;
    EXPECT_EQ(JudgeOptions(table.rows, &row), 0);
}

} // namespace
