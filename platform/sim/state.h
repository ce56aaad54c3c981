// Shared bookkeeping of the simulated platform: call log, faults, handles,
// heap blocks and captured output. Each API family's file builds on it.
#pragma once

#include "platform/sim/sim.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim::detail {

struct HandleEntry {
    std::string kind; // "file", "pipe", "winusb", "devinfo", ...
    std::string what; // what it was opened on, for reports
    size_t index = 0; // which scenario object it belongs to
    DWORD flags = 0;  // open flags, where the kind has any
    int object = 0;   // for files: which kind of scenario object (files.h)
};

struct BlockEntry {
    std::string kind; // "heap", "local", ...
    size_t size = 0;
};

struct ComObjectEntry {
    std::string kind; // the interface it was handed out as
    ULONG refs = 0;   // 0: released; the object stays so that a late call shows
    std::shared_ptr<void> object;
};

struct PlannedFault {
    std::string call;
    int occurrence; // 1-based; 0 = every call
    Fault fault;
};

struct PlannedOdd {
    std::string call;
    int occurrence; // 1-based; 0 = every call
    Odd kind;
};

struct State {
    Scenario scenario;
    std::vector<CallRecord> calls;
    std::map<std::string, int> callCounts;
    std::vector<PlannedFault> faults;
    std::vector<PlannedOdd> odds;
    int oddHandedOut = 0;
    std::map<HANDLE, HandleEntry> handles;
    uintptr_t nextHandle = 0x10000;
    std::map<const void*, BlockEntry> blocks;
    std::string out;
    std::string err;
    std::vector<std::string> problems;
    DWORD lastError = 0;

    // DLL loading: the process's default search (SetDefaultDllDirectories)
    // and the delay-load slots bound so far, by function name.
    DWORD dllSearch = 0;
    // "dll!function", the DLL's name in lower case; "dll!" for the whole DLL.
    std::vector<std::string> missingExports;
    void (*atProcessEnd)() = nullptr;
    std::map<std::string, FARPROC> delayBound;

    // COM and WMI.
    int comInitDepth = 0;
    bool comSecuritySet = false;
    std::map<const void*, ComObjectEntry> comObjects; // keyed by the IUnknown pointer
    std::map<const VARIANT*, VARTYPE> filledVariants; // filled by the platform, not yet cleared
};

State& S();
// Survives Reset: a test binary sets it once.
extern bool g_echoStdout;

// Records a call and returns the fault planned for this occurrence of it,
// or null when it is to succeed.
const Fault* Enter(const char* call, const std::string& args);
// Whether the current occurrence of `call` (the one Enter has just
// recorded) is to hand back odd data of this kind.
bool OddHere(const char* call, Odd kind);
// The byte count a call reports: what it moved, unless an odd count is
// planned for it (0, or one more than the room it was given).
DWORD OddCount(const char* call, DWORD moved, DWORD room);
// The largest block the simulated machine can hand out; anything above it
// fails as Windows fails an allocation it cannot satisfy.
constexpr size_t kLargestBlock = static_cast<size_t>(256) << 20;

// Appends to the captured standard error and writes it to the real one.
void EmitStderr(const std::string& text);

// Records an event that is not a platform call (printed text, say).
void Note(const char* what, const std::string& text);
void Problem(const std::string& text);

HANDLE NewHandle(const std::string& kind, const std::string& what, size_t index, DWORD flags = 0,
                 int object = 0);
// The entry of an open handle of that kind, or null (and a problem noted).
HandleEntry* FindHandle(HANDLE handle, const std::string& kind, const char* call);
bool DropHandle(HANDLE handle, const char* call);

void* NewBlock(const std::string& kind, size_t size, bool zero);
bool DropBlock(const std::string& kind, const void* block, const char* call);
// Size of a live block, or 0 when the pointer is not one (a buffer on the
// caller's stack, say).
size_t BlockSize(const void* block);

// BSTRs live in heap blocks of kind "bstr": the 32-bit byte count, the
// characters and the terminator. NewBstr makes one without a call record.
BSTR NewBstr(const std::wstring& text);
bool DropBstr(const WCHAR* bstr, const char* call);
bool IsLiveBstr(const WCHAR* text);

std::string Ptr(const void* p);
std::string GuidText(const GUID* guid);

} // namespace sim::detail
