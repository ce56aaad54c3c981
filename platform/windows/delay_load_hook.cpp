// The delay-load helper asks this hook first, on the first call of each
// delay-loaded function. It binds the call itself, so the helper's own
// LoadLibraryA, which would search the program's folder, never runs for a
// DLL we know; a DLL that cannot be had fails its calls instead of raising
// an exception that would end the process.
//
// Linked into each program as an object, not from a library: the runtime
// defines a null hook of its own, which a library member could not replace.
#include "platform/system_dll.h"

#include <delayimp.h>

namespace {

FARPROC WINAPI BindOnFirstCall(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliStartProcessing || info == nullptr || !info->dlp.fImportByName)
        return nullptr;
    return BindSystemDllFunction(info->szDll, info->dlp.szProcName);
}

} // namespace

// The SDK declares the hook const (the helper must not find it writable);
// mingw-w64 declares it plain. Either declaration gives it external linkage.
extern "C" {
#if defined(_MSC_VER)
const PfnDliHook __pfnDliNotifyHook2 = BindOnFirstCall;
#else
PfnDliHook __pfnDliNotifyHook2 = BindOnFirstCall;
#endif
}
