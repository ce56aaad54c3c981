// Simulated WinUSB on the interfaces of the scenario.
#include "platform/sim/files.h"
#include "platform/sim/state.h"
#include "platform/sim/system_dll_exports.h"

#include <algorithm>

using namespace sim;
using namespace sim::detail;

namespace {

UsbInterface* InterfaceOf(WINUSB_INTERFACE_HANDLE handle, const char* call)
{
    const HandleEntry* entry = FindHandle(handle, "winusb", call);
    if (entry == nullptr || entry->index >= S().scenario.usbInterfaces.size())
        return nullptr;
    return &S().scenario.usbInterfaces[entry->index];
}

} // namespace

namespace sim::dll {

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle)
{
    const Fault* fault = Enter("WinUsb_Initialize", Ptr(DeviceHandle));
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return FALSE;
    }
    const HandleEntry* file = FindHandle(DeviceHandle, "file", "WinUsb_Initialize");
    if (file == nullptr || file->object != FileObject::UsbInterface) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // WinUSB works only on a handle opened for overlapped I/O.
    if ((file->flags & FILE_FLAG_OVERLAPPED) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *InterfaceHandle = NewHandle("winusb", file->what, file->index);
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle)
{
    const Fault* fault = Enter("WinUsb_Free", Ptr(InterfaceHandle));
    if (FindHandle(InterfaceHandle, "winusb", "WinUsb_Free") == nullptr)
        return FALSE;
    DropHandle(InterfaceHandle, "WinUsb_Free");
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType,
                                 UCHAR Index, USHORT LanguageID, PUCHAR Buffer, ULONG BufferLength,
                                 PULONG LengthTransferred)
{
    const Fault* fault =
        Enter("WinUsb_GetDescriptor", Hex(DescriptorType) + ", " + std::to_string(Index) + ", " +
                                          std::to_string(LanguageID) + ", " +
                                          std::to_string(BufferLength));
    UsbInterface* usb = InterfaceOf(InterfaceHandle, "WinUsb_GetDescriptor");
    if (fault != nullptr || usb == nullptr || !usb->hasDescriptor ||
        DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE) {
        SetLastError(fault != nullptr ? fault->lastError : ERROR_GEN_FAILURE);
        return FALSE;
    }
    const ULONG length = std::min<ULONG>(BufferLength, static_cast<ULONG>(usb->descriptor.size()));
    std::copy(usb->descriptor.begin(), usb->descriptor.begin() + length, Buffer);
    *LengthTransferred = OddCount("WinUsb_GetDescriptor", length, BufferLength);
    return TRUE;
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                             ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped)
{
    const Fault* fault =
        Enter("WinUsb_WritePipe", Hex(PipeID) + ", " + HexBytes(Buffer, BufferLength) + ", " +
                                      std::to_string(BufferLength) + ", " + Ptr(Overlapped));
    UsbInterface* usb = InterfaceOf(InterfaceHandle, "WinUsb_WritePipe");
    if (fault != nullptr || usb == nullptr) {
        SetLastError(fault != nullptr ? fault->lastError : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const ULONG delivered = std::min(BufferLength, usb->writeReports);
    if (delivered > 0) {
        usb->writes.emplace_back(Buffer, Buffer + delivered);
        usb->writePipes.push_back(PipeID);
    }
    *LengthTransferred = OddCount("WinUsb_WritePipe", delivered, BufferLength);
    return TRUE;
}

} // namespace sim::dll
