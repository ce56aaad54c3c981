#include "pipe_edition/wmi_discovery.h"
#include "protocol/dfu_frame.h"
#include "support/sim_test.h"
#include "support/target_list_support.h"

#include <ostream>
#include <string>
#include <vector>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const HRESULT kChangedMode = static_cast<HRESULT>(0x80010106);
const HRESULT kDisconnected = static_cast<HRESULT>(0x80010108);

const std::string kQuery = sim::Narrow(kHubQuery.text);

sim::UsbHub Hub(const wchar_t* instance)
{
    return sim::AdapterHub(instance);
}

// A hub that the query matches but whose DeviceID is not the usual three
// components.
sim::UsbHub HubNamed(const std::wstring& deviceId)
{
    return sim::UsbHub{deviceId};
}

const std::wstring kHardwareId = kBrelvikHardwareId.text;

sim::UsbHub NotText(VARTYPE type)
{
    sim::UsbHub hub = Hub(L"0001");
    hub.type = type;
    return hub;
}

sim::UsbHub Unreadable()
{
    sim::UsbHub hub = Hub(L"0001");
    hub.hasDeviceId = false;
    return hub;
}

struct PlannedFailure {
    const char* call;
    int occurrence;
    HRESULT result;
};

struct DiscoveryCase {
    const char* name;
    std::vector<sim::UsbHub> hubs;
    std::vector<PlannedFailure> failures;
    HRESULT expected;
    std::vector<DWORD> targets; // from the head of the list
    std::string output;
    std::vector<std::string> releases; // in order
    size_t uninitialised;              // CoUninitialize calls
};

void PrintTo(const DiscoveryCase& c, std::ostream* os)
{
    *os << c.name;
}

// Which interface pointers a run that got as far as the results releases,
// after `results` result objects.
std::vector<std::string> FullReleases(size_t results)
{
    std::vector<std::string> releases(results, "IWbemClassObject::Release");
    releases.insert(releases.end(), {"IEnumWbemClassObject::Release", "IWbemServices::Release",
                                     "IWbemLocator::Release"});
    return releases;
}

const std::vector<std::string> kServicesAndLocator = {"IWbemServices::Release",
                                                      "IWbemLocator::Release"};

class DiscoveryTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        TargetList = nullptr;
    }
    void TearDown() override
    {
        // The nodes are the program's to keep; everything else must be gone.
        FreeTargetList();
        SimTest::TearDown();
    }
};

class DiscoveryCaseTest : public DiscoveryTest,
                          public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(DiscoveryCaseTest, Outcome)
{
    const DiscoveryCase& c = GetParam();
    sim::Current().usbHubs = c.hubs;
    for (const PlannedFailure& failure : c.failures)
        sim::FailCall(failure.call, failure.occurrence, sim::Fault{failure.result, 0});

    const HRESULT hr = DiscoverHubTargets();

    EXPECT_EQ(static_cast<unsigned>(hr), static_cast<unsigned>(c.expected));
    EXPECT_THAT(TargetIds(), ElementsAreArray(c.targets));
    EXPECT_EQ(sim::Stdout(), c.output);
    EXPECT_EQ(sim::Stderr(), "");

    std::vector<std::string> releases;
    for (const std::string& name : sim::CallNames())
        if (name.size() > 9 && name.compare(name.size() - 9, 9, "::Release") == 0)
            releases.push_back(name);
    EXPECT_THAT(releases, ElementsAreArray(c.releases));

    EXPECT_EQ(sim::CallCount("CoUninitialize"), c.uninitialised);
    // COM goes last, after every interface pointer.
    if (c.uninitialised != 0) {
        EXPECT_EQ(sim::CallNames().back(), "CoUninitialize");
    }
}

