// Every platform call of a successful WinUSB-edition run, made to fail in
// turn and made to hand back odd data in turn: each rerun must end with
// the line prescribed for it, exit status 0 and nothing left open.
#include "protocol/dfu_frame.h"
#include "support/call_sweep.h"
#include "winusb_edition/program.h"

#include <cstdio>
#include <set>
#include <string>

namespace {

const std::vector<BYTE> kFrame = {0x11, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x22};

const std::string kFound =
    "Device found: " + sim::Narrow(kBrelvikHardwareId.text) + "; bcdUsb 0200\n";
const char kNotFound[] = "Failed looking for device, HRESULT 0x8007000d\n";
const char kGenFailure[] = "Failed looking for device, HRESULT 0x8007001f\n";
const char kOutOfMemory[] = "Failed looking for device, HRESULT 0x8007000e\n";
const char kNoDll[] = "Failed looking for device, HRESULT 0x8007007e\n";
const char kNoFunction[] = "Failed looking for device, HRESULT 0x8007007f\n";

struct Outcome {
    const char* output;
    bool opened;    // CreateFileW was called on a path from the list
    bool frameSent; // the frame reached the frame's pipe
};

const Outcome kSuccess = {kFound.c_str(), true, true};

struct FailurePoint {
    const char* call;
    const char* argsPrefix; // the row applies to the calls whose arguments begin so
    sim::Fault fault;
    Outcome outcome;
    std::string Key() const { return std::string(call) + "(" + argsPrefix; }
};

// What each call of the successful run does to the run when it fails. A
// system DLL that cannot be had fails the call that needed it, with the
// loader's error: cfgmgr32.dll the lookup, winusb.dll the start of WinUSB
// on the opened file, which is closed again.
const FailurePoint kFailurePoints[] = {
    {"LoadLibraryExA", "cfgmgr32.dll", {0, ERROR_MOD_NOT_FOUND}, {kNoDll, false, false}},
    {"GetProcAddress", "cfgmgr32.dll", {0, ERROR_PROC_NOT_FOUND}, {kNoFunction, false, false}},
    {"LoadLibraryExA", "winusb.dll", {0, ERROR_MOD_NOT_FOUND}, {kNoDll, true, false}},
    {"GetProcAddress", "winusb.dll", {0, ERROR_PROC_NOT_FOUND}, {kNoFunction, true, false}},
    {"CM_Get_Device_Interface_List_SizeW", "", {CR_FAILURE, 0}, {kNotFound, false, false}},
    // HeapAlloc fails without a last error.
    {"HeapAlloc", "", {}, {kOutOfMemory, false, false}},
    {"CM_Get_Device_Interface_ListW", "", {CR_FAILURE, 0}, {kNotFound, false, false}},
    {"HeapFree", "", {0, ERROR_INVALID_PARAMETER}, kSuccess},
    {"CreateFileW", "", {0, ERROR_GEN_FAILURE}, {kGenFailure, true, false}},
    {"WinUsb_Initialize", "", {0, ERROR_GEN_FAILURE}, {kGenFailure, true, false}},
    // Its result is not tested; the length it left at 0 is.
    {"WinUsb_GetDescriptor",
     "",
     {0, ERROR_GEN_FAILURE},
     {"Error among LastError 0 or lengthReceived 0\n", true, true}},
    {"WinUsb_WritePipe",
     "",
     {0, ERROR_GEN_FAILURE},
     {"Error among LastError 31 or lengthReceived 18\n", true, false}},
    {"WinUsb_Free", "", {0, ERROR_INVALID_HANDLE}, kSuccess},
    {"CloseHandle", "", {0, ERROR_INVALID_HANDLE}, kSuccess},
};

struct OddPoint {
    const char* call;
    sim::Odd kind;
    Outcome outcome;
};

// The oddest data each data-returning call may hand back while it
// succeeds, and the sound end of the run with it.
const OddPoint kOddPoints[] = {
    // The fetch then finds the buffer too small and the lookup starts over.
    {"CM_Get_Device_Interface_List_SizeW", sim::Odd::SizeZero, kSuccess},
    {"CM_Get_Device_Interface_List_SizeW", sim::Odd::SizeHuge, {kOutOfMemory, false, false}},
    {"CM_Get_Device_Interface_ListW",
     sim::Odd::ListEmpty,
     {"Device not connected or driver not installed\n", false, false}},
    // Never opened: what the buffer holds is no whole path.
    {"CM_Get_Device_Interface_ListW", sim::Odd::ListUnterminated, {kNotFound, false, false}},
    {"WinUsb_GetDescriptor",
     sim::Odd::CountZero,
     {"Error among LastError 0 or lengthReceived 0\n", true, true}},
    {"WinUsb_GetDescriptor",
     sim::Odd::CountBeyondBuffer,
     {"Error among LastError 0 or lengthReceived 19\n", true, true}},
    // The frame went out, but the count says it did not: no success line.
    {"WinUsb_WritePipe",
     sim::Odd::CountZero,
     {"Error among LastError 0 or lengthReceived 18\n", true, true}},
    {"WinUsb_WritePipe", sim::Odd::CountBeyondBuffer, kSuccess},
};

sim::Scenario SweepScenario()
{
    return sim::DefaultScenario();
}

void ExpectOutcome(const Outcome& expected)
{
    EXPECT_EQ(WinUsbEditionMain(), 0);
    EXPECT_EQ(sim::Stdout(), expected.output);
    EXPECT_EQ(sim::Stderr(), "");
    EXPECT_EQ(sim::CallCount("CreateFileW"), expected.opened ? 1u : 0u);
    size_t frames = 0;
    for (const sim::UsbInterface& usb : sim::Current().usbInterfaces)
        for (size_t i = 0; i < usb.writes.size(); ++i)
            if (usb.writes[i] == kFrame && usb.writePipes[i] == kDfuEntryPipeId)
                ++frames;
    EXPECT_EQ(frames, expected.frameSent ? 1u : 0u);
    EXPECT_THAT(LeftBehind(), ::testing::IsEmpty());
}

TEST_F(FaultSweep, WinUsbEdition)
{
    sim::Reset(SweepScenario());
    ASSERT_EQ(WinUsbEditionMain(), 0);
    ASSERT_EQ(sim::Stdout(), kFound);
    const std::vector<CallSite> sites = RecordedCallSites();

    int failurePoints = 0;
    int oddPoints = 0;
    std::set<std::string> failureRowsUsed;
    std::set<std::string> oddRowsUsed;
    for (const CallSite& site : sites) {
        const FailurePoint* point = nullptr;
        for (const FailurePoint& candidate : kFailurePoints)
            if (point == nullptr && site.name == candidate.call &&
                site.args.rfind(candidate.argsPrefix, 0) == 0)
                point = &candidate;
        if (point == nullptr) {
            ADD_FAILURE() << "the sweep does not know what a failing " << site.Text()
                          << " should do";
            continue;
        }
        failureRowsUsed.insert(point->Key());
        {
            SCOPED_TRACE("failing " + site.Text());
            sim::Reset(SweepScenario());
            sim::FailCall(site.name, site.occurrence, point->fault);
            ExpectOutcome(point->outcome);
            EXPECT_GE(sim::CallCount(site.name), static_cast<size_t>(site.occurrence))
                << "the fault was never reached";
            ++failurePoints;
        }

        for (const OddPoint& odd : kOddPoints) {
            if (site.name != odd.call)
                continue;
            oddRowsUsed.insert(std::string(odd.call) + sim::OddName(odd.kind));
            SCOPED_TRACE(std::string(sim::OddName(odd.kind)) + " from " + site.Text());
            sim::Reset(SweepScenario());
            sim::OddData(site.name, site.occurrence, odd.kind);
            ExpectOutcome(odd.outcome);
            EXPECT_GE(sim::OddDataHandedOut(), 1) << "the odd data was never handed out";
            ++oddPoints;
        }
    }
    // A row for a call the run no longer makes is a row that tests nothing.
    for (const FailurePoint& point : kFailurePoints)
        EXPECT_EQ(failureRowsUsed.count(point.Key()), 1u) << point.Key() << " was never reached";
    for (const OddPoint& odd : kOddPoints)
        EXPECT_EQ(oddRowsUsed.count(std::string(odd.call) + sim::OddName(odd.kind)), 1u)
            << odd.call << " " << sim::OddName(odd.kind) << " was never reached";

    RecordProperty("failure_points", failurePoints);
    RecordProperty("odd_data_points", oddPoints);
    std::printf("[  SWEEP   ] WinUSB edition: %d failure points, %d odd-data points\n",
                failurePoints, oddPoints);
}

} // namespace
