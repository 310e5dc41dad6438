#include "platform/MemoryTuning.h"

#include <malloc.h>

void KeepPageMemoryFlat()
{
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
}
