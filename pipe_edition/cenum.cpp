#include "pipe_edition/cenum.h"

#include "protocol/dfu_frame.h"

#include <cstring>

CEnum g_deviceEnum;
WCHAR g_devicePath[kDevicePathLength] = {};

namespace {

// Member indices tried before giving up; a failing index does not end the
// search, because the driver's interfaces need not enumerate from 0.
constexpr DWORD kMemberIndicesTried = 32;

// The driver is given less room than the buffer holds.
constexpr DWORD kQueryReplyRoom = 253;

constexpr size_t kDetailPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

bool FindFirstInterface(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* interfaceData)
{
    for (DWORD memberIndex = 0; memberIndex < kMemberIndicesTried; ++memberIndex) {
        if (SetupDiEnumDeviceInterfaces(deviceInfoSet, nullptr, &BrelvikInterfaceGuid, memberIndex,
                                        interfaceData))
            return true;
    }
    return false;
}

// Characters of DevicePath that lie inside a detail block of detailSize
// bytes.
size_t PathRoom(DWORD detailSize)
{
    return (detailSize - kDetailPathOffset) / sizeof(WCHAR);
}

bool PathEndsInBlock(const SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize)
{
    const size_t room = PathRoom(detailSize);
    for (size_t i = 0; i < room; ++i)
        if (detail->DevicePath[i] == L'\0')
            return true;
    return false;
}

// Allocates the detail record at the size SetupAPI asks for and fills it.
// The record is handed back in *detail even when filling it fails, so that
// the caller releases it after the set. True when it holds a path that
// ends inside the record.
bool ReadInterfaceDetail(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                         PSP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD* detailSize)
{
    DWORD requiredSize = 0;
    // Fails for want of a buffer; only the size it reports matters.
    SetupDiGetDeviceInterfaceDetailW(deviceInfoSet, interfaceData, nullptr, 0, &requiredSize,
                                     nullptr);
    // Too small to hold even the size field and one character: there is
    // nothing to read, and setting cbSize would write past the block.
    if (requiredSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return false;

    *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(LocalAlloc(LMEM_FIXED, requiredSize));
    if (*detail == nullptr)
        return false;
    *detailSize = requiredSize;

    // SetupAPI checks cbSize against the fixed part of the record, not
    // against the size of the block.
    (*detail)->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA devInfoData;
    std::memset(&devInfoData, 0, sizeof(devInfoData));
    devInfoData.cbSize = sizeof(devInfoData);
    if (!SetupDiGetDeviceInterfaceDetailW(deviceInfoSet, interfaceData, *detail, *detailSize,
                                          &requiredSize, &devInfoData))
        return false;
    // A path with no terminator inside the block cannot be opened without
    // reading past it.
    return PathEndsInBlock(*detail, *detailSize);
}

void CopyDevicePath(const SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize)
{
    size_t limit = PathRoom(detailSize);
    if (limit > kDevicePathLength - 1)
        limit = kDevicePathLength - 1;
    size_t length = 0;
    for (; length < limit && detail->DevicePath[length] != L'\0'; ++length)
        g_devicePath[length] = detail->DevicePath[length];
    g_devicePath[length] = L'\0';
}

} // namespace

CEnum::CEnum() : m_deviceHandle(nullptr)
{
    std::memset(m_replyBuffer, 0, sizeof(m_replyBuffer));
}

CEnum::~CEnum() = default;

void CEnum::Close()
{
    if (m_deviceHandle != nullptr) {
        CloseHandle(m_deviceHandle);
        m_deviceHandle = nullptr;
    }
}

int CEnum::Open()
{
    const HDEVINFO deviceInfoSet = SetupDiGetClassDevsW(&BrelvikInterfaceGuid, nullptr, nullptr,
                                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (deviceInfoSet == INVALID_HANDLE_VALUE)
        return 0;

    int result = 0;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = nullptr;
    DWORD detailSize = 0;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof(interfaceData);

    // Only the first interface that enumerates is ever used: whatever
    // happens to it, no other is tried.
    if (FindFirstInterface(deviceInfoSet, &interfaceData) &&
        ReadInterfaceDetail(deviceInfoSet, &interfaceData, &detail, &detailSize)) {
        m_deviceHandle =
            CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (m_deviceHandle == INVALID_HANDLE_VALUE) {
            m_deviceHandle = nullptr;
        } else {
            DWORD bytesReturned = 0;
            if (DeviceIoControl(m_deviceHandle, IOCTL_BRELVIK_QUERY, nullptr, 0, m_replyBuffer,
                                kQueryReplyRoom, &bytesReturned, nullptr)) {
                CopyDevicePath(detail, detailSize);
                result = 1;
            }
        }
    }

    SetupDiDestroyDeviceInfoList(deviceInfoSet);
    if (detail != nullptr)
        LocalFree(detail);
    Close();
    return result;
}
