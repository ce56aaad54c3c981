// The adapter's identity on the bus and in the driver stack, and the one
// command both editions send it.
#pragma once

#include "platform/win32.h"

// Device interface class of the adapter, whether its own driver or WinUSB
// serves it.
extern const GUID BrelvikInterfaceGuid;

constexpr USHORT kBrelvikVendorId = 0x0483;
constexpr USHORT kBrelvikProductId = 0x1234;

// OUT endpoint 4: where the WinUSB edition sends the frame.
constexpr UCHAR kDfuEntryPipeId = 0x04;

// The legacy driver exposes the same endpoint as a file below the
// interface's device path: <device path>\PIPE03.
constexpr wchar_t kDriverPipeFileName[] = L"PIPE03";

constexpr ULONG kUsbDeviceDescriptorLength = 18;

// Leaves operating firmware and enters DFU mode. Sent as one 16-byte OUT
// transfer; the adapter sends no reply.
constexpr ULONG kDfuEntryFrameLength = 16;
typedef BYTE DfuEntryFrame[kDfuEntryFrameLength];

void BuildDfuEntryFrame(DfuEntryFrame& frame);
