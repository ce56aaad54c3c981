#include "winusb_edition/program.h"

#include "platform/console.h"
#include "platform/win32.h"
#include "protocol/dfu_frame.h"
#include "winusb_edition/winusb_device.h"

int WinUsbEditionMain()
{
    WinUsbDevice device = {};
    BOOL noDevice = FALSE;

    const HRESULT hr = OpenWinUsbDevice(&device, &noDevice);
    if (FAILED(hr)) {
        if (noDevice)
            ConsoleOutW(L"Device not connected or driver not installed\n");
        else
            ConsoleOutW(L"Failed looking for device, HRESULT 0x%x\n", static_cast<unsigned>(hr));
        return 0;
    }

    // The descriptor only names the adapter in the result line; whether it
    // came back whole is judged by its length after the frame is out.
    USB_DEVICE_DESCRIPTOR deviceDesc = {};
    ULONG lengthReceived = 0;
    WinUsb_GetDescriptor(device.WinusbHandle, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                         reinterpret_cast<PUCHAR>(&deviceDesc), sizeof(deviceDesc),
                         &lengthReceived);

    DfuEntryFrame frame;
    BuildDfuEntryFrame(frame);
    ULONG bytesWritten = 0;
    const BOOL wrote = WinUsb_WritePipe(device.WinusbHandle, kDfuEntryPipeId, frame, sizeof(frame),
                                        &bytesWritten, nullptr);

    // A short write has not delivered the command, whatever the call says.
    // Only a failed call has an error of its own: after one that succeeded,
    // the last error still holds whatever an earlier call left there.
    const bool delivered = wrote && bytesWritten >= sizeof(frame);
    if (delivered && lengthReceived == kUsbDeviceDescriptorLength) {
        ConsoleOutW(L"Device found: VID_%04X&PID_%04X; bcdUsb %04X\n",
                    static_cast<unsigned>(deviceDesc.idVendor),
                    static_cast<unsigned>(deviceDesc.idProduct),
                    static_cast<unsigned>(deviceDesc.bcdUSB));
    } else {
        const DWORD writeError = wrote ? ERROR_SUCCESS : GetLastError();
        ConsoleOutW(L"Error among LastError %d or lengthReceived %d\n",
                    static_cast<int>(writeError), static_cast<int>(lengthReceived));
    }

    CloseWinUsbDevice(&device);
    return 0;
}
