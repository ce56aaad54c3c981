// The simulated platform keeps to what Windows documents where the
// programs' output depends on it: the configuration manager's code mapping
// and which calls touch the last error.
#include "platform/sim/config_ret_errors.h"
#include "protocol/dfu_frame.h"
#include "support/sim_test.h"

#include <map>

namespace {

TEST_F(SimTest, MapCrToWin32ErrFollowsTheDocumentedTable)
{
    // By number, so that a wrong constant in the declarations shows too.
    const std::map<CONFIGRET, DWORD> documented = {
        {0x00, 0},   {0x02, 8},   {0x03, 1784}, {0x04, 1004}, {0x05, 13},   {0x0D, 1168},
        {0x10, 183}, {0x1A, 122}, {0x1C, 6},    {0x1D, 1015}, {0x1E, 13},   {0x25, 1168},
        {0x2E, 2},   {0x2F, 13},  {0x30, 1062}, {0x31, 1062}, {0x32, 1062}, {0x33, 5},
        {0x34, 120}, {0x35, 13},  {0x37, 1168}, {0x38, 13},
    };
    const DWORD kDefault = 0xDEADBEEF;
    // Every code up to one past the last one Windows defines; the rest,
    // CR_INVALID_DATA (0x1F) and CR_FAILURE (0x13) among them, give the default.
    for (CONFIGRET code = 0; code <= 0x3C; ++code) {
        const auto row = documented.find(code);
        const DWORD expected = row == documented.end() ? kDefault : row->second;
        EXPECT_EQ(CM_MapCrToWin32Err(code, kDefault), expected) << "code " << sim::Hex(code);
    }
}

TEST_F(SimTest, OnlyFailuresAndOpensSetTheLastErrorAndWritesStayInBounds)
{
    sim::Current().driverInterfaces = {sim::DefaultDriverInterface()};
    sim::Current().usbInterfaces = {sim::DefaultUsbInterface()};
    sim::Current().usbInterfaces[0].writeReports = 4;
    const DWORD kEarlier = ERROR_ALREADY_EXISTS;

    SetLastError(kEarlier);
    HDEVINFO set = SetupDiGetClassDevsW(&BrelvikInterfaceGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    EXPECT_TRUE(
        SetupDiEnumDeviceInterfaces(set, nullptr, &BrelvikInterfaceGuid, 0, &interfaceData));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    sim::FailCall("HeapAlloc", 1, sim::Fault{0, ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), kEarlier);

    HANDLE file = CreateFileW(sim::DefaultUsbInterface().path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    WINUSB_INTERFACE_HANDLE winusb = nullptr;
    ASSERT_TRUE(WinUsb_Initialize(file, &winusb));
    SetLastError(kEarlier);
    UCHAR frame[16] = {};
    ULONG written = 99;
    EXPECT_TRUE(WinUsb_WritePipe(winusb, 0x04, frame, sizeof(frame), &written, nullptr));
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(GetLastError(), kEarlier);
    sim::Current().usbInterfaces[0].writeReports = 64;
    EXPECT_TRUE(WinUsb_WritePipe(winusb, 0x04, frame, sizeof(frame), &written, nullptr));
    EXPECT_EQ(written, 16u);
    EXPECT_TRUE(WinUsb_Free(winusb));
    EXPECT_TRUE(CloseHandle(file));
}

} // namespace
