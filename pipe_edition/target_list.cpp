#include "pipe_edition/target_list.h"

TargetNode* TargetList = nullptr;

bool PushTarget(DWORD targetId)
{
    TargetNode* node = static_cast<TargetNode*>(HeapAlloc(GetProcessHeap(), 0, sizeof(TargetNode)));
    if (node == nullptr)
        return false;
    node->targetId = targetId;
    node->next = TargetList;
    TargetList = node;
    return true;
}
