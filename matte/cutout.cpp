// The cut-out and the colour decontamination of its edge.
#include <algorithm>

#include "cli/args.h"
#include "cli/state.h"
#include "matte/matte.h"

namespace {

// The distances of the decontamination at an output height of 1920; they scale with height.
constexpr double kNearSigma = 5, kFarSigma = 18;
constexpr float kNearWeight = 0.87f, kFarWeight = 0.13f;
constexpr double kCorePower = 6;
// Edge weight w = clamp(35.7 m - 34.6): the picture's own colour only where the mask is
// within a hair of 1.
constexpr double kEdgeGain = 35.7, kEdgeBias = -34.6;

// The core colours (clamped to their extent) blurred, with their opacity scaled by weight.
// The fill divides the layers' colour by their summed opacity, which is small far from the
// core: there a kernel cut off at 3 sigma would leave out a good share of what reaches, and
// the colour with it.
Image layer(const Image& clampedCoreColours, double sigma, float weight) {
  imaging::ColorMatrix m;
  m.alpha = {0, 0, 0, weight};
  return clampedCoreColours.gaussianBlurred(sigma, imaging::BlurTails::kept).colorMatrix(m);
}

// An opaque grey image of the image's opacity.
Image opacityOf(const Image& image) {
  imaging::ColorMatrix m;
  m.red = m.green = m.blue = {0, 0, 0, 1};
  m.alpha = {0, 0, 0, 0};
  m.bias = {0, 0, 0, 1};
  return image.colorMatrix(m);
}

// An opaque grey image of how far one sees through the image: 1 - its opacity.
Image transparencyOf(const Image& image) {
  imaging::ColorMatrix m;
  m.red = m.green = m.blue = {0, 0, 0, -1};
  m.alpha = {0, 0, 0, 0};
  m.bias = {1, 1, 1, 1};
  return image.colorMatrix(m);
}

// The image's straight colour, made opaque inside rect.
Image opaqueColour(const Image& image, const Rect& rect) {
  return image.unpremultiplied().settingAlphaOne(rect).cropped(rect);
}

}  // namespace

Image affine(const Image& image, double a, double b) {
  auto fa = static_cast<float>(a), fb = static_cast<float>(b);
  imaging::ColorMatrix m;
  m.red = {fa, 0, 0, 0};
  m.green = {0, fa, 0, 0};
  m.blue = {0, 0, fa, 0};
  m.alpha = {0, 0, 0, 0};
  m.bias = {fb, fb, fb, 1};
  return image.colorMatrix(m);
}

Image clamp01(const Image& image) { return image.colorClamped({0, 0, 0, 0}, {1, 1, 1, 1}); }

Image decontaminated(const Image& picture, const Image& mask, const Rect& rect) {
  double k = rect.height / 1920;
  Image clear = clearColor.cropped(rect);
  // Made opaque before the power, which reads colour over opacity: the erosion leaves the
  // border clear (outside counts as nothing), and both ways a clear pixel's grey is 0 there.
  Image core = mask.morphologyMinimum(k * CORE).settingAlphaOne(rect).gammaAdjusted(kCorePower);
  Image coreColours = picture.blendedWithMask(clear, core).cropped(rect).clampedToExtent();
  Image sum = layer(coreColours, k * kNearSigma, kNearWeight).addedTo(layer(coreColours, k * kFarSigma, kFarWeight));
  Image pictureColour = opaqueColour(picture, rect);

  // Where no core colour reaches (a subject thinner than the core, or far from it) the sum
  // is transparent and has no colour to give: the picture keeps its own there, since black
  // would paint dark fringes along hair and cords.
  imaging::ColorMatrix reached;
  reached.red = reached.green = reached.blue = {0, 0, 0, 1e4f};
  reached.alpha = {0, 0, 0, 0};
  reached.bias = {0, 0, 0, 1};
  Image fill = opaqueColour(sum, rect).blendedWithMask(pictureColour, clamp01(sum.colorMatrix(reached)));

  Image edge = clamp01(affine(mask, kEdgeGain, kEdgeBias));
  // Mixed as straight colour, then given back the picture's own opacity: decontamination
  // changes colours, never opacity, so transparent parts of the picture stay transparent.
  Image mixed = pictureColour.blendedWithMask(fill, edge);
  return mixed.blendedWithMask(clear, opacityOf(picture)).cropped(rect);
}

Image cut(const Image& picture, const Image& mask, const Rect& rect) {
  Image source = args.decontaminate ? decontaminated(picture, mask, rect) : picture;
  return source.blendedWithMask(clearColor.cropped(rect), mask).cropped(rect);
}

Image matted(const Image& picture, const Image& mask, const Rect& rect, const std::optional<Image>& backdrop) {
  if (args.maskOnly) return mask;
  Image cutout = cut(picture, mask, rect);
  if (!backdrop) return cutout;
  // Over, not blended by the mask: a picture with transparency of its own shows the backdrop
  // through it too.
  Image behind = backdrop->blendedWithMask(clearColor.cropped(rect), transparencyOf(cutout));
  return cutout.addedTo(behind).cropped(rect);
}

Image covering(const Image& background, const Rect& rect) {
  Rect e = background.extent();
  double scale = std::max(rect.width / e.width, rect.height / e.height);
  imaging::Affine fit = imaging::Affine::translation(-e.x, -e.y)
                            .then(imaging::Affine::scale(scale, scale))
                            .then(imaging::Affine::translation(rect.x + (rect.width - e.width * scale) / 2,
                                                               rect.y + (rect.height - e.height * scale) / 2));
  return background.transformed(fit).settingAlphaOne(rect).cropped(rect);
}
