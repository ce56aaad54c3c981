// Every platform call of a successful legacy-edition run, made to fail in
// turn and made to hand back odd data in turn, once with the -i target and
// once with two targets found through WMI: each rerun must end with the
// lines prescribed for it, exit status 0 and nothing left but the target
// nodes and the pipe files.
#include "pipe_edition/cenum.h"
#include "protocol/dfu_frame.h"
#include "support/pipe_edition_run.h"
#include "support/call_sweep.h"
#include "support/target_list_support.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

namespace {

const std::vector<BYTE> kFrame = {0x11, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x22};

const HRESULT kChangedMode = static_cast<HRESULT>(0x80010106);
const HRESULT kBadVarType = static_cast<HRESULT>(0x80020008);

// Where in the run a call falls: before the walk (discovery, the -i node)
// or while a target is worked on.
enum class Phase { SetUp, Walk };

enum class Effect {
    None,           // the run ends as the successful one did
    SkipsItsTarget, // the target being worked on keeps only its "Found device" line
    KeepsTargets,   // only the targets in `kept` are on the list, each delivered
};

struct Expect {
    Effect effect = Effect::None;
    std::vector<size_t> kept; // places in the order the successful run pushed them
    const char* line = "";    // printed before the walk
    bool frameUnreported = false;
};

const Expect kUnchanged = {};
const Expect kSkips = {Effect::SkipsItsTarget, {}, "", false};

Expect Keeps(std::vector<size_t> kept)
{
    return Expect{Effect::KeepsTargets, std::move(kept), "", false};
}

Expect SetUpFails(const char* line)
{
    return Expect{Effect::KeepsTargets, {}, line, false};
}

struct FailurePoint {
    Phase phase;
    const char* call;
    int localOccurrence; // among the calls of its name in its phase or target; 0: any
    sim::Fault fault;
    Expect expect;
};

sim::Fault Error(DWORD lastError)
{
    return sim::Fault{0, lastError};
}

sim::Fault Result(HRESULT hr)
{
    return sim::Fault{hr, 0};
}

// What each call of the successful runs does to the run when it fails.
const FailurePoint kFailurePoints[] = {
    // Target nodes: the -i node, or one per WMI result. HeapAlloc fails
    // without a last error.
    {Phase::SetUp, "HeapAlloc", 1, sim::Fault{}, Keeps({})},
    {Phase::SetUp, "HeapAlloc", 2, sim::Fault{}, Keeps({0})},
    {Phase::SetUp, "CoInitializeEx", 0, Result(kChangedMode),
     SetUpFails("Failed to initialize COM library. Error code = 0x80010106\n")},
    {Phase::SetUp, "CoInitializeSecurity", 0, Result(RPC_E_TOO_LATE),
     SetUpFails("Failed to initialize security. Error code = 0x80010119\n")},
    {Phase::SetUp, "CoCreateInstance", 0, Result(REGDB_E_CLASSNOTREG),
     SetUpFails("Failed to create IWbemLocator object. Error code = 0x80040154\n")},
    {Phase::SetUp, "IWbemLocator::ConnectServer", 0, Result(WBEM_E_INVALID_NAMESPACE),
     SetUpFails("Could not connect. Error code = 0x8004100e\n")},
    {Phase::SetUp, "CoSetProxyBlanket", 0, Result(E_ACCESSDENIED),
     SetUpFails("Could not set proxy blanket. Error code = 0x80070005\n")},
    {Phase::SetUp, "SysAllocString", 0, Error(ERROR_OUTOFMEMORY), Keeps({})},
    {Phase::SetUp, "IWbemServices::ExecQuery", 0, Result(WBEM_E_INVALID_QUERY), Keeps({})},
    {Phase::SetUp, "IEnumWbemClassObject::Next", 1, Result(WBEM_E_FAILED), Keeps({})},
    {Phase::SetUp, "IEnumWbemClassObject::Next", 2, Result(WBEM_E_FAILED), Keeps({0})},
    {Phase::SetUp, "IEnumWbemClassObject::Next", 3, Result(WBEM_E_FAILED), kUnchanged},
    {Phase::SetUp, "IWbemClassObject::Get", 1, Result(WBEM_E_FAILED), Keeps({1})},
    {Phase::SetUp, "IWbemClassObject::Get", 2, Result(WBEM_E_FAILED), Keeps({0})},
    {Phase::SetUp, "VariantClear", 0, Result(kBadVarType), kUnchanged},

    {Phase::Walk, "SetupDiGetClassDevsW", 0, Error(ERROR_GEN_FAILURE), kSkips},
    {Phase::Walk, "SetupDiEnumDeviceInterfaces", 0, Error(ERROR_NO_MORE_ITEMS), kSkips},
    // The size query's result is not tested, but a size it did not report
    // is one the record cannot be made with.
    {Phase::Walk, "SetupDiGetDeviceInterfaceDetailW", 1, Error(ERROR_GEN_FAILURE), kSkips},
    {Phase::Walk, "SetupDiGetDeviceInterfaceDetailW", 2, Error(ERROR_GEN_FAILURE), kSkips},
    {Phase::Walk, "LocalAlloc", 0, Error(ERROR_NOT_ENOUGH_MEMORY), kSkips},
    // The interface, then its pipe file.
    {Phase::Walk, "CreateFileW", 1, Error(ERROR_ACCESS_DENIED), kSkips},
    {Phase::Walk, "CreateFileW", 2, Error(ERROR_FILE_NOT_FOUND), kSkips},
    {Phase::Walk, "DeviceIoControl", 0, Error(ERROR_GEN_FAILURE), kSkips},
    {Phase::Walk, "SetupDiDestroyDeviceInfoList", 0, Error(ERROR_INVALID_HANDLE), kUnchanged},
    {Phase::Walk, "LocalFree", 0, Error(ERROR_INVALID_HANDLE), kUnchanged},
    {Phase::Walk, "CloseHandle", 0, Error(ERROR_INVALID_HANDLE), kUnchanged},
    {Phase::Walk, "WriteFile", 0, Error(ERROR_GEN_FAILURE), kSkips},
};

// Calls with no result to fail: they are part of the run, not failure points.
const std::set<std::string> kCannotFail = {
    "SysFreeString",          "VariantInit",
    "CoUninitialize",         "IWbemClassObject::Release",
    "IWbemServices::Release", "IEnumWbemClassObject::Release",
    "IWbemLocator::Release",
};

struct OddPoint {
    Phase phase;
    const char* call;
    int localOccurrence;
    sim::Odd kind;
    Expect expect;
};

// The oddest data each data-returning call may hand back while it
// succeeds, and the sound end of the run with it.
const OddPoint kOddPoints[] = {
    // No object means no more results, whatever the count says.
    {Phase::SetUp, "IEnumWbemClassObject::Next", 1, sim::Odd::NextNoObject, Keeps({})},
    {Phase::SetUp, "IEnumWbemClassObject::Next", 2, sim::Odd::NextNoObject, Keeps({0})},
    {Phase::SetUp, "IEnumWbemClassObject::Next", 3, sim::Odd::NextNoObject, kUnchanged},
    {Phase::SetUp, "IEnumWbemClassObject::Next", 1, sim::Odd::NextCountZero, Keeps({})},
    {Phase::SetUp, "IEnumWbemClassObject::Next", 2, sim::Odd::NextCountZero, Keeps({0})},
    {Phase::SetUp, "IEnumWbemClassObject::Next", 3, sim::Odd::NextCountZero, kUnchanged},
    // A DeviceID that is no text of three components names no target.
    {Phase::SetUp, "IWbemClassObject::Get", 1, sim::Odd::ValueNotString, Keeps({1})},
    {Phase::SetUp, "IWbemClassObject::Get", 2, sim::Odd::ValueNotString, Keeps({0})},
    {Phase::SetUp, "IWbemClassObject::Get", 1, sim::Odd::ValueEmptyString, Keeps({1})},
    {Phase::SetUp, "IWbemClassObject::Get", 2, sim::Odd::ValueEmptyString, Keeps({0})},
    {Phase::SetUp, "IWbemClassObject::Get", 1, sim::Odd::ValueNullString, Keeps({1})},
    {Phase::SetUp, "IWbemClassObject::Get", 2, sim::Odd::ValueNullString, Keeps({0})},

    // No record below its fixed part is written to; a huge one cannot be
    // allocated.
    {Phase::Walk, "SetupDiGetDeviceInterfaceDetailW", 1, sim::Odd::SizeZero, kSkips},
    {Phase::Walk, "SetupDiGetDeviceInterfaceDetailW", 1, sim::Odd::SizeHuge, kSkips},
    // An empty path opens nothing; an unterminated one is never read past
    // the record.
    {Phase::Walk, "SetupDiGetDeviceInterfaceDetailW", 2, sim::Odd::PathEmpty, kSkips},
    {Phase::Walk, "SetupDiGetDeviceInterfaceDetailW", 2, sim::Odd::PathUnterminated, kSkips},
    // The reply's length is not examined.
    {Phase::Walk, "DeviceIoControl", 0, sim::Odd::CountZero, kUnchanged},
    {Phase::Walk, "DeviceIoControl", 0, sim::Odd::CountBeyondBuffer, kUnchanged},
    // The frame went out, but the count says it did not: no DFU line.
    {Phase::Walk, "WriteFile", 0, sim::Odd::CountZero, {Effect::SkipsItsTarget, {}, "", true}},
    // Every byte of the frame was taken: delivered.
    {Phase::Walk, "WriteFile", 0, sim::Odd::CountBeyondBuffer, kUnchanged},
};

struct SweepRun {
    const char* name;
    std::vector<std::string> words; // after the program name
    std::vector<DWORD> targets;     // in the order the successful run pushes them
};

const SweepRun kRuns[] = {
    {"-i 1a2b", {"-i", "1a2b"}, {0x1A2B}},
    {"WMI discovery", {}, {0x1, 0xB2}},
};

sim::Scenario SweepScenario()
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.usbHubs.push_back(sim::AdapterHub(L"00B2"));
    return scenario;
}

