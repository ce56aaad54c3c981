#include "platform/system_dll.h"
#include "support/sim_test.h"

namespace {

struct BindCase {
    const char* dll;
    const char* function;
    bool bound;
};

// The loader hands the DLL's name on as the import library spells it, in
// whatever case; a function's name must match exactly, as GetProcAddress
// wants it.
TEST_F(SimTest, DllNamesCompareWithoutCase)
{
    const FARPROC expected = BindSystemDllFunction("cfgmgr32.dll", "CM_MapCrToWin32Err");
    ASSERT_NE(expected, nullptr);
    const BindCase cases[] = {
        {"CFGMGR32.DLL", "CM_MapCrToWin32Err", true},
        {"CfgMgr32.dll", "CM_MapCrToWin32Err", true},
        {"cfgmgr32.dll", "cm_mapcrtowin32err", false},
        {"cfgmgr32", "CM_MapCrToWin32Err", false},
    };
    for (const BindCase& c : cases)
        EXPECT_EQ(BindSystemDllFunction(c.dll, c.function), c.bound ? expected : nullptr)
            << c.dll << " " << c.function;
}

} // namespace
