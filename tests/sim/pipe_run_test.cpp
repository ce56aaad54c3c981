// Whole runs of the legacy edition against the simulated platform: command
// line, discovery or the -i target, and every target's delivery.
#include "support/pipe_edition_run.h"
#include "support/sim_test.h"
#include "support/target_list_support.h"

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>

namespace {

const std::vector<BYTE> kFrame = {0x11, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x22};

sim::UsbHub Hub(const wchar_t* instance)
{
    return sim::AdapterHub(instance);
}

struct RunCase {
    const char* name;
    std::vector<std::string> words; // after the program name
    std::function<void(sim::Scenario&)> arrange;
    const char* output;
    size_t framesDelivered; // whole frames that reached the adapter's pipe file
    size_t opens;           // CEnum::Open calls, seen as SetupDiGetClassDevsW
    bool wmiUsed;
};

void PrintTo(const RunCase& c, std::ostream* os)
{
    *os << c.name;
}

void Adapter(sim::Scenario& s)
{
    s.driverInterfaces.push_back(sim::DefaultDriverInterface());
}

void AdapterAndHubs(sim::Scenario& s, std::initializer_list<const wchar_t*> instances)
{
    Adapter(s);
    for (const wchar_t* instance : instances)
        s.usbHubs.push_back(Hub(instance));
}

class PipeRunTest : public SimTest, public ::testing::WithParamInterface<RunCase> {
protected:
    void TearDown() override
    {
        FreeTargetList();
        SimTest::TearDown();
    }
};

TEST_P(PipeRunTest, Outcome)
{
    const RunCase& c = GetParam();
    c.arrange(sim::Current());

    EXPECT_EQ(RunPipeEdition(c.words), 0);

    EXPECT_EQ(sim::Stdout(), c.output);
    EXPECT_EQ(sim::Stderr(), "");
    size_t delivered = 0;
    for (const sim::DriverInterface& driver : sim::Current().driverInterfaces) {
        delivered += static_cast<size_t>(
            std::count(driver.pipeWrites.begin(), driver.pipeWrites.end(), kFrame));
        EXPECT_THAT(driver.interfaceWrites, ::testing::IsEmpty());
    }
    EXPECT_EQ(delivered, c.framesDelivered);
    EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), c.opens);
    EXPECT_EQ(sim::CallCount("CoInitializeEx"), c.wmiUsed ? 1u : 0u);
}

const RunCase kRunCases[] = {
    {"InterfaceTargetInLowerCaseWithoutLeadingZeros",
     {"-i", "00001A2B"},
     Adapter,
     "Found device 1a2b\nDevice 1a2b is now in DFU mode\n",
     1,
     1,
     false},
    {"OnlyEightCharactersCount",
     {"-i", "abcdef123"},
     Adapter,
     "Found device abcdef12\nDevice abcdef12 is now in DFU mode\n",
     1,
     1,
     false},
    {"EmptyArgumentIsTargetZero",
     {"--interface="},
     Adapter,
     "Found device 0\nDevice 0 is now in DFU mode\n",
     1,
     1,
     false},
    {"MinusOneIsAllOnes",
     {"--interface=-1"},
     Adapter,
     "Found device ffffffff\nDevice ffffffff is now in DFU mode\n",
     1,
     1,
     false},
    // The interface row takes a next word that begins with "-" as its
    // argument.
    {"DashWordIsTheTarget",
     {"-i", "-1"},
     Adapter,
     "Found device ffffffff\nDevice ffffffff is now in DFU mode\n",
     1,
     1,
     false},
    {"InterfaceTargetIgnoresHubs",
     {"-i", "7"},
     [](sim::Scenario& s) { AdapterAndHubs(s, {L"00000001", L"00000002"}); },
     "Found device 7\nDevice 7 is now in DFU mode\n",
     1,
     1,
     false},
    {"HubsLastPushedFirst",
     {},
     [](sim::Scenario& s) { AdapterAndHubs(s, {L"000000A1", L"000000B2"}); },
     "Found device b2\nDevice b2 is now in DFU mode\nFound device a1\nDevice a1 is now in DFU "
     "mode\n",
     2,
     2,
     true},
    {"OperandsChangeNothing",
     {"one", "--", "-i", "3"},
     [](sim::Scenario& s) { AdapterAndHubs(s, {L"5"}); },
     "Found device 5\nDevice 5 is now in DFU mode\n",
     1,
     1,
     true},
    {"HelpAndVersionChangeNothing",
     {"-hV"},
     [](sim::Scenario& s) { AdapterAndHubs(s, {L"5"}); },
     "Found device 5\nDevice 5 is now in DFU mode\n",
     1,
     1,
     true},
    {"NoHubNoOutput", {}, Adapter, "", 0, 0, true},
    {"HubsButNoAdapter",
     {},
     [](sim::Scenario& s) { s.usbHubs.push_back(Hub(L"C")); },
     "Found device c\n",
     0,
     1,
     true},
    {"DriverRequestFailsForOneTargetOnly",
     {},
     [](sim::Scenario& s) {
         AdapterAndHubs(s, {L"1", L"2"});
         sim::FailCall("DeviceIoControl", 1, sim::Fault{0, ERROR_GEN_FAILURE});
     },
     "Found device 2\nFound device 1\nDevice 1 is now in DFU mode\n",
     1,
     2,
     true},
    {"PipeOpenFailsForOneTargetOnly",
     {},
     [](sim::Scenario& s) {
         AdapterAndHubs(s, {L"1", L"2"});
         // The second CreateFileW of the run is the first target's pipe.
         sim::FailCall("CreateFileW", 2, sim::Fault{0, ERROR_ACCESS_DENIED});
     },
     "Found device 2\nFound device 1\nDevice 1 is now in DFU mode\n",
     1,
     2,
     true},
    {"WriteFailsForOneTargetOnly",
     {},
     [](sim::Scenario& s) {
         AdapterAndHubs(s, {L"1", L"2"});
         sim::FailCall("WriteFile", 1, sim::Fault{0, ERROR_GEN_FAILURE});
     },
     "Found device 2\nFound device 1\nDevice 1 is now in DFU mode\n",
     1,
     2,
     true},
    {"NothingDeliveredStillExitsZero",
     {"-i", "1"},
     [](sim::Scenario& s) {
         Adapter(s);
         s.driverInterfaces[0].pipeWriteSucceeds = false;
     },
     "Found device 1\n",
     0,
     1,
     false},
    {"WmiSetUpFailurePrintsItsLineOnly",
     {},
     [](sim::Scenario& s) {
         AdapterAndHubs(s, {L"1"});
         sim::FailCall("CoInitializeSecurity", 1, sim::Fault{static_cast<long>(0x80010119), 0});
     },
     "Failed to initialize security. Error code = 0x80010119\n",
     0,
     0,
     true},
    {"InterfaceNodeCannotBeAllocated",
     {"-i", "1"},
     [](sim::Scenario& s) {
         Adapter(s);
         sim::FailCall("HeapAlloc", 1, sim::Fault{});
     },
     "",
     0,
     0,
     false},
};

INSTANTIATE_TEST_SUITE_P(Cases, PipeRunTest, ::testing::ValuesIn(kRunCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
