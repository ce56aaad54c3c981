#include "platform/sim/state.h"
#include "platform/system_dll.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim::detail {

bool g_echoStdout = true;

State& S()
{
    static State state = [] {
        State s;
        s.scenario = DefaultScenario();
        return s;
    }();
    return state;
}

const Fault* Enter(const char* call, const std::string& args)
{
    State& s = S();
    s.calls.push_back(CallRecord{call, args});
    const int occurrence = ++s.callCounts[call];
    for (const PlannedFault& planned : s.faults) {
        if (planned.call == call && (planned.occurrence == 0 || planned.occurrence == occurrence))
            return &planned.fault;
    }
    return nullptr;
}

bool OddHere(const char* call, Odd kind)
{
    State& s = S();
    auto count = s.callCounts.find(call);
    const int occurrence = count == s.callCounts.end() ? 0 : count->second;
    for (const PlannedOdd& planned : s.odds) {
        if (planned.call == call && planned.kind == kind &&
            (planned.occurrence == 0 || planned.occurrence == occurrence)) {
            ++s.oddHandedOut;
            return true;
        }
    }
    return false;
}

DWORD OddCount(const char* call, DWORD moved, DWORD room)
{
    if (OddHere(call, Odd::CountZero))
        return 0;
    if (OddHere(call, Odd::CountBeyondBuffer))
        return room + 1;
    return moved;
}

void Note(const char* what, const std::string& text)
{
    S().calls.push_back(CallRecord{what, text});
}

void Problem(const std::string& text)
{
    S().problems.push_back(text);
}

HANDLE NewHandle(const std::string& kind, const std::string& what, size_t index, DWORD flags,
                 int object)
{
    State& s = S();
    HANDLE handle = reinterpret_cast<HANDLE>(s.nextHandle);
    s.nextHandle += 0x10;
    s.handles[handle] = HandleEntry{kind, what, index, flags, object};
    return handle;
}

HandleEntry* FindHandle(HANDLE handle, const std::string& kind, const char* call)
{
    auto it = S().handles.find(handle);
    if (it == S().handles.end() || it->second.kind != kind) {
        Problem(std::string(call) + " on a handle that is not an open " + kind + " handle");
        return nullptr;
    }
    return &it->second;
}

bool DropHandle(HANDLE handle, const char* call)
{
    if (S().handles.erase(handle) == 0) {
        Problem(std::string(call) + " on a handle that is not open");
        return false;
    }
    return true;
}

void* NewBlock(const std::string& kind, size_t size, bool zero)
{
    // Exactly the size asked for, so that an address sanitizer sees any
    // access beyond it; unzeroed memory is filled so reliance on it shows.
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        return nullptr;
    std::memset(block, zero ? 0 : 0xCD, size == 0 ? 1 : size);
    S().blocks[block] = BlockEntry{kind, size};
    return block;
}

bool DropBlock(const std::string& kind, const void* block, const char* call)
{
    auto it = S().blocks.find(block);
    if (it == S().blocks.end() || it->second.kind != kind) {
        Problem(std::string(call) + " of a block that is not a live " + kind + " block");
        return false;
    }
    S().blocks.erase(it);
    std::free(const_cast<void*>(block));
    return true;
}

size_t BlockSize(const void* block)
{
    auto it = S().blocks.find(block);
    if (it == S().blocks.end())
        return 0;
    return it->second.size;
}

std::string Ptr(const void* p)
{
    return p == nullptr ? "null" : "ptr";
}

std::string GuidText(const GUID* guid)
{
    if (guid == nullptr)
        return "null";
    char text[40];
    (void)std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                        guid->Data1, guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                        guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5],
                        guid->Data4[6], guid->Data4[7]);
    return text;
}

} // namespace sim::detail