int RunProgram(const SweepRun& run)
{
    return RunPipeEdition(run.words);
}

std::string Hex(DWORD id)
{
    char text[12];
    (void)std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(id));
    return text;
}

// The output a rerun must end with when `expect` holds for a call in
// `section` (0: before the walk; n: the n-th target from the head).
std::string ExpectedOutput(const SweepRun& run, const Expect& expect, int section,
                           size_t* delivered)
{
    std::vector<DWORD> pushed;
    if (expect.effect == Effect::KeepsTargets) {
        for (const size_t place : expect.kept)
            pushed.push_back(run.targets.at(place));
    } else {
        pushed = run.targets;
    }
    std::string output = expect.line;
    *delivered = expect.frameUnreported ? 1 : 0;
    int fromHead = 0;
    for (auto it = pushed.rbegin(); it != pushed.rend(); ++it) {
        ++fromHead;
        output += "Found device " + Hex(*it) + "\n";
        if (expect.effect == Effect::SkipsItsTarget && fromHead == section)
            continue;
        output += "Device " + Hex(*it) + " is now in DFU mode\n";
        ++*delivered;
    }
    return output;
}

// Every file the run opened is the adapter's interface or its pipe file;
// an empty path opens nothing.
std::vector<std::string> StrayOpens()
{
    const sim::DriverInterface& driver = sim::Current().driverInterfaces.at(0);
    const std::string interface = sim::Narrow(driver.path) + ", ";
    const std::string pipe = sim::Narrow(driver.path + L"\\" + kDriverPipeFileName) + ", ";
    std::vector<std::string> stray;
    for (const sim::CallRecord& call : sim::Calls())
        if (call.name == "CreateFileW" && call.args.rfind(interface, 0) != 0 &&
            call.args.rfind(pipe, 0) != 0 && call.args.rfind(", ", 0) != 0)
            stray.push_back(call.args);
    return stray;
}

