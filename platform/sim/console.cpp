// Console output of the simulated platform. Text is formatted here and
// written as bytes, so wide and narrow lines can share a stream that the C
// library would otherwise fix to one orientation; each line is also kept
// for tests and entered in the call log where it falls.
#include "platform/console.h"
#include "platform/sim/state.h"

#include <cstdio>
#include <cwchar>
#include <vector>

using namespace sim;
using namespace sim::detail;

namespace {

void Emit(FILE* stream, std::string& capture, const char* name, const std::string& text)
{
    capture += text;
    Note(name, text);
    if (stream == stdout && !g_echoStdout)
        return;
    // The capture is what tests read; a failed echo changes nothing.
    (void)std::fwrite(text.data(), 1, text.size(), stream);
    (void)std::fflush(stream);
}

std::string FormatNarrow(const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (length <= 0)
        return std::string();
    std::vector<char> text(static_cast<size_t>(length) + 1);
    (void)std::vsnprintf(text.data(), text.size(), format, args);
    return std::string(text.data(), static_cast<size_t>(length));
}

} // namespace

void sim::detail::EmitStderr(const std::string& text)
{
    Emit(stderr, S().err, "stderr", text);
}

int ConsoleOutW(const wchar_t* format, ...)
{
    std::vector<wchar_t> text(4096);
    va_list args;
    va_start(args, format);
    const int length = std::vswprintf(text.data(), text.size(), format, args);
    va_end(args);
    if (length < 0)
        return -1;
    // Windows' console shows what is not ASCII as best it can; tests only
    // ever see ASCII.
    std::string bytes;
    for (int i = 0; i < length; ++i)
        bytes += (text[i] < 0x80) ? static_cast<char>(text[i]) : '?';
    Emit(stdout, S().out, "stdout", bytes);
    return length;
}

int ConsoleOut(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatNarrow(format, args);
    va_end(args);
    Emit(stdout, S().out, "stdout", text);
    return static_cast<int>(text.size());
}

int ConsoleErr(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatNarrow(format, args);
    va_end(args);
    Emit(stderr, S().err, "stderr", text);
    return static_cast<int>(text.size());
}
