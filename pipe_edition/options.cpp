#include "pipe_edition/options.h"

#include "pipe_edition/option_message.h"
#include "platform/console.h"

#include <cstdlib>

namespace {

// Where the next word's fate is decided: reading options, awaiting the
// argument of a row, or past "--".
struct ParseState {
    OptionSpec* table;
    OptionSpec* end;
    OptionSpec* awaiting; // row whose argument is to be the next word, or null
    DWORD awaitedBit;     // OPT_GIVEN_SHORT_ARGUMENT or OPT_GIVEN_LONG_ARGUMENT
};

char FoldAscii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

// True when longName has at least length characters and they equal the
// name part, ASCII letters in either case. The name part never holds a
// terminator, so the comparison stops at the end of longName by itself.
bool LongNameStartsWith(const char* longName, const char* name, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (FoldAscii(longName[i]) != FoldAscii(name[i]))
            return false;
    return true;
}

void Await(ParseState& state, OptionSpec* row, DWORD bit)
{
    state.awaiting = row;
    state.awaitedBit = bit;
}

// The argument bit shifted right by one is the same occurrence without it.
void GivenWithoutArgument(OptionSpec* row, DWORD argumentBit)
{
    row->flags |= argumentBit >> 1;
    row->argument = nullptr;
}

// text is the word after "--".
void ReadLongOption(ParseState& state, char* text)
{
    size_t nameLength = 0;
    while (text[nameLength] != '\0' && text[nameLength] != '=')
        ++nameLength;

    OptionSpec* chosen = nullptr;
    OptionSpec* candidate = nullptr;
    int prefixMatches = 0;
    for (OptionSpec* row = state.table; row != state.end; ++row) {
        if (row->longName == nullptr || !LongNameStartsWith(row->longName, text, nameLength))
            continue;
        if (row->longName[nameLength] == '\0') {
            chosen = row;
            break;
        }
        candidate = row;
        ++prefixMatches;
    }
    if (chosen == nullptr)
        chosen = (prefixMatches == 1) ? candidate : state.end;

    ++chosen->count;
    if (chosen == state.end && chosen->longName == nullptr)
        chosen->longName = text;

    if (text[nameLength] == '=') {
        chosen->flags |= OPT_GIVEN_LONG_ARGUMENT;
        chosen->argument = text + nameLength + 1;
    } else if (chosen->flags & OPT_REQUIRES_ARGUMENT) {
        Await(state, chosen, OPT_GIVEN_LONG_ARGUMENT);
    } else {
        GivenWithoutArgument(chosen, OPT_GIVEN_LONG_ARGUMENT);
    }
}

// cluster is the word after its leading '-'; it holds at least one character.
void ReadShortOptions(ParseState& state, char* cluster)
{
    for (char* at = cluster; *at != '\0'; ++at) {
        OptionSpec* row = state.table;
        while (row != state.end && row->shortName != *at)
            ++row;
        ++row->count;
        char* rest = at + 1;

        if (row == state.end) {
            if (row->shortName == 0)
                row->shortName = *at;
            // What follows an unknown letter is not read as options.
            if (*rest != '\0') {
                row->flags |= OPT_GIVEN_SHORT_ARGUMENT;
                row->argument = rest;
            } else {
                GivenWithoutArgument(row, OPT_GIVEN_SHORT_ARGUMENT);
            }
            return;
        }
        if (row->flags & OPT_NO_ARGUMENT) {
            GivenWithoutArgument(row, OPT_GIVEN_SHORT_ARGUMENT);
            continue;
        }
        if (*rest != '\0') {
            row->flags |= OPT_GIVEN_SHORT_ARGUMENT;
            row->argument = rest;
            return;
        }
        if (row->flags & OPT_REQUIRES_ARGUMENT) {
            Await(state, row, OPT_GIVEN_SHORT_ARGUMENT);
            return;
        }
        GivenWithoutArgument(row, OPT_GIVEN_SHORT_ARGUMENT);
    }
}

// The seven messages, by number.
const char* const kMessageFormats[] = {
    nullptr,
    "%s: unrecognised option -%c\n",
    "%s: unrecognised option --%s\n",
    "%s: option -%c requires an option-argument\n",
    "%s: option -%c must not have an option-argument\n",
    "%s: option --%s requires an option-argument\n",
    "%s: option --%s must not have an option-argument\n",
    "%s: option -%c/--%s may not be repeated\n",
};

// A repeated row names the forms it has: every row of the program's table
// has both, but another table may leave one out, and "-%c" with no letter
// or "--%s" with no name would show nothing useful (or worse, read a null
// pointer). A row with neither form is never counted by ParseOptions.
const char kRepeatedShortOnly[] = "%s: option -%c may not be repeated\n";
const char kRepeatedLongOnly[] = "%s: option --%s may not be repeated\n";
const char kRepeatedUnnamed[] = "%s: option may not be repeated\n";

bool Holds(DWORD flags, DWORD bits)
{
    return (flags & bits) == bits;
}

} // namespace