void ExpectOutcome(const SweepRun& run, const Expect& expect, int section)
{
    if (expect.effect == Effect::SkipsItsTarget) {
        ASSERT_GE(section, 1) << "only a call made for a target can skip it";
    }

    EXPECT_EQ(RunProgram(run), 0);
    size_t delivered = 0;
    EXPECT_EQ(sim::Stdout(), ExpectedOutput(run, expect, section, &delivered));
    EXPECT_EQ(sim::Stderr(), "");
    size_t frames = 0;
    for (const sim::DriverInterface& driver : sim::Current().driverInterfaces) {
        frames += static_cast<size_t>(
            std::count(driver.pipeWrites.begin(), driver.pipeWrites.end(), kFrame));
        EXPECT_THAT(driver.interfaceWrites, ::testing::IsEmpty());
    }
    EXPECT_EQ(frames, delivered);
    EXPECT_EQ(sim::CallCount("CoInitializeEx"), run.words.empty() ? 1u : 0u);
    EXPECT_THAT(StrayOpens(), ::testing::IsEmpty());
    EXPECT_EQ(g_deviceEnum.m_deviceHandle, nullptr);
    EXPECT_LE(sim::OpenPipeHandles().size(), run.targets.size());

    FreeTargetList();
    EXPECT_THAT(LeftBehind(), ::testing::IsEmpty());
}

