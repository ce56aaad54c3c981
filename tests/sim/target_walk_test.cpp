#include "pipe_edition/cenum.h"
#include "pipe_edition/target_list.h"
#include "pipe_edition/target_walk.h"
#include "protocol/dfu_frame.h"
#include "support/sim_test.h"
#include "support/target_list_support.h"

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

namespace {

const std::vector<BYTE> kFrame = {0x11, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x22};

std::wstring PathOfLength(size_t length)
{
    std::wstring path = std::wstring(L"\\\\?\\USB#") + kBrelvikHardwareId.text + L"#";
    path.resize(length, L'x');
    return path;
}

void Fail(const char* call, int occurrence)
{
    sim::FailCall(call, occurrence, sim::Fault{0, ERROR_GEN_FAILURE});
}

struct WalkCase {
    const char* name;
    std::vector<DWORD> pushed; // in push order: walked in reverse
    std::function<void(sim::Scenario&)> arrange;
    const char* output;
    size_t pipeWrites; // writes that reached the first adapter's pipe file
    size_t pipesLeftOpen;
    size_t bytesPerWrite = 16; // how much of the frame each of them carried
};

void PrintTo(const WalkCase& c, std::ostream* os)
{
    *os << c.name;
}

class WalkTargetsTest : public SimTest, public ::testing::WithParamInterface<WalkCase> {
protected:
    void TearDown() override
    {
        FreeTargetList();
        SimTest::TearDown();
    }
};

void OneAdapter(sim::Scenario& s)
{
    s.driverInterfaces = {sim::DefaultDriverInterface()};
}

TEST_P(WalkTargetsTest, Outcome)
{
    const WalkCase& c = GetParam();
    c.arrange(sim::Current());
    for (const DWORD id : c.pushed)
        ASSERT_TRUE(PushTarget(id));

    WalkTargets();

    EXPECT_EQ(sim::Stdout(), c.output);
    EXPECT_EQ(sim::Stderr(), "");
    // Every target goes through CEnum::Open once, whatever became of the
    // one before.
    EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), c.pushed.size());
    EXPECT_EQ(g_deviceEnum.m_deviceHandle, nullptr);
    EXPECT_EQ(sim::OpenPipeHandles().size(), c.pipesLeftOpen);

    const std::vector<BYTE> sent(kFrame.begin(),
                                 kFrame.begin() + static_cast<std::ptrdiff_t>(c.bytesPerWrite));
    size_t writes = 0;
    for (const sim::DriverInterface& driver : sim::Current().driverInterfaces) {
        EXPECT_TRUE(driver.interfaceWrites.empty());
        for (const std::vector<BYTE>& write : driver.pipeWrites) {
            EXPECT_EQ(write, sent);
            ++writes;
        }
    }
    EXPECT_EQ(writes, c.pipeWrites);
}

