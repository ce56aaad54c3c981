#include "winusb_edition/device_path.h"

#include "protocol/dfu_frame.h"
#include "winusb_edition/win32_error.h"

namespace {

HRESULT HResultFromConfigRet(CONFIGRET cr)
{
    return HResultFromWin32Error(CM_MapCrToWin32Err(cr, ERROR_INVALID_DATA));
}

// Copies the first string of list (listLength characters) into path.
HRESULT CopyFirstPath(PCWSTR list, ULONG listLength, LPWSTR path, ULONG pathSizeBytes)
{
    const ULONG capacity = pathSizeBytes / sizeof(WCHAR);
    if (capacity == 0)
        return E_INVALIDARG;

    ULONG copied = 0;
    while (copied < capacity && copied < listLength && list[copied] != L'\0') {
        path[copied] = list[copied];
        ++copied;
    }
    if (copied == capacity) {
        path[capacity - 1] = L'\0';
        return HResultFromWin32Error(ERROR_INSUFFICIENT_BUFFER);
    }
    path[copied] = L'\0';
    // The list ran out before its first string ended: what we hold is not a
    // whole path, and opening it could reach some other device.
    if (copied == listLength)
        return HResultFromWin32Error(ERROR_INVALID_DATA);
    return S_OK;
}

} // namespace

HRESULT RetrieveDevicePath(LPWSTR path, ULONG pathSizeBytes, PBOOL noDeviceOut)
{
    if (noDeviceOut != nullptr)
        *noDeviceOut = FALSE;

    // The configuration manager takes the class GUID by non-const pointer.
    GUID interfaceClass = BrelvikInterfaceGuid;
    PZZWSTR list = nullptr;
    ULONG listLength = 0;

    // The list can grow between the size query and the fetch; then the
    // fetch reports CR_BUFFER_SMALL and we ask again.
    for (;;) {
        listLength = 0;
        CONFIGRET cr = CM_Get_Device_Interface_List_SizeW(&listLength, &interfaceClass, nullptr,
                                                          CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr != CR_SUCCESS)
            return HResultFromConfigRet(cr);

        list = static_cast<PZZWSTR>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                              static_cast<SIZE_T>(listLength) * sizeof(WCHAR)));
        if (list == nullptr)
            return E_OUTOFMEMORY;

        cr = CM_Get_Device_Interface_ListW(&interfaceClass, nullptr, list, listLength,
                                           CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr == CR_SUCCESS)
            break;

        HeapFree(GetProcessHeap(), 0, list);
        if (cr != CR_BUFFER_SMALL)
            return HResultFromConfigRet(cr);
    }

    HRESULT hr;
    if (listLength == 0 || list[0] == L'\0') {
        if (noDeviceOut != nullptr)
            *noDeviceOut = TRUE;
        hr = HResultFromWin32Error(ERROR_NOT_FOUND);
    } else {
        hr = CopyFirstPath(list, listLength, path, pathSizeBytes);
    }

    HeapFree(GetProcessHeap(), 0, list);
    return hr;
}
