// What the mingw-w64 build's images need and mingw-w64 10's runtime lacks:
// the load configuration, the two Control Flow Guard pointers the
// compiler's checks call through, and the stack guard's value and failure
// routine. GCC's libssp has the last two, but seeds the guard through
// CryptoAPI, which loads DLLs by name at start-up.
#include "platform/windows/stack_guard.h"

#include "platform/win32.h"

#include <cstdint>

namespace {

// The value /GS cookies start from; the loader seeds a cookie that still
// holds it (Windows does, and Wine).
constexpr uint64_t kDefaultCookie = 0x00002B992DDFA232u;

} // namespace

// The names clang's -fstack-protector code refers to.
extern "C" {
uintptr_t __stack_chk_guard = kDefaultCookie; // NOLINT(bugprone-reserved-identifier)
}

__attribute__((no_stack_protector)) void SeedStackGuard()
{
    if (__stack_chk_guard != kDefaultCookie)
        return;
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    uint64_t seed = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    seed ^= (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ GetCurrentThreadId();
    seed ^=
        static_cast<uint64_t>(counter.QuadPart) ^ (static_cast<uint64_t>(counter.LowPart) << 32);
    seed ^= GetTickCount64() << 24;
    // Where the stack and the image lie (ASLR).
    seed ^= reinterpret_cast<uintptr_t>(&seed) ^ reinterpret_cast<uintptr_t>(&__stack_chk_guard);
    // As /GS: the top 16 bits clear, and never the value it started from.
    seed &= 0x0000FFFFFFFFFFFFu;
    __stack_chk_guard = seed != kDefaultCookie ? seed : seed + 1;
}

// Code addresses of the prebuilt runtime that leave the image as values:
// the loader calls its TLS callbacks through pointers, msvcrt.dll its
// initialisers (_initterm), exit routines (atexit) and invalid-parameter
// handler; ntdll calls the exception handler the unwind data of the
// runtime's entry routines names, the __C_specific_handler import thunk;
// the runtime keeps its _get_invalid_parameter_handler emulation in that
// function's __imp_ slot and crtend's frame-registration constructor in
// __CTOR_LIST__. Where Control Flow Guard is enforced a call through such a
// pointer must land on a listed valid target, or the process ends; whether
// ntdll checks every one of these calls is not documented, and an entry
// costs four bytes. lld lists the functions that CFG-compiled code takes
// the address of, and for GCC-compiled code those it refers to by a
// symbol typed as a function; the runtime's objects refer to these through
// their section or an untyped symbol instead, so they are named here.
// release/check_pe.py --release finds every such address in the image
// and fails on one missing from the table. The file-local ones among them
// are global in the toolchain's copies of crt2.o, crtend.o and
// libmingw32.a (cmake/toolchains/mingw-w64-x86_64.cmake).
extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier): the runtime's names
void __dyn_tls_init();
void __dyn_tls_dtor();
void pre_c_init();
void pre_cpp_init();
void __mingw_invalidParameterHandler();
void __do_global_dtors();
void __gcc_deregister_frame();
void register_frame_ctor();
// NOLINTEND(bugprone-reserved-identifier)
// The SDK headers declare these two as DLL imports, whose address would be
// msvcrt.dll's or kernel32's; these are the image's own code.
void brelvik_c_specific_handler_thunk() __asm__("__C_specific_handler");
void brelvik_get_invalid_parameter_handler() __asm__("_get_invalid_parameter_handler");
}

namespace {

__attribute__((used)) void (*const kRuntimeCallTargets[])() = {
    __dyn_tls_init,
    __dyn_tls_dtor,
    __mingw_invalidParameterHandler,
    pre_c_init,
    pre_cpp_init,
    __do_global_dtors,
    __gcc_deregister_frame,
    register_frame_ctor,
    brelvik_c_specific_handler_thunk,
    brelvik_get_invalid_parameter_handler,
};

} // namespace

