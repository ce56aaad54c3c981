// The walk over the targets: for each one, the adapter's driver interface
// through g_deviceEnum, then the DFU-entry frame written to its pipe file.
#pragma once

#include "platform/win32.h"

#include <cstddef>

constexpr size_t kPipeNameLength = 256;

// <device path>\PIPE03 of the current target.
extern WCHAR g_pipeName[kPipeNameLength];
// The pipe file of the current target, or null when it could not be
// opened. Pipe files are never closed: they live until the process ends.
extern HANDLE g_pipeHandle;

// Works through TargetList from its head, printing "Found device <id>" for
// each target and "Device <id> is now in DFU mode" once the frame has been
// delivered. Every failure on the way is silent and moves on to the next
// target.
void WalkTargets();