// Messages 3 to 6 are only ever judged for a row that has the form they
// show when the table came from ParseOptions; for a hand-filled table a
// missing letter or name is shown as '?' or nothing rather than a
// terminator or a null pointer.
OptionMessageValues SelectOptionMessage(int message, const OptionSpec* row, const char** format,
                                        char* letter, const char** name)
{
    *letter = (row->shortName != 0) ? row->shortName : '?';
    *name = (row->longName != nullptr) ? row->longName : "";
    *format = kMessageFormats[message];
    switch (message) {
    case 1:
    case 3:
    case 4:
        return kLetterValue;
    case 2:
    case 5:
    case 6:
        return kNameValue;
    default:
        break;
    }
    if (row->shortName != 0 && row->longName != nullptr)
        return kLetterAndNameValues;
    if (row->shortName != 0) {
        *format = kRepeatedShortOnly;
        return kLetterValue;
    }
    if (row->longName != nullptr) {
        *format = kRepeatedLongOnly;
        return kNameValue;
    }
    *format = kRepeatedUnnamed;
    return kNoValue;
}

DWORD ParseOptions(char** argv, OptionSpec* table)
{
    OptionSpec* end = table;
    for (; !(end->flags & OPT_END); ++end) {
        end->count = 0;
        end->argument = nullptr;
    }
    end->shortName = 0;
    end->longName = nullptr;
    end->argument = nullptr;
    end->count = 0;

    // A program may be started with no argument vector at all (argc 0):
    // then there is no word to read, and element 1 does not exist.
    if (argv == nullptr || argv[0] == nullptr)
        return 0;

    ParseState state = {table, end, nullptr, 0};
    bool endOfOptions = false;
    size_t output = 1;
    for (size_t input = 1; argv[input] != nullptr; ++input) {
        char* word = argv[input];
        if (endOfOptions) {
            argv[output++] = word;
            continue;
        }
        if (state.awaiting != nullptr) {
            OptionSpec* row = state.awaiting;
            state.awaiting = nullptr;
            if ((row->flags & OPT_REFUSE_DASH_ARGUMENT) && word[0] == '-' && word[1] != '\0') {
                GivenWithoutArgument(row, state.awaitedBit);
                // The refused word is read as an option word below.
            } else {
                row->flags |= state.awaitedBit;
                row->argument = word;
                continue;
            }
        }
        if (word[0] != '-' || word[1] == '\0') {
            argv[output++] = word;
        } else if (word[1] == '-' && word[2] == '\0') {
            endOfOptions = true;
        } else if (word[1] == '-') {
            ReadLongOption(state, word + 2);
        } else {
            ReadShortOptions(state, word + 1);
        }
    }
    if (state.awaiting != nullptr)
        GivenWithoutArgument(state.awaiting, state.awaitedBit);

    argv[output] = nullptr;
    return static_cast<DWORD>(output);
}

int JudgeOptions(const OptionSpec* table, const OptionSpec** row)
{
    const OptionSpec* end = table;
    while (!(end->flags & OPT_END))
        ++end;

    *row = end;
    if (end->shortName != 0)
        return 1;
    if (end->longName != nullptr)
        return 2;

    for (const OptionSpec* at = table; at != end; ++at) {
        *row = at;
        if (Holds(at->flags, OPT_REQUIRES_ARGUMENT | OPT_GIVEN_SHORT))
            return 3;
        if (Holds(at->flags, OPT_NO_ARGUMENT | OPT_GIVEN_SHORT_ARGUMENT))
            return 4;
        if (Holds(at->flags, OPT_REQUIRES_ARGUMENT | OPT_GIVEN_LONG))
            return 5;
        if (Holds(at->flags, OPT_NO_ARGUMENT | OPT_GIVEN_LONG_ARGUMENT))
            return 6;
        if (at->count > 1 && !(at->flags & OPT_REPEATABLE))
            return 7;
    }
    *row = nullptr;
    return 0;
}

void CheckOptions(const char* programName, const OptionSpec* table)
{
    const OptionSpec* row = nullptr;
    const int message = JudgeOptions(table, &row);
    if (message == 0)
        return;

    EmitOptionMessage(
        [](const char* format, auto... values) { return ConsoleErr(format, values...); },
        programName, message, row);
    std::exit(1);
}
