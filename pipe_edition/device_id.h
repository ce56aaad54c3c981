// The target id a WMI device id names.
#pragma once

#include "platform/win32.h"

// A USB device id reads BUS\HARDWARE-PART\INSTANCE-ID; the target id is
// the instance id as a hexadecimal number. Components are split at
// backslashes the way a tokeniser splits them: separators at the start are
// skipped and a run of them counts as one. Anything after the third
// component is ignored. Returns false, leaving *targetId alone, when the
// text has fewer than three components.
bool TargetIdFromDeviceId(const WCHAR* deviceId, DWORD* targetId);
