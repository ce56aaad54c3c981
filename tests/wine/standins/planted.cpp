// A DLL planted beside the program under a system DLL's name, as anyone
// with write access to the program's folder could. Loaded, it says so in
// the stand-in log and ends the process with status 99, so a case cannot
// pass with it loaded.
#include "standin.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(instance, path, MAX_PATH);
        standin::Log("planted DLL loaded: %s", standin::Utf8(path).c_str());
        TerminateProcess(GetCurrentProcess(), 99);
    }
    return TRUE;
}