const DiscoveryCase kCases[] = {
    {"NoMatchingInstance", {}, {}, S_FALSE, {}, "", FullReleases(0), 1},
    {"LastReturnedComesFirst",
     {Hub(L"00000ABC"), Hub(L"5&1A2B3C4D&0&2")},
     {},
     S_FALSE,
     {0x5, 0xABC},
     "",
     FullReleases(2),
     1},
    {"InstanceIdsReadAsHex",
     {Hub(L"0000000000ABCDEF"), Hub(L"ABCDEF123"), Hub(L"SN01"), Hub(L"ABC\\DEF")},
     {},
     S_FALSE,
     {0xABC, 0, 0xFFFFFFFF, 0xABCDEF},
     "",
     FullReleases(4),
     1},

    // Set-up failures: one line, nothing found, what was had released.
    {"ComInitialisationFails",
     {Hub(L"1")},
     {{"CoInitializeEx", 1, kChangedMode}},
     kChangedMode,
     {},
     "Failed to initialize COM library. Error code = 0x80010106\n",
     {},
     0},
    {"SecurityFails",
     {Hub(L"1")},
     {{"CoInitializeSecurity", 1, RPC_E_TOO_LATE}},
     RPC_E_TOO_LATE,
     {},
     "Failed to initialize security. Error code = 0x80010119\n",
     {},
     1},
    {"LocatorCannotBeCreated",
     {Hub(L"1")},
     {{"CoCreateInstance", 1, REGDB_E_CLASSNOTREG}},
     REGDB_E_CLASSNOTREG,
     {},
     "Failed to create IWbemLocator object. Error code = 0x80040154\n",
     {},
     1},
    {"ConnectionFails",
     {Hub(L"1")},
     {{"IWbemLocator::ConnectServer", 1, WBEM_E_INVALID_NAMESPACE}},
     WBEM_E_INVALID_NAMESPACE,
     {},
     "Could not connect. Error code = 0x8004100e\n",
     {"IWbemLocator::Release"},
     1},
    {"ProxyBlanketFails",
     {Hub(L"1")},
     {{"CoSetProxyBlanket", 1, E_ACCESSDENIED}},
     E_ACCESSDENIED,
     {},
     "Could not set proxy blanket. Error code = 0x80070005\n",
     kServicesAndLocator,
     1},

    // Later failures print nothing.
    {"QueryFailsWithoutEnumerator",
     {Hub(L"1")},
     {{"IWbemServices::ExecQuery", 1, WBEM_E_INVALID_QUERY}},
     WBEM_E_INVALID_QUERY,
     {},
     "",
     kServicesAndLocator,
     1},
    {"NextFailsAfterTwoResults",
     {Hub(L"A"), Hub(L"B"), Hub(L"C")},
     {{"IEnumWbemClassObject::Next", 3, kDisconnected}},
     kDisconnected,
     {0xB, 0xA},
     "",
     FullReleases(2),
     1},
    {"NextFailsAtOnce",
     {Hub(L"A")},
     {{"IEnumWbemClassObject::Next", 1, WBEM_E_FAILED}},
     WBEM_E_FAILED,
     {},
     "",
     FullReleases(0),
     1},

    // Results that name no target are passed over.
    {"DeviceIdNotText",
     {Hub(L"A"), NotText(VT_NULL), NotText(VT_I4), Hub(L"B")},
     {},
     S_FALSE,
     {0xB, 0xA},
     "",
     FullReleases(4),
     1},
    {"DeviceIdUnreadable",
     {Hub(L"A"), Unreadable(), Hub(L"B")},
     {},
     S_FALSE,
     {0xB, 0xA},
     "",
     FullReleases(3),
     1},
    {"GetFails",
     {Hub(L"A"), Hub(L"B")},
     {{"IWbemClassObject::Get", 1, WBEM_E_FAILED}},
     S_FALSE,
     {0xB},
     "",
     FullReleases(2),
     1},
    {"DeviceIdTooShort",
     {Hub(L"A"), HubNamed(L"USB\\" + kHardwareId), HubNamed(L"\\\\USB\\\\" + kHardwareId + L"\\"),
      HubNamed(kHardwareId), Hub(L"B")},
     {},
     S_FALSE,
     {0xB, 0xA},
     "",
     FullReleases(5),
     1},

    // Out of memory stops discovery but keeps what it found.
    {"NodeCannotBeAllocated",
     {Hub(L"A"), Hub(L"B"), Hub(L"C")},
     {{"HeapAlloc", 2, 0}},
     E_OUTOFMEMORY,
     {0xA},
     "",
     FullReleases(2),
     1},
    {"LanguageStringCannotBeAllocated",
     {Hub(L"A")},
     {{"SysAllocString", 1, 0}},
     E_OUTOFMEMORY,
     {},
     "",
     kServicesAndLocator,
     1},
    {"QueryStringCannotBeAllocated",
     {Hub(L"A")},
     {{"SysAllocString", 2, 0}},
     E_OUTOFMEMORY,
     {},
     "",
     kServicesAndLocator,
     1},
};

