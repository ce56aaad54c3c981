// Lookup of the adapter's WinUSB interface path.
#pragma once

#include "platform/win32.h"

// Copies the first present interface path of BrelvikInterfaceGuid into
// path (pathSizeBytes bytes). noDeviceOut, when given, is set to TRUE only
// when no adapter interface is present at all.
HRESULT RetrieveDevicePath(LPWSTR path, ULONG pathSizeBytes, PBOOL noDeviceOut);
