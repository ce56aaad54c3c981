// Overruns a buffer on its own stack, as a too long input would, built and
// linked as the programs are: the stack guard must end the process with
// __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE), status 0xC0000409,
// before the function returns through what the overrun wrote.
#include <cstdint>
#include <cstdio>
#include <cstring>

// NOLINTNEXTLINE(bugprone-reserved-identifier): the compiler's name for the guard
extern "C" uintptr_t __stack_chk_guard;

namespace {

// The value the guard starts from; the loader or the start-up code
// replaces it before main.
constexpr uintptr_t kUnseeded = 0x00002B992DDFA232u;

__attribute__((noinline)) void Overrun(const char* input, size_t length)
{
    char buffer[16];
    std::memcpy(buffer, input, length);
    // The buffer counts as read, so the copy stays.
    __asm__ volatile("" : : "r"(buffer) : "memory");
}

} // namespace

int main()
{
    std::printf("guard %s\n", __stack_chk_guard != kUnseeded ? "seeded" : "unseeded");
    (void)std::fflush(stdout);
    static const char kInput[64] =
        "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
    // Not a constant the compiler could check against the buffer.
    const volatile size_t length = sizeof(kInput);
    Overrun(kInput, length);
    std::printf("returned\n");
    return 0;
}
