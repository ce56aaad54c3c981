#include "pipe_edition/option_message.h"

#include <cstdio>

int FormatOptionMessage(char* buffer, size_t size, const char* programName, int message,
                        const OptionSpec* row)
{
    const char* format = nullptr;
    char letter = 0;
    const char* name = nullptr;
    switch (SelectOptionMessage(message, row, &format, &letter, &name)) {
    case kLetterValue:
        return std::snprintf(buffer, size, format, programName, letter);
    case kNameValue:
        return std::snprintf(buffer, size, format, programName, name);
    case kLetterAndNameValues:
        return std::snprintf(buffer, size, format, programName, letter, name);
    case kNoValue:
        break;
    }
    return std::snprintf(buffer, size, format, programName);
}
