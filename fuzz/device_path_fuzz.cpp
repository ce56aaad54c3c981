// The configuration manager list walk of the WinUSB edition against the
// simulated platform, with the list, its reported length, its growth
// between the calls and the caller's buffer all chosen by the input. The
// caller's buffer is a heap block of exactly its capacity.
//
// Input, read from the front:
//   byte 0        bits 0-1: how often the list grows before the fetch
//                 succeeds; 0x04: no no-device flag is passed; 0x08: the
//                 size query reports byte 2 instead of the list's length;
//                 0x10: the program's own 260-character buffer instead of byte 1
//   byte 1        the caller's buffer size in bytes
//   byte 2        the reported list length in wide characters
//   the rest      the list, two bytes (little-endian) per wide character
#include "fuzz/fuzz_support.h"
#include "platform/sim/sim.h"
#include "winusb_edition/device_path.h"

#include <string>

namespace {

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
constexpr HRESULT kInsufficientBuffer = static_cast<HRESULT>(0x8007007A);
constexpr WCHAR kUnwritten = 0x2A2A;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using fuzz::Require;

    if (size < 3)
        return 0;
    const uint8_t head = data[0];
    const int growths = head & 0x03;
    const bool withFlag = (head & 0x04) == 0;
    const ULONG pathSizeBytes = (head & 0x10) ? 260 * sizeof(WCHAR) : data[1];

    std::wstring raw;
    for (size_t i = 3; i + 1 < size; i += 2)
        raw += static_cast<WCHAR>(data[i] | (data[i + 1] << 8));

    sim::Scenario scenario;
    scenario.rawInterfaceList = raw;
    if (head & 0x08)
        scenario.rawInterfaceListLength = data[2];
    scenario.listGrowths = growths;
    sim::EchoStdout(false);
    sim::Reset(scenario);

    // What the program gets to see: the reported length, the list cut to it
    // or padded with the zeros of the zero-filled buffer.
    const size_t seenLength = (head & 0x08) ? data[2] : raw.size();
    std::wstring seen = raw.substr(0, seenLength);
    seen.resize(seenLength, L'\0');

    const ULONG capacity = pathSizeBytes / sizeof(WCHAR);
    std::unique_ptr<WCHAR[]> path(new WCHAR[capacity]);
    for (ULONG i = 0; i < capacity; ++i)
        path[i] = kUnwritten;
    BOOL noDevice = 7;
    const HRESULT hr =
        RetrieveDevicePath(path.get(), pathSizeBytes, withFlag ? &noDevice : nullptr);

    Require(sim::LiveBlocks().empty(), "the list buffer is freed");
    Require(sim::Problems().empty(), "no misuse of the platform");
    const size_t rounds = static_cast<size_t>(growths) + 1;
    Require(sim::CallCount("CM_Get_Device_Interface_List_SizeW") == rounds,
            "one size query per growth and one more");
    Require(sim::CallCount("HeapAlloc") == rounds, "one list buffer per round");

    const bool empty = seen.empty() || seen[0] == L'\0';
    if (withFlag)
        Require(noDevice == (empty ? TRUE : FALSE), "no-device flag only for an empty list");
    if (empty || capacity == 0) {
        Require(hr == (empty ? kNotFound : E_INVALIDARG), "empty list or no room");
        for (ULONG i = 0; i < capacity; ++i)
            Require(path[i] == kUnwritten, "nothing copied");
        return 0;
    }

    // The first string as far as the list holds it.
    const size_t end = seen.find(L'\0');
    const bool terminated = end != std::wstring::npos;
    const size_t first = terminated ? end : seen.size();

    // Whatever the result, the buffer holds a terminated prefix of it.
    ULONG copied = 0;
    while (copied < capacity && path[copied] != L'\0')
        ++copied;
    Require(copied < capacity, "the path is terminated inside the buffer");
    Require(copied <= first && seen.compare(0, copied, path.get(), copied) == 0,
            "the path is a prefix of the first string");

    if (first >= capacity) {
        Require(hr == kInsufficientBuffer, "a path beyond the buffer is cut");
        Require(copied == capacity - 1, "the cut path fills the buffer");
    } else if (terminated) {
        Require(hr == S_OK, "a whole path that fits is found");
        Require(copied == first, "the whole first string is copied");
    } else {
        Require(FAILED(hr), "an unterminated first string is never a path");
    }
    return 0;
}
