// The whole run of BRELVIK_DFU_PIPE.
#pragma once

// Reads the command line and gathers the targets. Ends the process with
// exit status 1 on an unacceptable command line; otherwise returns 0.
int PipeEditionMain(int argc, char* argv[]);
