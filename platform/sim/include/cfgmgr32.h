// The configuration manager calls of the simulated cfgmgr32.
#pragma once

#include "platform/sim/include/types.h"

typedef DWORD CONFIGRET;
typedef WCHAR* DEVINSTID_W;

#define CR_SUCCESS 0x00000000u
#define CR_OUT_OF_MEMORY 0x00000002u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_FAILURE 0x00000013u
#define CR_BUFFER_SMALL 0x0000001Au
#define CR_NO_SUCH_VALUE 0x00000025u
#define CR_INVALID_DATA 0x0000001Fu
#define CR_NO_SUCH_DEVICE_INTERFACE 0x00000037u
#define CR_ACCESS_DENIED 0x00000033u

#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000u
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001u

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                    DEVINSTID_W pDeviceID, ULONG ulFlags);
CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                               PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags);
DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr);
