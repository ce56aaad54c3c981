// The target id a WMI device id names, against a plain tokeniser that
// copies the third component out and reads it by the target id rule. The
// device id sits in a heap block of its exact size.
#include "fuzz/fuzz_support.h"
#include "pipe_edition/device_id.h"
#include "pipe_edition/target_id.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using fuzz::Require;

    size_t length = 0;
    const std::unique_ptr<WCHAR[]> deviceId = fuzz::WideText(data, size, &length);

    std::vector<std::wstring> components;
    std::wstring current;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || deviceId[i] == L'\\') {
            if (!current.empty())
                components.push_back(current);
            current.clear();
        } else {
            current += deviceId[i];
        }
    }

    const DWORD kUntouched = 0x5EED5EEDu;
    DWORD targetId = kUntouched;
    const bool found = TargetIdFromDeviceId(deviceId.get(), &targetId);
    if (components.size() < 3) {
        Require(!found, "fewer than three components give false");
        Require(targetId == kUntouched, "target id left alone on false");
        return 0;
    }
    Require(found, "three components give true");
    const std::wstring& third = components[2];
    std::unique_ptr<WCHAR[]> copy(new WCHAR[third.size() + 1]);
    for (size_t i = 0; i <= third.size(); ++i)
        copy[i] = third.c_str()[i];
    Require(targetId == ParseTargetId(copy.get()), "third component read by the rule");
    return 0;
}
