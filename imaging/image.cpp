#include "imaging/image.h"

#include "imaging/nodes.h"

namespace imaging {
namespace {

// The grey form of an operation on images that all have one; null otherwise.
template <class Make, class... Images>
Node::Ptr greyForm(Make make, const Images&... images) {
  if ((!images.greys() || ...)) return nullptr;
  return make(images.greys()...);
}

}  // namespace

Image::Image() : node_(makeCrop(makeConstant({}), Rect{})) {}

Image Image::color(const Color& c) { return Image(makeConstant(c)); }

Image Image::fromPixels(const PixelBuffer& pixels) {
  Node::Ptr node = makePixels(pixels, nullptr);
  return Image(node, greysOf(*node));
}

Image Image::fromGray(std::shared_ptr<const float[]> values, int width, int height) {
  Node::Ptr node = makeGray(std::move(values), width, height);
  return Image(node, greysOf(*node));
}

Rect Image::extent() const { return node_->extent; }

std::optional<PixelBuffer> Image::pixels() const {
  const Node* n = node_.get();
  while (n->hints.view && n->pixelBox() == n->inputs[0]->pixelBox()) n = n->inputs[0].get();
  return pixelsOf(*n);
}

Image Image::transformed(const Affine& t) const {
  return Image(makeTransform(node_, t), greyForm([&](auto g) { return makeTransform(g, t); }, *this));
}

Image Image::cropped(const Rect& r) const {
  return Image(makeCrop(node_, r), greyForm([&](auto g) { return makeCrop(g, r); }, *this));
}

Image Image::clampedToExtent() const { return Image(makeClamp(node_), greyForm(makeClamp, *this)); }

Image Image::gaussianBlurred(double sigma, BlurTails tails) const {
  if (!(sigma > 0)) return *this;
  return Image(makeGaussianBlur(node_, sigma, tails),
               greyForm([&](auto g) { return makeGaussianBlur(g, sigma, tails); }, *this));
}

Image Image::morphologyMinimum(double radius) const {
  return Image(makeMorphologyMinimum(node_, radius),
               greyForm([&](auto g) { return makeMorphologyMinimum(g, radius); }, *this));
}

Image Image::unpremultiplied() const { return Image(makeUnpremultiply(node_)); }

Image Image::settingAlphaOne(const Rect& inside) const {
  return Image(makeAlphaOne(node_, inside), greyForm([&](auto g) { return makeAlphaOne(g, inside); }, *this));
}

// The mask is read as greys wherever it has them, whatever the sides are.
Image Image::blendedWithMask(const Image& background, const Image& mask) const {
  const Node::Ptr& maskNode = mask.greys_ ? mask.greys_ : mask.node_;
  return Image(makeBlendWithMask(node_, background.node_, maskNode),
               greyForm(makeBlendWithMask, *this, background, mask));
}

Image Image::addedTo(const Image& background) const {
  return Image(makeAddition(node_, background.node_), greyForm(makeAddition, *this, background));
}

Image Image::differenceFrom(const Image& background) const {
  return Image(makeDifference(node_, background.node_), greyForm(makeDifference, *this, background));
}

Image Image::colorMatrix(const ColorMatrix& m) const {
  return Image(makeColorMatrix(node_, m), greyForm([&](auto g) { return makeColorMatrix(g, m); }, *this));
}

Image Image::colorClamped(const Vector4& min, const Vector4& max) const {
  return Image(makeColorClamp(node_, min, max),
               greyForm([&](auto g) { return makeColorClamp(g, min, max); }, *this));
}

Image Image::gammaAdjusted(double power) const {
  return Image(makeGamma(node_, power), greyForm([&](auto g) { return makeGamma(g, power); }, *this));
}

}  // namespace imaging
