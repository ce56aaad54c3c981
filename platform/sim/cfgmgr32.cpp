// Simulated configuration manager: the present interface list of a class.
#include "platform/sim/config_ret_errors.h"
#include "platform/sim/state.h"
#include "platform/sim/system_dll_exports.h"
#include "protocol/dfu_frame.h"

using namespace sim;
using namespace sim::detail;

namespace {

// The list as the configuration manager lays it out: each path terminated,
// the whole closed by an empty string.
std::wstring InterfaceList(const GUID* interfaceClass)
{
    std::wstring list;
    if (interfaceClass != nullptr && *interfaceClass == BrelvikInterfaceGuid) {
        const std::optional<std::wstring>& raw = S().scenario.rawInterfaceList;
        if (raw)
            return *raw;
        for (const UsbInterface& usb : S().scenario.usbInterfaces) {
            list += usb.path;
            list += L'\0';
        }
    }
    list += L'\0';
    return list;
}

std::string ListArgs(const GUID* guid, const WCHAR* deviceId, ULONG flags)
{
    return GuidText(guid) + ", " + Narrow(deviceId) + ", " + Hex(flags);
}

} // namespace

namespace sim::dll {

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                    DEVINSTID_W pDeviceID, ULONG ulFlags)
{
    const Fault* fault = Enter("CM_Get_Device_Interface_List_SizeW",
                               ListArgs(InterfaceClassGuid, pDeviceID, ulFlags));
    if (fault != nullptr)
        return static_cast<CONFIGRET>(fault->result);
    if (pulLen == nullptr)
        return CR_INVALID_POINTER;
    *pulLen = static_cast<ULONG>(InterfaceList(InterfaceClassGuid).size());
    const std::optional<ULONG>& rawLength = S().scenario.rawInterfaceListLength;
    if (S().scenario.rawInterfaceList && rawLength)
        *pulLen = *rawLength;
    if (OddHere("CM_Get_Device_Interface_List_SizeW", Odd::SizeZero))
        *pulLen = 0;
    if (OddHere("CM_Get_Device_Interface_List_SizeW", Odd::SizeHuge))
        *pulLen = 0xFFFFFFFF;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                               PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    const Fault* fault =
        Enter("CM_Get_Device_Interface_ListW",
              ListArgs(InterfaceClassGuid, pDeviceID, ulFlags) + ", " + std::to_string(BufferLen));
    if (fault != nullptr)
        return static_cast<CONFIGRET>(fault->result);

    // An adapter plugged in since the size query.
    Scenario& scenario = S().scenario;
    if (scenario.rawInterfaceList && scenario.listGrowths > 0) {
        --scenario.listGrowths;
        return CR_BUFFER_SMALL;
    }
    if (scenario.listGrowths > 0) {
        --scenario.listGrowths;
        UsbInterface grown = DefaultUsbInterface();
        grown.path += L"#grown" + std::to_wstring(scenario.usbInterfaces.size());
        scenario.usbInterfaces.push_back(grown);
    }

    if (Buffer == nullptr)
        return CR_INVALID_POINTER;
    const size_t bufferBytes = BlockSize(Buffer);
    if (bufferBytes != 0 && bufferBytes < static_cast<size_t>(BufferLen) * sizeof(WCHAR))
        Problem("CM_Get_Device_Interface_ListW told a buffer length beyond its block");

    if (OddHere("CM_Get_Device_Interface_ListW", Odd::ListEmpty)) {
        if (BufferLen == 0)
            return CR_BUFFER_SMALL;
        Buffer[0] = L'\0';
        return CR_SUCCESS;
    }
    std::wstring list = InterfaceList(InterfaceClassGuid);
    if (scenario.rawInterfaceList && list.size() > BufferLen)
        list.resize(BufferLen);
    if (list.size() > BufferLen)
        return CR_BUFFER_SMALL;
    if (OddHere("CM_Get_Device_Interface_ListW", Odd::ListUnterminated)) {
        // Every character of the buffer is part of a path.
        const std::wstring path = list.size() > 1 ? list.substr(0, list.find(L'\0')) : L"x";
        for (ULONG i = 0; i < BufferLen; ++i)
            Buffer[i] = i < path.size() ? path[i] : L'x';
        return CR_SUCCESS;
    }
    for (size_t i = 0; i < list.size(); ++i)
        Buffer[i] = list[i];
    return CR_SUCCESS;
}

DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr)
{
    Enter("CM_MapCrToWin32Err", Hex(CmReturnCode) + ", " + std::to_string(DefaultErr));
    return Win32ErrorOfConfigRet(CmReturnCode, DefaultErr);
}

} // namespace sim::dll
