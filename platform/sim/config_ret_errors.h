// CM_MapCrToWin32Err as Windows does it, for the simulated cfgmgr32 and
// for the stand-in DLL the Wine tests load in place of the real one.
#pragma once

#include "platform/win32.h"

namespace sim {

// The system error code Windows gives for a configuration manager code;
// every code it does not map, CR_INVALID_DATA and CR_FAILURE among them,
// gives the caller's default.
inline DWORD Win32ErrorOfConfigRet(CONFIGRET code, DWORD defaultError)
{
    struct Mapping {
        CONFIGRET code;
        DWORD error;
    };
    static constexpr Mapping kMappings[] = {
        {CR_SUCCESS, ERROR_SUCCESS},
        {CR_OUT_OF_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {CR_INVALID_POINTER, ERROR_INVALID_USER_BUFFER},
        {CR_INVALID_FLAG, ERROR_INVALID_FLAGS},
        {CR_INVALID_DEVNODE, ERROR_INVALID_DATA},
        {CR_NO_SUCH_DEVNODE, ERROR_NOT_FOUND},
        {CR_ALREADY_SUCH_DEVNODE, ERROR_ALREADY_EXISTS},
        {CR_BUFFER_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {CR_NO_REGISTRY_HANDLE, ERROR_INVALID_HANDLE},
        {CR_REGISTRY_ERROR, ERROR_REGISTRY_CORRUPT},
        {CR_INVALID_DEVICE_ID, ERROR_INVALID_DATA},
        {CR_NO_SUCH_VALUE, ERROR_NOT_FOUND},
        {CR_NO_SUCH_REGISTRY_KEY, ERROR_FILE_NOT_FOUND},
        {CR_INVALID_MACHINENAME, ERROR_INVALID_DATA},
        {CR_REMOTE_COMM_FAILURE, ERROR_SERVICE_NOT_ACTIVE},
        {CR_MACHINE_UNAVAILABLE, ERROR_SERVICE_NOT_ACTIVE},
        {CR_NO_CM_SERVICES, ERROR_SERVICE_NOT_ACTIVE},
        {CR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {CR_CALL_NOT_IMPLEMENTED, ERROR_CALL_NOT_IMPLEMENTED},
        {CR_INVALID_PROPERTY, ERROR_INVALID_DATA},
        {CR_NO_SUCH_DEVICE_INTERFACE, ERROR_NOT_FOUND},
        {CR_INVALID_REFERENCE_STRING, ERROR_INVALID_DATA},
    };
    for (const Mapping& mapping : kMappings) {
        if (mapping.code == code)
            return mapping.error;
    }
    return defaultError;
}

} // namespace sim
