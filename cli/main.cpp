#include <malloc.h>

#include "cli/driver.h"

int main(int argc, char** argv) {
  // Large blocks come and go all the time: every video frame allocates and frees the same
  // masks and blur grids, and the all-subjects network allocates and frees tensors of tens of
  // megabytes for each of its layers. Mapped afresh each time, every one of their pages is a
  // fault and is cleared again by the kernel; kept in the heap they are simply reused.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  drive(argc, argv);
}
