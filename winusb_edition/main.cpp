#include "winusb_edition/program.h"

int main()
{
    return WinUsbEditionMain();
}
