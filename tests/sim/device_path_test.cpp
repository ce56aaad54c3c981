#include "protocol/dfu_frame.h"
#include "support/sim_test.h"
#include "winusb_edition/device_path.h"

#include <functional>
#include <string>

using ::testing::ElementsAre;

namespace {

std::wstring PathOfLength(size_t length)
{
    std::wstring path = std::wstring(L"\\\\?\\USB#") + kBrelvikHardwareId.text + L"#";
    path.resize(length, L'x');
    return path;
}

struct LookupCase {
    const char* name;
    std::function<void(sim::Scenario&)> arrange;
    HRESULT expected;
    BOOL noDevice;
    std::wstring path; // expected contents of the buffer when something was copied
    ULONG pathSizeBytes = kPathBytes;
    static constexpr ULONG kPathBytes = 260 * sizeof(WCHAR);
};

void WithPaths(sim::Scenario& s, std::initializer_list<std::wstring> paths)
{
    for (const std::wstring& path : paths) {
        sim::UsbInterface usb = sim::DefaultUsbInterface();
        usb.path = path;
        s.usbInterfaces.push_back(usb);
    }
}

void Fail(const char* call, long cr, int occurrence = 1)
{
    sim::FailCall(call, occurrence, sim::Fault{cr, 0});
}

class RetrieveDevicePathTest : public SimTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(RetrieveDevicePathTest, Outcome)
{
    const LookupCase& c = GetParam();
    c.arrange(sim::Current());

    WCHAR path[260];
    for (WCHAR& ch : path)
        ch = L'#';
    BOOL noDevice = 7;
    const HRESULT hr = RetrieveDevicePath(path, c.pathSizeBytes, &noDevice);

