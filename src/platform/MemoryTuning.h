#pragma once

// Every page's picture buffers are megabytes. A fixed mmap threshold keeps
// them in their own mappings, handed back when freed; glibc's sliding one
// would move them into the heap after the first page, where they stay, so
// the peak would creep up with the page count. Called first in main.
void KeepPageMemoryFlat();
