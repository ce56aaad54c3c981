// Helpers shared by the harnesses: turning input bytes into text that sits
// in a heap block of exactly its size, and stopping on a broken invariant.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace fuzz {

inline void Require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Bytes 0xF8 to 0xFF stand for wide characters that a locale-aware reader
// might take for white space, a sign or a digit; every other byte is the
// character of the same value.
inline WCHAR WideFromByte(uint8_t byte)
{
    static const WCHAR kWide[8] = {0x00A0, 0x0085, 0x2000, 0x3000, 0x0660, 0xFF10, 0xFF41, 0xFF0D};
    return byte >= 0xF8 ? kWide[byte - 0xF8] : static_cast<WCHAR>(byte);
}

// The text up to the first 0 byte (or all of it), widened, with its
// terminator as the last element of the block.
inline std::unique_ptr<WCHAR[]> WideText(const uint8_t* data, size_t size, size_t* lengthOut)
{
    size_t length = 0;
    while (length < size && data[length] != 0)
        ++length;
    std::unique_ptr<WCHAR[]> text(new WCHAR[length + 1]);
    for (size_t i = 0; i < length; ++i)
        text[i] = WideFromByte(data[i]);
    text[length] = L'\0';
    if (lengthOut != nullptr)
        *lengthOut = length;
    return text;
}

} // namespace fuzz
