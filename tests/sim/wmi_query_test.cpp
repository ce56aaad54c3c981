// The simulated WMI reads the query as WMI does, so that discovery's tests
// see what a query would find on Windows: only the hubs its LIKE pattern
// matches, and an error for a query WMI cannot parse.
#include "support/sim_test.h"

#include <ostream>
#include <string>
#include <vector>

namespace {

// Ids of no adapter of ours: what is tested is the reading of the query.
const std::vector<sim::UsbHub> kHubs = {
    {L"USB\\VID_1D5A&PID_BEEF\\1"}, {L"USB\\VID_1D5A&PID_BEEF&MI_00\\2"},
    {L"usb\\vid_1d5a&pid_beef\\3"}, {L"USB\\VIDX1D5A&PID_BEEF\\4"},
    {L"USB\\VID_1D5A&PID_BEEE\\5"}, {L"USB\\ROOT_HUB30\\6"},
};

const std::wstring kSelect = L"SELECT __RELPATH FROM Win32_USBHub WHERE __RELPATH LIKE ";

struct QueryCase {
    const char* name;
    std::wstring query;
    HRESULT result;
    std::wstring found; // the last character of each DeviceID returned
};

void PrintTo(const QueryCase& c, std::ostream* os)
{
    *os << c.name;
}

// Runs the query as discovery does and gives back the last character of
// each DeviceID returned.
HRESULT Query(const std::wstring& text, std::wstring* found)
{
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    IWbemLocator* locator = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&locator)),
              S_OK);
    BSTR cimv2 = SysAllocString(L"ROOT\\CIMV2");
    IWbemServices* services = nullptr;
    EXPECT_EQ(
        locator->ConnectServer(cimv2, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
        S_OK);
    BSTR language = SysAllocString(L"WQL");
    BSTR query = SysAllocString(text.c_str());
    IEnumWbemClassObject* results = nullptr;
    const HRESULT hr =
        services->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY, nullptr, &results);
    for (IWbemClassObject* result = nullptr; results != nullptr;) {
        ULONG returned = 0;
        if (results->Next(WBEM_INFINITE, 1, &result, &returned) != S_OK)
            break;
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(result->Get(L"DeviceID", 0, &value, nullptr, nullptr), S_OK);
        *found += std::wstring(value.bstrVal).back();
        VariantClear(&value);
        result->Release();
    }
    if (results != nullptr)
        results->Release();
    SysFreeString(query);
    SysFreeString(language);
    SysFreeString(cimv2);
    services->Release();
    locator->Release();
    CoUninitialize();
    return hr;
}

class WmiQueryTest : public SimTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(WmiQueryTest, FindsWhatWmiWould)
{
    const QueryCase& c = GetParam();
    sim::Current().usbHubs = kHubs;
    std::wstring found;
    EXPECT_EQ(static_cast<unsigned>(Query(c.query, &found)), static_cast<unsigned>(c.result));
    EXPECT_EQ(found, c.found);
}

const QueryCase kCases[] = {
    // "_" is any one character, and letters match in either case.
    {"AnywhereInThePath", kSelect + L"\"%VID_1D5A&PID_BEEF%\"", S_OK, L"1234"},
    {"UnderscoreTakenLiterally", kSelect + L"\"%VID[_]1D5A&PID[_]BEEF%\"", S_OK, L"123"},
    {"LowerCasePattern", kSelect + L"\"%vid_1d5a&pid_beef%\"", S_OK, L"1234"},
    {"RangeInEitherCase", kSelect + L"\"%PID_BEE[e-f]%\"", S_OK, L"12345"},
    {"OutsideASet", kSelect + L"\"%PID_BEE[^F]%\"", S_OK, L"5"},
    {"SetOfCharacters", kSelect + L"\"%[26]\\\"\"", S_OK, L"26"},
    {"WithoutLeadingPercent", kSelect + L"\"VID_1D5A&PID_BEEF%\"", S_OK, L""},
    {"WithoutTrailingPercent", kSelect + L"\"%VID_1D5A&PID_BEEF\"", S_OK, L""},
    // The relative path names the class and quotes the key, its
    // backslashes doubled: \\ in the string stands for one of them.
    {"WholeRelativePath",
     kSelect + L"\"Win32_USBHub.DeviceID=\\\"USB\\\\\\\\ROOT_HUB30\\\\\\\\6\\\"\"", S_OK, L"6"},
    {"SingleQuotesAndLowerCaseWords",
     L"select __relpath from win32_usbhub where __relpath like '%\\\\[26]_'", S_OK, L"26"},
    // What WMI cannot parse is refused, not read as "everything".
    {"LikeMisspelt", L"SELECT __RELPATH FROM Win32_USBHub WHERE __RELPATH LIKF \"%\"",
     WBEM_E_INVALID_QUERY, L""},
    {"AnotherClass", L"SELECT __RELPATH FROM Win32_USBHubs WHERE __RELPATH LIKE \"%\"",
     WBEM_E_INVALID_QUERY, L""},
    {"AllProperties", L"SELECT * FROM Win32_USBHub WHERE __RELPATH LIKE \"%\"",
     WBEM_E_INVALID_QUERY, L""},
    {"NoCondition", L"SELECT __RELPATH FROM Win32_USBHub", WBEM_E_INVALID_QUERY, L""},
    {"StringNotClosed", kSelect + L"\"%", WBEM_E_INVALID_QUERY, L""},
    {"SetNotClosed", kSelect + L"\"%[AB%\"", WBEM_E_INVALID_QUERY, L""},
};

INSTANTIATE_TEST_SUITE_P(Cases, WmiQueryTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
