// The value distribution of every float output of a model over some pictures, for
// isnet_calibrate.py (which makes every intermediate tensor of IS-Net an output first). A first
// pass finds each output's extremes, a second fills a histogram between them.
// Writes OUT.names (one output a line) and OUT.bin (per output, doubles: least, greatest,
// then BINS counts).
// Usage: isnet_histograms MODEL OUT BINS PICTURE.rgb...  (each 1024x1024 interleaved RGB bytes)
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kSide = 1024;

// The picture as the all-subjects route gives it to the network: planar, value/255 - 0.5.
std::vector<float> networkInput(const char* path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<std::uint8_t> rgb(3 * kSide * kSide);
  if (!f.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()))) {
    std::fprintf(stderr, "%s: not a %dx%d RGB picture\n", path, kSide, kSide);
    std::exit(1);
  }
  const std::size_t plane = std::size_t(kSide) * kSide;
  std::vector<float> x(rgb.size());
  for (std::size_t i = 0; i < plane; ++i)
    for (std::size_t c = 0; c < 3; ++c) x[c * plane + i] = rgb[3 * i + c] / 255.0f - 0.5f;
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: isnet_histograms MODEL OUT BINS PICTURE.rgb...\n");
    return 2;
  }
  const std::string out = argv[2];
  const int bins = std::atoi(argv[3]);
  Ort::Env env(ORT_LOGGING_LEVEL_ERROR, "histograms");
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(2);
  Ort::Session session(env, argv[1], options);
  Ort::AllocatorWithDefaultOptions allocator;
  const std::string input = session.GetInputNameAllocated(0, allocator).get();
  std::vector<std::string> names;
  for (std::size_t i = 0; i < session.GetOutputCount(); ++i)
    names.push_back(session.GetOutputNameAllocated(i, allocator).get());
  std::vector<const char*> outputNames;
  for (const auto& n : names) outputNames.push_back(n.c_str());
  const char* inputName = input.c_str();
  const std::size_t count = names.size();
  std::vector<double> lo(count, INFINITY), hi(count, -INFINITY);
  std::vector<std::vector<double>> histogram(count, std::vector<double>(bins, 0.0));
  const std::int64_t shape[] = {1, 3, kSide, kSide};
  auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);

  for (int pass = 0; pass < 2; ++pass) {
    for (int p = 4; p < argc; ++p) {
      std::vector<float> x = networkInput(argv[p]);
      Ort::Value in = Ort::Value::CreateTensor<float>(memory, x.data(), x.size(), shape, 4);
      auto results = session.Run(Ort::RunOptions{nullptr}, &inputName, &in, 1, outputNames.data(), count);
      for (std::size_t t = 0; t < count; ++t) {
        auto info = results[t].GetTensorTypeAndShapeInfo();
        if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) continue;
        const float* d = results[t].GetTensorData<float>();
        const std::size_t n = info.GetElementCount();
        if (pass == 0) {
          auto [least, greatest] = std::minmax_element(d, d + n);
          lo[t] = std::min(lo[t], double(*least));
          hi[t] = std::max(hi[t], double(*greatest));
          continue;
        }
        const double perBin = bins / std::max(hi[t] - lo[t], 1e-12);
        for (std::size_t i = 0; i < n; ++i)
          histogram[t][std::clamp(int((d[i] - lo[t]) * perBin), 0, bins - 1)] += 1;
      }
    }
  }
  std::ofstream namesFile(out + ".names");
  for (const auto& n : names) namesFile << n << "\n";
  std::ofstream values(out + ".bin", std::ios::binary);
  for (std::size_t t = 0; t < count; ++t) {
    values.write(reinterpret_cast<const char*>(&lo[t]), sizeof(double));
    values.write(reinterpret_cast<const char*>(&hi[t]), sizeof(double));
    values.write(reinterpret_cast<const char*>(histogram[t].data()), static_cast<std::streamsize>(sizeof(double) * bins));
  }
}
