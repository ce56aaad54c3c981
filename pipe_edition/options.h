// The legacy edition's table-driven command-line option parser.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// One row of an option table. The table is a contiguous array closed by
// the first row whose flags hold OPT_END.
struct OptionSpec {
    char shortName;       // 0: no short form. End row: first unrecognised short option
    const char* longName; // null: no long form. End row: text of first unrecognised long option
    DWORD flags;          // declared bits, then result bits OR-ed in by the parser
    DWORD count;          // occurrences; end row: unrecognised options
    const char* argument; // argument of the last occurrence, into argv; null if none
};

// Declared by the table's author.
constexpr DWORD OPT_NO_ARGUMENT = 0x001;
constexpr DWORD OPT_REQUIRES_ARGUMENT = 0x002;
constexpr DWORD OPT_REFUSE_DASH_ARGUMENT = 0x004;
constexpr DWORD OPT_REPEATABLE = 0x008;
// Set by the parser.
constexpr DWORD OPT_GIVEN_SHORT = 0x010;
constexpr DWORD OPT_GIVEN_SHORT_ARGUMENT = 0x020;
constexpr DWORD OPT_GIVEN_LONG = 0x040;
constexpr DWORD OPT_GIVEN_LONG_ARGUMENT = 0x080;
// Marks the end row.
constexpr DWORD OPT_END = 0x100;

// Walks argv once (element 0 the program name, closed by a null element),
// filling the table and moving the operands to the front of argv. Returns
// 1 plus the number of operands; argv[result] is then null. Never prints,
// never allocates.
DWORD ParseOptions(char** argv, OptionSpec* table);

// Reports the first problem recorded in the table as one line on standard
// error and ends the process with exit status 1; returns when there is
// none. It is JudgeOptions, then the message, then exit(1).
void CheckOptions(const char* programName, const OptionSpec* table);

// The first problem recorded in the table, as the number of the message
// that CheckOptions prints for it (1 to 7), with *row the row it names
// (the end row for an unrecognised option); 0 and a null *row when there
// is none. Ends nothing.
int JudgeOptions(const OptionSpec* table, const OptionSpec** row);

// Formats the message of a judgement as CheckOptions prints it, with
// snprintf's contract for buffer, size and the result.
int FormatOptionMessage(char* buffer, size_t size, const char* programName, int message,
                        const OptionSpec* row);
