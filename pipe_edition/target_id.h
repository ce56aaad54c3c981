// Target ids as text: how the legacy edition reads them from its command
// line and from WMI device ids, and how it prints them.
#pragma once

#include "platform/win32.h"

// Up to eight hexadecimal digits and the terminator.
constexpr size_t kTargetIdTextLength = 9;
typedef WCHAR TargetIdText[kTargetIdTextLength];

// Reads text as an unsigned 32-bit number in base 16: leading white space,
// an optional sign, an optional 0x or 0X, then hex digits up to the first
// other character. No digit gives 0; a value beyond 32 bits gives
// 0xFFFFFFFF whatever the sign; otherwise '-' negates modulo 2^32.
DWORD ParseTargetId(const WCHAR* text);

// Widens at most the first eight bytes of a command-line argument, each
// byte to the wide character of the same value, and terminates the text.
void WidenTargetIdArgument(const char* argument, TargetIdText& text);

// Lower-case hex without leading zeros; 0 gives "0".
void FormatTargetId(DWORD id, TargetIdText& text);
