#pragma once
// One ONNX model in one ONNX Runtime session: an image network with a single NCHW float input
// and a single float output. The runtime library itself is opened on first use (beside an
// installed binary, else from the path the build compiled in), so a missing or broken
// installation is a SetupError with the file's name instead of a loader failure before main().
#include <filesystem>
#include <memory>
#include <vector>

#include "segmentation/segmentation.h"

namespace segmentation {

// A float tensor: the dimensions and the values in row-major order.
struct Tensor {
  std::vector<std::int64_t> shape;
  std::vector<float> values;
};

// Where a session keeps the buffers of its activations between runs.
enum class Buffers {
  pooled,    // in the runtime's arena, reused by the next run: for small networks run per frame
  returned,  // given back after each run: for IS-Net an arena keeping them lifted the peak of a
             // 12-megapixel still from 0.66 to 0.77 GB, to save 0.1 s
};

class Network {
 public:
  // Opens the model (and, the first time, the runtime). Throws SetupError naming the file
  // when either is missing or cannot be read.
  explicit Network(const std::filesystem::path& model, Buffers buffers = Buffers::pooled);
  ~Network();
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Runs the network on 1 x channels x height x width values; safe from several threads.
  // Throws std::runtime_error when the runtime fails.
  Tensor run(const float* input, int channels, int height, int width) const;

 private:
  struct Session;
  std::unique_ptr<Session> session_;
};

// Asked before every run, when set: true makes the runtime abandon that run, so that it fails
// as a run that breaks down would. Tests set it to see such a failure reported; the tool
// never does.
inline bool (*runFails)() = nullptr;

// Where the models are: QUELM_MODEL_DIR when the environment sets it, else beside an
// installed binary (<prefix>/share/quelm-matte), else where the build's set-up put them.
std::filesystem::path modelDir();

}  // namespace segmentation