const WalkCase kWalkCases[] = {
    {"NoTargets", {}, OneAdapter, "", 0, 0},
    {"IdsInLowerCaseWithoutLeadingZeros",
     {0x0, 0xFFFFFFFF, 0x00001A2B},
     OneAdapter,
     "Found device 1a2b\nDevice 1a2b is now in DFU mode\n"
     "Found device ffffffff\nDevice ffffffff is now in DFU mode\n"
     "Found device 0\nDevice 0 is now in DFU mode\n",
     3,
     3},
    {"NoAdapter", {1, 2}, [](sim::Scenario&) {}, "Found device 2\nFound device 1\n", 0, 0},
    {"DriverRequestFails",
     {1, 2},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].answersQuery = false;
     },
     "Found device 2\nFound device 1\n",
     0,
     0},
    {"PipeFileDoesNotOpen",
     {1, 2},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].pipeOpens = false;
     },
     "Found device 2\nFound device 1\n",
     0,
     0},
    {"WriteFails",
     {1, 2},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].pipeWriteSucceeds = false;
     },
     "Found device 2\nFound device 1\n",
     0,
     2},
    {"WalkGoesOnAfterFailedOpen",
     {1, 2},
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("DeviceIoControl", 1);
     },
     "Found device 2\nFound device 1\nDevice 1 is now in DFU mode\n",
     1,
     1},
    // The second CreateFileW is the first target's pipe file.
    {"WalkGoesOnAfterFailedPipeOpen",
     {1, 2},
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("CreateFileW", 2);
     },
     "Found device 2\nFound device 1\nDevice 1 is now in DFU mode\n",
     1,
     1},
    {"WalkGoesOnAfterFailedWrite",
     {1, 2},
     [](sim::Scenario& s) {
         OneAdapter(s);
         Fail("WriteFile", 1);
     },
     "Found device 2\nFound device 1\nDevice 1 is now in DFU mode\n",
     1,
     2},
    {"ShortWriteIsNoDelivery",
     {7},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].pipeWriteReports = 15;
     },
     "Found device 7\n",
     1,
     1,
     15},
    {"WriteOfNothingIsNoDelivery",
     {7},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].pipeWriteReports = 0;
     },
     "Found device 7\n",
     1,
     1,
     0},
    {"WriteReportingMoreThanTheFrameIsDelivery",
     {7},
     [](sim::Scenario& s) {
         OneAdapter(s);
         sim::OddData("WriteFile", 1, sim::Odd::CountBeyondBuffer);
     },
     "Found device 7\nDevice 7 is now in DFU mode\n",
     1,
     1},
    {"LongestPathWhosePipeNameFits",
     {7},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].path = PathOfLength(255 - 7);
     },
     "Found device 7\nDevice 7 is now in DFU mode\n",
     1,
     1},
    {"PipeNameOneTooLongIsNeverOpened",
     {7},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].path = PathOfLength(255 - 6);
     },
     "Found device 7\n",
     0,
     0},
    // Cut to 255 characters, the pipe name would be the interface itself.
    {"PathOf255NeverOpensItsCutPipeName",
     {7},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].path = PathOfLength(255);
     },
     "Found device 7\n",
     0,
     0},
    {"PathOf300NeverOpensAPipe",
     {7},
     [](sim::Scenario& s) {
         OneAdapter(s);
         s.driverInterfaces[0].path = PathOfLength(300);
     },
     "Found device 7\n",
     0,
     0},
};

INSTANTIATE_TEST_SUITE_P(Cases, WalkTargetsTest, ::testing::ValuesIn(kWalkCases),
                         [](const auto& info) { return std::string(info.param.name); });

class WalkTargetsCallsTest : public SimTest {
protected:
    void TearDown() override
    {
        FreeTargetList();
        SimTest::TearDown();
    }
};

TEST_F(WalkTargetsCallsTest, PipeFileOpenedForWritingAndFrameWrittenOnce)
{
    OneAdapter(sim::Current());
    ASSERT_TRUE(PushTarget(0x1A2B));
    const size_t before = sim::Calls().size();

    WalkTargets();

    const std::string pipe =
        sim::Narrow(sim::DefaultDriverInterface().path + L"\\" + kDriverPipeFileName);
    const std::vector<std::string> all = sim::CallTexts();
    const std::vector<std::string> calls(all.begin() + static_cast<std::ptrdiff_t>(before),
                                         all.end());
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls.front(), "stdout(Found device 1a2b\n)");
    EXPECT_EQ(calls[1].rfind("SetupDiGetClassDevsW(", 0), 0u);
    EXPECT_THAT(std::vector<std::string>(calls.end() - 3, calls.end()),
                ::testing::ElementsAre(
                    "CreateFileW(" + pipe + ", 0x40000000, 0x3, null, 3, 0x80, null)",
                    "WriteFile(ptr, 11 00 0d 00 00 00 00 00 00 00 00 00 00 00 00 22, 16, ptr, "
                    "null)",
                    "stdout(Device 1a2b is now in DFU mode\n)"));
    EXPECT_EQ(std::wstring(g_pipeName),
              sim::DefaultDriverInterface().path + L"\\" + kDriverPipeFileName);
    EXPECT_NE(g_pipeHandle, nullptr);
    EXPECT_EQ(sim::CallCount("CloseHandle"), 1u); // the interface's, inside CEnum::Open
}

TEST_F(WalkTargetsCallsTest, FailedPipeOpenLeavesNoHandle)
{
    OneAdapter(sim::Current());
    sim::Current().driverInterfaces[0].pipeOpens = false;
    ASSERT_TRUE(PushTarget(1));
    WalkTargets();
    EXPECT_EQ(g_pipeHandle, nullptr);
}

} // namespace