template <class Point> bool Matches(const Point& point, const CallSite& site)
{
    const Phase phase = site.section == 0 ? Phase::SetUp : Phase::Walk;
    return point.phase == phase && site.name == point.call &&
           (point.localOccurrence == 0 || point.localOccurrence == site.localOccurrence);
}

TEST_F(FaultSweep, PipeEdition)
{
    std::set<const FailurePoint*> failureRowsUsed;
    std::set<const OddPoint*> oddRowsUsed;
    for (const SweepRun& run : kRuns) {
        SCOPED_TRACE(run.name);
        sim::Reset(SweepScenario());
        ASSERT_EQ(RunProgram(run), 0);
        size_t delivered = 0;
        ASSERT_EQ(sim::Stdout(), ExpectedOutput(run, kUnchanged, 0, &delivered));
        const std::vector<CallSite> sites = RecordedCallSites();
        FreeTargetList();

        int failurePoints = 0;
        int oddPoints = 0;
        int cannotFail = 0;
        for (const CallSite& site : sites) {
            if (kCannotFail.count(site.name) != 0) {
                ++cannotFail;
                continue;
            }
            const FailurePoint* point = nullptr;
            for (const FailurePoint& candidate : kFailurePoints)
                if (point == nullptr && Matches(candidate, site))
                    point = &candidate;
            if (point == nullptr) {
                ADD_FAILURE() << "the sweep does not know what a failing " << site.Text()
                              << " should do";
                continue;
            }
            failureRowsUsed.insert(point);
            {
                SCOPED_TRACE("failing " + site.Text());
                sim::Reset(SweepScenario());
                sim::FailCall(site.name, site.occurrence, point->fault);
                ExpectOutcome(run, point->expect, site.section);
                EXPECT_GE(sim::CallCount(site.name), static_cast<size_t>(site.occurrence))
                    << "the fault was never reached";
                ++failurePoints;
            }

            for (const OddPoint& odd : kOddPoints) {
                if (!Matches(odd, site))
                    continue;
                oddRowsUsed.insert(&odd);
                SCOPED_TRACE(std::string(sim::OddName(odd.kind)) + " from " + site.Text());
                sim::Reset(SweepScenario());
                sim::OddData(site.name, site.occurrence, odd.kind);
                ExpectOutcome(run, odd.expect, site.section);
                EXPECT_GE(sim::OddDataHandedOut(), 1) << "the odd data was never handed out";
                ++oddPoints;
            }
        }

        const std::string key = run.words.empty() ? "discovery" : "interface_option";
        RecordProperty(key + "_failure_points", failurePoints);
        RecordProperty(key + "_odd_data_points", oddPoints);
        std::printf("[  SWEEP   ] legacy edition, %s: %d failure points, %d odd-data points, "
                    "%d calls that cannot fail\n",
                    run.name, failurePoints, oddPoints, cannotFail);
    }

    // A row for a call the runs no longer make is a row that tests nothing.
    for (const FailurePoint& point : kFailurePoints)
        EXPECT_EQ(failureRowsUsed.count(&point), 1u)
            << point.call << " #" << point.localOccurrence << " was never reached";
    for (const OddPoint& odd : kOddPoints)
        EXPECT_EQ(oddRowsUsed.count(&odd), 1u) << odd.call << " #" << odd.localOccurrence << " "
                                               << sim::OddName(odd.kind) << " was never reached";
}

} // namespace
