#include "segmentation/segmentation.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>

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
  return planeToMask(probability.values.data(), size, size, picture.width, picture.height);
}

}  // namespace segmentation