INSTANTIATE_TEST_SUITE_P(Cases, DiscoveryCaseTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiscoveryTest, SuccessfulRunMakesExactlyTheseCalls)
{
    sim::Current().usbHubs = {Hub(L"00000ABC")};
    ASSERT_EQ(DiscoverHubTargets(), S_FALSE);
    ASSERT_EQ(kQuery.size(), 77u);

    EXPECT_THAT(
        sim::CallTexts(),
        ElementsAre("CoInitializeEx(null, 0x0)",
                    "CoInitializeSecurity(null, -1, null, null, 0, 3, null, 0x0, null)",
                    "CoCreateInstance({4590F811-1D3A-11D0-891F-00AA004B2E24}, null, 0x1, "
                    "{DC12A687-737F-11CF-884D-00AA004B2E24})",
                    "IWbemLocator::ConnectServer(ROOT\\CIMV2, null, null, null, 0x0, null, null)",
                    "CoSetProxyBlanket(IWbemServices, 10, 0, null, 3, 3, null, 0x0)",
                    "SysAllocString(WQL)", "SysAllocString(" + kQuery + ")",
                    "IWbemServices::ExecQuery(WQL, " + kQuery + ", 0x20, null)",
                    "SysFreeString(WQL)", "SysFreeString(" + kQuery + ")", "VariantInit",
                    "IEnumWbemClassObject::Next(0xffffffff, 1)",
                    "IWbemClassObject::Get(DeviceID, 0x0, ptr, null, null)",
                    "HeapAlloc(0x0, " + std::to_string(sizeof(TargetNode)) + ")",
                    "VariantClear(VT_BSTR)", "IWbemClassObject::Release",
                    "IEnumWbemClassObject::Next(0xffffffff, 1)", "VariantClear(VT_EMPTY)",
                    "IEnumWbemClassObject::Release", "IWbemServices::Release",
                    "IWbemLocator::Release", "CoUninitialize"));
    EXPECT_THAT(TargetIds(), ElementsAre(0xABCu));
}

// The one place the query's text is written out, around the adapter's ids.
TEST(HubQuery, IsTheAdaptersQuery)
{
    EXPECT_EQ(std::wstring(kHubQuery.text),
              L"SELECT __RELPATH FROM Win32_USBHub WHERE __RELPATH LIKE \"%" +
                  std::wstring(kBrelvikHardwareId.text) + L"%\"");
}

// The default scenario lists hubs that are not the adapter's; only the
// adapter's becomes a target.
TEST_F(DiscoveryTest, DefaultScenarioYieldsOnlyTheAdaptersHub)
{
    sim::Reset(sim::DefaultScenario());
    ASSERT_GT(sim::Current().usbHubs.size(), 1u);
    ASSERT_EQ(DiscoverHubTargets(), S_FALSE);
    EXPECT_THAT(TargetIds(), ElementsAre(0x1u));
}

TEST_F(DiscoveryTest, KeepsTargetsAlreadyOnTheList)
{
    ASSERT_TRUE(PushTarget(0x77));
    sim::Current().usbHubs = {Hub(L"1"), Hub(L"2")};
    ASSERT_EQ(DiscoverHubTargets(), S_FALSE);
    EXPECT_THAT(TargetIds(), ElementsAre(0x2u, 0x1u, 0x77u));
}

} // namespace
