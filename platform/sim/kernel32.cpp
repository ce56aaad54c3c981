// Simulated kernel32: last error, file opens, writes, closes and driver
// requests, the process heap and local memory.
#include "platform/sim/files.h"
#include "platform/sim/state.h"
#include "protocol/dfu_frame.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace sim;
using namespace sim::detail;

namespace {

const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xFEED0000));
const HANDLE kStdError = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xFEED0012));
// Windows' pseudo-handle for the calling process.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

[[noreturn]] void EndProcess(UINT status)
{
    if (S().atProcessEnd != nullptr)
        S().atProcessEnd();
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    std::_Exit(static_cast<int>(status & 0xFFu));
}

// The one request the legacy driver answers: function 3 of an unknown
// device type, buffered, any access.
const DWORD kDriverQueryCode = 0x0022000C;

std::wstring PipeFileOf(const std::wstring& interfacePath)
{
    return interfacePath + L"\\" + kDriverPipeFileName;
}

// A pointer into a live block must leave `size` bytes inside it; memory
// the platform does not track (stack, statics) is taken as large enough.
bool FitsItsBlock(const void* p, size_t size, const char* call)
{
    for (const auto& entry : S().blocks) {
        const BYTE* start = static_cast<const BYTE*>(entry.first);
        const BYTE* at = static_cast<const BYTE*>(p);
        if (at >= start && at < start + std::max<size_t>(entry.second.size, 1)) {
            if (static_cast<size_t>(at - start) + size > entry.second.size) {
                Problem(std::string(call) + " given a buffer larger than its block");
                return false;
            }
            return true;
        }
    }
    return true;
}

