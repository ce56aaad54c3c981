#include "winusb_edition/win32_error.h"

#include <gtest/gtest.h>

namespace {

struct ErrorCase {
    DWORD error;
    unsigned hresult;
};

// Only the low 16 bits of a code fit an HRESULT's code field; codes that
// already are HRESULTs, and zero, pass unchanged.
TEST(HResultFromWin32Error, KeepsTheLow16Bits)
{
    const ErrorCase cases[] = {
        {0, 0},
        {ERROR_GEN_FAILURE, 0x8007001Fu},
        {0xFFFF, 0x8007FFFFu},
        {0x89ABC, 0x80079ABCu},
        {0x80004005u, 0x80004005u},
    };
    for (const ErrorCase& c : cases)
        EXPECT_EQ(static_cast<unsigned>(HResultFromWin32Error(c.error)), c.hresult) << c.error;
}

} // namespace
