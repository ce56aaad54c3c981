// The simulated SetupAPI holds the caller to the record sizes Windows
// checks; CEnum's tests rely on that.
#include "protocol/dfu_frame.h"
#include "support/sim_test.h"

#include <cstddef>
#include <ostream>
#include <vector>

namespace {

struct DetailCase {
    const char* name;
    bool withBuffer;
    DWORD bufferSize; // bytes handed to the call; the buffer holds at least the true size
    DWORD detailCbSize;
    DWORD devInfoCbSize; // 0: no SP_DEVINFO_DATA
    BOOL result;
    DWORD lastError;
};

void PrintTo(const DetailCase& c, std::ostream* os)
{
    *os << c.name;
}

class SetupApiDetailTest : public SimTest, public ::testing::WithParamInterface<DetailCase> {};

const std::wstring kPath = L"\\\\?\\usb#x#1#y";
const DWORD kTrueSize = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                           ((kPath.size() + 1) * sizeof(WCHAR)));
const DWORD kFixed = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);

TEST_P(SetupApiDetailTest, Checks)
{
    const DetailCase& c = GetParam();
    sim::Current().driverInterfaces = {sim::DefaultDriverInterface()};
    sim::Current().driverInterfaces[0].path = kPath;

    HDEVINFO set = SetupDiGetClassDevsW(&BrelvikInterfaceGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    ASSERT_TRUE(
        SetupDiEnumDeviceInterfaces(set, nullptr, &BrelvikInterfaceGuid, 0, &interfaceData));

    std::vector<DWORD> storage((kTrueSize / sizeof(DWORD)) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = c.detailCbSize;
    SP_DEVINFO_DATA devInfo = {};
    devInfo.cbSize = c.devInfoCbSize;
    DWORD required = 0;
    SetLastError(0);

    EXPECT_EQ(SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, c.withBuffer ? detail : nullptr,
                                               c.bufferSize, &required,
                                               c.devInfoCbSize != 0 ? &devInfo : nullptr),
              c.result);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.lastError));
    if (c.result || c.lastError == ERROR_INSUFFICIENT_BUFFER) {
        EXPECT_EQ(required, kTrueSize);
    }
    if (c.result) {
        EXPECT_EQ(std::wstring(detail->DevicePath), kPath);
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

const DetailCase kDetailCases[] = {
    {"SizeQuery", false, 0, 0, 0, FALSE, ERROR_INSUFFICIENT_BUFFER},
    {"NoBufferButASize", false, kTrueSize, 0, 0, FALSE, ERROR_INVALID_USER_BUFFER},
    {"Fills", true, kTrueSize, kFixed, 32, TRUE, ERROR_SUCCESS},
    {"CbSizeOfTheWholeBlockRefused", true, kTrueSize, kTrueSize, 32, FALSE,
     ERROR_INVALID_USER_BUFFER},
    {"BufferBelowTheFixedPart", true, kFixed - 1, kFixed, 32, FALSE, ERROR_INVALID_USER_BUFFER},
    {"BufferTooSmallForThePath", true, kTrueSize - 1, kFixed, 32, FALSE, ERROR_INSUFFICIENT_BUFFER},
    {"DevInfoOfWrongSize", true, kTrueSize, kFixed, 28, FALSE, ERROR_INVALID_USER_BUFFER},
};

INSTANTIATE_TEST_SUITE_P(Cases, SetupApiDetailTest, ::testing::ValuesIn(kDetailCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, SetOfAnotherKindHoldsNoAdapterInterface)
{
    HDEVINFO set = SetupDiGetClassDevsW(&BrelvikInterfaceGuid, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    EXPECT_FALSE(
        SetupDiEnumDeviceInterfaces(set, nullptr, &BrelvikInterfaceGuid, 0, &interfaceData));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

} // namespace