DriverInterface* DriverOf(const HandleEntry& entry)
{
    if ((entry.object != FileObject::DriverInterface && entry.object != FileObject::DriverPipe) ||
        entry.index >= S().scenario.driverInterfaces.size())
        return nullptr;
    return &S().scenario.driverInterfaces[entry.index];
}

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
    const std::vector<DriverInterface>& drivers = S().scenario.driverInterfaces;
    for (size_t i = 0; i < drivers.size(); ++i) {
        if (drivers[i].path == path) {
            object = FileObject{FileObject::DriverInterface, i};
            return true;
        }
        if (PipeFileOf(drivers[i].path) == path) {
            object = FileObject{FileObject::DriverPipe, i};
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
    if (object.kind == FileObject::DriverInterface &&
        !S().scenario.driverInterfaces[object.index].opens) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (object.kind == FileObject::DriverPipe &&
        !S().scenario.driverInterfaces[object.index].pipeOpens) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Unlike most calls, a successful open sets the last error (to 0 for
    // OPEN_EXISTING).
    SetLastError(ERROR_SUCCESS);
    const char* kind = object.kind == FileObject::DriverPipe ? "pipe" : "file";
    return NewHandle(kind, Narrow(lpFileName), object.index, dwFlagsAndAttributes, object.kind);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    const Fault* fault = Enter("CloseHandle", Ptr(hObject));
    auto open = S().handles.find(hObject);
    if (open != S().handles.end() && open->second.kind != "file" && open->second.kind != "pipe") {
        Problem("CloseHandle on a " + open->second.kind + " handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
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

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    const Fault* fault = Enter("GetStdHandle", std::to_string(static_cast<int32_t>(nStdHandle)));
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return INVALID_HANDLE_VALUE;
    }
    if (nStdHandle != STD_ERROR_HANDLE) {
        Problem("GetStdHandle of a handle other than standard error");
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return kStdError;
}

HANDLE WINAPI GetCurrentProcess()
{
    return kCurrentProcess;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    const Fault* fault = Enter("TerminateProcess", Ptr(hProcess) + ", " + Hex(uExitCode));
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return FALSE;
    }
    if (hProcess != kCurrentProcess) {
        Problem("TerminateProcess of a process other than the caller");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    EndProcess(uExitCode);
}

void WINAPI ExitProcess(UINT uExitCode)
{
    Enter("ExitProcess", Hex(uExitCode));
    EndProcess(uExitCode);
}

HANDLE WINAPI GetProcessHeap()
{
    return kProcessHeap;
}

namespace {

// The part of HeapAlloc and LocalAlloc that follows their own checks: a
// planned failure, a request beyond the largest block, or the block.
// HeapAlloc fails without setting the last error; LocalAlloc sets it.
void* AllocateBlock(const Fault* fault, const char* kind, SIZE_T bytes, bool zero,
                    bool setsLastError)
{
    if (fault == nullptr && bytes <= kLargestBlock)
        return NewBlock(kind, bytes, zero);
    if (setsLastError)
        SetLastError(fault != nullptr ? fault->lastError : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// The process heap is shared with threads the programs do not start (a
// console control handler among them), so HEAP_NO_SERIALIZE has no place
// on it; HEAP_GENERATE_EXCEPTIONS would raise where the programs look for
// null.
void CheckHeapFlags(const char* call, DWORD flags, DWORD allowed)
{
    if ((flags & ~allowed) != 0)
        Problem(std::string(call) + " with flags " + Hex(flags) + " on the process heap");
}

} // namespace

// cppcheck-suppress constParameter ; the SDK's signature
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    const Fault* fault = Enter("HeapAlloc", Hex(dwFlags) + ", " + std::to_string(dwBytes));
    if (hHeap != kProcessHeap)
        Problem("HeapAlloc on a heap that is not the process heap");
    CheckHeapFlags("HeapAlloc", dwFlags, HEAP_ZERO_MEMORY);
    return AllocateBlock(fault, "heap", dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0, false);
}

// cppcheck-suppress constParameter ; the SDK's signature
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    const Fault* fault = Enter("HeapFree", Hex(dwFlags) + ", " + Ptr(lpMem));
    if (hHeap != kProcessHeap)
        Problem("HeapFree on a heap that is not the process heap");
    CheckHeapFlags("HeapFree", dwFlags, 0);
    if (lpMem == nullptr)
        return TRUE;
    if (!DropBlock("heap", lpMem, "HeapFree"))
        return FALSE;
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    const Fault* fault =
        Enter("WriteFile", Ptr(hFile) + ", " + HexBytes(lpBuffer, nNumberOfBytesToWrite) + ", " +
                               std::to_string(nNumberOfBytesToWrite) + ", " +
                               Ptr(lpNumberOfBytesWritten) + ", " + Ptr(lpOverlapped));
    if (lpOverlapped == nullptr && lpNumberOfBytesWritten == nullptr) {
        Problem("WriteFile without a byte count or an OVERLAPPED");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return FALSE;
    }
    if (hFile == kStdError && lpOverlapped == nullptr) {
        EmitStderr(std::string(static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite));
        if (lpNumberOfBytesWritten != nullptr)
            *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
        return TRUE;
    }
    auto open = S().handles.find(hFile);
    DriverInterface* driver = nullptr;
    if (open != S().handles.end() && (open->second.kind == "pipe" || open->second.kind == "file"))
        driver = DriverOf(open->second);
    if (driver == nullptr) {
        if (open == S().handles.end())
            Problem("WriteFile on a handle that is not open");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((open->second.flags & FILE_FLAG_OVERLAPPED) != 0 && lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const BYTE* bytes = static_cast<const BYTE*>(lpBuffer);
    if (open->second.object == FileObject::DriverInterface) {
        // The interface takes no plain writes; keep them so a test sees any.
        driver->interfaceWrites.emplace_back(bytes, bytes + nNumberOfBytesToWrite);
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!driver->pipeWriteSucceeds) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const DWORD delivered = std::min(nNumberOfBytesToWrite, driver->pipeWriteReports);
    driver->pipeWrites.emplace_back(bytes, bytes + delivered);
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = OddCount("WriteFile", delivered, nNumberOfBytesToWrite);
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    const Fault* fault =
        Enter("DeviceIoControl", Ptr(hDevice) + ", " + Hex(dwIoControlCode) + ", " +
                                     Ptr(lpInBuffer) + ", " + std::to_string(nInBufferSize) + ", " +
                                     Ptr(lpOutBuffer) + ", " + std::to_string(nOutBufferSize) +
                                     ", " + Ptr(lpBytesReturned) + ", " + Ptr(lpOverlapped));
    if (lpOverlapped == nullptr && lpBytesReturned == nullptr) {
        Problem("DeviceIoControl without a byte count or an OVERLAPPED");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return FALSE;
    }
    const HandleEntry* file = FindHandle(hDevice, "file", "DeviceIoControl");
    DriverInterface* driver = file != nullptr ? DriverOf(*file) : nullptr;
    if (driver == nullptr || file->object != FileObject::DriverInterface) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((file->flags & FILE_FLAG_OVERLAPPED) != 0 && lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwIoControlCode != kDriverQueryCode) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!FitsItsBlock(lpOutBuffer, nOutBufferSize, "DeviceIoControl") ||
        (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!driver->answersQuery) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const DWORD length = std::min(nOutBufferSize, static_cast<DWORD>(driver->reply.size()));
    std::copy(driver->reply.begin(), driver->reply.begin() + length,
              static_cast<BYTE*>(lpOutBuffer));
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = OddCount("DeviceIoControl", length, nOutBufferSize);
    return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    const Fault* fault = Enter("LocalAlloc", Hex(uFlags) + ", " + std::to_string(uBytes));
    // Only fixed blocks are simulated: a moveable one would be a handle,
    // not a pointer.
    if ((uFlags & ~LMEM_ZEROINIT) != LMEM_FIXED)
        Problem("LocalAlloc with flags other than LMEM_FIXED and LMEM_ZEROINIT");
    return AllocateBlock(fault, "local", uBytes, (uFlags & LMEM_ZEROINIT) != 0, true);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    const Fault* fault = Enter("LocalFree", Ptr(hMem));
    if (hMem == nullptr)
        return nullptr;
    if (!DropBlock("local", hMem, "LocalFree")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return hMem;
    }
    return nullptr;
}
