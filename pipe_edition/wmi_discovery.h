// Finding the adapters' USB hub entries through WMI.
#pragma once

#include "platform/win32.h"
#include "protocol/dfu_frame.h"

// Every Win32_USBHub whose relative path holds the adapter's hardware id
// anywhere; "_" is WQL's any-one-character, which matches itself too.
constexpr auto kHubQuery = JoinText(L"SELECT __RELPATH FROM Win32_USBHub WHERE __RELPATH LIKE \"%",
                                    kBrelvikHardwareId.text, L"%\"");

// Pushes one target onto TargetList per Win32_USBHub instance whose
// relative path holds the adapter's vendor and product id, the last
// returned first. COM is initialised for the call and uninitialised again
// before it returns.
//
// A failing COM or WMI set-up step prints one line on standard output, adds
// no target and returns that step's HRESULT; a failing query returns its
// HRESULT without a line. Otherwise the result is that of the last
// IEnumWbemClassObject::Next, the one that brought no object, or
// E_OUTOFMEMORY when a target could not be stored (the targets pushed
// before it stay). Instances whose DeviceID is not a text of at least three
// components are passed over.
HRESULT DiscoverHubTargets();
