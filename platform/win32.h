// The Win32 surface both editions are written against.
//
// On Windows this is the SDK. Elsewhere the same names come from the
// stand-in under platform/sim, which declares them with Windows' widths
// and simulates exactly the calls the programs make.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <usbspec.h>
#include <winusb.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

// mingw-w64's cfgmgr32.h lacks this declaration; its import library has
// the export. The SDK declares it with the same signature.
#if defined(__MINGW32__)
extern "C" DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr);
#endif

#else

#include "platform/sim/win32_sim.h"

#endif
