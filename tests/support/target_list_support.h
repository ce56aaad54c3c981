// TargetList for tests: the program never frees its nodes, so a test reads
// the list and then hands the nodes back to the heap itself, leaving the
// simulated heap empty for SimTest's checks.
#pragma once

#include "pipe_edition/target_list.h"

#include <vector>

// The target ids from the head of the list on.
inline std::vector<DWORD> TargetIds()
{
    std::vector<DWORD> ids;
    for (const TargetNode* node = TargetList; node != nullptr; node = node->next)
        ids.push_back(node->targetId);
    return ids;
}

inline void FreeTargetList()
{
    while (TargetList != nullptr) {
        TargetNode* node = TargetList;
        TargetList = node->next;
        HeapFree(GetProcessHeap(), 0, node);
    }
}
