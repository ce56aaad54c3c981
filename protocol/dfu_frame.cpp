#include "protocol/dfu_frame.h"

#include <cstring>

void BuildDfuEntryFrame(DfuEntryFrame& frame)
{
    static const BYTE kFrame[kDfuEntryFrameLength] = {
        0x11, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x22,
    };
    std::memcpy(frame, kFrame, sizeof(kFrame));
}
