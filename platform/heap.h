// Heap blocks of the sweep: zero-filled, taken from the process heap and
// given back by the function that took them.
#ifndef QUORIN_HEAP_H
#define QUORIN_HEAP_H

#include "platform.h"

inline void* AllocateBlock(SIZE_T bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

inline void FreeBlock(void* block) {
    if (block != NULL) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

#endif
