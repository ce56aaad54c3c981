#!/usr/bin/env bash
# The main job: builds both editions for Linux (against the simulated
# adapter) and for Windows (mingw-w64), then runs both programs on the
# simulated adapter so you see a whole run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset mingw >/dev/null
cmake --build --preset mingw

echo
echo "== BRELVIK_DFU_WINUSB on the simulated adapter"
build/native/winusb_edition/BRELVIK_DFU_WINUSB
echo "== BRELVIK_DFU_PIPE -i 00001A2B on the simulated adapter"
build/native/pipe_edition/BRELVIK_DFU_PIPE -i 00001A2B
echo "== BRELVIK_DFU_PIPE on the simulated adapter, targets from its WMI hubs"
build/native/pipe_edition/BRELVIK_DFU_PIPE
echo
echo "Windows programs:"
ls -l build/mingw/winusb_edition/BRELVIK_DFU_WINUSB.exe build/mingw/pipe_edition/BRELVIK_DFU_PIPE.exe
