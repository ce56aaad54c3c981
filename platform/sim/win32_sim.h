// Declarations of the Win32 names the programs use, for builds that have
// no Windows SDK. Widths follow Windows, not the host: DWORD, ULONG and
// LONG are 32-bit, HRESULT is signed 32-bit, HANDLE is a pointer. WCHAR is
// the host's wchar_t, so L"" literals keep working; code that needs a byte
// count for a wide buffer uses sizeof, never a literal 2.
#pragma once

#include "platform/sim/include/types.h"
#include "platform/sim/include/kernel32.h"
#include "platform/sim/include/cfgmgr32.h"
#include "platform/sim/include/setupapi.h"
#include "platform/sim/include/winusb.h"
#include "platform/sim/include/com.h"
#include "platform/sim/include/wbem.h"
