#include "pipe_edition/option_message.h"

#include <cstdio>

int FormatOptionMessage(char* buffer, size_t size, const char* programName, int message,
                        const OptionSpec* row)
{
    return EmitOptionMessage(
        [buffer, size](const char* format, auto... values) {
            return std::snprintf(buffer, size, format, values...);
        },
        programName, message, row);
}
