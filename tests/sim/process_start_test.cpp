// The first thing each program does: restrict the DLL search to System32,
// or, where that fails, say so and end before anything can be loaded.
#include "platform/process_start.h"
#include "support/sim_test.h"

#include <cstdio>
#include <string>

using ::testing::ElementsAre;

namespace {

TEST_F(SimTest, StartRestrictsTheDllSearchToSystem32AndGoesOn)
{
    RestrictDllSearchAtStart();
    EXPECT_THAT(sim::CallTexts(),
                ElementsAre("GetModuleHandleW(kernel32.dll)",
                            "GetProcAddress(kernel32.dll, SetDefaultDllDirectories)",
                            "SetDefaultDllDirectories(0x800)"));
    EXPECT_EQ(sim::Stderr(), "");
}

struct RestrictionFailure {
    const char* name;
    bool missing;        // kernel32 lacks SetDefaultDllDirectories
    DWORD lastError;     // else what SetDefaultDllDirectories fails with
    bool terminateFails; // TerminateProcess fails too
    const char* hresult; // in the line
    int status;          // the exit status's low byte, as Wine hands it on
    const char* calls;   // every call made (and "stderr" for the line), up to the end
    const char* failing = "SetDefaultDllDirectories"; // the call lastError is for
};

const RestrictionFailure kRestrictionFailures[] = {
    // Windows 7 and Vista without KB2533623: nothing is loaded or set.
    {"FunctionMissing", true, 0, false, "8007007f", 0x7F,
     "GetModuleHandleW GetProcAddress GetStdHandle WriteFile stderr TerminateProcess"},
    {"Kernel32NotFound", false, ERROR_MOD_NOT_FOUND, false, "8007007e", 0x7E,
     "GetModuleHandleW GetStdHandle WriteFile stderr TerminateProcess", "GetModuleHandleW"},
    {"InvalidParameter", false, ERROR_INVALID_PARAMETER, false, "80070057", 0x57,
     "GetModuleHandleW GetProcAddress SetDefaultDllDirectories GetStdHandle WriteFile stderr "
     "TerminateProcess"},
    // Never a status of 0 for a failure.
    {"NoLastError", false, ERROR_SUCCESS, false, "80004005", 0x05,
     "GetModuleHandleW GetProcAddress SetDefaultDllDirectories GetStdHandle WriteFile stderr "
     "TerminateProcess"},
    // Between them, the rows print every hexadecimal digit.
    {"DigitsOneAToC", false, 0x1ABC, false, "80071abc", 0xBC,
     "GetModuleHandleW GetProcAddress SetDefaultDllDirectories GetStdHandle WriteFile stderr "
     "TerminateProcess"},
    {"DigitsSixNineDE", false, 0x69DE, false, "800769de", 0xDE,
     "GetModuleHandleW GetProcAddress SetDefaultDllDirectories GetStdHandle WriteFile stderr "
     "TerminateProcess"},
    {"EndsEvenIfTerminatingFails", false, ERROR_NOT_SUPPORTED, true, "80070032", 0x32,
     "GetModuleHandleW GetProcAddress SetDefaultDllDirectories GetStdHandle WriteFile stderr "
     "TerminateProcess ExitProcess"},
};

// In the dying child, after the program's own line: what it called.
void ReportCalls()
{
    std::string names = "calls:";
    for (const std::string& name : sim::CallNames())
        names += " " + name;
    (void)std::fprintf(stderr, "%s\n", names.c_str());
}

class RestrictionFailureTest : public SimTest,
                               public ::testing::WithParamInterface<RestrictionFailure> {};

TEST_P(RestrictionFailureTest, SaysSoAndEndsWithTheHresult)
{
    const RestrictionFailure& c = GetParam();
    if (c.missing)
        sim::WithoutExport("kernel32.dll", "SetDefaultDllDirectories");
    else
        sim::FailCall(c.failing, 1, sim::Fault{0, c.lastError});
    if (c.terminateFails)
        sim::FailCall("TerminateProcess", 1, sim::Fault{0, ERROR_ACCESS_DENIED});
    sim::AtProcessEnd(ReportCalls);
    // CRLF written as is: no runtime translates it at that point.
    const std::string output =
        std::string("^Failed restricting DLL search to System32, HRESULT 0x") + c.hresult +
        "\r\ncalls: " + c.calls + "\n$";
    EXPECT_EXIT(RestrictDllSearchAtStart(), ::testing::ExitedWithCode(c.status), output);
}

INSTANTIATE_TEST_SUITE_P(Cases, RestrictionFailureTest, ::testing::ValuesIn(kRestrictionFailures),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
