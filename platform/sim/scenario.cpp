// The adapter the simulated platform presents by default.
#include "platform/sim/sim.h"
#include "protocol/dfu_frame.h"

namespace sim {

std::vector<BYTE> DeviceDescriptor(USHORT vendorId, USHORT productId, USHORT bcdUsb)
{
    return {18,
            USB_DEVICE_DESCRIPTOR_TYPE,
            static_cast<BYTE>(bcdUsb & 0xFF),
            static_cast<BYTE>(bcdUsb >> 8),
            0x00,
            0x00,
            0x00,
            64,
            static_cast<BYTE>(vendorId & 0xFF),
            static_cast<BYTE>(vendorId >> 8),
            static_cast<BYTE>(productId & 0xFF),
            static_cast<BYTE>(productId >> 8),
            0x00,
            0x02,
            1,
            2,
            3,
            1};
}

UsbInterface DefaultUsbInterface()
{
    UsbInterface usb;
    usb.path = L"\\\\?\\USB#VID_0483&PID_1234#0001#{3ea03b52-c71a-433c-a626-e8ad96f2578b}";
    usb.descriptor = DeviceDescriptor(kBrelvikVendorId, kBrelvikProductId, 0x0200);
    return usb;
}

DriverInterface DefaultDriverInterface()
{
    DriverInterface driver;
    driver.path =
        L"\\\\?\\usb#vid_0483&pid_1234#5&1a2b3c4d&0&1#{3ea03b52-c71a-433c-a626-e8ad96f2578b}";
    driver.reply = {0x01, 0x00, 0x00, 0x00};
    return driver;
}

Scenario DefaultScenario()
{
    Scenario scenario;
    scenario.usbInterfaces.push_back(DefaultUsbInterface());
    scenario.driverInterfaces.push_back(DefaultDriverInterface());
    // The same adapter as WMI lists it.
    scenario.usbHubs.push_back(UsbHub{L"USB\\VID_0483&PID_1234\\0001"});
    return scenario;
}

} // namespace sim
