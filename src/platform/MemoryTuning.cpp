#include "platform/MemoryTuning.h"

#include <malloc.h>

void KeepPageMemoryFlat()
{
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}
