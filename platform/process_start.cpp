#include "platform/process_start.h"

#include "platform/win32.h"

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

// Looked up, not imported: Windows 7 and Vista have it only with KB2533623,
// and without it a static import would have the loader refuse the program
// before any of its code runs, with a dialog that stops a bench script.
// kernel32 is in every process already; null with the lookup's error set
// where the function is missing.
SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories()
{
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr)
        return nullptr;
    // void (*)() converts to and from every function pointer type without a
    // cast-function-type warning.
    return reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
}

} // namespace

void RestrictDllSearchAtStart()
{
    const SetDefaultDllDirectoriesFunction setDefaultDllDirectories =
        FindSetDefaultDllDirectories();
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    const DWORD error = GetLastError();
    // A failure without an error must not end the process with status 0.
    const DWORD hr =
        error != ERROR_SUCCESS ? (error & 0xFFFFu) | 0x80070000u : static_cast<DWORD>(E_FAIL);

    // Formatted by hand, CRLF included: the runtime is not started yet.
    static const char kText[] = "Failed restricting DLL search to System32, HRESULT 0x";
    char line[sizeof(kText) - 1 + 8 + 2];
    DWORD length = 0;
    for (const char* from = kText; *from != '\0'; ++from)
        line[length++] = *from;
    for (int shift = 28; shift >= 0; shift -= 4)
        line[length++] = "0123456789abcdef"[(hr >> shift) & 0xFu];
    line[length++] = '\r';
    line[length++] = '\n';
    DWORD written = 0;
    // With standard error closed the exit status alone tells.
    (void)WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, length, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), hr);
    // Ending itself cannot fail on Windows; should it, end the other way.
    ExitProcess(hr);
}