// A failed check ends the process as /GS does, with
// __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE): no handler runs, and
// the status is 0xC0000409. mingw-w64 10 declares no __fastfail for clang;
// this is what it compiles to. check_pe.py looks for these bytes.
//
// The Control Flow Guard pointers start at do-nothing routines: a check
// that passes everything, and a dispatch that calls the target (in rax).
// A Windows that enforces CFG puts its own in their place; neither routine
// is itself a valid call target.
//
// The load configuration is IMAGE_LOAD_CONFIG_DIRECTORY64 in full (0x140
// bytes; mingw-w64 10's winnt.h stops short of it). lld defines the guard
// tables and flags that it names. DependentLoadFlags has the loader take
// the program's own imports from System32 alone (Windows 10 1607 on);
// SecurityCookie lets the loader seed the stack guard.
__asm__(".text\n"
        ".globl __stack_chk_fail\n"
        "__stack_chk_fail:\n"
        "    movl $2, %ecx\n"
        "    int $0x29\n"
        "brelvik_guard_check_nop:\n"
        "    ret\n"
        "brelvik_guard_dispatch_nop:\n"
        "    jmp *%rax\n"

        ".section .rdata,\"dr\"\n"
        ".balign 8\n"
        ".globl __guard_check_icall_fptr\n"
        "__guard_check_icall_fptr:\n"
        "    .quad brelvik_guard_check_nop\n"
        ".globl __guard_dispatch_icall_fptr\n"
        "__guard_dispatch_icall_fptr:\n"
        "    .quad brelvik_guard_dispatch_nop\n"

        ".balign 8\n"
        ".globl _load_config_used\n"
        "_load_config_used:\n"
        "    .long 0x140\n"                       // Size
        "    .long 0\n"                           // TimeDateStamp
        "    .short 0, 0\n"                       // MajorVersion, MinorVersion
        "    .long 0, 0, 0\n"                     // GlobalFlagsClear, GlobalFlagsSet,
                                                  // CriticalSectionDefaultTimeout
        "    .quad 0, 0, 0, 0, 0, 0\n"            // DeCommitFreeBlockThreshold,
                                                  // DeCommitTotalFreeThreshold,
                                                  // LockPrefixTable, MaximumAllocationSize,
                                                  // VirtualMemoryThreshold, ProcessAffinityMask
        "    .long 0\n"                           // ProcessHeapFlags
        "    .short 0\n"                          // CSDVersion
        "    .short 0x800\n"                      // DependentLoadFlags:
                                                  // LOAD_LIBRARY_SEARCH_SYSTEM32
        "    .quad 0\n"                           // EditList
        "    .quad __stack_chk_guard\n"           // SecurityCookie
        "    .quad 0, 0\n"                        // SEHandlerTable, SEHandlerCount
        "    .quad __guard_check_icall_fptr\n"    // GuardCFCheckFunctionPointer
        "    .quad __guard_dispatch_icall_fptr\n" // GuardCFDispatchFunctionPointer
        "    .quad __guard_fids_table\n"          // GuardCFFunctionTable
        "    .quad __guard_fids_count\n"          // GuardCFFunctionCount
        "    .long __guard_flags\n"               // GuardFlags
        "    .short 0, 0\n"                       // CodeIntegrity: Flags, Catalog,
        "    .long 0, 0\n"                        // CatalogOffset, Reserved
        "    .quad __guard_iat_table\n"           // GuardAddressTakenIatEntryTable
        "    .quad __guard_iat_count\n"           // GuardAddressTakenIatEntryCount
        "    .quad __guard_longjmp_table\n"       // GuardLongJumpTargetTable
        "    .quad __guard_longjmp_count\n"       // GuardLongJumpTargetCount
        "    .quad 0, 0, 0, 0\n"                  // DynamicValueRelocTable,
                                                  // CHPEMetadataPointer,
                                                  // GuardRFFailureRoutine,
                                                  // GuardRFFailureRoutineFunctionPointer
        "    .long 0\n"                           // DynamicValueRelocTableOffset
        "    .short 0, 0\n"                       // DynamicValueRelocTableSection, Reserved2
        "    .quad 0\n"                           // GuardRFVerifyStackPointerFunctionPointer
        "    .long 0, 0\n"                        // HotPatchTableOffset, Reserved3
        "    .quad 0, 0\n"                        // EnclaveConfigurationPointer,
                                                  // VolatileMetadataPointer
        "    .quad __guard_eh_cont_table\n"       // GuardEHContinuationTable
        "    .quad __guard_eh_cont_count\n"       // GuardEHContinuationCount
        "    .quad 0, 0, 0, 0, 0\n"               // GuardXFGCheckFunctionPointer,
                                                  // GuardXFGDispatchFunctionPointer,
                                                  // GuardXFGTableDispatchFunctionPointer,
                                                  // CastGuardOsDeterminedFailureMode,
                                                  // GuardMemcpyFunctionPointer
        ".text\n");
