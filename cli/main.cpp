#include <malloc.h>

#include "cli/driver.h"

int main(int argc, char** argv) {
  // Every video frame allocates and frees the same large blocks (masks, blur grids, network
  // planes). Left to itself the allocator maps each afresh and the kernel zeroes every page
  // again; kept in the heap they are simply reused.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  drive(argc, argv);
}
