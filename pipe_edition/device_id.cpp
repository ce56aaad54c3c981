#include "pipe_edition/device_id.h"

#include "pipe_edition/target_id.h"

bool TargetIdFromDeviceId(const WCHAR* deviceId, DWORD* targetId)
{
    if (deviceId == nullptr)
        return false;

    const WCHAR* component = deviceId;
    for (int index = 1;; ++index) {
        while (*component == L'\\')
            ++component;
        if (*component == L'\0')
            return false;
        if (index == 3)
            break;
        while (*component != L'\0' && *component != L'\\')
            ++component;
    }

    // The component is not copied out: the reading stops at the first
    // character that is not a hex digit, so at the next backslash or the
    // terminator at the latest.
    *targetId = ParseTargetId(component);
    return true;
}
