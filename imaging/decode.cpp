// Picture files, through libvips: any format it reads, turned upright by the EXIF orientation,
// converted to sRGB from an embedded profile (CMYK and grey too), 8 bits per channel, RGBA.
#include <vips/vips.h>

#include <memory>
#include <mutex>

#include "imaging/image.h"
#include "imaging/nodes.h"
#include "imaging/parallel.h"
#include "imaging/vips_init.h"

namespace imaging {

void ensureVips() {
  static std::once_flag once;
  std::call_once(once, [] {
    VIPS_INIT("quelm-matte");
    // Decoders warn on standard error about damaged files; the tool speaks there only in its
    // own lines, and a damaged file fails the decode anyway.
    g_log_set_handler("VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
                      [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    // libvips's own workers, one per core like the engine's.
    vips_concurrency_set(coreCount());
    vips_cache_set_max(0);  // each file is decoded once; nothing to keep
  });
}

std::string takeVipsError(const char* otherwise) {
  std::string message = vips_error_buffer();
  vips_error_clear();
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  auto newline = message.find('\n');
  if (newline != std::string::npos) message.resize(newline);
  return message.empty() ? otherwise : message;
}

namespace {

using ImagePtr = VipsPtr<VipsImage>;

// Runs one libvips operation that makes a new image from `in`; nothing on failure.
template <class Op>
ImagePtr step(const ImagePtr& in, Op op) {
  VipsImage* out = nullptr;
  if (op(in.get(), &out) != 0) return nullptr;
  return ImagePtr(out);
}

ImagePtr toSRGB(ImagePtr image) {
  if (vips_image_get_typeof(image.get(), VIPS_META_ICC_NAME) || image->Type == VIPS_INTERPRETATION_CMYK) {
    // The embedded profile (or libvips' CMYK fallback) says what the numbers mean.
    ImagePtr converted = step(image, [](VipsImage* in, VipsImage** out) {
      return vips_icc_transform(in, out, "srgb", "embedded", TRUE, "intent", VIPS_INTENT_RELATIVE, "depth", 8, nullptr);
    });
    if (converted) image = std::move(converted);
    else vips_error_clear();  // an unusable profile: read the numbers as sRGB
  }
  if (image->Type != VIPS_INTERPRETATION_sRGB || image->BandFmt != VIPS_FORMAT_UCHAR) {
    image = step(image, [](VipsImage* in, VipsImage** out) {
      return vips_colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
    });
    if (!image) return nullptr;
  }
  if (image->BandFmt != VIPS_FORMAT_UCHAR)
    image = step(image, [](VipsImage* in, VipsImage** out) { return vips_cast_uchar(in, out, nullptr); });
  return image;
}

ImagePtr toRGBA(ImagePtr image) {
  if (!image) return nullptr;
  if (image->Bands == 3)
    return step(image, [](VipsImage* in, VipsImage** out) { return vips_bandjoin_const1(in, out, 255, nullptr); });
  if (image->Bands > 4)
    return step(image, [](VipsImage* in, VipsImage** out) { return vips_extract_band(in, out, 0, "n", 4, nullptr); });
  return image;
}

// Upright, sRGB, 8-bit RGBA in memory of its own; nothing when the file is not a picture.
std::optional<Image> decoded(ImagePtr image) {
  auto failed = [] {
    vips_error_clear();
    return std::nullopt;
  };
  if (!image || double(image->Xsize) * image->Ysize > kMaxPixels) return failed();
  image = step(image, [](VipsImage* in, VipsImage** out) { return vips_autorot(in, out, nullptr); });
  if (!image) return failed();
  image = toRGBA(toSRGB(std::move(image)));
  if (!image || image->Bands != 4) return failed();

  std::size_t size = 0;
  void* memory = vips_image_write_to_memory(image.get(), &size);
  if (!memory) return failed();
  std::shared_ptr<const void> owner(memory, [](const void* p) { g_free(const_cast<void*>(p)); });
  PixelBuffer pixels{memory, image->Xsize, image->Ysize, std::ptrdiff_t{4} * image->Xsize, PixelFormat::rgba8};
  return Image(makePixels(pixels, std::move(owner)));
}

}  // namespace

// Truncated or corrupt data fails the decode instead of leaving grey or garbage rows.
std::optional<Image> Image::fromFile(const std::string& path) {
  ensureVips();
  return decoded(ImagePtr(vips_image_new_from_file(path.c_str(), "fail_on", VIPS_FAIL_ON_WARNING, nullptr)));
}

bool isPictureFile(const std::string& path) {
  ensureVips();
  const char* loader = vips_foreign_find_load(path.c_str());
  vips_error_clear();
  if (!loader) return false;
  // A few loaders are chosen by the name's extension alone (.csv, for one): those say nothing
  // of what the file holds.
  GType type = vips_type_find("VipsForeignLoad", loader);
  if (!type) return false;
  auto* load = static_cast<VipsForeignLoadClass*>(g_type_class_ref(type));
  bool sniffed = load->is_a != nullptr;
  g_type_class_unref(load);
  // And the catch-all loader's guess is loose (it takes a video for a TGA picture): the header
  // must read too. Only the header: the pixels are read when the picture's turn comes.
  ImagePtr header(sniffed ? vips_image_new_from_file(path.c_str(), nullptr) : nullptr);
  vips_error_clear();
  return header != nullptr;
}

std::optional<Image> Image::fromBytes(const std::string& bytes) {
  ensureVips();
  return decoded(
      ImagePtr(vips_image_new_from_buffer(bytes.data(), bytes.size(), "", "fail_on", VIPS_FAIL_ON_WARNING, nullptr)));
}

}  // namespace imaging
