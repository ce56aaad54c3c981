#include "winusb_edition/winusb_device.h"

#include "winusb_edition/device_path.h"
#include "winusb_edition/win32_error.h"

HRESULT OpenWinUsbDevice(WinUsbDevice* device, PBOOL noDeviceOut)
{
    device->HandlesOpen = FALSE;

    const HRESULT hr =
        RetrieveDevicePath(device->DevicePath, sizeof(device->DevicePath), noDeviceOut);
    if (FAILED(hr))
        return hr;

    // WinUSB needs a handle opened for overlapped I/O, even for the
    // synchronous calls we make on it.
    device->DeviceHandle = CreateFileW(device->DevicePath, GENERIC_WRITE | GENERIC_READ,
                                       FILE_SHARE_WRITE | FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device->DeviceHandle == INVALID_HANDLE_VALUE)
        return FailureFromLastError();

    if (!WinUsb_Initialize(device->DeviceHandle, &device->WinusbHandle)) {
        const HRESULT initError = FailureFromLastError();
        CloseHandle(device->DeviceHandle);
        device->DeviceHandle = INVALID_HANDLE_VALUE;
        return initError;
    }

    device->HandlesOpen = TRUE;
    return hr;
}

void CloseWinUsbDevice(WinUsbDevice* device)
{
    if (!device->HandlesOpen)
        return;
    WinUsb_Free(device->WinusbHandle);
    CloseHandle(device->DeviceHandle);
    device->HandlesOpen = FALSE;
}
