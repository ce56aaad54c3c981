// Runs the legacy edition's entry point as the process would start it: the
// program name first, the words after it, the vector closed by null.
#pragma once

#include "pipe_edition/program.h"

#include <string>
#include <vector>

inline int RunPipeEdition(const std::vector<std::string>& arguments)
{
    std::vector<std::string> words = {"BRELVIK_DFU_PIPE"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return PipeEditionMain(static_cast<int>(words.size()), argv.data());
}
