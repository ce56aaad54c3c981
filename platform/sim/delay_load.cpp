// The WinUSB edition's calls into cfgmgr32.dll and winusb.dll, delay-loaded
// as in the Windows build: the first call of each function binds it through
// BindSystemDllFunction, as the loader's delay-load helper does through our
// hook, and later calls go straight to what it bound.
#include "platform/sim/state.h"
#include "platform/system_dll.h"

using namespace sim;
using namespace sim::detail;

namespace {

template <typename Function> Function Bound(const char* dll, const char* function)
{
    FARPROC slot = S().delayBound[function];
    if (slot == nullptr) {
        slot = BindSystemDllFunction(dll, function);
        // The helper would raise an exception that ends the process.
        if (slot == nullptr)
            Problem(std::string("the delay-load hook bound nothing for ") + function);
        S().delayBound[function] = slot;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(slot));
}

} // namespace

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                    DEVINSTID_W pDeviceID, ULONG ulFlags)
{
    return Bound<decltype(&CM_Get_Device_Interface_List_SizeW)>(
        "cfgmgr32.dll", "CM_Get_Device_Interface_List_SizeW")(pulLen, InterfaceClassGuid, pDeviceID,
                                                              ulFlags);
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                               PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    return Bound<decltype(&CM_Get_Device_Interface_ListW)>(
        "cfgmgr32.dll", "CM_Get_Device_Interface_ListW")(InterfaceClassGuid, pDeviceID, Buffer,
                                                         BufferLen, ulFlags);
}

DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr)
{
    return Bound<decltype(&CM_MapCrToWin32Err)>("cfgmgr32.dll", "CM_MapCrToWin32Err")(CmReturnCode,
                                                                                      DefaultErr);
}

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle)
{
    return Bound<decltype(&WinUsb_Initialize)>("winusb.dll", "WinUsb_Initialize")(DeviceHandle,
                                                                                  InterfaceHandle);
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle)
{
    return Bound<decltype(&WinUsb_Free)>("winusb.dll", "WinUsb_Free")(InterfaceHandle);
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType,
                                 UCHAR Index, USHORT LanguageID, PUCHAR Buffer, ULONG BufferLength,
                                 PULONG LengthTransferred)
{
    return Bound<decltype(&WinUsb_GetDescriptor)>("winusb.dll", "WinUsb_GetDescriptor")(
        InterfaceHandle, DescriptorType, Index, LanguageID, Buffer, BufferLength,
        LengthTransferred);
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                             ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped)
{
    return Bound<decltype(&WinUsb_WritePipe)>("winusb.dll", "WinUsb_WritePipe")(
        InterfaceHandle, PipeID, Buffer, BufferLength, LengthTransferred, Overlapped);
}
