#include "platform/console.h"

#include <cstdio>
#include <cwchar>

int ConsoleOutW(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = vwprintf(format, args);
    va_end(args);
    return written;
}

int ConsoleOut(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = vprintf(format, args);
    va_end(args);
    return written;
}

int ConsoleErr(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = vfprintf(stderr, format, args);
    va_end(args);
    return written;
}
