// The first thing each program does: restrict the DLL search to System32,
// or, where that fails, say so and end before anything can be loaded.
#include "platform/process_start.h"
#include "support/sim_test.h"

#include <string>

using ::testing::ElementsAre;

namespace {

TEST_F(SimTest, StartRestrictsTheDllSearchToSystem32AndGoesOn)
{
    RestrictDllSearchAtStart();
    EXPECT_THAT(sim::CallTexts(), ElementsAre("SetDefaultDllDirectories(0x800)"));
    EXPECT_EQ(sim::Stderr(), "");
}

struct RestrictionFailure {
    const char* name;
    DWORD lastError;     // what SetDefaultDllDirectories fails with
    bool terminateFails; // TerminateProcess fails too
    const char* hresult; // in the line
    int status;          // the exit status's low byte, as Wine hands it on
};

const RestrictionFailure kRestrictionFailures[] = {
    {"InvalidParameter", ERROR_INVALID_PARAMETER, false, "80070057", 0x57},
    // Never a status of 0 for a failure.
    {"NoLastError", ERROR_SUCCESS, false, "80004005", 0x05},
    {"EndsEvenIfTerminatingFails", ERROR_NOT_SUPPORTED, true, "80070032", 0x32},
};

class RestrictionFailureTest : public SimTest,
                               public ::testing::WithParamInterface<RestrictionFailure> {};

TEST_P(RestrictionFailureTest, SaysSoAndEndsWithTheHresult)
{
    const RestrictionFailure& c = GetParam();
    sim::FailCall("SetDefaultDllDirectories", 1, sim::Fault{0, c.lastError});
    if (c.terminateFails)
        sim::FailCall("TerminateProcess", 1, sim::Fault{0, ERROR_ACCESS_DENIED});
    // CRLF written as is: no runtime translates it at that point.
    const std::string line =
        std::string("^Failed restricting DLL search to System32, HRESULT 0x") + c.hresult + "\r\n$";
    EXPECT_EXIT(RestrictDllSearchAtStart(), ::testing::ExitedWithCode(c.status), line);
}

INSTANTIATE_TEST_SUITE_P(Cases, RestrictionFailureTest, ::testing::ValuesIn(kRestrictionFailures),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
