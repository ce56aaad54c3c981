#include "pipe_edition/cenum.h"
#include "protocol/dfu_frame.h"
#include "support/sim_test.h"

#include <cstring>
#include <functional>
#include <ostream>
#include <optional>
#include <string>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const WCHAR kEarlierPath[] = L"\\\\?\\earlier#path";

std::wstring PathOfLength(size_t length)
{
    std::wstring path = std::wstring(L"\\\\?\\USB#") + kBrelvikHardwareId.text + L"#";
    path.resize(length, L'x');
    return path;
}

sim::DriverInterface Adapter(const std::wstring& path, int enumIndex = -1)
{
    sim::DriverInterface driver = sim::DefaultDriverInterface();
    driver.path = path;
    driver.enumIndex = enumIndex;
    return driver;
}

void Fail(const char* call, int occurrence, DWORD lastError = ERROR_GEN_FAILURE)
{
    sim::FailCall(call, occurrence, sim::Fault{0, lastError});
}

std::wstring InterfacePath(const wchar_t* instance)
{
    return std::wstring(L"\\\\?\\USB#") + kBrelvikHardwareId.text + L"#" + instance + L"#" +
           kBrelvikInterfaceClassText.text;
}

const std::wstring kA = InterfacePath(L"A");
const std::wstring kB = InterfacePath(L"B");

const std::vector<std::string> kAllReleased = {"SetupDiDestroyDeviceInfoList", "LocalFree",
                                               "CloseHandle"};
const std::vector<std::string> kSetAndDetail = {"SetupDiDestroyDeviceInfoList", "LocalFree"};
const std::vector<std::string> kSetOnly = {"SetupDiDestroyDeviceInfoList"};

struct OpenCase {
    const char* name;
    std::function<void(sim::Scenario&)> arrange;
    int result;
    std::optional<std::wstring> path;  // g_devicePath afterwards; none: left as it was
    std::vector<std::string> releases; // the calls that end Open, in order
    std::wstring opened;               // what CreateFileW was given; empty: never called
    DWORD enumerations = 1;            // SetupDiEnumDeviceInterfaces calls
};

void PrintTo(const OpenCase& c, std::ostream* os)
{
    *os << c.name;
}

class CEnumOpenTest : public SimTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(CEnumOpenTest, Outcome)
{
    const OpenCase& c = GetParam();
    c.arrange(sim::Current());
    std::memcpy(g_devicePath, kEarlierPath, sizeof(kEarlierPath));

    EXPECT_EQ(g_deviceEnum.Open(), c.result);

    EXPECT_EQ(std::wstring(g_devicePath), c.path.value_or(kEarlierPath));
    EXPECT_EQ(g_deviceEnum.m_deviceHandle, nullptr);
    EXPECT_EQ(sim::Stdout(), "");

    const std::vector<std::string> names = sim::CallNames();
    ASSERT_GE(names.size(), c.releases.size());
    EXPECT_THAT(std::vector<std::string>(names.end() - c.releases.size(), names.end()),
                ElementsAreArray(c.releases));
    EXPECT_EQ(sim::CallCount("SetupDiDestroyDeviceInfoList"),
              sim::CallCount("SetupDiGetClassDevsW") - (c.releases.empty() ? 1 : 0));

    // Only the first interface that enumerates is ever looked at.
    EXPECT_EQ(sim::CallCount("SetupDiEnumDeviceInterfaces"), c.enumerations);
    EXPECT_LE(sim::CallCount("SetupDiGetDeviceInterfaceDetailW"), 2u);
    EXPECT_LE(sim::CallCount("DeviceIoControl"), 1u);
    if (c.opened.empty()) {
        EXPECT_EQ(FirstCall("CreateFileW"), -1);
    } else {
        ASSERT_EQ(sim::CallCount("CreateFileW"), 1u);
        EXPECT_EQ(sim::Calls()[FirstCall("CreateFileW")].args.substr(0, c.opened.size() + 1),
                  sim::Narrow(c.opened) + ",");
    }
}

