#include "protocol/dfu_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(DfuEntryFrame, HoldsTheFixedBytes)
{
    const BYTE expected[16] = {0x11, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x22};
    DfuEntryFrame frame;
    std::memset(frame, 0xA5, sizeof(frame));
    BuildDfuEntryFrame(frame);
    ASSERT_EQ(sizeof(frame), 16u);
    EXPECT_EQ(0, std::memcmp(frame, expected, sizeof(expected)));

    // The same frame as the little-endian words the adapter's firmware reads.
    unsigned long long head = 0;
    unsigned tail = 0;
    for (int i = 7; i >= 0; --i)
        head = (head << 8) | frame[i];
    for (int i = 15; i >= 12; --i)
        tail = (tail << 8) | frame[i];
    EXPECT_EQ(head, 0x00000000000D0011ull);
    EXPECT_EQ(tail, 0x22000000u);
}

// The adapter's identity and where its driver stack takes the frame. Every
// other test, and every script, takes these from the constants, so only
// this one notices a changed value.
TEST(DfuEntryFrame, AddressesAreTheAdapters)
{
    EXPECT_EQ(kBrelvikVendorId, 0x0483);
    EXPECT_EQ(kBrelvikProductId, 0x1234);
    EXPECT_EQ(std::wstring(kBrelvikHardwareId.text), L"VID_0483&PID_1234");
    const GUID expected = {
        0x3EA03B52, 0xC71A, 0x433C, {0xA6, 0x26, 0xE8, 0xAD, 0x96, 0xF2, 0x57, 0x8B}};
    EXPECT_EQ(0, std::memcmp(&BrelvikInterfaceGuid, &expected, sizeof(GUID)));
    EXPECT_EQ(std::wstring(kBrelvikInterfaceClassText.text),
              L"{3EA03B52-C71A-433C-A626-E8AD96F2578B}");
    EXPECT_EQ(kDfuEntryPipeId, 0x04);
    EXPECT_EQ(std::wstring(kDriverPipeFileName), L"PIPE03");
}
