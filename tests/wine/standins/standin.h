// What the stand-in cfgmgr32.dll and winusb.dll share: the scenario a test
// hands them through environment variables named BRELVIK_STANDIN_<name>,
// and the log of every call they take, one line each.
#pragma once

#include <windows.h>

#include <string>

namespace standin {

// True when BRELVIK_STANDIN_<name> is set, even to an empty value.
bool IsSet(const wchar_t* name);

// The value of BRELVIK_STANDIN_<name>, empty when unset.
std::wstring Text(const wchar_t* name);

// BRELVIK_STANDIN_<name> read as a number (decimal, or hexadecimal with
// 0x), or fallback when unset or empty.
DWORD Number(const wchar_t* name, DWORD fallback);

// Appends one line to the file named by BRELVIK_STANDIN_LOG; does nothing
// when that is unset.
void Log(const char* format, ...);

std::string Utf8(const wchar_t* text);
std::string GuidText(const GUID* guid);
std::string HexBytes(const UCHAR* bytes, ULONG length);

} // namespace standin