const OpenCase kOpenCases[] = {
    {"OneAdapter", [](sim::Scenario& s) { s.driverInterfaces = {Adapter(kA)}; }, 1, kA,
     kAllReleased, kA},
    {"NoAdapterLooksAtAll32Indices", [](sim::Scenario&) {}, 0, std::nullopt, kSetOnly, L"", 32},
    {"NoDeviceInformationSet",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         Fail("SetupDiGetClassDevsW", 1);
     },
     0,
     std::nullopt,
     {},
     L"",
     0},
    {"DriverRequestFails",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         s.driverInterfaces[0].answersQuery = false;
     },
     0, std::nullopt, kAllReleased, kA},
    {"InterfaceDoesNotOpen",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         s.driverInterfaces[0].opens = false;
     },
     0, std::nullopt, kSetAndDetail, kA},
    {"DetailCannotBeAllocated",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         Fail("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
     },
     0, std::nullopt, kSetOnly, L""},
    {"SecondDetailQueryFails",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         Fail("SetupDiGetDeviceInterfaceDetailW", 2);
     },
     0, std::nullopt, kSetAndDetail, L""},
    // The size query reports nothing: requiredSize stays 0.
    {"SizeQueryReportsNothing",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         Fail("SetupDiGetDeviceInterfaceDetailW", 1);
     },
     0, std::nullopt, kSetOnly, L""},
    {"SizeQueryReportsLessThanTheSizeField",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         s.driverInterfaces[0].detailSizeReport = 2;
     },
     0, std::nullopt, kSetOnly, L""},
    {"SizeQueryReportsLessThanTheFixedPart",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         s.driverInterfaces[0].detailSizeReport =
             static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) - 1);
     },
     0, std::nullopt, kSetOnly, L""},
    {"SizeQueryReportsTooLittleForThePath",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         s.driverInterfaces[0].detailSizeReport =
             static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
     },
     0, std::nullopt, kSetAndDetail, L""},
    {"SizeQueryReportsMoreThanNeeded",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         s.driverInterfaces[0].detailSizeReport = 4096;
     },
     1, kA, kAllReleased, kA},
    {"PathWithoutTerminatorIsNeverOpened",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA)};
         s.driverInterfaces[0].pathTerminated = false;
     },
     0, std::nullopt, kSetAndDetail, L""},
    {"FirstOfTwoAdapters",
     [](sim::Scenario& s) { s.driverInterfaces = {Adapter(kA), Adapter(kB)}; }, 1, kA, kAllReleased,
     kA},
    {"FirstToEnumerateIsTaken",
     [](sim::Scenario& s) { s.driverInterfaces = {Adapter(kA, 1), Adapter(kB, 0)}; }, 1, kB,
     kAllReleased, kB},
    {"SecondNeverTriedWhenFirstDoesNotOpen",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA), Adapter(kB)};
         s.driverInterfaces[0].opens = false;
     },
     0, std::nullopt, kSetAndDetail, kA},
    {"SecondNeverTriedWhenFirstFailsTheRequest",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA), Adapter(kB)};
         s.driverInterfaces[0].answersQuery = false;
     },
     0, std::nullopt, kAllReleased, kA},
    {"FailingIndexMovesOn",
     [](sim::Scenario& s) {
         s.driverInterfaces = {Adapter(kA, 0), Adapter(kB, 1)};
         Fail("SetupDiEnumDeviceInterfaces", 1);
     },
     1, kB, kAllReleased, kB, 2},
    {"FoundAtIndex31", [](sim::Scenario& s) { s.driverInterfaces = {Adapter(kA, 31)}; }, 1, kA,
     kAllReleased, kA, 32},
    {"NotLookedForAtIndex32", [](sim::Scenario& s) { s.driverInterfaces = {Adapter(kA, 32)}; }, 0,
     std::nullopt, kSetOnly, L"", 32},
    {"PathOf255Kept", [](sim::Scenario& s) { s.driverInterfaces = {Adapter(PathOfLength(255))}; },
     1, PathOfLength(255), kAllReleased, PathOfLength(255)},
    {"PathOf256CutTo255",
     [](sim::Scenario& s) { s.driverInterfaces = {Adapter(PathOfLength(256))}; }, 1,
     PathOfLength(255), kAllReleased, PathOfLength(256)},
    {"PathOf300CutTo255",
     [](sim::Scenario& s) { s.driverInterfaces = {Adapter(PathOfLength(300))}; }, 1,
     PathOfLength(255), kAllReleased, PathOfLength(300)},
};

INSTANTIATE_TEST_SUITE_P(Cases, CEnumOpenTest, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, OpenMakesExactlyTheseCalls)
{
    sim::Current().driverInterfaces = {Adapter(kA)};
    ASSERT_EQ(g_deviceEnum.Open(), 1);

    const std::string guid = sim::Narrow(kBrelvikInterfaceClassText.text);
    const std::string detailSize =
        std::to_string(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                       ((kA.size() + 1) * sizeof(WCHAR)));
    const std::string fixedPart = std::to_string(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    EXPECT_THAT(
        sim::CallTexts(),
        ElementsAre("SetupDiGetClassDevsW(" + guid + ", null, null, 0x12)",
                    "SetupDiEnumDeviceInterfaces(ptr, null, " + guid + ", 0, {cbSize 32})",
                    "SetupDiGetDeviceInterfaceDetailW(ptr, {cbSize 32}, null, 0, ptr, null)",
                    "LocalAlloc(0x0, " + detailSize + ")",
                    "SetupDiGetDeviceInterfaceDetailW(ptr, {cbSize 32}, {cbSize " + fixedPart +
                        "}, " + detailSize + ", ptr, {cbSize 32, zeroed})",
                    "CreateFileW(" + sim::Narrow(kA) + ", 0xc0000000, 0x3, null, 3, 0x0, null)",
                    "DeviceIoControl(ptr, 0x22000c, null, 0, ptr, 253, ptr, null)",
                    "SetupDiDestroyDeviceInfoList(ptr)", "LocalFree(ptr)", "CloseHandle(ptr)"));
}

TEST_F(SimTest, DriverReplyStaysWithinItsRoomOf253Bytes)
{
    sim::Current().driverInterfaces = {Adapter(kA)};
    sim::Current().driverInterfaces[0].reply.assign(300, 0xEE);
    std::memset(g_deviceEnum.m_replyBuffer, 0, sizeof(g_deviceEnum.m_replyBuffer));

    ASSERT_EQ(g_deviceEnum.Open(), 1);

    const BYTE* reply = g_deviceEnum.m_replyBuffer;
    EXPECT_EQ(std::vector<BYTE>(reply, reply + 253), std::vector<BYTE>(253, 0xEE));
    EXPECT_EQ(std::vector<BYTE>(reply + 253, reply + 256), std::vector<BYTE>(3, 0x00));
}

TEST_F(SimTest, EveryOpenEnumeratesAfresh)
{
    sim::Current().driverInterfaces = {Adapter(kA), Adapter(kB)};
    ASSERT_EQ(g_deviceEnum.Open(), 1);
    EXPECT_EQ(std::wstring(g_devicePath), kA);

    sim::Current().driverInterfaces.erase(sim::Current().driverInterfaces.begin());
    ASSERT_EQ(g_deviceEnum.Open(), 1);
    EXPECT_EQ(std::wstring(g_devicePath), kB);
    EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), 2u);
}

} // namespace
