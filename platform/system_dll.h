// The system DLLs that are not KnownDLLs (cfgmgr32.dll, winusb.dll).
//
// Windows looks for such a DLL in the program's own folder before System32,
// and on a shared bench PC anyone may have put a DLL of that name there.
// The programs therefore import them delay-loaded, and the delay-load hook
// binds each function on its first call through BindSystemDllFunction,
// which names System32 in the load itself; the process's default search
// is System32 alone from its start anyway (process_start.h).
#pragma once

#include "platform/win32.h"

// The function to run for a call of `function` in `dll`: the DLL's own,
// taken from System32 alone, or, when the DLL cannot be loaded from there
// or lacks any function the programs use from it, a stand-in that fails as
// that call fails, with the loader's error (ERROR_MOD_NOT_FOUND, say) as
// its error. Null for a DLL or function the programs do not use.
FARPROC BindSystemDllFunction(const char* dll, const char* function);

// Forgets every binding, as a new process starts without any; for the
// simulated platform, whose test runs are processes of their own.
void ResetSystemDllBindings();
