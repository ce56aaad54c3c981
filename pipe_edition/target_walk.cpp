#include "pipe_edition/target_walk.h"

#include "pipe_edition/cenum.h"
#include "pipe_edition/target_id.h"
#include "pipe_edition/target_list.h"
#include "platform/console.h"
#include "protocol/dfu_frame.h"

WCHAR g_pipeName[kPipeNameLength] = {};
HANDLE g_pipeHandle = nullptr;

namespace {

// Appends text at *length, as much of it as fits with a terminator.
// False when some of it did not fit.
bool AppendToPipeName(const WCHAR* text, size_t* length)
{
    for (; *text != L'\0'; ++text) {
        if (*length == kPipeNameLength - 1) {
            g_pipeName[*length] = L'\0';
            return false;
        }
        g_pipeName[(*length)++] = *text;
    }
    g_pipeName[*length] = L'\0';
    return true;
}

// g_pipeName = g_devicePath + "\" + "PIPE03". A name cut to fit would name
// another file (for a 255-character device path, the interface itself), so
// a name that does not fit is reported and must not be opened.
bool ComposePipeName()
{
    size_t length = 0;
    return AppendToPipeName(g_devicePath, &length) && AppendToPipeName(L"\\", &length) &&
           AppendToPipeName(kDriverPipeFileName, &length);
}

} // namespace

void WalkTargets()
{
    for (const TargetNode* node = TargetList; node != nullptr; node = node->next) {
        TargetIdText idText;
        FormatTargetId(node->targetId, idText);
        ConsoleOutW(L"Found device %ls\n", idText);

        // The target id plays no part in which adapter is reached.
        if (!g_deviceEnum.Open())
            continue;
        if (!ComposePipeName())
            continue;

        g_pipeHandle = CreateFileW(g_pipeName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (g_pipeHandle == INVALID_HANDLE_VALUE) {
            g_pipeHandle = nullptr;
            continue;
        }

        DfuEntryFrame frame;
        BuildDfuEntryFrame(frame);
        DWORD bytesWritten = 0;
        // Only the whole frame switches the adapter; a short write is no
        // delivery even when the call succeeds. A count above the frame's
        // length still means every byte of it was taken.
        if (WriteFile(g_pipeHandle, frame, kDfuEntryFrameLength, &bytesWritten, nullptr) &&
            bytesWritten >= kDfuEntryFrameLength)
            ConsoleOutW(L"Device %ls is now in DFU mode\n", idText);
    }
}
