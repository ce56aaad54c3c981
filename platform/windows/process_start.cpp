// The first code of ours in every process. The loader calls an image's TLS
// callbacks when the process attaches, before its entry point: before the
// runtime's start-up code and its constructors, and so before anything
// that may load a DLL by name.
//
// Linked into each program as an object: nothing refers to the callback,
// so as a library member it would be left out.
#include "platform/process_start.h"

#include "platform/win32.h"

#if defined(__MINGW32__)
#include "platform/windows/stack_guard.h"
// It runs before the stack guard has its value and must not check it.
#define BRELVIK_UNGUARDED __attribute__((no_stack_protector))
#else
#define BRELVIK_UNGUARDED __declspec(safebuffers)
#endif

namespace {

BRELVIK_UNGUARDED void NTAPI OnProcessStart(PVOID /*module*/, DWORD reason, PVOID /*reserved*/)
{
    if (reason != DLL_PROCESS_ATTACH)
        return;
#if defined(__MINGW32__)
    // Before any function of ours that checks it runs.
    SeedStackGuard();
#endif
    RestrictDllSearchAtStart();
}

} // namespace

// Between the runtime's bounds of the callback array (.CRT$XLA, .CRT$XLZ)
// and before its own callbacks (.CRT$XLC on).
#if defined(_MSC_VER)
#pragma comment(linker, "/INCLUDE:_tls_used")
#pragma comment(linker, "/INCLUDE:brelvik_process_start")
#pragma const_seg(".CRT$XLB")
extern "C" const PIMAGE_TLS_CALLBACK brelvik_process_start = OnProcessStart;
#pragma const_seg()
#else
extern "C" __attribute__((section(".CRT$XLB"), used))
const PIMAGE_TLS_CALLBACK brelvik_process_start = OnProcessStart;
#endif
