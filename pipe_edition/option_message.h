// What CheckOptions prints, shared with FormatOptionMessage. The two live
// in separate files so that the programs, which only print, do not carry
// the string formatter FormatOptionMessage needs.
#pragma once

#include "pipe_edition/options.h"

enum OptionMessageValues { kLetterValue, kNameValue, kLetterAndNameValues, kNoValue };

// Picks the format of a message and the values that follow the program
// name in it.
OptionMessageValues SelectOptionMessage(int message, const OptionSpec* row, const char** format,
                                        char* letter, const char** name);

// Hands the format of a message and the values it takes to print: the one
// place where each format meets its values, for the printed line and the
// formatted text alike.
template <typename Print>
int EmitOptionMessage(const Print& print, const char* programName, int message,
                      const OptionSpec* row)
{
    const char* format = nullptr;
    char letter = 0;
    const char* name = nullptr;
    switch (SelectOptionMessage(message, row, &format, &letter, &name)) {
    case kLetterValue:
        return print(format, programName, letter);
    case kNameValue:
        return print(format, programName, name);
    case kLetterAndNameValues:
        return print(format, programName, letter, name);
    case kNoValue:
        break;
    }
    return print(format, programName);
}
