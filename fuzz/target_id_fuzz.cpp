// The target id text rule against a reference built on the C library's own
// base-16 reader, the printed form read back, and the widening of a
// command-line argument. Every text sits in a heap block of its exact size.
#include "fuzz/fuzz_support.h"
#include "pipe_edition/target_id.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

bool IsRuleSpace(WCHAR ch)
{
    return ch == L' ' || (ch >= L'\t' && ch <= L'\r');
}

bool IsHexOrX(WCHAR ch)
{
    return (ch >= L'0' && ch <= L'9') || (ch >= L'a' && ch <= L'f') || (ch >= L'A' && ch <= L'F') ||
           ch == L'x' || ch == L'X';
}

// White space and the sign are taken here; wcstoull then only ever sees
// ASCII hex digits and x/X, so its locale, its own white space and its own
// sign play no part. It takes the 0x prefix itself, and "0x" alone as 0.
DWORD ReferenceTargetId(const WCHAR* text)
{
    while (IsRuleSpace(*text))
        ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') {
        negative = *text == L'-';
        ++text;
    }
    std::wstring digits;
    while (IsHexOrX(*text))
        digits += *text++;
    errno = 0;
    const unsigned long long value = std::wcstoull(digits.c_str(), nullptr, 16);
    if (errno == ERANGE || value > 0xFFFFFFFFull)
        return 0xFFFFFFFFu;
    const DWORD id = static_cast<DWORD>(value);
    return negative ? static_cast<DWORD>(0u - id) : id;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using fuzz::Require;

    size_t length = 0;
    const std::unique_ptr<WCHAR[]> text = fuzz::WideText(data, size, &length);
    const DWORD id = ParseTargetId(text.get());
    Require(id == ReferenceTargetId(text.get()), "ParseTargetId agrees with the reference");

    // Printed: lower-case hex without leading zeros, and read back the same.
    TargetIdText printed;
    FormatTargetId(id, printed);
    char expected[16];
    std::snprintf(expected, sizeof(expected), "%x", static_cast<unsigned>(id));
    size_t i = 0;
    for (; expected[i] != '\0'; ++i)
        Require(printed[i] == static_cast<WCHAR>(expected[i]), "printed digits");
    Require(printed[i] == L'\0', "printed text ends after the digits");
    Require(ParseTargetId(printed) == id, "printed form reads back");

    // The same bytes as a command-line argument: at most eight characters,
    // each the wide character of the byte's value, read by the same rule.
    std::unique_ptr<char[]> argument(new char[length + 1]);
    if (length != 0)
        std::memcpy(argument.get(), data, length);
    argument[length] = '\0';
    TargetIdText widened;
    for (WCHAR& ch : widened)
        ch = L'#';
    WidenTargetIdArgument(argument.get(), widened);
    const size_t kept = length < kTargetIdTextLength - 1 ? length : kTargetIdTextLength - 1;
    for (i = 0; i < kept; ++i)
        Require(widened[i] == static_cast<WCHAR>(data[i]), "each byte widened to its value");
    Require(widened[kept] == L'\0', "widened text ends after at most eight characters");
    Require(ParseTargetId(widened) == ReferenceTargetId(widened), "widened argument by the rule");
    return 0;
}
