#include "platform/console.h"

#include <cstdio>
#include <cwchar>

// The Microsoft runtime's formatter, with either compiler: mingw-w64's C++
// headers would put their own C99 one behind vwprintf and friends, some
// 20 KB for formats that the Microsoft one prints the same.

int ConsoleOutW(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = vwprintf_s(format, args);
    va_end(args);
    return written;
}

int ConsoleOut(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = vprintf_s(format, args);
    va_end(args);
    return written;
}

int ConsoleErr(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = vfprintf_s(stderr, format, args);
    va_end(args);
    return written;
}
