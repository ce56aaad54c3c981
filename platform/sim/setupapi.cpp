// Simulated SetupAPI: device information sets over the legacy driver's
// interfaces, their enumeration and their detail records, with the size
// checks Windows makes on the caller's records.
#include "platform/sim/state.h"
#include "protocol/dfu_frame.h"

#include <cstddef>
#include <cstring>

using namespace sim;
using namespace sim::detail;

namespace {

// GUID_DEVCLASS_USB: the setup class the adapter's device belongs to.
const GUID kUsbSetupClass = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

const size_t kDetailPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

// A set built for the adapter's interface class holds its interfaces.
const int kSetOfDriverInterfaces = 1;

int MemberIndexOf(const DriverInterface& driver, size_t place)
{
    return driver.enumIndex >= 0 ? driver.enumIndex : static_cast<int>(place);
}

// Whether `size` bytes at p can be read; memory the platform does not
// track (stack, statics) is taken as large enough.
bool Readable(const void* p, size_t size)
{
    auto it = S().blocks.find(p);
    return it == S().blocks.end() || it->second.size >= size;
}

std::string RecordText(const void* record, size_t recordSize, bool showZeroed)
{
    if (record == nullptr)
        return "null";
    if (!Readable(record, sizeof(DWORD)))
        return "{short block}";
    DWORD cbSize;
    std::memcpy(&cbSize, record, sizeof(cbSize));
    std::string text = "{cbSize " + std::to_string(cbSize);
    if (showZeroed) {
        const BYTE* bytes = static_cast<const BYTE*>(record);
        bool zeroed = true;
        for (size_t i = sizeof(DWORD); i < recordSize; ++i)
            zeroed = zeroed && bytes[i] == 0;
        text += zeroed ? ", zeroed" : ", not zeroed";
    }
    return text + "}";
}

// The interface an SP_DEVICE_INTERFACE_DATA filled by the enumeration
// names, or null.
DriverInterface* InterfaceOf(const SP_DEVICE_INTERFACE_DATA* data)
{
    std::vector<DriverInterface>& drivers = S().scenario.driverInterfaces;
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        data->Reserved == 0 || data->Reserved > drivers.size())
        return nullptr;
    return &drivers[data->Reserved - 1];
}

DWORD DetailSizeOf(const DriverInterface& driver)
{
    const size_t characters = driver.path.size() + (driver.pathTerminated ? 1 : 0);
    return static_cast<DWORD>(kDetailPathOffset + (characters * sizeof(WCHAR)));
}

