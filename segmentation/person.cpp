// The person route. The selfie network is trained on people who fill its 256-pixel frame; a
// person who fills a small part of the picture is seen with few pixels and framed unlike
// anything it learnt. So a first pass over the whole picture finds where the people are, and
// when they fill less than 70% of it a second pass looks again at just that region, grown by
// a margin and widened to the network's aspect. The colour-guided filter then brings the
// probability to full resolution.
#include <algorithm>
#include <cmath>

#include "segmentation/guided.h"
#include "segmentation/models.h"
#include "segmentation/resample.h"
#include "segmentation/segmentation.h"

namespace segmentation {
namespace {

// Tuned on the person composites (m01; m12 without its kangaroo), IoU at 0.5 and mean alpha
// error, from radius 4, epsilon 1e-3 and no guard (0.890 and 0.905, MAE 0.020 and 0.010):
// - windows of 41x41 network pixels: wide enough that background between the legs and beside a
//   boot is fitted as background by its colour (radius 8 without the guard: 0.905/0.915; with
//   all below, radius 16: 0.921/0.931, radius 20: 0.936/0.939, MAE 0.010/0.005);
// - epsilon 1e-4, small enough to follow colour (1e-3 at radius 16: 0.917/0.926);
// - where the network is sure (below 0.05, above 0.9) its value bounds the result: without that,
//   radius 12 and more holed the faces of the portraits in the shared photos, and radius 16 gave
//   0.913/0.923;
// - contrast 2 sharpens what the wide windows soften without moving the 0.5 outline (MAE at
//   radius 16 0.016/0.007 to 0.011/0.006; 3 gives 0.009/0.006 but hardens hair).
constexpr GuidedFilter kRefinement{20, 1e-4f, 2, 0.05f, 0.9f};
// Margin around the people's bounding box, as a share of its size on each side. The network's
// answer swings with the framing: 0.05, 0.15 and 0.2 each cost m01 0.06 to 0.14 of IoU (with
// the former filter, radius 4).
constexpr double kMargin = 0.1;
// Above this share of the picture's area a second look gains too little to pay for itself.
constexpr double kMaxZoomArea = 0.7;

struct Box {
  double x0, y0, x1, y1;
  double width() const { return x1 - x0; }
  double height() const { return y1 - y0; }
};

const PersonModel& nearestModel(double aspect) {
  auto distance = [&](const PersonModel& m) { return std::abs(std::log(aspect * m.height / m.width)); };
  return distance(kPersonSquare) <= distance(kPersonLandscape) ? kPersonSquare : kPersonLandscape;
}

// The network's probability for a picture, with the planes it read (the filter's guide).
struct Look {
  const PersonModel* model;
  std::vector<float> planes;
  std::vector<float> probability;
};

Look look(const Picture& picture) {
  const PersonModel& model = nearestModel(double(picture.width) / picture.height);
  Look result{&model, picturePlanes(picture, model.width, model.height), {}};
  result.probability = personNetwork(model).run(result.planes.data(), 3, model.height, model.width).values;
  return result;
}

// Where the probability reaches 0.5, in picture pixels.
Box confidentBox(const Look& l, const Picture& picture) {
  int x0 = l.model->width, y0 = l.model->height, x1 = -1, y1 = -1;
  for (int y = 0; y < l.model->height; ++y) {
    for (int x = 0; x < l.model->width; ++x) {
      if (l.probability[std::size_t(y) * l.model->width + x] < 0.5f) continue;
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
  }
  const double sx = double(picture.width) / l.model->width, sy = double(picture.height) / l.model->height;
  return {x0 * sx, y0 * sy, (x1 + 1) * sx, (y1 + 1) * sy};
}

// The box grown by the margin and widened (or heightened) about its centre to the aspect of
// the network that will look at it, then cut to the picture.
Picture zoomRegion(const Picture& picture, Box box) {
  const double mx = kMargin * box.width(), my = kMargin * box.height();
  box = {box.x0 - mx, box.y0 - my, box.x1 + mx, box.y1 + my};
  const PersonModel& model = nearestModel(box.width() / box.height());
  const double aspect = double(model.width) / model.height;
  if (box.width() < aspect * box.height()) {
    const double grow = (aspect * box.height() - box.width()) / 2;
    box.x0 -= grow, box.x1 += grow;
  } else {
    const double grow = (box.width() / aspect - box.height()) / 2;
    box.y0 -= grow, box.y1 += grow;
  }
  const int x0 = std::max(0, static_cast<int>(std::floor(box.x0)));
  const int y0 = std::max(0, static_cast<int>(std::floor(box.y0)));
  const int x1 = std::min(picture.width, static_cast<int>(std::ceil(box.x1)));
  const int y1 = std::min(picture.height, static_cast<int>(std::ceil(box.y1)));
  return {picture.rgba + y0 * picture.rowBytes + std::ptrdiff_t(x0) * 4, x1 - x0, y1 - y0, picture.rowBytes};
}

// Sets the mask to 0 outside the rectangle of width x height pixels from (x0, y0).
void clearOutside(Mask& mask, std::ptrdiff_t x0, std::ptrdiff_t y0, int width, int height) {
  const std::size_t w = mask.width;
  float* values = mask.values.data();
  std::fill(values, values + y0 * w, 0.0f);
  for (std::ptrdiff_t y = y0; y < y0 + height; ++y) {
    std::fill(values + y * w, values + y * w + x0, 0.0f);
    std::fill(values + y * w + x0 + width, values + (y + 1) * w, 0.0f);
  }
  std::fill(values + (y0 + height) * w, values + mask.values.size(), 0.0f);
}

void refine(const Look& l, const Picture& picture, float* out, std::ptrdiff_t outStride) {
  guidedUpsample(picture, l.planes.data(), l.probability.data(), l.model->width, l.model->height,
                 kRefinement, out, outStride);
}

}  // namespace

std::optional<Mask> personMask(const Picture& picture) {
  if (picture.rgba == nullptr || picture.width <= 0 || picture.height <= 0) return std::nullopt;
  const Look whole = look(picture);
  if (noSubject(whole.probability.data(), whole.probability.size())) return std::nullopt;

  Mask mask{picture.width, picture.height, decltype(Mask::values)(std::size_t(picture.width) * picture.height)};
  const Picture region = zoomRegion(picture, confidentBox(whole, picture));
  if (double(region.width) * region.height <= kMaxZoomArea * picture.width * picture.height) {
    const Look closer = look(region);
    const std::ptrdiff_t x0 = (region.rgba - picture.rgba) % picture.rowBytes / 4;
    const std::ptrdiff_t y0 = (region.rgba - picture.rgba) / picture.rowBytes;
    // Outside the region the first look found nobody: the mask is 0 there.
    clearOutside(mask, x0, y0, region.width, region.height);
    refine(closer, region, &mask.values[y0 * picture.width + x0], picture.width);
  } else {
    refine(whole, picture, mask.values.data(), picture.width);
  }
  return mask;
}

}  // namespace segmentation
