// The whole run of BRELVIK_DFU_WINUSB.
#pragma once

// Sends the DFU-entry frame to the first adapter served by WinUSB and prints
// one line saying what happened. Always returns 0.
int WinUsbEditionMain();
