#pragma once
// Subject masks from neural segmentation networks run by ONNX Runtime. Two routes:
//   person  - MediaPipe selfie segmentation (256x256 or 256x144, whichever aspect is nearer
//             the picture's), refined at the picture's size by a guided filter so the mask
//             follows hair and clothing edges; fast enough for every video frame.
//   subject - IS-Net at its 1024x1024 training size, every salient subject merged, brought to
//             the picture's size by the same kind of guided filter.
// Each network is loaded once per process (two intra-op threads) and reused; the runtime and
// the models are found beside an installed binary, else where the build's set-up put them;
// QUELM_MODEL_DIR in the environment names another folder of models. A route returns nothing when the picture has no subject (see noSubject()).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace segmentation {

// 8-bit RGBA, straight alpha, sRGB, top row first. The networks see only R, G and B.
struct Picture {
  const std::uint8_t* rgba;
  int width;
  int height;
  std::ptrdiff_t rowBytes;
};

// An allocator that leaves new elements as they are instead of clearing them: for memory whose
// every value is written before it is read, such as a picture's mask, which clearing cost a
// few megabytes' worth of writes a frame on one thread.
template <class T>
struct Uninitialised : std::allocator<T> {
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// width*height values 0..1, top row first.
struct Mask {
  int width = 0;
  int height = 0;
  // Every one written by whoever makes the mask.
  std::vector<float, Uninitialised<float>> values;
};

enum class Route { person, subject };

// The runtime or a model is missing or unreadable: the set-up is broken, not the picture.
// The message is one line naming the file and the reason.
class SetupError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Makes the route's sessions now (idempotent, thread-safe), so that loading is never counted
// as per-frame work. The routes call it themselves when needed. Throws SetupError.
void load(Route);

// The person probability at the picture's size; nothing when no person is found.
std::optional<Mask> personMask(const Picture&);

// Every salient subject at the picture's size; nothing when no subject is found.
std::optional<Mask> subjectMask(const Picture&);

// The rule both routes use on the network's own output (at its resolution): a picture has no
// subject when fewer than minSubjectShare of the pixels reach probability 0.5. Calibrated on the
// shared photos with IS-Net: those with no clear subject (gravel, a beach) have no pixel at 0.5
// (their highest values are 0.33 and 0.05), the smallest clear subject, a drinking glass, 1.3%.
// The selfie network has no notion of "nobody": trained on pictures that always hold a person, it
// calls the foreground of a beach a person (62% of its pixels, as sure as of a real portrait), so
// the person route refuses only what that network sees nothing in: the gravel, and the empty
// room of the shared v01 clip (the smallest person it keeps covers 5.8%).
inline constexpr double minSubjectShare = 0.002;
bool noSubject(const float* probabilities, std::size_t count);

}  // namespace segmentation
