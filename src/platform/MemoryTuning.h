#pragma once

// Every page's picture buffers are megabytes. Fixed thresholds keep the
// peak flat and the pages quick: a buffer of up to 64 MiB (a 21-megapixel
// photo's bitmap) comes from the heap, which keeps up to 64 MiB free, so
// the next page reuses it instead of faulting in and clearing fresh memory
// (a quarter of a photo page's time); a larger one gets its own mapping,
// handed back when freed. glibc's sliding threshold would move every size
// into the heap after the first page, where it stays, so the peak would
// creep up with the page count. Called first in main.
void KeepPageMemoryFlat();