namespace sim {

using namespace detail;

void Reset(const Scenario& scenario)
{
    State& s = S();
    for (auto& entry : s.blocks)
        std::free(const_cast<void*>(entry.first));
    s = State();
    s.scenario = scenario;
    // A run is a process of its own: nothing is bound yet.
    ResetSystemDllBindings();
}

Scenario& Current()
{
    return S().scenario;
}

void FailCall(const std::string& call, int occurrence, const Fault& fault)
{
    S().faults.push_back(PlannedFault{call, occurrence, fault});
}

void WithoutExport(const std::string& dll, const std::string& function)
{
    std::string name;
    for (const char c : dll)
        name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    S().missingExports.push_back(name + "!" + function);
}

void WithoutDll(const std::string& dll)
{
    WithoutExport(dll, "");
}

void AtProcessEnd(void (*report)())
{
    S().atProcessEnd = report;
}

void OddData(const std::string& call, int occurrence, Odd kind)
{
    S().odds.push_back(PlannedOdd{call, occurrence, kind});
}

int OddDataHandedOut()
{
    return S().oddHandedOut;
}

const char* OddName(Odd kind)
{
    switch (kind) {
    case Odd::SizeZero:
        return "SizeZero";
    case Odd::SizeHuge:
        return "SizeHuge";
    case Odd::ListEmpty:
        return "ListEmpty";
    case Odd::ListUnterminated:
        return "ListUnterminated";
    case Odd::PathEmpty:
        return "PathEmpty";
    case Odd::PathUnterminated:
        return "PathUnterminated";
    case Odd::CountZero:
        return "CountZero";
    case Odd::CountBeyondBuffer:
        return "CountBeyondBuffer";
    case Odd::NextNoObject:
        return "NextNoObject";
    case Odd::NextCountZero:
        return "NextCountZero";
    case Odd::ValueNotString:
        return "ValueNotString";
    case Odd::ValueEmptyString:
        return "ValueEmptyString";
    case Odd::ValueNullString:
        return "ValueNullString";
    }
    return "?";
}

const std::vector<CallRecord>& Calls()
{
    return S().calls;
}

std::vector<std::string> CallTexts()
{
    std::vector<std::string> texts;
    for (const CallRecord& call : S().calls)
        texts.push_back(call.Text());
    return texts;
}

std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const CallRecord& call : S().calls)
        names.push_back(call.name);
    return names;
}

size_t CallCount(const std::string& call)
{
    auto it = S().callCounts.find(call);
    return it == S().callCounts.end() ? 0 : static_cast<size_t>(it->second);
}

const std::string& Stdout()
{
    return S().out;
}

const std::string& Stderr()
{
    return S().err;
}

void EchoStdout(bool echo)
{
    g_echoStdout = echo;
}

std::vector<std::string> OpenHandles()
{
    std::vector<std::string> open;
    for (const auto& entry : S().handles)
        open.push_back(entry.second.kind + " " + entry.second.what);
    return open;
}

namespace {

std::vector<std::string> OpenHandlesWhere(bool pipes)
{
    std::vector<std::string> open;
    for (const auto& entry : S().handles)
        if ((entry.second.kind == "pipe") == pipes)
            open.push_back(entry.second.kind + " " + entry.second.what);
    return open;
}

} // namespace

std::vector<std::string> OpenPipeHandles()
{
    return OpenHandlesWhere(true);
}

std::vector<std::string> OpenHandlesOtherThanPipes()
{
    return OpenHandlesWhere(false);
}

std::vector<std::string> LiveBlocks()
{
    std::vector<std::string> live;
    for (const auto& entry : S().blocks)
        live.push_back(entry.second.kind + " block of " + std::to_string(entry.second.size) +
                       " bytes");
    return live;
}

const std::vector<std::string>& Problems()
{
    return S().problems;
}

std::string Narrow(const WCHAR* text)
{
    if (text == nullptr)
        return "null";
    std::string narrow;
    for (; *text != L'\0'; ++text)
        narrow += (*text >= 0x20 && *text < 0x7F) ? static_cast<char>(*text) : '?';
    return narrow;
}

std::string Narrow(const std::wstring& text)
{
    return Narrow(text.c_str());
}

std::string Hex(unsigned long long value)
{
    char text[24];
    (void)std::snprintf(text, sizeof(text), "0x%llx", value);
    return text;
}

std::string HexBytes(const void* data, size_t size)
{
    std::string text;
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (size_t i = 0; i < size; ++i) {
        char pair[4];
        (void)std::snprintf(pair, sizeof(pair), i == 0 ? "%02x" : " %02x", bytes[i]);
        text += pair;
    }
    return text;
}

} // namespace sim
