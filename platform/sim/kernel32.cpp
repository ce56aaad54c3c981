// Simulated kernel32: last error, file opens and closes, the process heap.
#include "platform/sim/files.h"
#include "platform/sim/state.h"

using namespace sim;
using namespace sim::detail;

namespace {

const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xFEED0000));

} // namespace

namespace sim::detail {

bool ResolveFile(const std::wstring& path, FileObject& object)
{
    const std::vector<UsbInterface>& usb = S().scenario.usbInterfaces;
    for (size_t i = 0; i < usb.size(); ++i) {
        if (usb[i].path == path) {
            object = FileObject{FileObject::UsbInterface, i};
            return true;
        }
    }
    return false;
}

} // namespace sim::detail

DWORD WINAPI GetLastError()
{
    return S().lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    S().lastError = dwErrCode;
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    const Fault* fault =
        Enter("CreateFileW", Narrow(lpFileName) + ", " + Hex(dwDesiredAccess) + ", " +
                                 Hex(dwShareMode) + ", " + Ptr(lpSecurityAttributes) + ", " +
                                 std::to_string(dwCreationDisposition) + ", " +
                                 Hex(dwFlagsAndAttributes) + ", " + Ptr(hTemplateFile));
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return INVALID_HANDLE_VALUE;
    }
    FileObject object;
    if (lpFileName == nullptr || !ResolveFile(lpFileName, object)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return NewHandle("file", Narrow(lpFileName), object.index, dwFlagsAndAttributes, object.kind);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    const Fault* fault = Enter("CloseHandle", Ptr(hObject));
    if (!DropHandle(hObject, "CloseHandle")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (fault != nullptr) {
        // The handle is gone all the same, as on Windows.
        SetLastError(fault->lastError);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI GetProcessHeap()
{
    return kProcessHeap;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    const Fault* fault = Enter("HeapAlloc", Hex(dwFlags) + ", " + std::to_string(dwBytes));
    if (hHeap != kProcessHeap)
        Problem("HeapAlloc on a heap that is not the process heap");
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return nullptr;
    }
    // A request the size of the address space is refused, as Windows would.
    if (dwBytes > (static_cast<SIZE_T>(1) << 32))
        return nullptr;
    return NewBlock("heap", dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    Enter("HeapFree", Hex(dwFlags) + ", " + Ptr(lpMem));
    if (hHeap != kProcessHeap)
        Problem("HeapFree on a heap that is not the process heap");
    if (lpMem == nullptr)
        return TRUE;
    return DropBlock("heap", lpMem, "HeapFree") ? TRUE : FALSE;
}
