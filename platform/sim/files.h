// What a path opened with CreateFileW names in the scenario.
#pragma once

#include <cstddef>
#include <string>

namespace sim::detail {

struct FileObject {
    enum Kind { None, UsbInterface, DriverInterface, DriverPipe };
    int kind = None;
    size_t index = 0;
};

// Finds the scenario object a path names; false when there is none.
bool ResolveFile(const std::wstring& path, FileObject& object);

} // namespace sim::detail
