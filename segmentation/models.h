#pragma once
// The networks the routes run, each loaded on first use into one session that lives as long
// as the process.
#include "segmentation/network.h"

namespace segmentation {

// MediaPipe selfie segmentation comes in two input shapes; a route picks by aspect.
struct PersonModel {
  const char* file;
  int width, height;
};
inline constexpr PersonModel kPersonSquare{"person_square.onnx", 256, 256};
inline constexpr PersonModel kPersonLandscape{"person_landscape.onnx", 256, 144};

// IS-Net, run at its training size.
inline constexpr const char* kSubjectModel = "isnet.onnx";
inline constexpr int kSubjectSize = 1024;

// Throw SetupError when the model or the runtime cannot be loaded.
const Network& personNetwork(const PersonModel&);
const Network& subjectNetwork();

}  // namespace segmentation
