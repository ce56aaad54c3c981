// Console output of both editions.
//
// Every line goes through these three so that wide and narrow text can share
// standard output on every runtime. Wide formats use %ls for wide strings:
// it means the same in the Microsoft, mingw-w64 and C99 formatters, where a
// bare %s does not.
#pragma once

#include <cstdarg>

// Wide format to standard output.
int ConsoleOutW(const wchar_t* format, ...);
// Narrow format to standard output.
int ConsoleOut(const char* format, ...);
// Narrow format to standard error.
int ConsoleErr(const char* format, ...);
