#include "platform/system_dll.h"

namespace {

constexpr size_t kMaxFunctions = 4;

struct SystemDllFunction {
    const char* name;
    FARPROC unavailable;
};

struct SystemDll {
    const char* name;
    SystemDllFunction functions[kMaxFunctions];
};

enum SystemDllIndex : size_t { kCfgmgr32, kWinusb, kSystemDllCount };

struct SystemDllBinding {
    bool attempted;
    DWORD error; // ERROR_SUCCESS when every function below was found
    FARPROC functions[kMaxFunctions];
};

struct SystemDllBindings {
    SystemDllBinding dlls[kSystemDllCount];
};

SystemDllBindings g_systemDllBindings = {};

DWORD UnavailableError(SystemDllIndex dll)
{
    return g_systemDllBindings.dlls[dll].error;
}

// What the calls do when their DLL cannot be had. The configuration
// manager's calls fail, and its code mapping then names the loader's error,
// so the lookup reports that; WinUSB's calls fail with it as last error.
CONFIGRET WINAPI UnavailableListSize(PULONG /*length*/, LPGUID /*interfaceClass*/,
                                     DEVINSTID_W /*deviceId*/, ULONG /*flags*/)
{
    return CR_FAILURE;
}

CONFIGRET WINAPI UnavailableList(LPGUID /*interfaceClass*/, DEVINSTID_W /*deviceId*/,
                                 PZZWSTR /*buffer*/, ULONG /*bufferLength*/, ULONG /*flags*/)
{
    return CR_FAILURE;
}

DWORD WINAPI UnavailableMapCrToWin32Err(CONFIGRET /*code*/, DWORD /*defaultError*/)
{
    return UnavailableError(kCfgmgr32);
}

BOOL WINAPI UnavailableInitialize(HANDLE /*device*/, PWINUSB_INTERFACE_HANDLE /*winusb*/)
{
    SetLastError(UnavailableError(kWinusb));
    return FALSE;
}

BOOL WINAPI UnavailableFree(WINUSB_INTERFACE_HANDLE /*winusb*/)
{
    SetLastError(UnavailableError(kWinusb));
    return FALSE;
}

BOOL WINAPI UnavailableGetDescriptor(WINUSB_INTERFACE_HANDLE /*winusb*/, UCHAR /*type*/,
                                     UCHAR /*index*/, USHORT /*language*/, PUCHAR /*buffer*/,
                                     ULONG /*length*/, PULONG /*transferred*/)
{
    SetLastError(UnavailableError(kWinusb));
    return FALSE;
}

BOOL WINAPI UnavailableWritePipe(WINUSB_INTERFACE_HANDLE /*winusb*/, UCHAR /*pipe*/,
                                 PUCHAR /*buffer*/, ULONG /*length*/, PULONG /*transferred*/,
                                 LPOVERLAPPED /*overlapped*/)
{
    SetLastError(UnavailableError(kWinusb));
    return FALSE;
}

// void (*)() converts to and from every function pointer type without a
// cast-function-type warning.
template <typename Function> FARPROC AsFarProc(Function function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// Every function the programs import from these DLLs, as the delay-import
// libraries list them.
const SystemDll kSystemDlls[kSystemDllCount] = {
    {"cfgmgr32.dll",
     {{"CM_Get_Device_Interface_List_SizeW", AsFarProc(UnavailableListSize)},
      {"CM_Get_Device_Interface_ListW", AsFarProc(UnavailableList)},
      {"CM_MapCrToWin32Err", AsFarProc(UnavailableMapCrToWin32Err)},
      {nullptr, nullptr}}},
    {"winusb.dll",
     {{"WinUsb_Initialize", AsFarProc(UnavailableInitialize)},
      {"WinUsb_Free", AsFarProc(UnavailableFree)},
      {"WinUsb_GetDescriptor", AsFarProc(UnavailableGetDescriptor)},
      {"WinUsb_WritePipe", AsFarProc(UnavailableWritePipe)}}},
};

bool SameName(const char* a, const char* b, bool ignoreCase)
{
    auto lower = [ignoreCase](char c) {
        return ignoreCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (lower(*a) != lower(*b))
            return false;
    return *a == *b;
}

DWORD LoaderError()
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_MOD_NOT_FOUND;
}

// All or nothing: a DLL with one function missing is not used at all, so
// that a connection is never opened by the DLL and left to a stand-in to
// close.
DWORD LoadFromSystem32(const SystemDll& dll, FARPROC* functions)
{
    // The flag holds for the DLLs it loads in turn too. Loaded for the rest
    // of the process, as the loader keeps what it loads.
    const HMODULE module = LoadLibraryExA(dll.name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr)
        return LoaderError();
    for (size_t i = 0; i < kMaxFunctions && dll.functions[i].name != nullptr; ++i) {
        functions[i] = GetProcAddress(module, dll.functions[i].name);
        if (functions[i] == nullptr)
            return LoaderError();
    }
    return ERROR_SUCCESS;
}

} // namespace

FARPROC BindSystemDllFunction(const char* dll, const char* function)
{
    if (dll == nullptr || function == nullptr)
        return nullptr;
    for (size_t d = 0; d < kSystemDllCount; ++d) {
        const SystemDll& known = kSystemDlls[d];
        if (!SameName(known.name, dll, true))
            continue;
        SystemDllBinding& binding = g_systemDllBindings.dlls[d];
        if (!binding.attempted) {
            binding.attempted = true;
            binding.error = LoadFromSystem32(known, binding.functions);
        }
        for (size_t i = 0; i < kMaxFunctions && known.functions[i].name != nullptr; ++i) {
            if (SameName(known.functions[i].name, function, false))
                return binding.error == ERROR_SUCCESS ? binding.functions[i]
                                                      : known.functions[i].unavailable;
        }
        return nullptr;
    }
    return nullptr;
}

void ResetSystemDllBindings()
{
    g_systemDllBindings = SystemDllBindings{};
}
