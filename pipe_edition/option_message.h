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
