// The adapter's identity on the bus and in the driver stack, and the one
// command both editions send it.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// Device interface class of the adapter, whether its own driver or WinUSB
// serves it.
inline constexpr GUID BrelvikInterfaceGuid = {
    0x3EA03B52, 0xC71A, 0x433C, {0xA6, 0x26, 0xE8, 0xAD, 0x96, 0xF2, 0x57, 0x8B}};

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

// Texts built from the ids at compile time, so that a change of id reaches
// every text that names the adapter. Size counts the terminator.
template <size_t Size> struct IdText {
    wchar_t text[Size];
};

template <size_t... Size>
constexpr IdText<(Size + ... + 1) - sizeof...(Size)> JoinText(const wchar_t (&... parts)[Size])
{
    IdText<(Size + ... + 1) - sizeof...(Size)> joined = {};
    size_t length = 0;
    auto append = [&joined, &length](const wchar_t* part) {
        for (; *part != L'\0'; ++part)
            joined.text[length++] = *part;
    };
    (append(parts), ...);
    return joined;
}

// Upper-case hexadecimal, Digits wide with leading zeros.
template <size_t Digits> constexpr IdText<Digits + 1> HexText(unsigned long value)
{
    IdText<Digits + 1> hex = {};
    for (size_t i = Digits; i > 0; --i, value >>= 4)
        hex.text[i - 1] = L"0123456789ABCDEF"[value & 0xF];
    return hex;
}

// How Windows names the adapter in its device ids: "VID_0483&PID_1234".
constexpr auto kBrelvikHardwareId = JoinText(L"VID_", HexText<4>(kBrelvikVendorId).text, L"&PID_",
                                             HexText<4>(kBrelvikProductId).text);

// "{3EA03B52-C71A-433C-A626-E8AD96F2578B}"
constexpr auto kBrelvikInterfaceClassText = JoinText(
    L"{", HexText<8>(BrelvikInterfaceGuid.Data1).text, L"-",
    HexText<4>(BrelvikInterfaceGuid.Data2).text, L"-", HexText<4>(BrelvikInterfaceGuid.Data3).text,
    L"-", HexText<2>(BrelvikInterfaceGuid.Data4[0]).text,
    HexText<2>(BrelvikInterfaceGuid.Data4[1]).text, L"-",
    HexText<2>(BrelvikInterfaceGuid.Data4[2]).text, HexText<2>(BrelvikInterfaceGuid.Data4[3]).text,
    HexText<2>(BrelvikInterfaceGuid.Data4[4]).text, HexText<2>(BrelvikInterfaceGuid.Data4[5]).text,
    HexText<2>(BrelvikInterfaceGuid.Data4[6]).text, HexText<2>(BrelvikInterfaceGuid.Data4[7]).text,
    L"}");
