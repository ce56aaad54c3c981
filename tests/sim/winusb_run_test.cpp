#include "protocol/dfu_frame.h"
#include "support/sim_test.h"
#include "winusb_edition/program.h"
#include "winusb_edition/winusb_device.h"

#include <algorithm>
#include <functional>
#include <string>

using ::testing::ElementsAre;

namespace {

const std::vector<BYTE> kFrame = {0x11, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x22};

// What a run on the default adapter prints.
const std::string kFound =
    "Device found: " + sim::Narrow(kBrelvikHardwareId.text) + "; bcdUsb 0200\n";

struct RunCase {
    const char* name;
    std::function<void(sim::Scenario&)> arrange;
    std::string output;
    bool frameSent; // the frame reached the frame's pipe
};

void Fail(const char* call, long result, DWORD lastError)
{
    sim::FailCall(call, 1, sim::Fault{result, lastError});
}

void OneAdapter(sim::Scenario& s)
{
    s.usbInterfaces.push_back(sim::DefaultUsbInterface());
}

class WinUsbRunTest : public SimTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(WinUsbRunTest, PrintsOneLineAndExitsZero)
{
    const RunCase& c = GetParam();
    c.arrange(sim::Current());

    EXPECT_EQ(WinUsbEditionMain(), 0);

