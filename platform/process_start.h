// What each program does before anything else of it runs. On Windows a
// TLS callback (windows/process_start.cpp) calls it when the process
// attaches, before the runtime's start-up code and every DLL the program
// would load by name: from then on the loader searches System32 alone, so
// a DLL of a system name put beside the program or in the working folder
// is never loaded in its place.
#pragma once

// Restricts the process's DLL search to System32, with
// SetDefaultDllDirectories looked up in kernel32. Where that fails, or a
// Windows lacks the function (Windows 7 without KB2533623: HRESULT
// 0x8007007f), it loads nothing more: it writes "Failed restricting DLL
// search to System32, HRESULT 0x<hr>" to standard error with kernel32
// alone (no runtime is up yet) and ends the process at once with that
// HRESULT as its exit status.
void RestrictDllSearchAtStart();
