#pragma once
// Work splitting for renders: a rectangle cut into horizontal strips, handed out to a small
// pool of threads that lives as long as the process. One pool serves every render.
#include <cstdint>
#include <functional>

#include "imaging/tile.h"

namespace imaging {

// How many threads run strips (the machine's cores).
int workerCount();

// Calls fn once for each strip of at most rowsPerStrip rows of rect, on the pool's threads and
// the caller's; returns when all strips are done. fn also receives the index (0 .. workerCount()-1)
// of the thread that runs it, for per-thread scratch memory. Calls nest safely: a parallel
// call made from inside a strip runs its strips on the calling thread. If fn throws, strips
// not yet started are skipped and the first exception is thrown to the caller once the
// others have ended.
void forEachStrip(const PixelRect& rect, std::int64_t rowsPerStrip,
                  const std::function<void(const PixelRect& strip, int worker)>& fn);

// Calls fn once for each tile of at most tileWidth x tileHeight pixels of rect, in parallel
// as forEachStrip does.
void forEachTile(const PixelRect& rect, std::int64_t tileWidth, std::int64_t tileHeight,
                 const std::function<void(const PixelRect& tile, int worker)>& fn);

}  // namespace imaging
