#pragma once
// The matte engine: from a picture to its subject's mask, from picture and mask to the
// cut-out, and the temporal smoothing of video masks. Every function only describes lazy
// image operations (segmentation aside); pixels are computed when the caller renders.
//
// A mask image is grey and opaque over the work rectangle (origin (0, 0), the output size):
// 1 is subject, 0 background, soft values between; it reads 0 outside its extent.
#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/image.h"

using imaging::Image;
using imaging::Rect;

// Loads the segmentation the options select, so that no frame pays for it. Throws
// segmentation::SetupError when its runtime or models are missing.
void prepareMask();

// The subject's mask, fitted to rect and eroded and feathered as the options say; nothing
// when no subject is found. The picture covers rect. Throws segmentation::SetupError when
// the segmentation's runtime or models are missing.
std::optional<Image> rawMask(const Image& picture, const Rect& rect);
// The refinement rawMask applies to a segmentation's mask (any size, values 0..1): stretched
// to rect, eroded and feathered as the options say. Opaque grey over rect.
Image refinedMask(Image mask, const Rect& rect);

// The picture with its opacity multiplied by the mask (after decontamination when the
// options ask for it): the subject over full transparency, extent rect.
Image cut(const Image& picture, const Image& mask, const Rect& rect);

// What is written for a picture and its final mask, as the options ask: the cut-out; the
// mask itself (--mask-only); or, given a backdrop (the background fitted to rect), the
// cut-out over it, opaque.
Image matted(const Image& picture, const Image& mask, const Rect& rect, const std::optional<Image>& backdrop);

// A background picture scaled to cover rect, centred, and made opaque (over black).
Image covering(const Image& background, const Rect& rect);

// The picture with the background's colour bled into its soft edge replaced by colour spread
// outward from the subject's solid core. Colours only: opacity stays the picture's own.
Image decontaminated(const Image& picture, const Image& mask, const Rect& rect);

// Straight colour times a plus b, opacity 1.
Image affine(const Image& image, double a, double b);
// Every component clamped to 0..1.
Image clamp01(const Image& image);

// The image's colour with alpha x everywhere: weights that add up to 1 sum to a weighted mean.
Image weighted(const Image& image, double x);
// The current mask steadied by the previous one: blended with weight s on the past where the
// two differ by 0.4 or less, fresh where they differ by 0.6 or more, linear between.
Image smoothed(const Image& current, const Image& prev, double s, const Rect& rect);

// Storage for one final mask of a video frame: room for width x height RGBA half floats, of
// which an opaque grey mask uses a quarter. Ends the run with "cannot allocate a mask buffer"
// when the memory cannot be had.
using MaskBuffer = std::vector<std::uint16_t>;
MaskBuffer maskBuffer(std::int64_t width, std::int64_t height);
// The mask rendered into the buffer and read back from it, with the same values: the next
// frame's smoothing then reaches back to this frame only, however long the video.
// rect: (0, 0, the buffer's width, its height).
Image storedMask(const Image& mask, MaskBuffer& buffer, const Rect& rect);
