// The adapter the simulated platform presents by default.
#include "platform/sim/sim.h"
#include "protocol/dfu_frame.h"

#include <cwctype>

namespace sim {

namespace {

std::wstring Lower(std::wstring text)
{
    for (wchar_t& ch : text)
        ch = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(ch)));
    return text;
}

std::wstring HubDeviceId(USHORT vendorId, USHORT productId, const wchar_t* instance)
{
    return std::wstring(L"USB\\VID_") + HexText<4>(vendorId).text + L"&PID_" +
           HexText<4>(productId).text + L"\\" + instance;
}

} // namespace

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
    usb.path = std::wstring(L"\\\\?\\USB#") + kBrelvikHardwareId.text + L"#0001#" +
               Lower(kBrelvikInterfaceClassText.text);
    usb.descriptor = DeviceDescriptor(kBrelvikVendorId, kBrelvikProductId, 0x0200);
    return usb;
}

DriverInterface DefaultDriverInterface()
{
    DriverInterface driver;
    driver.path = Lower(std::wstring(L"\\\\?\\USB#") + kBrelvikHardwareId.text +
                        L"#5&1A2B3C4D&0&1#" + kBrelvikInterfaceClassText.text);
    driver.reply = {0x01, 0x00, 0x00, 0x00};
    return driver;
}

UsbHub AdapterHub(const wchar_t* instance)
{
    return UsbHub{HubDeviceId(kBrelvikVendorId, kBrelvikProductId, instance)};
}

Scenario DefaultScenario()
{
    Scenario scenario;
    scenario.usbInterfaces.push_back(DefaultUsbInterface());
    scenario.driverInterfaces.push_back(DefaultDriverInterface());
    // The same adapter as WMI lists it, among hubs the program's query must
    // not match: a root hub, another vendor's device with the adapter's
    // product id, and the adapter's vendor with another product id.
    scenario.usbHubs = {
        UsbHub{L"USB\\ROOT_HUB30\\4&2B5C7E1&0&0"},
        UsbHub{HubDeviceId(static_cast<USHORT>(kBrelvikVendorId + 1), kBrelvikProductId, L"0001")},
        AdapterHub(L"0001"),
        UsbHub{HubDeviceId(kBrelvikVendorId, static_cast<USHORT>(kBrelvikProductId + 1), L"0002")},
    };
    return scenario;
}

} // namespace sim