    EXPECT_EQ(static_cast<unsigned>(hr), static_cast<unsigned>(c.expected));
    EXPECT_EQ(noDevice, c.noDevice);
    if (!c.path.empty()) {
        EXPECT_EQ(std::wstring(path), c.path);
    }
}

const LookupCase kLookupCases[] = {
    {"OneAdapter", [](sim::Scenario& s) { WithPaths(s, {L"\\\\?\\usb#a"}); }, S_OK, FALSE,
     L"\\\\?\\usb#a"},
    {"FirstOfTwoWins", [](sim::Scenario& s) { WithPaths(s, {L"\\\\?\\usb#a", L"\\\\?\\usb#b"}); },
     S_OK, FALSE, L"\\\\?\\usb#a"},
    {"NoAdapter", [](sim::Scenario&) {}, static_cast<HRESULT>(0x80070490), TRUE, L""},
    {"PathOf259Fits", [](sim::Scenario& s) { WithPaths(s, {PathOfLength(259)}); }, S_OK, FALSE,
     PathOfLength(259)},
    {"PathOf260IsCut", [](sim::Scenario& s) { WithPaths(s, {PathOfLength(260)}); },
     static_cast<HRESULT>(0x8007007A), FALSE, PathOfLength(259)},
    {"PathOf300IsCut", [](sim::Scenario& s) { WithPaths(s, {PathOfLength(300)}); },
     static_cast<HRESULT>(0x8007007A), FALSE, PathOfLength(259)},
    {"BufferBelowOneCharacter", [](sim::Scenario& s) { WithPaths(s, {L"\\\\?\\usb#a"}); },
     E_INVALIDARG, FALSE, L"", sizeof(WCHAR) - 1},
    {"BufferOfOneCharacterTakesOnlyTheTerminator",
     [](sim::Scenario& s) { WithPaths(s, {L"\\\\?\\usb#a"}); }, static_cast<HRESULT>(0x8007007A),
     FALSE, L"", sizeof(WCHAR)},
    {"EmptyListWinsOverBadBuffer", [](sim::Scenario&) {}, static_cast<HRESULT>(0x80070490), TRUE,
     L"", 0},
    {"HeapExhausted",
     [](sim::Scenario& s) {
         WithPaths(s, {L"\\\\?\\usb#a"});
         sim::FailCall("HeapAlloc", 1, sim::Fault{});
     },
     E_OUTOFMEMORY, FALSE, L""},
    {"SizeQueryFails",
     [](sim::Scenario& s) {
         WithPaths(s, {L"\\\\?\\usb#a"});
         Fail("CM_Get_Device_Interface_List_SizeW", CR_FAILURE);
     },
     static_cast<HRESULT>(0x8007000D), FALSE, L""},
    {"SizeQueryOutOfMemory",
     [](sim::Scenario& s) {
         WithPaths(s, {L"\\\\?\\usb#a"});
         Fail("CM_Get_Device_Interface_List_SizeW", CR_OUT_OF_MEMORY);
     },
     static_cast<HRESULT>(0x80070008), FALSE, L""},
    {"FetchAccessDenied",
     [](sim::Scenario& s) {
         WithPaths(s, {L"\\\\?\\usb#a"});
         Fail("CM_Get_Device_Interface_ListW", CR_ACCESS_DENIED);
     },
     static_cast<HRESULT>(0x80070005), FALSE, L""},
    {"ListGrowsOnce",
     [](sim::Scenario& s) {
         WithPaths(s, {L"\\\\?\\usb#a"});
         s.listGrowths = 1;
     },
     S_OK, FALSE, L"\\\\?\\usb#a"},
    {"ListGrowsFiveTimes",
     [](sim::Scenario& s) {
         WithPaths(s, {L"\\\\?\\usb#a"});
         s.listGrowths = 5;
     },
     S_OK, FALSE, L"\\\\?\\usb#a"},
    {"FirstAdapterArrivesBetweenCalls", [](sim::Scenario& s) { s.listGrowths = 1; }, S_OK, FALSE,
     sim::DefaultUsbInterface().path + L"#grown0"},
    // Lists exactly as an odd configuration manager might hand them out.
    {"UnterminatedFirstStringIsNoPath",
     [](sim::Scenario& s) { s.rawInterfaceList = L"\\\\?\\usb#a"; },
     static_cast<HRESULT>(0x8007000D), FALSE, L"\\\\?\\usb#a"},
    {"LengthCutInsideTheFirstStringIsNoPath",
     [](sim::Scenario& s) {
         s.rawInterfaceList = std::wstring(L"\\\\?\\usb#a\0\0", 11);
         s.rawInterfaceListLength = 4;
     },
     static_cast<HRESULT>(0x8007000D), FALSE, L"\\\\?\\"},
    {"FirstStringWithoutTheClosingEmptyOneIsFound",
     [](sim::Scenario& s) { s.rawInterfaceList = std::wstring(L"\\\\?\\usb#a\0", 10); }, S_OK,
     FALSE, L"\\\\?\\usb#a"},
    {"ReportedLengthZeroIsNoDevice",
     [](sim::Scenario& s) {
         s.rawInterfaceList = std::wstring(L"\\\\?\\usb#a\0\0", 11);
         s.rawInterfaceListLength = 0;
     },
     static_cast<HRESULT>(0x80070490), TRUE, L""},
    {"RawListGrowthIsAskedAgain",
     [](sim::Scenario& s) {
         s.rawInterfaceList = std::wstring(L"\\\\?\\usb#a\0\0", 11);
         s.listGrowths = 2;
     },
     S_OK, FALSE, L"\\\\?\\usb#a"},
    {"ZeroSizeIsAskedAgain",
     [](sim::Scenario&) { sim::FailCall("CM_Get_Device_Interface_List_SizeW", 1, sim::Fault{}); },
     static_cast<HRESULT>(0x80070490), TRUE, L""},
};

INSTANTIATE_TEST_SUITE_P(Cases, RetrieveDevicePathTest, ::testing::ValuesIn(kLookupCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, ListGrowthRetriesFromTheSizeQueryEveryTime)
{
    WithPaths(sim::Current(), {L"\\\\?\\usb#a"});
    sim::Current().listGrowths = 3;
    WCHAR path[260];
    ASSERT_EQ(RetrieveDevicePath(path, sizeof(path), nullptr), S_OK);
    EXPECT_EQ(sim::CallCount("CM_Get_Device_Interface_List_SizeW"), 4u);
    EXPECT_EQ(sim::CallCount("CM_Get_Device_Interface_ListW"), 4u);
    EXPECT_EQ(sim::CallCount("HeapAlloc"), 4u);
    EXPECT_EQ(sim::CallCount("HeapFree"), 4u);
}

TEST_F(SimTest, LookupPassesTheClassAndPresentOnly)
{
    WithPaths(sim::Current(), {L"\\\\?\\usb#a"});
    WCHAR path[260];
    ASSERT_EQ(RetrieveDevicePath(path, sizeof(path), nullptr), S_OK);
    const std::string guid = sim::Narrow(kBrelvikInterfaceClassText.text);
    const size_t listLength = std::wstring(L"\\\\?\\usb#a").size() + 2;
    EXPECT_THAT(sim::CallTexts(),
                ElementsAre("LoadLibraryExA(cfgmgr32.dll, null, 0x800)",
                            "GetProcAddress(cfgmgr32.dll, CM_Get_Device_Interface_List_SizeW)",
                            "GetProcAddress(cfgmgr32.dll, CM_Get_Device_Interface_ListW)",
                            "GetProcAddress(cfgmgr32.dll, CM_MapCrToWin32Err)",
                            "CM_Get_Device_Interface_List_SizeW(" + guid + ", null, 0x0)",
                            "HeapAlloc(0x8, " + std::to_string(listLength * sizeof(WCHAR)) + ")",
                            "CM_Get_Device_Interface_ListW(" + guid + ", null, 0x0, " +
                                std::to_string(listLength) + ")",
                            "HeapFree(0x0, ptr)"));
}

TEST_F(SimTest, ConfigurationManagerFailureIsMappedWithInvalidDataAsDefault)
{
    WithPaths(sim::Current(), {L"\\\\?\\usb#a"});
    Fail("CM_Get_Device_Interface_List_SizeW", 0x77);
    WCHAR path[260];
    EXPECT_EQ(static_cast<unsigned>(RetrieveDevicePath(path, sizeof(path), nullptr)), 0x8007000Du);
    EXPECT_EQ(sim::Calls().back().Text(), "CM_MapCrToWin32Err(0x77, 13)");
}

} // namespace
