// The targets the legacy edition works through, last pushed first.
#pragma once

#include "platform/win32.h"

struct TargetNode {
    DWORD targetId;
    TargetNode* next; // the node pushed before this one, or null
};

// Head of the list; null at start. Nodes are never freed: they live until
// the process ends.
extern TargetNode* TargetList;

// Allocates a node from the process heap and pushes it at the head.
// Returns false, leaving the list as it was, when no node can be had.
bool PushTarget(DWORD targetId);
