// The WinUSB connection to the adapter.
#pragma once

#include "platform/win32.h"

constexpr ULONG kDevicePathLength = 260;

struct WinUsbDevice {
    BOOL HandlesOpen; // TRUE only while both handles below are valid
    WINUSB_INTERFACE_HANDLE WinusbHandle;
    HANDLE DeviceHandle;
    WCHAR DevicePath[kDevicePathLength];
};

// Finds the first adapter interface, opens it and starts WinUSB on it.
// noDeviceOut is set to TRUE when no adapter interface is present.
HRESULT OpenWinUsbDevice(WinUsbDevice* device, PBOOL noDeviceOut);

// Releases what OpenWinUsbDevice acquired; harmless when nothing is open.
void CloseWinUsbDevice(WinUsbDevice* device);