    EXPECT_EQ(sim::Stdout(), c.output);
    EXPECT_EQ(sim::Stderr(), "");
    std::vector<std::vector<BYTE>> sent;
    for (const sim::UsbInterface& usb : sim::Current().usbInterfaces)
        for (size_t i = 0; i < usb.writes.size(); ++i) {
            EXPECT_EQ(usb.writePipes[i], kDfuEntryPipeId);
            sent.push_back(usb.writes[i]);
        }
    // Whatever else went out, the whole frame went out once or not at all.
    EXPECT_EQ(std::count(sent.begin(), sent.end(), kFrame), c.frameSent ? 1 : 0);
}

const RunCase kRunCases[] = {
    {"WorkingAdapter", OneAdapter, kFound, true},
    {"IdsInUpperCaseHex",
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.usbInterfaces[0].descriptor = sim::DeviceDescriptor(0x1D5A, 0xBEEF, 0x0110);
     },
     "Device found: VID_1D5A&PID_BEEF; bcdUsb 0110\n", true},
    {"FirstOfTwoAdapters",
     [](sim::Scenario& s) {
         OneAdapter(s);
         OneAdapter(s);
         s.usbInterfaces[1].path += L"-second";
         s.usbInterfaces[1].descriptor = sim::DeviceDescriptor(0x1111, 0x2222, 0x0300);
     },
     kFound, true},
    {"NoAdapter", [](sim::Scenario&) {}, "Device not connected or driver not installed\n", false},
    {"ConfigurationManagerFails",
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("CM_Get_Device_Interface_List_SizeW", CR_FAILURE, 0);
     },
     "Failed looking for device, HRESULT 0x8007000d\n", false},
    // A loader that failed without an error still reports the DLL missing.
    {"DllNotLoadedWithoutError",
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("LoadLibraryExA", 0, ERROR_SUCCESS);
     },
     "Failed looking for device, HRESULT 0x8007007e\n", false},
    {"ConfigurationManagerAbsent",
     [](sim::Scenario& s) {
         OneAdapter(s);
         sim::WithoutDll("cfgmgr32.dll");
     },
     "Failed looking for device, HRESULT 0x8007007e\n", false},
    {"PathTooLongIsNeverOpened",
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.usbInterfaces[0].path.resize(260, L'x');
     },
     "Failed looking for device, HRESULT 0x8007007a\n", false},
    {"HeapExhausted",
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("HeapAlloc", 0, 0);
     },
     "Failed looking for device, HRESULT 0x8007000e\n", false},
    {"OpenDenied",
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("CreateFileW", 0, ERROR_ACCESS_DENIED);
     },
     "Failed looking for device, HRESULT 0x80070005\n", false},
    // Unplugged between the lookup and the open: the path names no file.
    {"AdapterGoneBeforeTheOpen",
     [](sim::Scenario& s) { s.rawInterfaceList = std::wstring(L"\\\\?\\usb#gone\0\0", 14); },
     "Failed looking for device, HRESULT 0x80070002\n", false},
    {"OpenFailsWithoutLastError",
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("CreateFileW", 0, 0);
     },
     "Failed looking for device, HRESULT 0x80004005\n", false},
    {"WinUsbInitialisationFails",
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("WinUsb_Initialize", 0, ERROR_GEN_FAILURE);
     },
     "Failed looking for device, HRESULT 0x8007001f\n", false},
    {"WinUsbInitialisationFailsWithoutLastError",
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("WinUsb_Initialize", 0, 0);
     },
     "Failed looking for device, HRESULT 0x80004005\n", false},
    {"ShortDescriptorAfterGoodWrite",
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.usbInterfaces[0].descriptor.resize(8);
     },
     "Error among LastError 0 or lengthReceived 8\n", true},
    {"DescriptorRequestFails",
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.usbInterfaces[0].hasDescriptor = false;
     },
     "Error among LastError 0 or lengthReceived 0\n", true},
    {"WriteFails",
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("WinUsb_WritePipe", 0, ERROR_SEM_TIMEOUT);
     },
     "Error among LastError 121 or lengthReceived 18\n", false},
    {"WriteFailsAndDescriptorShort",
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.usbInterfaces[0].descriptor.resize(4);
         Fail("WinUsb_WritePipe", 0, ERROR_DEVICE_NOT_CONNECTED);
     },
     "Error among LastError 1167 or lengthReceived 4\n", false},
    {"ShortWriteIsNoDelivery",
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.usbInterfaces[0].writeReports = 15;
     },
     "Error among LastError 0 or lengthReceived 18\n", false},
    // A successful call leaves the last error alone: the short write must not
    // report what the failed descriptor request left there.
    {"ShortWriteAfterFailedDescriptorShowsNoError",
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.usbInterfaces[0].hasDescriptor = false;
         s.usbInterfaces[0].writeReports = 0;
     },
     "Error among LastError 0 or lengthReceived 0\n", false},
    {"WriteReportingNothingIsNoDelivery",
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.usbInterfaces[0].writeReports = 0;
     },
     "Error among LastError 0 or lengthReceived 18\n", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, WinUsbRunTest, ::testing::ValuesIn(kRunCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, SuccessfulRunMakesExactlyTheseCalls)
{
    OneAdapter(sim::Current());
    ASSERT_EQ(WinUsbEditionMain(), 0);

    const std::string path = sim::Narrow(sim::DefaultUsbInterface().path);
    const std::string guid = sim::Narrow(kBrelvikInterfaceClassText.text);
    const std::string listLength = std::to_string(path.size() + 2);
    EXPECT_THAT(
        sim::CallTexts(),
        ElementsAre("LoadLibraryExA(cfgmgr32.dll, null, 0x800)",
                    "GetProcAddress(cfgmgr32.dll, CM_Get_Device_Interface_List_SizeW)",
                    "GetProcAddress(cfgmgr32.dll, CM_Get_Device_Interface_ListW)",
                    "GetProcAddress(cfgmgr32.dll, CM_MapCrToWin32Err)",
                    "CM_Get_Device_Interface_List_SizeW(" + guid + ", null, 0x0)",
                    "HeapAlloc(0x8, " + std::to_string((path.size() + 2) * sizeof(WCHAR)) + ")",
                    "CM_Get_Device_Interface_ListW(" + guid + ", null, 0x0, " + listLength + ")",
                    "HeapFree(0x0, ptr)",
                    "CreateFileW(" + path + ", 0xc0000000, 0x3, null, 3, 0x40000080, null)",
                    // winusb.dll only once it is needed, after the open.
                    "LoadLibraryExA(winusb.dll, null, 0x800)",
                    "GetProcAddress(winusb.dll, WinUsb_Initialize)",
                    "GetProcAddress(winusb.dll, WinUsb_Free)",
                    "GetProcAddress(winusb.dll, WinUsb_GetDescriptor)",
                    "GetProcAddress(winusb.dll, WinUsb_WritePipe)", "WinUsb_Initialize(ptr)",
                    "WinUsb_GetDescriptor(0x1, 0, 0, 18)",
                    "WinUsb_WritePipe(0x4, 11 00 0d 00 00 00 00 00 00 00 00 00 00 00 00 22, 16, "
                    "null)",
                    "stdout(" + kFound + ")", "WinUsb_Free(ptr)", "CloseHandle(ptr)"));
}

TEST_F(SimTest, FileIsClosedBeforeTheInitialisationFailureIsPrinted)
{
    OneAdapter(sim::Current());
    Fail("WinUsb_Initialize", 0, ERROR_GEN_FAILURE);
    ASSERT_EQ(WinUsbEditionMain(), 0);
    const int closed = FirstCall("CloseHandle");
    const int printed = FirstCall("stdout");
    ASSERT_GE(closed, 0);
    EXPECT_LT(closed, printed);
    EXPECT_EQ(sim::CallCount("WinUsb_Free"), 0u);
}

TEST_F(SimTest, CloseWinUsbDeviceTwiceIsHarmless)
{
    OneAdapter(sim::Current());
    WinUsbDevice device = {};
    BOOL noDevice = FALSE;
    ASSERT_EQ(OpenWinUsbDevice(&device, &noDevice), S_OK);
    EXPECT_TRUE(device.HandlesOpen);
    CloseWinUsbDevice(&device);
    CloseWinUsbDevice(&device);
    EXPECT_FALSE(device.HandlesOpen);
    EXPECT_EQ(sim::CallCount("WinUsb_Free"), 1u);
    EXPECT_EQ(sim::CallCount("CloseHandle"), 1u);
}

} // namespace
