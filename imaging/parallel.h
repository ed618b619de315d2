#pragma once
// Work splitting: a range of indices or a rectangle cut into runs, strips or tiles, handed out
// to a small pool of threads that lives as long as the process. One pool serves every render.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <thread>

#include "imaging/tile.h"

namespace imaging {

// The machine's cores: the one answer that the engine, the decoder, the networks and the
// picture files each size their threads by. Inline, so that the layers that only need this
// number do not link the engine for it.
inline int coreCount() {
  static const int count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return count;
}

// How many threads run strips (the machine's cores).
int workerCount();

// Calls fn(begin, end, worker) once for each run of at most `grain` consecutive indices of
// [0, count), on the pool's threads and the caller's; returns when all runs are done. worker is
// the index (0 .. workerCount()-1) of the thread that runs it, for per-thread scratch memory.
// Calls nest safely: a parallel call made from inside a run does its work on the calling
// thread. If fn throws, runs not yet started are skipped and the first exception is thrown to
// the caller once the others have ended.
void parallelFor(std::int64_t count, std::int64_t grain,
                 const std::function<void(std::int64_t begin, std::int64_t end, int worker)>& fn);
// The same one index at a time.
void parallelFor(std::int64_t count, const std::function<void(std::int64_t i, int worker)>& fn);

// Calls fn once for each strip of at most rowsPerStrip rows of rect, in parallel as
// parallelFor does.
void forEachStrip(const PixelRect& rect, std::int64_t rowsPerStrip,
                  const std::function<void(const PixelRect& strip, int worker)>& fn);

// Calls fn once for each tile of at most tileWidth x tileHeight pixels of rect, in parallel
// as parallelFor does.
void forEachTile(const PixelRect& rect, std::int64_t tileWidth, std::int64_t tileHeight,
                 const std::function<void(const PixelRect& tile, int worker)>& fn);

}  // namespace imaging