BOOL Failure(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                     DWORD Flags)
{
    const Fault* fault =
        Enter("SetupDiGetClassDevsW", GuidText(ClassGuid) + ", " + Narrow(Enumerator) + ", " +
                                          Ptr(hwndParent) + ", " + Hex(Flags));
    if (fault != nullptr) {
        SetLastError(fault->lastError);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Without DIGCF_DEVICEINTERFACE the GUID names a setup class, and the
    // set holds no device interfaces of the adapter's class.
    const bool holdsInterfaces = ClassGuid != nullptr && *ClassGuid == BrelvikInterfaceGuid &&
                                 (Flags & DIGCF_DEVICEINTERFACE) != 0;
    return NewHandle("devinfo", "set of " + GuidText(ClassGuid), 0, Flags,
                     holdsInterfaces ? kSetOfDriverInterfaces : 0);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    const Fault* fault = Enter(
        "SetupDiEnumDeviceInterfaces",
        Ptr(DeviceInfoSet) + ", " + RecordText(DeviceInfoData, sizeof(SP_DEVINFO_DATA), false) +
            ", " + GuidText(InterfaceClassGuid) + ", " + std::to_string(MemberIndex) + ", " +
            RecordText(DeviceInterfaceData, sizeof(SP_DEVICE_INTERFACE_DATA), false));
    const HandleEntry* set = FindHandle(DeviceInfoSet, "devinfo", "SetupDiEnumDeviceInterfaces");
    if (set == nullptr)
        return Failure(ERROR_INVALID_HANDLE);
    if (fault != nullptr)
        return Failure(fault->lastError);
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr)
        return Failure(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Failure(ERROR_INVALID_USER_BUFFER);
    if (set->object != kSetOfDriverInterfaces || *InterfaceClassGuid != BrelvikInterfaceGuid)
        return Failure(ERROR_NO_MORE_ITEMS);

    const std::vector<DriverInterface>& drivers = S().scenario.driverInterfaces;
    for (size_t i = 0; i < drivers.size(); ++i) {
        if (MemberIndexOf(drivers[i], i) != static_cast<int>(MemberIndex))
            continue;
        DeviceInterfaceData->InterfaceClassGuid = BrelvikInterfaceGuid;
        DeviceInterfaceData->Flags = SPINT_ACTIVE;
        DeviceInterfaceData->Reserved = i + 1;
        return TRUE;
    }
    return Failure(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData)
{
    const Fault* fault =
        Enter("SetupDiGetDeviceInterfaceDetailW",
              Ptr(DeviceInfoSet) + ", " +
                  RecordText(DeviceInterfaceData, sizeof(SP_DEVICE_INTERFACE_DATA), false) + ", " +
                  RecordText(DeviceInterfaceDetailData, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W),
                             false) +
                  ", " + std::to_string(DeviceInterfaceDetailDataSize) + ", " + Ptr(RequiredSize) +
                  ", " + RecordText(DeviceInfoData, sizeof(SP_DEVINFO_DATA), true));
    const HandleEntry* set =
        FindHandle(DeviceInfoSet, "devinfo", "SetupDiGetDeviceInterfaceDetailW");
    if (set == nullptr)
        return Failure(ERROR_INVALID_HANDLE);
    if (fault != nullptr)
        return Failure(fault->lastError);
    DriverInterface* driver = InterfaceOf(DeviceInterfaceData);
    if (driver == nullptr || set->object != kSetOfDriverInterfaces)
        return Failure(ERROR_INVALID_PARAMETER);

    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = DeviceInterfaceDetailData;
    if (detail == nullptr ? DeviceInterfaceDetailDataSize != 0
                          : DeviceInterfaceDetailDataSize < kDetailPathOffset + sizeof(WCHAR))
        return Failure(ERROR_INVALID_USER_BUFFER);
    if (detail != nullptr && !Readable(detail, DeviceInterfaceDetailDataSize)) {
        Problem("SetupDiGetDeviceInterfaceDetailW given a size larger than its block");
        return Failure(ERROR_INVALID_USER_BUFFER);
    }
    // Windows wants the fixed part's size here, not the buffer's.
    if (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return Failure(ERROR_INVALID_USER_BUFFER);
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Failure(ERROR_INVALID_USER_BUFFER);

    const char* call = "SetupDiGetDeviceInterfaceDetailW";
    const DWORD needed = DetailSizeOf(*driver);
    if (RequiredSize != nullptr) {
        *RequiredSize = driver->detailSizeReport.value_or(needed);
        if (OddHere(call, Odd::SizeZero))
            *RequiredSize = 0;
        if (OddHere(call, Odd::SizeHuge))
            *RequiredSize = 0xFFFFFFFF;
    }
    if (detail == nullptr || DeviceInterfaceDetailDataSize < needed)
        return Failure(ERROR_INSUFFICIENT_BUFFER);

    if (OddHere(call, Odd::PathEmpty)) {
        detail->DevicePath[0] = L'\0';
    } else if (OddHere(call, Odd::PathUnterminated)) {
        // Path characters up to the last whole character of the record.
        const size_t room = (DeviceInterfaceDetailDataSize - kDetailPathOffset) / sizeof(WCHAR);
        for (size_t i = 0; i < room; ++i)
            detail->DevicePath[i] = i < driver->path.size() ? driver->path[i] : L'x';
    } else {
        std::memcpy(detail->DevicePath, driver->path.data(), driver->path.size() * sizeof(WCHAR));
        if (driver->pathTerminated)
            detail->DevicePath[driver->path.size()] = L'\0';
    }
    if (DeviceInfoData != nullptr) {
        DeviceInfoData->ClassGuid = kUsbSetupClass;
        DeviceInfoData->DevInst = static_cast<DWORD>(DeviceInterfaceData->Reserved);
        DeviceInfoData->Reserved = DeviceInterfaceData->Reserved;
    }
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    const Fault* fault = Enter("SetupDiDestroyDeviceInfoList", Ptr(DeviceInfoSet));
    if (FindHandle(DeviceInfoSet, "devinfo", "SetupDiDestroyDeviceInfoList") == nullptr)
        return Failure(ERROR_INVALID_HANDLE);
    DropHandle(DeviceInfoSet, "SetupDiDestroyDeviceInfoList");
    if (fault != nullptr)
        return Failure(fault->lastError);
    return TRUE;
}
