#include "cli/heap.h"

#include <malloc.h>
#include <sys/mman.h>

#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

// Room for the networks' activations and a 12-megapixel picture's buffers several times over.
// Only address space: pages count once something writes to them.
constexpr std::size_t kReserve = std::size_t(1536) << 20;
constexpr std::uintptr_t kLargePage = std::uintptr_t(2) << 20;

}  // namespace

// Every picture and every frame allocates and frees large blocks: the networks' activations
// (about 800 MB of them for one run of the all-subjects network), the mask, the blur grids,
// the picture. Left to the allocator's defaults, each is mapped afresh and every 4 KB page of
// it faults and is cleared by the kernel, which on a virtual machine cost 1.2 s of a 2 s run.
// So the heap is grown once, at start-up, by a reserve that is never handed back: freed blocks
// go back to it and are reused with their pages in place, every thread allocates from it
// (per-thread arenas would map their own), and the kernel backs it with 2 MB pages, which
// fault 512 times less often.
void prepareHeap() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return;  // the sanitizers bring their own allocator
#else
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
  // Beyond the reserve, blocks of up to 32 MB still come from the heap and stay there.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  // Grown from the heap's end, not mapped on its own, so that freeing leaves it in the heap.
  mallopt(M_MMAP_MAX, 0);
  void* reserve = std::malloc(kReserve);
  mallopt(M_MMAP_MAX, 1 << 16);
  if (!reserve) return;
  auto start = (reinterpret_cast<std::uintptr_t>(reserve) + kLargePage - 1) & ~(kLargePage - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(reserve) + kReserve) & ~(kLargePage - 1);
  madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  std::free(reserve);
#endif
}
