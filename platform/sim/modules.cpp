// Simulated DLL loading: kernel32, loaded in every process, with the
// process's default DLL search, and the two system DLLs the WinUSB edition
// loads on first use. Modules stay loaded until the process ends, as on
// Windows when nobody frees them.
#include "platform/sim/state.h"
#include "platform/sim/system_dll_exports.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

using namespace sim;
using namespace sim::detail;

namespace {

struct Export {
    const char* name;
    void (*function)();
};

struct Module {
    const char* name;
    uintptr_t handle;
    Export exports[4];
};

template <typename Function> void (*Generic(Function function))()
{
    return reinterpret_cast<void (*)()>(function);
}

const DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                           LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

// Reached only through GetProcAddress, as on Windows 7 and Vista.
BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags)
{
    const Fault* fault = Enter("SetDefaultDllDirectories", Hex(DirectoryFlags));
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return FALSE;
    }
    if (DirectoryFlags == 0 || (DirectoryFlags & ~kSearchFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    S().dllSearch = DirectoryFlags;
    return TRUE;
}

const uintptr_t kKernel32 = 0x7FF800000000;

const Module kModules[] = {
    {"kernel32.dll",
     kKernel32,
     {{"SetDefaultDllDirectories", Generic(SetDefaultDllDirectories)},
      {nullptr, nullptr},
      {nullptr, nullptr},
      {nullptr, nullptr}}},
    {"cfgmgr32.dll",
     0x7FF810000000,
     {{"CM_Get_Device_Interface_List_SizeW", Generic(dll::CM_Get_Device_Interface_List_SizeW)},
      {"CM_Get_Device_Interface_ListW", Generic(dll::CM_Get_Device_Interface_ListW)},
      {"CM_MapCrToWin32Err", Generic(dll::CM_MapCrToWin32Err)},
      {nullptr, nullptr}}},
    {"winusb.dll",
     0x7FF820000000,
     {{"WinUsb_Initialize", Generic(dll::WinUsb_Initialize)},
      {"WinUsb_Free", Generic(dll::WinUsb_Free)},
      {"WinUsb_GetDescriptor", Generic(dll::WinUsb_GetDescriptor)},
      {"WinUsb_WritePipe", Generic(dll::WinUsb_WritePipe)}}},
};

// cppcheck-suppress [constParameter, constParameterPointer] ; HMODULE is the SDK's pointer type
const Module* ModuleOf(HMODULE handle)
{
    for (const Module& module : kModules)
        if (reinterpret_cast<HMODULE>(module.handle) == handle)
            return &module;
    return nullptr;
}

bool Missing(const Module& module, const char* function)
{
    const std::vector<std::string>& missing = S().missingExports;
    return std::find(missing.begin(), missing.end(), std::string(module.name) + "!" + function) !=
           missing.end();
}

} // namespace

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    const std::string name = lpModuleName != nullptr ? Narrow(lpModuleName) : "(null)";
    const Fault* fault = Enter("GetModuleHandleW", name);
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return nullptr;
    }
    // Only kernel32 is loaded before a program asks for a DLL, and the
    // programs ask for nothing else by this call.
    if (strcasecmp(name.c_str(), "kernel32.dll") != 0) {
        Problem("GetModuleHandleW of " + name);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(kKernel32);
}

HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags)
{
    const Fault* fault =
        Enter("LoadLibraryExA", std::string(lpLibFileName != nullptr ? lpLibFileName : "(null)") +
                                    ", " + Ptr(hFile) + ", " + Hex(dwFlags));
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return nullptr;
    }
    if (lpLibFileName == nullptr || hFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Which folders Windows would search: the call's own flags, else the
    // process default. Either must leave out the program's and the working
    // folder, where anyone may have put a DLL of the same name.
    const DWORD search = (dwFlags & kSearchFlags) != 0 ? dwFlags & kSearchFlags : S().dllSearch;
    if (search != LOAD_LIBRARY_SEARCH_SYSTEM32)
        Problem(std::string("LoadLibraryExA of ") + lpLibFileName +
                " searches beyond System32 (flags " + Hex(search) + ")");
    for (const Module& module : kModules)
        if (strcasecmp(module.name, lpLibFileName) == 0 && !Missing(module, ""))
            return reinterpret_cast<HMODULE>(module.handle);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    const Module* module = ModuleOf(hModule);
    const Fault* fault =
        Enter("GetProcAddress", (module != nullptr ? std::string(module->name) : Ptr(hModule)) +
                                    ", " + (lpProcName ? lpProcName : "(null)"));
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return nullptr;
    }
    if (module == nullptr) {
        Problem("GetProcAddress on a module that was never loaded");
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    for (const Export& entry : module->exports)
        if (entry.name != nullptr && lpProcName != nullptr &&
            std::strcmp(entry.name, lpProcName) == 0 && !Missing(*module, lpProcName))
            return reinterpret_cast<FARPROC>(entry.function);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}
