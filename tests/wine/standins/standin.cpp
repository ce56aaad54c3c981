#include "standin.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace standin {

namespace {

std::wstring VariableName(const wchar_t* name)
{
    return std::wstring(L"BRELVIK_STANDIN_") + name;
}

// Reading the scenario and writing the log must not change the last error
// the program sees after a call: only the scenario does that.
struct KeepLastError {
    DWORD saved = GetLastError();
    ~KeepLastError() { SetLastError(saved); }
};

} // namespace

bool IsSet(const wchar_t* name)
{
    const KeepLastError keep;
    wchar_t probe[1];
    SetLastError(ERROR_SUCCESS);
    return GetEnvironmentVariableW(VariableName(name).c_str(), probe, 1) != 0 ||
           GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

std::wstring Text(const wchar_t* name)
{
    const KeepLastError keep;
    const std::wstring variable = VariableName(name);
    const DWORD needed = GetEnvironmentVariableW(variable.c_str(), nullptr, 0);
    if (needed == 0)
        return std::wstring();
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(variable.c_str(), value.data(), needed);
    value.resize(length < needed ? length : 0);
    return value;
}

DWORD Number(const wchar_t* name, DWORD fallback)
{
    const std::wstring text = Text(name);
    if (text.empty())
        return fallback;
    return static_cast<DWORD>(wcstoul(text.c_str(), nullptr, 0));
}

void Log(const char* format, ...)
{
    const KeepLastError keep;
    const std::wstring path = Text(L"LOG");
    if (path.empty())
        return;

    char line[2048];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (length < 0 || length > static_cast<int>(sizeof(line)) - 2)
        length = static_cast<int>(sizeof(line)) - 2;
    line[length++] = '\n';

    // Opened for each line: both stand-ins append to the same file.
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

std::string Utf8(const wchar_t* text)
{
    if (text == nullptr)
        return "(null)";
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1)
        return std::string();
    std::string result(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), needed, nullptr, nullptr);
    result.resize(static_cast<size_t>(needed) - 1);
    return result;
}

std::string GuidText(const GUID* guid)
{
    if (guid == nullptr)
        return "(null)";
    char text[40];
    (void)snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                   static_cast<unsigned long>(guid->Data1), guid->Data2, guid->Data3,
                   guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4],
                   guid->Data4[5], guid->Data4[6], guid->Data4[7]);
    return text;
}

std::string HexBytes(const UCHAR* bytes, ULONG length)
{
    std::string text;
    char byte[4];
    for (ULONG i = 0; i < length; ++i) {
        (void)snprintf(byte, sizeof(byte), i == 0 ? "%02x" : " %02x", bytes[i]);
        text += byte;
    }
    return text;
}

} // namespace standin
