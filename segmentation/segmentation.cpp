#include "segmentation/segmentation.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>

#include "segmentation/guided.h"
#include "segmentation/models.h"
#include "segmentation/resample.h"

namespace segmentation {
namespace {

// One network, made on first use. Never destroyed: a frame may still be in flight on another
// thread while the process exits.
class Lazy {
 public:
  explicit Lazy(const char* file, Buffers buffers = Buffers::pooled) : file_(file), buffers_(buffers) {}
  const Network& get() {
    std::lock_guard lock(mutex_);
    if (!network_) network_ = new Network(modelDir() / file_, buffers_);
    return *network_;
  }

 private:
  const char* file_;
  Buffers buffers_;
  std::mutex mutex_;
  const Network* network_ = nullptr;
};

// IS-Net's last layer works at half its input's size and the network only enlarges that to
// 1024, so at 512 nothing of its detail is lost. Tuned on the composites m01, m03, m05 and m13
// (and m12), from bilinear upsampling: IoU at 0.5 up by 0.001 to 0.005 on each, mean alpha
// error down on each (mean IoU of the four 0.9453 -> 0.9480), m05's recall 0.923 -> 0.921.
// Radius 4 at 512, or 4 to 8 at 1024, gave the same IoU within 0.0003 at up to four times the
// cost and lost as much or more of m05's thin legs (recall 0.916-0.921).
constexpr int kRefinementSize = kSubjectSize / 2;
constexpr GuidedFilter kSubjectRefinement{2, 1e-4f, 1, 0.05f, 0.9f};

// The probability brought to the picture's size by a colour-guided filter, so the outline
// follows the picture's own edges rather than a bilinear blur of the network's.
Mask refineSubject(const Picture& picture, const std::vector<float>& probability) {
  constexpr int size = kRefinementSize;
  const PlaneResampler half(probability.data(), 1, kSubjectSize, kSubjectSize, size, size);
  std::vector<float> reduced(std::size_t(size) * size);
  for (int y = 0; y < size; ++y) half.row(0, y, &reduced[std::size_t(y) * size]);
  const std::vector<float> guide = picturePlanes(picture, size, size);
  Mask mask{picture.width, picture.height, decltype(Mask::values)(std::size_t(picture.width) * picture.height)};
  guidedUpsample(picture, guide.data(), reduced.data(), size, size, kSubjectRefinement, mask.values.data(),
                 picture.width);
  return mask;
}

}  // namespace

const Network& personNetwork(const PersonModel& model) {
  static Lazy square(kPersonSquare.file), landscape(kPersonLandscape.file);
  return (std::string_view(model.file) == kPersonSquare.file ? square : landscape).get();
}

const Network& subjectNetwork() {
  static Lazy isnet(kSubjectModel, Buffers::returned);
  return isnet.get();
}

void load(Route route) {
  if (route == Route::person) {
    personNetwork(kPersonSquare);
    personNetwork(kPersonLandscape);
  } else {
    subjectNetwork();
  }
}

bool noSubject(const float* probabilities, std::size_t count) {
  const auto confident = std::count_if(probabilities, probabilities + count, [](float p) { return p >= 0.5f; });
  return confident < minSubjectShare * count;
}

std::optional<Mask> subjectMask(const Picture& picture) {
  if (picture.rgba == nullptr || picture.width <= 0 || picture.height <= 0) return std::nullopt;
  // Stretched to the training size rather than kept in aspect: at other sizes IS-Net's idea of
  // what is salient shifts (measured on the matting composites, a boat beside the person joins
  // the subject at 1280x832 and at 1024x640, not at 1024x1024).
  constexpr int size = kSubjectSize;
  // IS-Net reads RGB as value/255 - 0.5.
  const std::vector<float> planes = picturePlanes(picture, size, size, 1, -0.5f);
  const Tensor probability = subjectNetwork().run(planes.data(), 3, size, size);
  if (noSubject(probability.values.data(), probability.values.size())) return std::nullopt;
  return refineSubject(picture, probability.values);
}

}  // namespace segmentation
