// HRESULTs from Win32 error codes, as the WinUSB edition reports them.
#pragma once

#include "platform/win32.h"

// A positive error code e becomes 0x80070000 | (e & 0xFFFF); zero and codes
// that are already negative as HRESULTs pass unchanged.
inline HRESULT HResultFromWin32Error(DWORD error)
{
    const HRESULT asHResult = static_cast<HRESULT>(error);
    if (asHResult <= 0)
        return asHResult;
    return static_cast<HRESULT>((error & 0x0000FFFFu) | 0x80070000u);
}

// For a call that has just failed. A platform that failed without setting
// a last error would otherwise hand back S_OK and the caller would go on
// with a handle it does not have.
inline HRESULT FailureFromLastError()
{
    const HRESULT hr = HResultFromWin32Error(GetLastError());
    return FAILED(hr) ? hr : E_FAIL;
}
