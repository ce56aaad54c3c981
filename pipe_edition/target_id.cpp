#include "pipe_edition/target_id.h"

namespace {

bool IsSpace(WCHAR ch)
{
    return ch == L' ' || (ch >= L'\t' && ch <= L'\r');
}

int HexDigitValue(WCHAR ch)
{
    if (ch >= L'0' && ch <= L'9')
        return static_cast<int>(ch - L'0');
    if (ch >= L'a' && ch <= L'f')
        return static_cast<int>(ch - L'a') + 10;
    if (ch >= L'A' && ch <= L'F')
        return static_cast<int>(ch - L'A') + 10;
    return -1;
}

} // namespace

DWORD ParseTargetId(const WCHAR* text)
{
    while (IsSpace(*text))
        ++text;

    bool negative = false;
    if (*text == L'+' || *text == L'-') {
        negative = *text == L'-';
        ++text;
    }
    // "0x" without a digit after it is just the digit 0.
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X') && HexDigitValue(text[2]) >= 0)
        text += 2;

    // Counted in 64 bits so that the width is the same on every platform;
    // once past 32 bits the value only has to stay past them.
    unsigned long long value = 0;
    bool overflow = false;
    for (int digit = HexDigitValue(*text); digit >= 0; digit = HexDigitValue(*++text)) {
        value = (value << 4) | static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull) {
            overflow = true;
            value &= 0xFFFFFFFFull;
        }
    }
    if (overflow)
        return 0xFFFFFFFFu;
    const DWORD id = static_cast<DWORD>(value);
    return negative ? static_cast<DWORD>(0u - id) : id;
}

void WidenTargetIdArgument(const char* argument, TargetIdText& text)
{
    size_t length = 0;
    for (; length < kTargetIdTextLength - 1 && argument[length] != '\0'; ++length)
        text[length] = static_cast<WCHAR>(static_cast<unsigned char>(argument[length]));
    text[length] = L'\0';
}

void FormatTargetId(DWORD id, TargetIdText& text)
{
    static const WCHAR kDigits[] = L"0123456789abcdef";
    WCHAR reversed[kTargetIdTextLength - 1];
    size_t count = 0;
    do {
        reversed[count++] = kDigits[id & 0xF];
        id >>= 4;
    } while (id != 0);
    for (size_t i = 0; i < count; ++i)
        text[i] = reversed[count - 1 - i];
    text[count] = L'\0';
}
