#pragma once
// Constructors of the engine's node kinds. Image's methods are thin wrappers over these; the
// classes themselves stay private to their .cpp files. Given grey inputs (node.h), each makes
// the grey node of its operation, or returns nothing where it has none: the operation needs
// opacity the greys do not keep, or works on four-float pixels only (a transform, a blur on a
// reduced grid, a wide erosion).
#include <memory>
#include <optional>

#include "imaging/image.h"
#include "imaging/node.h"

namespace imaging {

// Sources.
Node::Ptr makeConstant(const Color& straight);
// `owner` keeps the memory alive when the image owns it; empty for the caller's memory.
Node::Ptr makePixels(const PixelBuffer& pixels, std::shared_ptr<const void> owner);
// The memory of a node made by makePixels, else nothing.
std::optional<PixelBuffer> pixelsOf(const Node& node);
Node::Ptr makeGray(std::shared_ptr<const float[]> values, int width, int height);
// The same source read one grey a pixel, sharing what is learnt of its memory: grey
// half-float memory and grey values; nothing for any other node.
Node::Ptr greysOf(const Node& source);

// Geometry.
Node::Ptr makeTransform(const Node::Ptr& input, const Affine& transform);
Node::Ptr makeCrop(const Node::Ptr& input, const Rect& rect);
Node::Ptr makeClamp(const Node::Ptr& input);
// The image a node made by makeClamp repeats, else nothing.
Node::Ptr clampedFrom(const Node& node);

// Area filters.
Node::Ptr makeGaussianBlur(const Node::Ptr& input, double sigma, BlurTails tails);
Node::Ptr makeMorphologyMinimum(const Node::Ptr& input, double radius);

// Point-wise filters.
Node::Ptr makeUnpremultiply(const Node::Ptr& input);
Node::Ptr makeAlphaOne(const Node::Ptr& input, const Rect& inside);
Node::Ptr makeBlendWithMask(const Node::Ptr& input, const Node::Ptr& background, const Node::Ptr& mask);
Node::Ptr makeAddition(const Node::Ptr& input, const Node::Ptr& background);
Node::Ptr makeDifference(const Node::Ptr& input, const Node::Ptr& background);
Node::Ptr makeColorMatrix(const Node::Ptr& input, const ColorMatrix& matrix);
Node::Ptr makeColorClamp(const Node::Ptr& input, const Vector4& min, const Vector4& max);
Node::Ptr makeGamma(const Node::Ptr& input, double power);

}  // namespace imaging
