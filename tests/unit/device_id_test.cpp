#include "pipe_edition/device_id.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DeviceIdCase {
    const char* name;
    const wchar_t* deviceId;
    bool named;
    DWORD targetId;
};

class DeviceIdTest : public ::testing::TestWithParam<DeviceIdCase> {};

TEST_P(DeviceIdTest, TargetId)
{
    const DeviceIdCase& c = GetParam();
    DWORD targetId = 0xDEADBEEF;
    EXPECT_EQ(TargetIdFromDeviceId(c.deviceId, &targetId), c.named);
    // Left alone when the text names no target.
    EXPECT_EQ(targetId, c.named ? c.targetId : 0xDEADBEEF);
}

const DeviceIdCase kCases[] = {
    {"InstanceId", L"USB\\VID_0483&PID_1234\\00000ABC", true, 0xABC},
    {"GeneratedInstanceIdStopsAtAmpersand", L"USB\\VID_0483&PID_1234\\5&1A2B3C4D&0&2", true, 0x5},
    {"LeadingZerosDoNotOverflow", L"USB\\VID_0483&PID_1234\\0000000000ABCDEF", true, 0xABCDEF},
    {"NineDigitsSaturate", L"USB\\VID_0483&PID_1234\\ABCDEF123", true, 0xFFFFFFFF},
    {"NoDigitGivesZero", L"USB\\VID_0483&PID_1234\\SN01", true, 0},
    {"FourthComponentIgnored", L"USB\\VID_0483&PID_1234\\ABC\\DEF", true, 0xABC},
    {"LowerCaseDigits", L"USB\\VID_0483&PID_1234\\beef", true, 0xBEEF},
    {"LeadingSeparatorsSkipped", L"\\\\USB\\VID_0483&PID_1234\\12", true, 0x12},
    {"RunOfSeparatorsIsOne", L"USB\\\\\\VID_0483&PID_1234\\\\12\\\\34", true, 0x12},
    {"TargetIdRuleApplies", L"USB\\X\\ -0x1f", true, 0xFFFFFFE1},
    // "0x" must not reach across the separator into the next component.
    {"PrefixBeforeSeparator", L"USB\\X\\0x\\12", true, 0},
    {"SignBeforeSeparator", L"USB\\X\\-\\12", true, 0},
    {"SpaceBeforeSeparator", L"USB\\X\\ \\12", true, 0},
    {"TwoComponents", L"USB\\VID_0483&PID_1234", false, 0},
    {"TrailingSeparatorIsNoComponent", L"USB\\VID_0483&PID_1234\\\\", false, 0},
    {"OnlySeparators", L"\\\\\\\\", false, 0},
    {"Empty", L"", false, 0},
    {"Null", nullptr, false, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, DeviceIdTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
