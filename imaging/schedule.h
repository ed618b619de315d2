#pragma once
// How a render is carried out, as opposed to what it computes: the sizes it cuts its work
// into and the shortcuts it may take. Nodes state what their pixels are; everything here only
// decides how much work it takes to get them.
//
// A shortcut saves work where pixels are known without computing them (one value over a
// region, opaque input that a filter would leave as it is, a tile computed a moment ago) or
// where a cheaper computation is as good (a large blur on a reduced grid). Each gives the
// pixels the full computation gives, to within a float's last bit (an alpha of 1 divided out
// or a mask of exactly 0 or 1 blended in are not bit for bit the same as skipping them), and
// the reduced-grid blur to within its documented accuracy (kernels.h). So a render with every
// shortcut off, reference(), is the yardstick for the default.
#include <cstdint>

namespace imaging {

struct Schedule {
  struct Grain {
    std::int64_t width, height;
  };

  // The tiles a render computes in parallel, and the cells of its buffers. Tall tiles would
  // read more of a blur's margin for each pixel they compute; wide ones keep rows long.
  Grain tiles{128, 32};
  // The same for renders of masks kept from one frame to the next (half floats): one value
  // but for a thin edge, so narrower tiles leave more of them flat (a person's mask in the
  // frame loop has 53% of its pixels in tiles that are not flat at 128x32, 33% at 64x32, and
  // renders about 14% faster). Pictures are never flat; narrower tiles only add reach and
  // overhead there.
  Grain maskTiles{64, 32};

  // Above this many pixels a render is cut into bands of at least bandRows rows, each planned
  // on its own: a band's buffers are reused by the next, so a large picture faults in fresh
  // memory for one band only. A default video frame (1080x1920) is one band.
  std::int64_t bandPixels = std::int64_t{2} << 20;
  std::int64_t bandRows = 256;

  // Within a tile, a blend looks for a mask of 0 or 1 in columns this wide, and an erosion
  // for columns whose whole neighbourhood is one value: along a subject's outline, only a
  // narrow band pays for the full computation.
  std::int64_t blendColumn = 32;
  std::int64_t flatColumn = 32;

  // A buffer cell that came out as one value is written out, when a read needs its pixels,
  // in parts this many across and down (at most 32 parts): a blur's margin reaches a few
  // pixels into the cells beside its tile, not across them.
  std::int64_t cellPartColumns = 8, cellPartRows = 4;

  // What pixel memory (a picture, a mask) learns of itself, whether it is one value and
  // whether it is opaque, it learns per block of this many pixels square. Fixed: the facts
  // outlive any one render.
  static constexpr std::int64_t kFactBlock = 32;

  // A large blur's reduced grid is computed lazily in cells that span about this many input
  // pixels across: narrower cells would widen the blur's reach less but shrink its input in
  // shorter pieces, which costs more per pixel; against tiles 128 pixels wide, this much
  // reach hardly adds to the input a render computes. Fixed with the blur: the reach is part
  // of the region it reads, which is known before any render.
  static constexpr std::int64_t kBlurGridCell = 64;

  // The shortcuts.
  // One value kept instead of pixels: buffer cells, tiles and sources that are one value
  // throughout, a blend whose mask is 0 or 1, an erosion of a flat neighbourhood.
  bool flatCells = true;
  // Opaque input known as such (pixel memory's facts, opaque filters): a filter that would
  // leave it as it is hands it on, one that reads alpha alone is one value over it, and area
  // filters over opaque grey input work on the grey values alone.
  bool opaqueSources = true;
  // A tile that several nodes read over the same region computed once per thread.
  bool memoisedTiles = true;
  // Blurs from sigma 4 on computed on a grid reduced by a factor, at a cost that does not
  // grow with sigma; without it, every blur is an exact separable convolution.
  bool reducedGridBlurs = true;

  // Every shortcut off, the same sizes.
  static Schedule reference() {
    Schedule s;
    s.flatCells = s.opaqueSources = s.memoisedTiles = s.reducedGridBlurs = false;
    return s;
  }
};

}  // namespace imaging
