// Access to the adapter through its own kernel driver: the first present
// interface of the adapter's class, opened, queried once and closed again.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr DWORD IOCTL_BRELVIK_QUERY = 0x0022000C;

constexpr size_t kDevicePathLength = 256;

class CEnum {
public:
    CEnum();
    // Nothing to release: Open never returns with the handle open.
    virtual ~CEnum();

    CEnum(const CEnum&) = delete;
    CEnum& operator=(const CEnum&) = delete;

    // Enumerates the adapter interfaces afresh, opens the first one, sends
    // it IOCTL_BRELVIK_QUERY and closes it. Returns 1 with the interface's
    // path in g_devicePath, or 0 with g_devicePath untouched. Prints nothing.
    int Open();

    HANDLE m_deviceHandle;   // null whenever Open is not running
    BYTE m_replyBuffer[256]; // the driver's last reply; never read

private:
    void Close();
};

extern CEnum g_deviceEnum;

// The device path of the last interface Open succeeded on; at most 255
// characters and always terminated.
extern WCHAR g_devicePath[kDevicePathLength];
