// Stand-in WinUSB on whatever file the program opened as the adapter
// interface. Scenario (BRELVIK_STANDIN_<name>):
//
//   INIT_RESULT=fail, INIT_ERROR    WinUsb_Initialize fails, leaving INIT_ERROR
//                                   (default 0) as the last error
//   DESCRIPTOR_RESULT=fail,         WinUsb_GetDescriptor fails, leaving
//   DESCRIPTOR_ERROR                DESCRIPTOR_ERROR (default 31) as the last error
//   DESCRIPTOR_LENGTH               device descriptor bytes handed back (18)
//   VENDOR, PRODUCT, BCDUSB         the descriptor's ids (the adapter's, 0x0200)
//   WRITE_RESULT=fail, WRITE_ERROR  WinUsb_WritePipe fails, leaving WRITE_ERROR (if
//                                   given) as the last error
//   WRITE_LENGTH                    bytes it reports written (all, or 0 on failure)
//
// Calls that succeed leave the last error alone, as Windows' do.
//
// At process exit it logs whether the program closed the file and freed the
// WinUSB handle it was given.
#include <windows.h>
#include <winternl.h>
#include <winusb.h>

#include "protocol/dfu_frame.h"
#include "standin.h"

#include <algorithm>
#include <string>

using namespace standin;

namespace {

struct Interface {
    HANDLE deviceFile = nullptr;
    std::wstring openedPath;
    bool initialized = false;
    bool freed = false;
} g_interface;

std::wstring FinalPath(HANDLE file)
{
    WCHAR path[1024];
    const DWORD length = GetFinalPathNameByHandleW(file, path, ARRAYSIZE(path),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= ARRAYSIZE(path))
        return std::wstring();
    return std::wstring(path, length);
}

// How the file was opened: WinUSB needs read and write access and a handle
// for overlapped I/O.
std::string OpenMode(HANDLE file)
{
    const ULONG kFileAccessInformation = 8;
    const ULONG kFileModeInformation = 16;
    const ULONG kSynchronousIo = 0x10 | 0x20; // FILE_SYNCHRONOUS_IO_(NON)ALERT

    IO_STATUS_BLOCK status = {};
    ACCESS_MASK access = 0;
    ULONG mode = 0;
    if (!NT_SUCCESS(
            NtQueryInformationFile(file, &status, &access, sizeof(access),
                                   static_cast<FILE_INFORMATION_CLASS>(kFileAccessInformation))) ||
        !NT_SUCCESS(
            NtQueryInformationFile(file, &status, &mode, sizeof(mode),
                                   static_cast<FILE_INFORMATION_CLASS>(kFileModeInformation))))
        return "unknown";

    std::string text;
    text += (access & FILE_READ_DATA) != 0 ? "read" : "no-read";
    text += (access & FILE_WRITE_DATA) != 0 ? ",write" : ",no-write";
    text += (mode & kSynchronousIo) != 0 ? ",synchronous" : ",overlapped";
    return text;
}

bool KnownHandle(WINUSB_INTERFACE_HANDLE handle)
{
    return handle == &g_interface && g_interface.initialized && !g_interface.freed;
}

} // namespace

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle)
{
    g_interface.deviceFile = DeviceHandle;
    g_interface.openedPath = FinalPath(DeviceHandle);
    const bool fail = Text(L"INIT_RESULT") == L"fail";
    Log("WinUsb_Initialize file=%s mode=%s -> %s", Utf8(g_interface.openedPath.c_str()).c_str(),
        OpenMode(DeviceHandle).c_str(), fail ? "fail" : "ok");
    if (fail) {
        SetLastError(Number(L"INIT_ERROR", 0));
        return FALSE;
    }
    g_interface.initialized = true;
    *InterfaceHandle = &g_interface;
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle)
{
    if (!KnownHandle(InterfaceHandle)) {
        Log("WinUsb_Free unknown handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Log("WinUsb_Free");
    g_interface.freed = true;
    return TRUE;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType,
                                 UCHAR Index, USHORT LanguageID, PUCHAR Buffer, ULONG BufferLength,
                                 PULONG LengthTransferred)
{
    if (!KnownHandle(InterfaceHandle)) {
        Log("WinUsb_GetDescriptor unknown handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (Text(L"DESCRIPTOR_RESULT") == L"fail" || DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE ||
        Index != 0) {
        Log("WinUsb_GetDescriptor type=%u index=%u language=%u length=%lu -> fail", DescriptorType,
            Index, LanguageID, BufferLength);
        SetLastError(Number(L"DESCRIPTOR_ERROR", ERROR_GEN_FAILURE));
        return FALSE;
    }

    const USHORT vendor = static_cast<USHORT>(Number(L"VENDOR", kBrelvikVendorId));
    const USHORT product = static_cast<USHORT>(Number(L"PRODUCT", kBrelvikProductId));
    const USHORT bcdUsb = static_cast<USHORT>(Number(L"BCDUSB", 0x0200));
    const UCHAR descriptor[18] = {18,
                                  USB_DEVICE_DESCRIPTOR_TYPE,
                                  LOBYTE(bcdUsb),
                                  HIBYTE(bcdUsb),
                                  0,
                                  0,
                                  0,
                                  64,
                                  LOBYTE(vendor),
                                  HIBYTE(vendor),
                                  LOBYTE(product),
                                  HIBYTE(product),
                                  0x00,
                                  0x01,
                                  1,
                                  2,
                                  3,
                                  1};
    const ULONG length =
        std::min<ULONG>({BufferLength, Number(L"DESCRIPTOR_LENGTH", sizeof(descriptor)),
                         static_cast<ULONG>(sizeof(descriptor))});
    std::copy(descriptor, descriptor + length, Buffer);
    *LengthTransferred = length;
    Log("WinUsb_GetDescriptor type=%u index=%u language=%u length=%lu -> %lu", DescriptorType,
        Index, LanguageID, BufferLength, length);
    return TRUE;
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                             ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped)
{
    if (!KnownHandle(InterfaceHandle)) {
        Log("WinUsb_WritePipe unknown handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool fail = Text(L"WRITE_RESULT") == L"fail";
    const ULONG written =
        std::min<ULONG>(BufferLength, Number(L"WRITE_LENGTH", fail ? 0 : BufferLength));
    if (LengthTransferred != nullptr)
        *LengthTransferred = written;
    Log("WinUsb_WritePipe pipe=0x%02x length=%lu bytes=%s overlapped=%s -> %s written=%lu", PipeID,
        BufferLength, HexBytes(Buffer, BufferLength).c_str(), Overlapped ? "given" : "none",
        fail ? "fail" : "ok", written);
    if (!fail)
        return TRUE;
    if (IsSet(L"WRITE_ERROR"))
        SetLastError(Number(L"WRITE_ERROR", 0));
    return FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/)
{
    if (reason != DLL_PROCESS_DETACH || g_interface.deviceFile == nullptr)
        return TRUE;
    // A handle value can be reused once closed: the file counts as still open
    // only while the handle leads to the same file.
    const std::wstring path = FinalPath(g_interface.deviceFile);
    const bool fileOpen = !path.empty() && path == g_interface.openedPath;
    const char* winusb = "none";
    if (g_interface.initialized)
        winusb = g_interface.freed ? "freed" : "not-freed";
    Log("exit device-file=%s winusb=%s", fileOpen ? "open" : "closed", winusb);
    return TRUE;
}
