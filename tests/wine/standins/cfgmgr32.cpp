// Stand-in configuration manager: the present interface list is the one the
// test hands over in BRELVIK_STANDIN_INTERFACES (paths separated by '|').
//
//   SIZE_CR, LIST_CR   result of the size query / of the fetch
//   LIST_GROWS         how many fetches find the list grown by one more
//                      interface since the size query (CR_BUFFER_SMALL)
// The SDK header's switch for the DLL itself: its functions lose dllimport.
#define _CFGMGR32_ // NOLINT(bugprone-reserved-identifier)
#include <windows.h>
#include <cfgmgr32.h>

#include "platform/sim/config_ret_errors.h"
#include "standin.h"

#include <string>

using namespace standin;

namespace {

ULONG g_growths = 0;
ULONG g_reportedLength = 0;

// Each path terminated, the whole closed by an empty string.
std::wstring InterfaceList()
{
    std::wstring list;
    const std::wstring paths = Text(L"INTERFACES");
    size_t start = 0;
    while (start < paths.size()) {
        size_t end = paths.find(L'|', start);
        if (end == std::wstring::npos)
            end = paths.size();
        if (end > start) {
            list.append(paths, start, end - start);
            list += L'\0';
        }
        start = end + 1;
    }
    // Adapters plugged in after the program first asked.
    for (ULONG i = 0; i < g_growths; ++i) {
        list += L"\\\\?\\Z:\\nowhere\\grown" + std::to_wstring(i + 1);
        list += L'\0';
    }
    list += L'\0';
    return list;
}

std::string FilterText(DEVINSTID_W deviceId)
{
    return deviceId == nullptr ? "none" : Utf8(deviceId);
}

ULONG Entries(const std::wstring& list)
{
    ULONG entries = 0;
    for (size_t i = 0; i + 1 < list.size(); ++i)
        entries += list[i] == L'\0' ? 1 : 0;
    return entries;
}

// The buffer length the program passes, told against what it was told.
std::string LengthText(ULONG length)
{
    if (length == g_reportedLength)
        return "as-reported";
    return std::to_string(length) + "(reported " + std::to_string(g_reportedLength) + ")";
}

} // namespace

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                    DEVINSTID_W pDeviceID, ULONG ulFlags)
{
    const CONFIGRET cr = Number(L"SIZE_CR", CR_SUCCESS);
    const std::wstring list = InterfaceList();
    if (cr == CR_SUCCESS && pulLen != nullptr) {
        g_reportedLength = static_cast<ULONG>(list.size());
        *pulLen = g_reportedLength;
    }
    Log("CM_Get_Device_Interface_List_SizeW %s filter=%s flags=0x%lx -> cr=0x%lx interfaces=%lu",
        GuidText(InterfaceClassGuid).c_str(), FilterText(pDeviceID).c_str(), ulFlags, cr,
        cr == CR_SUCCESS ? Entries(list) : 0);
    return pulLen == nullptr ? CR_INVALID_POINTER : cr;
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                               PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    CONFIGRET cr = Number(L"LIST_CR", CR_SUCCESS);
    if (cr == CR_SUCCESS) {
        if (g_growths < Number(L"LIST_GROWS", 0))
            ++g_growths;
        const std::wstring list = InterfaceList();
        if (Buffer == nullptr)
            cr = CR_INVALID_POINTER;
        else if (list.size() > BufferLen)
            cr = CR_BUFFER_SMALL;
        else
            list.copy(Buffer, list.size());
    }
    Log("CM_Get_Device_Interface_ListW %s filter=%s length=%s flags=0x%lx -> cr=0x%lx",
        GuidText(InterfaceClassGuid).c_str(), FilterText(pDeviceID).c_str(),
        LengthText(BufferLen).c_str(), ulFlags, cr);
    return cr;
}

DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr)
{
    const DWORD error = sim::Win32ErrorOfConfigRet(CmReturnCode, DefaultErr);
    Log("CM_MapCrToWin32Err cr=0x%lx default=%lu -> %lu", CmReturnCode, DefaultErr, error);
    return error;
}
