#include "pipe_edition/program.h"

int main(int argc, char* argv[])
{
    return PipeEditionMain(argc, argv);
}
